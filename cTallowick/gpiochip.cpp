#include "gpiochip.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

const char soc_chip_label[] = "pinctrl-bcm2835";
const char expander_chip_label[] = "raspberrypi-exp-gpio";

namespace {

// The kernel numbers its chips from 0; a Pi has a handful.
constexpr int max_chips = 64;

const char persist_parameter[] = "/sys/module/pinctrl_bcm2835/parameters/persist_gpio_outputs";

// Every request here is for one line: bit 0 of the request's bitmaps.
constexpr uint64_t first_line = 1;

// The one place a failed system call's errno becomes a result.
int failure()
{
    return -errno;
}

int checked_ioctl(int fd, unsigned long request, void *arg)
{
    return ioctl(fd, request, arg) == -1 ? failure() : 0;
}

// The kernel's fixed-size names end at their first NUL or their last byte.
std::string fixed_name(const char (&name)[GPIO_MAX_NAME_SIZE])
{
    return {name, strnlen(name, sizeof(name))};
}

// Output and its level as the kernel takes them in one configuration: the
// level travels with the direction, so the line never shows another.
void configure_output(gpio_v2_line_config &config, int value)
{
    config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
    config.num_attrs = 1;
    config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
    config.attrs[0].attr.values = value != 0 ? first_line : 0;
    config.attrs[0].mask = first_line;
}

} // namespace

owned_fd::owned_fd(owned_fd &&other) noexcept : fd_(other.fd_)
{
    other.fd_ = -1;
}

owned_fd &owned_fd::operator=(owned_fd &&other) noexcept
{
    if (this != &other) {
        reset();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

owned_fd::~owned_fd()
{
    reset();
}

// Linux releases the descriptor even when close reports an error, and
// nothing here could act on one: the result is not looked at.
void owned_fd::reset()
{
    if (fd_ >= 0)
        static_cast<void>(::close(fd_));
    fd_ = -1;
}

int gpio_line_request::get_value() const
{
    gpio_v2_line_values values{};
    values.mask = first_line;
    const int result = checked_ioctl(fd_.get(), GPIO_V2_LINE_GET_VALUES_IOCTL, &values);
    if (result != 0)
        return result;
    return (values.bits & first_line) != 0 ? 1 : 0;
}

int gpio_line_request::set_value(int value)
{
    gpio_v2_line_values values{};
    values.mask = first_line;
    values.bits = value != 0 ? first_line : 0;
    return checked_ioctl(fd_.get(), GPIO_V2_LINE_SET_VALUES_IOCTL, &values);
}

int gpio_line_request::make_output(int value)
{
    gpio_v2_line_config config{};
    configure_output(config, value);
    return checked_ioctl(fd_.get(), GPIO_V2_LINE_SET_CONFIG_IOCTL, &config);
}

int gpio_chip::find(const char *label, std::string &refused_path)
{
    int refusal = 0;
    for (int number = 0; number < max_chips; ++number) {
        char node[32];
        std::snprintf(node, sizeof(node), "/dev/gpiochip%d", number);
        owned_fd fd(open(node, O_RDWR | O_CLOEXEC));
        int result = fd.valid() ? 0 : failure();
        if (result == -ENOENT)
            continue;
        gpiochip_info info{};
        if (result == 0)
            result = checked_ioctl(fd.get(), GPIO_GET_CHIPINFO_IOCTL, &info);
        if (result != 0) {
            // A later chip may still be the one; the first refusal is what
            // the caller hears when none is.
            if (refusal == 0) {
                refusal = result;
                refused_path = node;
            }
            continue;
        }
        if (fixed_name(info.label) == label) {
            fd_ = std::move(fd);
            path_ = node;
            return 0;
        }
    }
    return refusal != 0 ? refusal : -ENOENT;
}

int gpio_chip::line_info(unsigned offset, gpio_line_info &info) const
{
    gpio_v2_line_info kernel_info{};
    kernel_info.offset = offset;
    const int result = checked_ioctl(fd_.get(), GPIO_V2_GET_LINEINFO_IOCTL, &kernel_info);
    if (result != 0)
        return result;
    info.name = fixed_name(kernel_info.name);
    info.consumer = fixed_name(kernel_info.consumer);
    info.used = (kernel_info.flags & GPIO_V2_LINE_FLAG_USED) != 0;
    info.output = (kernel_info.flags & GPIO_V2_LINE_FLAG_OUTPUT) != 0;
    return 0;
}

int gpio_chip::request(unsigned offset, line_mode mode, int value, const char *consumer,
                       gpio_line_request &request) const
{
    gpio_v2_line_request kernel_request{};
    kernel_request.offsets[0] = offset;
    kernel_request.num_lines = 1;
    // The kernel keeps at most the first 31 bytes of the name.
    std::strncpy(kernel_request.consumer, consumer, sizeof(kernel_request.consumer) - 1);
    if (mode == line_mode::output)
        configure_output(kernel_request.config, value);
    const int result = checked_ioctl(fd_.get(), GPIO_V2_GET_LINE_IOCTL, &kernel_request);
    if (result != 0)
        return result;
    request.fd_ = owned_fd(kernel_request.fd);
    return 0;
}

int probe_open(const char *path, int flags)
{
    // Close-on-exec whatever the caller gives: the descriptor lives only
    // here, but another thread may start a program meanwhile.
    const owned_fd fd(open(path, flags | O_CLOEXEC));
    return fd.valid() ? 0 : failure();
}

int soc_outputs_persist()
{
    const owned_fd fd(open(persist_parameter, O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return -1;
    char value = 0;
    ssize_t got = 0;
    do {
        got = read(fd.get(), &value, 1);
    } while (got == -1 && failure() == -EINTR);
    if (got != 1)
        return -1;
    if (value == 'Y')
        return 1;
    return value == 'N' ? 0 : -1;
}
