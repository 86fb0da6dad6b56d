// The kernel's GPIO character device as the emulator plays it: the chips of
// the chosen board ("/dev/gpiochipN"), uAPI v2 line requests on them, the
// kernel's own consumers, and the board files any user may read (the device
// tree's revision cell, "/proc/cpuinfo", pinctrl-bcm2835's persist
// parameter).
//
// Descriptors are the emulator's business (emulator.h); this side knows
// chips by number and line requests by an id.
#ifndef VCIOEMU_GPIOCHIPS_H
#define VCIOEMU_GPIOCHIPS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "firmware.h"

struct gpio_v2_line_config;
struct gpio_v2_line_request;

namespace vcioemu {

// What released SoC outputs do: keep their level (Raspberry Pi's kernels),
// go back to input (dtparam=strict_gpiod), or the kernel has no such
// parameter and they go back to input.
enum class Persist { yes, no, absent };

// The words of VCIOEMU_GPIO and vcioemu_gpio_configure.
struct GpioSettings {
    struct LineText {
        unsigned chip;
        unsigned offset;
        std::string text;
    };

    bool device_tree = true;
    bool cpuinfo = true;
    bool expander = true;
    // Every open of a chip the board has fails with this errno (0: none).
    int chips_errno = 0;
    // Every value set on a line request fails with this errno, the line left
    // as it is (0: none): an ioctl that fails while a line is held.
    int sets_errno = 0;
    Persist persist = Persist::yes;
    std::vector<LineText> holds;
    std::vector<LineText> names;
    // "up" or "down": the bias a SoC input reads.
    std::vector<LineText> pulls;
};

// Applies one word ("no-expander", "hold=0:40:gpio-leds", "pull=0:40:up",
// ...): false when it is not one.
bool apply_gpio_word(const std::string &word, GpioSettings &settings);

// The files "/proc/cpuinfo" and the others above: true for their paths.
bool is_board_file(const char *path);
// The chip number of a "/dev/gpiochip*" path: true for such paths, with
// number UINT32_MAX where the rest is not a number the kernel would give.
bool is_chip_path(const char *path, unsigned &number);

class GpioKernel {
public:
    explicit GpioKernel(Firmware &firmware) : firmware(firmware) {}

    // The chips of this board afresh: every line unrequested, the kernel's
    // consumers in place. Requests and chip descriptors of before answer
    // ENODEV, as those of a removed chip do. False as apply_lines.
    bool build(uint32_t revision, const GpioSettings &settings);
    // The settings applied to the chips as they are: false when a name, a
    // hold or a pull is for a line the board does not have, or a pull for an
    // expander line.
    bool apply_lines(const GpioSettings &settings);
    void set_trace(bool on) { trace = on; }
    unsigned generation() const { return current_generation; }

    // 0, or the errno an open of chip number with these flags fails with.
    int open_error(unsigned number, int flags) const;
    // The trace of an open: the descriptor, or -errno.
    void trace_open(unsigned number, int flags, int result) const;
    void trace_close(unsigned number, int fd) const;
    // An ioctl on a chip descriptor opened in generation: 0 or an errno.
    // GPIO_V2_GET_LINE_IOCTL comes with the descriptor its request will
    // live in; id is then set.
    int chip_ioctl(unsigned number, unsigned generation, uint32_t code, void *arg, int line_fd,
                   unsigned &id);
    // An ioctl on a line request's descriptor: 0 or an errno.
    int line_ioctl(unsigned id, uint32_t code, void *arg);
    // The request's descriptor is closed: its lines are let go.
    void release(unsigned id);

    // The content of a board file, false where the board has none.
    bool board_file(const char *path, std::string &content) const;

    // Inspection; -1 for a line the board does not have.
    int line_value(unsigned chip, unsigned offset) const;
    int line_output(unsigned chip, unsigned offset) const;
    int line_requested(unsigned chip, unsigned offset) const;
    unsigned request_count() const { return requests_received; }
    unsigned drive_count() const { return drives; }
    void forget_counts();

private:
    struct Line {
        std::string name;
        // The kernel consumer or the request's consumer name.
        std::string consumer;
        bool kernel_held = false;
        unsigned request = 0; // the request holding the line, 0 for none
        bool active_low = false;
        bool output = false;
        // The level of a SoC line; expander lines keep theirs in the firmware.
        uint32_t level = 0;
        // What a SoC line reads while nothing drives it.
        bool pulled_up = false;
    };
    struct Chip {
        std::string label;
        bool expander;
        std::vector<Line> lines;
    };
    struct Request {
        unsigned chip;
        std::vector<unsigned> offsets;
        int fd;
    };

    Chip *chip_at(unsigned number, unsigned generation);
    Line *mutable_line(unsigned chip, unsigned offset);
    const Line *line_at(unsigned chip, unsigned offset) const;
    uint32_t level(const Chip &chip, unsigned offset) const;
    void drive(Chip &chip, unsigned offset, uint32_t level);
    static int line_info(const Chip &chip, void *arg);
    int request_lines(unsigned number, Chip &chip, void *arg, int line_fd, unsigned &id);
    static void trace_request(unsigned number, const Chip &chip,
                              const gpio_v2_line_request &request, const std::string &consumer,
                              int result);
    bool configure_line(Chip &chip, unsigned offset, const gpio_v2_line_config &config,
                        unsigned index);
    int get_values(const Request &request, void *arg);
    int set_values(const Request &request, void *arg);
    int set_config(const Request &request, void *arg);

    Firmware &firmware;
    std::vector<Chip> chips;
    std::map<unsigned, Request> requests;
    unsigned next_request = 1;
    unsigned current_generation = 0;
    uint32_t revision = default_board_revision;
    GpioSettings settings;
    unsigned requests_received = 0;
    unsigned drives = 0;
    bool trace = false;
};

} // namespace vcioemu

#endif // VCIOEMU_GPIOCHIPS_H
