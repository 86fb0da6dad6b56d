// The kernel's road to a GPIO line: the GPIO character device
// ("/dev/gpiochipN"), uAPI v2 of <linux/gpio.h> (Linux 5.10 and later).
//
// Unlike the firmware channel nothing here ends the process: every call that
// can fail returns 0 or a negative errno (-ENOENT, -EACCES, -EBUSY, ...), and
// the caller decides what to tell the user.
#ifndef CTALLOWICK_GPIOCHIP_H
#define CTALLOWICK_GPIOCHIP_H

#include <string>

// The chip labels the camera LED's lines live on.
extern const char soc_chip_label[];      // "pinctrl-bcm2835"
extern const char expander_chip_label[]; // "raspberrypi-exp-gpio"

// The first expander line as the firmware numbers it: expander line k is
// firmware line 128 + k.
constexpr int expander_first_firmware_line = 128;

// A descriptor this object owns; closed when it goes away.
class owned_fd {
public:
    owned_fd() = default;
    explicit owned_fd(int fd) : fd_(fd) {}
    owned_fd(owned_fd &&other) noexcept;
    owned_fd &operator=(owned_fd &&other) noexcept;
    owned_fd(const owned_fd &) = delete;
    owned_fd &operator=(const owned_fd &) = delete;
    ~owned_fd();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset();

private:
    int fd_ = -1;
};

// What the kernel says of one line.
struct gpio_line_info {
    std::string name;     // "" when the line has none
    std::string consumer; // who holds it; "" when nobody gives a name
    bool used;            // held by the kernel or another request
    bool output;
};

// How a line is requested.
enum class line_mode {
    as_is,  // neither input nor output: the direction stays as it is
    output, // driven to the given value
};

// One requested line; released when the object goes away or on release().
class gpio_line_request {
public:
    // 0 or 1, or -errno.
    int get_value() const;
    // 0 or -errno (EPERM where the line was not requested as an output).
    int set_value(int value);
    // Turns an as-is request into an output driven to value, without letting
    // the line go: 0 or -errno.
    int make_output(int value);
    void release() { fd_.reset(); }
    bool valid() const { return fd_.valid(); }

private:
    friend class gpio_chip;
    owned_fd fd_;
};

// One opened GPIO chip.
class gpio_chip {
public:
    // Opens "/dev/gpiochip0", "/dev/gpiochip1", ... "/dev/gpiochip63" in turn
    // (a missing node is skipped, nothing is listed) and keeps the first whose
    // label is label. 0 when found; -ENOENT when no chip has that label and
    // every node could be opened; otherwise the errno of the first node that
    // could not be opened (or not asked for its label), its path in
    // refused_path.
    int find(const char *label, std::string &refused_path);

    // The line's name, consumer and flags: 0 or -errno.
    int line_info(unsigned offset, gpio_line_info &info) const;

    // Requests one line under the consumer name: 0 or -errno (EBUSY for a
    // line somebody holds). value counts only for line_mode::output.
    int request(unsigned offset, line_mode mode, int value, const char *consumer,
                gpio_line_request &request) const;

    const std::string &path() const { return path_; }
    void close() { fd_.reset(); }

private:
    owned_fd fd_;
    std::string path_;
};

// Whether this process may open path as the kernel road and the firmware
// channel open it (read-write for a chip, read-only for "/dev/vcio", both
// close-on-exec): 0, or -errno of the refused open. Nothing stays open.
int probe_open(const char *path, int flags);

// pinctrl-bcm2835's persist_gpio_outputs: 1 when a released SoC output keeps
// its level ("Y"), 0 when it goes back to input ("N"), -1 when the kernel has
// no such parameter.
int soc_outputs_persist();

#endif // CTALLOWICK_GPIOCHIP_H
