// Control and inspection interface of the firmware emulator.
//
// The emulator is a shared library preloaded (LD_PRELOAD) into a process that
// has no real "/dev/vcio". It stands in for the kernel's vcio mailbox driver
// and the VideoCore firmware behind it: opens of "/dev/vcio" get an emulated
// descriptor, and the property ioctl on such a descriptor is answered the way
// the driver and firmware answer it.
//
// The board revision picks the rest of the board: the kernel's GPIO chips
// ("/dev/gpiochip0", the SoC's, and "/dev/gpiochip1", the firmware's
// expander, where the board has one; every other "/dev/gpiochip*" answers
// ENOENT) with uAPI v2 line requests, the device tree's names and the
// kernel's own consumers (the camera's regulator, the SD card's on the Pi 4
// family); and the files "/proc/device-tree/system/linux,revision" (also
// under "/sys/firmware/devicetree/base"), "/proc/cpuinfo" and
// "/sys/module/pinctrl_bcm2835/parameters/persist_gpio_outputs". Expander
// line k and firmware line 128 + k are one state. Every other descriptor and
// path goes to the C library untouched.
//
// Tests reach these functions by linking the library (C++) or through ctypes
// (Python). Faults and the trace can also be chosen for a whole process, a
// child included, through the environment:
//   VCIOEMU_FAULTS="open=ENOENT,ioctl=EIO,close=EBADF,status=0x80000001,raw_status=0x80000001,
//                   refuse=134,unanswered=0x00038041"
//       (errno by name or number; any subset, comma separated)
//   VCIOEMU_REVISION=0xc03111   the board revision the firmware reports
//       (default 0xa02082, a Raspberry Pi 3 Model B)
//   VCIOEMU_GPIO="no-device-tree,no-cpuinfo,no-expander,chips=EACCES,sets=EIO,persist=N,
//                 hold=0:40:gpio-leds,name=1:6:LED,pull=0:40:up"
//       no-device-tree, no-cpuinfo: that file is absent (ENOENT);
//       no-expander: the kernel has no expander chip; chips=ERRNO: every open
//       of a chip the board has fails with it; sets=ERRNO: every value set
//       on a line request fails with it; persist=Y|N|none: the persist
//       parameter (a released SoC output keeps its level only with Y; none
//       removes the file), Y by default; hold=CHIP:OFFSET:CONSUMER: a kernel
//       consumer holds that line; name=CHIP:OFFSET:NAME: the line's name;
//       pull=CHIP:OFFSET:up|down: the bias a SoC line reads while it is an
//       input (down by default; refused for an expander line).
//   VCIOEMU_TRACE=1   one readable line per request on standard error:
//       vcio: SET_GPIO_STATE line 134 -> 1 (status 0x80000000)
//       gpio: open /dev/gpiochip1 flags 524290 -> 6    (or -> EACCES; opens
//             of chips the board lacks are not shown)
//       gpio: request /dev/gpiochip0 line 40 "CAM_GPIO1" output 0 consumer "x" -> 7
//             (as-is or input in place of output 0; -> EBUSY when refused;
//             "lines N" in place of the line for other than one line)
//       gpio: get /dev/gpiochip0 line 40 -> 1
//       gpio: set /dev/gpiochip0 line 40 -> 1          (or -> EPERM)
//       gpio: config /dev/gpiochip0 line 40 -> output 1 (or -> EINVAL)
//       gpio: release /dev/gpiochip0 line 40
//       gpio: close /dev/gpiochip0 fd 6
//       board: open /proc/cpuinfo flags 524288 -> 5    (or -> ENOENT)
#ifndef VCIO_EMULATOR_H
#define VCIO_EMULATOR_H

#include <stdint.h> // NOLINT(modernize-deprecated-headers): C as well as C++

#ifdef __cplusplus
extern "C" {
#endif

// Emulated "/dev/vcio" descriptors currently open.
int vcioemu_open_descriptors(void);
// Flags given to the last open of "/dev/vcio", -1 before any.
int vcioemu_last_open_flags(void);

// Property requests received on emulated descriptors since the last reset,
// refused ones included (an ioctl with another request code is refused
// before its buffer is read, and is not counted).
unsigned vcioemu_request_count(void);
// Copies up to max words of request index (0 = oldest kept) exactly as the
// caller sent them. Returns the request's word count, or -1 when there is no
// such request. The last 64 requests are kept, each up to 256 words.
int vcioemu_request_words(unsigned index, uint32_t *words, unsigned max);
// Request code of the last ioctl on an emulated descriptor.
unsigned long vcioemu_last_request_code(void);

// State (0 or 1) of a firmware GPIO line; every line starts at 0.
int vcioemu_line_state(uint32_t line);
void vcioemu_set_line_state(uint32_t line, int state);

// Forgets requests, line states, faults and the VCIOEMU_GPIO words, and
// reports the default board again with its chips afresh (not the open
// descriptors: chip and line descriptors of before then answer ENODEV, as
// those of a removed chip do).
void vcioemu_reset(void);

// Faults; 0 switches each off.
void vcioemu_fail_open(int err);
void vcioemu_fail_ioctl(int err);
void vcioemu_fail_close(int err);
// The firmware answers this overall status; the driver then fails the ioctl
// with EINVAL, as the real one does.
void vcioemu_firmware_status(uint32_t status);
// The ioctl succeeds and hands this status word back unchanged.
void vcioemu_raw_status(uint32_t status);

// The firmware refuses GPIO requests for line while on: it answers them
// with a non-zero line word and leaves the line as it was.
void vcioemu_refuse_line(uint32_t line, int on);
// The firmware leaves tag unanswered (no response bit), as it does a tag it
// does not know; 0 switches it off.
void vcioemu_leave_unanswered(uint32_t tag);
// The revision the firmware reports for RPI_FIRMWARE_GET_BOARD_REVISION.
void vcioemu_board_revision(uint32_t revision);

// Readable trace of each request on standard error.
void vcioemu_trace(int on);

// Applies the comma separated words of VCIOEMU_GPIO on top of those already
// given: 0, or -1 when a word cannot be used (nothing is applied then) or a
// hold or name is for a line the board does not have. Words stay until
// vcioemu_reset; a change of the board revision keeps them.
int vcioemu_gpio_configure(const char *words);
// Emulated chip and line request descriptors currently open.
int vcioemu_gpio_open_descriptors(void);
// A line of chip N ("/dev/gpiochipN"): its level (0 or 1; an expander line's
// is the firmware line's), whether it is an output (1) or an input (0), and
// whether a line request holds it (1, a kernel consumer's hold is not
// counted); -1 for a line the board does not have.
int vcioemu_gpio_line_value(unsigned chip, unsigned offset);
int vcioemu_gpio_line_output(unsigned chip, unsigned offset);
int vcioemu_gpio_line_requested(unsigned chip, unsigned offset);
// Line requests received since the last reset, refused ones included.
unsigned vcioemu_gpio_request_count(void);
// Times lines were driven since the last reset: granted output requests,
// successful value sets and configurations that made a line an output.
unsigned vcioemu_gpio_drive_count(void);

// The folder that stands for "/sys/class/regulator" from now on (NULL or ""
// for none: the system's own), as VCIOEMU_REGULATORS gives it at load. The
// test makes regulator.N/name and regulator.N/state files in it, changes
// them and removes them when it chooses.
void vcioemu_regulators(const char *folder);
// Opens of a regulator's state file since the last reset.
unsigned vcioemu_regulator_state_opens(void);

#ifdef __cplusplus
}
#endif

#endif // VCIO_EMULATOR_H
