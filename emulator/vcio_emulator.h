// Control and inspection interface of the firmware emulator.
//
// The emulator is a shared library preloaded (LD_PRELOAD) into a process that
// has no real "/dev/vcio". It stands in for the kernel's vcio mailbox driver
// and the VideoCore firmware behind it: opens of "/dev/vcio" get an emulated
// descriptor, and the property ioctl on such a descriptor is answered the way
// the driver and firmware answer it. Every other descriptor and path goes to
// the C library untouched.
//
// Tests reach these functions by linking the library (C++) or through ctypes
// (Python). Faults and the trace can also be chosen for a whole process, a
// child included, through the environment:
//   VCIOEMU_FAULTS="open=ENOENT,ioctl=EIO,close=EBADF,status=0x80000001,raw_status=0x80000001,
//                   refuse=134,unanswered=0x00038041"
//       (errno by name or number; any subset, comma separated)
//   VCIOEMU_REVISION=0xc03111   the board revision the firmware reports
//       (default 0xa02082, a Raspberry Pi 3 Model B)
//   VCIOEMU_TRACE=1   one readable line per request on standard error
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

// Forgets requests, line states and faults, and reports the default board
// again (not the open descriptors).
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

#ifdef __cplusplus
}
#endif

#endif // VCIO_EMULATOR_H
