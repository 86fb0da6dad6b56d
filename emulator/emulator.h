// The emulator's whole state: the emulated descriptors, the driver's request
// handling, the firmware behind it, the faults to inject and the record of
// recent requests. One instance per process, guarded by one mutex.
#ifndef VCIOEMU_EMULATOR_H
#define VCIOEMU_EMULATOR_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

#include "firmware.h"
#include "gpiochips.h"

namespace vcioemu {

struct Faults {
    int open_errno = 0;
    int ioctl_errno = 0;
    int close_errno = 0;
    // The firmware answers this overall status (0: none chosen); the driver
    // fails the ioctl unless raw_status is set.
    uint32_t firmware_status = 0;
    // The firmware answers this status and the buffer goes back with a
    // successful ioctl; takes precedence over firmware_status.
    uint32_t raw_status = 0;
    // Refusals and silences of the firmware itself.
    FirmwareFaults firmware;
};

enum class Fault { open, ioctl, close, firmware_status, raw_status, unanswered_tag };

struct Settings {
    Faults faults;
    bool trace = false;
    uint32_t board_revision = default_board_revision;
    GpioSettings gpio;
};

// Reads VCIOEMU_FAULTS, VCIOEMU_REVISION, VCIOEMU_GPIO and VCIOEMU_TRACE; complains on standard
// error about parts it cannot read and ignores them.
Settings settings_from_environment();

// Applies the comma separated words of VCIOEMU_GPIO, calling complain with
// each word it cannot use: false when there was one.
bool apply_gpio_words(const char *words, GpioSettings &settings,
                      void (*complain)(const std::string &word));
class Emulator {
public:
    // Created on first use, at the latest when the library is loaded, and
    // never destroyed: the process may close descriptors after static
    // destructors have run.
    static Emulator &instance();

    Emulator(const Emulator &) = delete;
    Emulator &operator=(const Emulator &) = delete;

    int open_device(int flags);
    // Opens a GPIO chip or a board file: the descriptor, or -errno.
    int open_gpio_path(const char *path, int flags);
    bool device_ioctl(int fd, unsigned long request, void *arg, int &err);
    bool release_device(int fd, int &err);

    // Controls and inspection behind vcio_emulator.h.
    int open_descriptors();
    int last_open_flags();
    unsigned request_count();
    int request_words(unsigned index, uint32_t *words, unsigned max);
    unsigned long last_request_code();
    int line_state(uint32_t line);
    void set_line_state(uint32_t line, int state);
    void reset();
    // Sets one fault: an errno for open, ioctl and close, a status word or
    // tag for the others; 0 switches it off.
    void set_fault(Fault fault, uint32_t value);
    // The firmware refuses line while on.
    void refuse_line(bool on, uint32_t line);
    void set_board_revision(uint32_t revision);
    void set_trace(bool on);
    // Applies VCIOEMU_GPIO words: false when one cannot be used (nothing is
    // applied then) or names a line the board lacks.
    bool configure_gpio(const char *words);
    int gpio_open_descriptors();
    int gpio_line_value(unsigned chip, unsigned offset);
    int gpio_line_output(unsigned chip, unsigned offset);
    int gpio_line_requested(unsigned chip, unsigned offset);
    unsigned gpio_request_count();
    unsigned gpio_drive_count();

    // Drops the emulated descriptors numbered first to last: the process has
    // closed them or made them refer to other files (dup2 over one,
    // close_range).
    void descriptors_replaced(unsigned first, unsigned last);

private:
    // An emulated descriptor and the identity of the open file behind it.
    // Requests go by the number alone: a number the process closes or
    // replaces through the C library (close, dup2, dup3, close_range,
    // closefrom) is dropped as that happens, and the identity is checked
    // where a system call costs nothing that matters (close, inspection).
    // Only a number closed by a raw system call and reused for another file
    // before its next close would still be answered as the device.
    enum class Kind { vcio, chip, line };
    struct Descriptor {
        int fd;
        dev_t dev;
        ino_t ino;
        Kind kind;
        // A chip's number and the generation of the chips it was opened in;
        // a line request's id.
        unsigned object;
        unsigned generation;
    };

    static constexpr size_t kept_requests = 64;
    static constexpr size_t kept_words = 256;

    Emulator();

    // True when fd is an emulated descriptor: the request path's test, a
    // search of the table without any system call.
    const Descriptor *find(int fd) const;
    // True when fd is an emulated descriptor still referring to its file;
    // an entry whose number has come to refer to another file is forgotten.
    bool is_live(int fd);
    // The live descriptors of "/dev/vcio" (vcio) or of the GPIO chips and
    // their line requests (!vcio).
    int count_live(bool vcio);
    // Drops the descriptor, releasing the lines of a line request's.
    void forget(int fd);
    void forget_where(bool (*drop)(const Descriptor &, unsigned, unsigned), unsigned first,
                      unsigned last);
    // A descriptor of an anonymous file of its own, recorded as kind: the
    // descriptor, or -errno.
    int new_descriptor(const char *name, bool cloexec, Kind kind, unsigned object);
    int gpio_ioctl(const Descriptor &descriptor, uint32_t code, void *arg);
    int open_board_file(const char *path, int flags);
    int property_request(unsigned char *user);
    int run_firmware(unsigned char *user, size_t count);
    void keep_request(const unsigned char *user, uint32_t size);

    std::mutex mutex;
    // Lets every ioctl and close of a process without an emulated descriptor
    // pass without taking the mutex.
    std::atomic<size_t> open_count{0};
    std::vector<Descriptor> descriptors;
    int open_flags = -1;
    unsigned long request_code = 0;

    // The last kept_requests requests, each cut to kept_words words, in a ring.
    unsigned total_requests = 0;
    std::vector<uint32_t> kept;
    std::array<unsigned, kept_requests> kept_count{};

    // The driver's copy of the caller's buffer, kept to reuse its storage.
    std::vector<uint32_t> scratch;

    Firmware firmware;
    GpioKernel gpio{firmware};
    GpioSettings gpio_settings;
    Faults faults;
    bool trace = false;
};

} // namespace vcioemu

#endif // VCIOEMU_EMULATOR_H
