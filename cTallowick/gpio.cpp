#include "gpio.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <utility>

namespace {

const char vcio_path[] = "/dev/vcio";

// Words of the property buffer ahead of the tag's value: total size, overall
// status, tag, value size, tag request/response code.
constexpr size_t header_words = 5;
constexpr size_t header_bytes = header_words * sizeof(uint32_t);
// The header plus the closing end tag.
constexpr size_t frame_bytes = header_bytes + sizeof(uint32_t);

// Bit 31 of a tag's request/response code: the firmware answered the tag.
constexpr uint32_t tag_answered = 0x80000000;
// The first value word of a GPIO tag: the line as sent, 0 in the answer when
// the firmware drove or read it.
constexpr size_t gpio_line_word = header_words;

rpi_firmware_exit_hook exit_hook = nullptr;

// Every failure of the channel is fatal to the process: whatever the hook
// writes out, one line on standard error, then exit status 1. A failure
// inside the hook ends the process with its own line, without a second run
// of the hook.
[[noreturn]] __attribute__((format(printf, 1, 2))) void die(const char *format, ...)
{
    static bool dying = false;
    if (!dying && exit_hook != nullptr) {
        dying = true;
        exit_hook();
    }
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::exit(1);
}

// The value area holds buf_size bytes rounded up to whole words, so that the
// end tag never overwrites the last bytes of an odd-sized value.
size_t property_buffer_size(size_t buf_size)
{
    return ((buf_size + 3) & ~static_cast<size_t>(3)) + frame_bytes;
}

struct FreeBuffer {
    void operator()(uint32_t *words) const { std::free(words); }
};
// One request's property buffer, owned for the duration of the request.
using PropertyBuffer = std::unique_ptr<uint32_t[], FreeBuffer>;

// Sends one tag and checks the answer as a whole: the request went through,
// the firmware succeeded and it answered the tag.
PropertyBuffer exchange(int fd, uint32_t tag, const void *tag_data, size_t buf_size)
{
    const size_t size = property_buffer_size(buf_size);
    PropertyBuffer buf(
        static_cast<uint32_t *>(std::calloc(size / sizeof(uint32_t), sizeof(uint32_t))));
    if (buf == nullptr)
        die("error: Failed to allocate memory for RPi firmware\n");

    buf[0] = static_cast<uint32_t>(size);
    buf[1] = RPI_FIRMWARE_STATUS_REQUEST;
    buf[2] = tag;
    buf[3] = static_cast<uint32_t>(buf_size);
    buf[4] = 0;
    std::memcpy(&buf[header_words], tag_data, buf_size);
    buf[size / sizeof(uint32_t) - 1] = RPI_FIRMWARE_PROPERTY_END;

    if (ioctl(fd, IOCTL_RPI_FIRMWARE_PROPERTY, buf.get()) == -1)
        die("error: ioctl: IOCTL_RPI_FIRMWARE_PROPERTY: %s\n", std::strerror(errno));
    if (buf[1] != RPI_FIRMWARE_STATUS_SUCCESS)
        die("error: RPi firmware returned 0x%08x\n", static_cast<unsigned>(buf[1]));
    if ((buf[4] & tag_answered) == 0)
        die("error: RPi firmware did not answer tag 0x%08x\n", static_cast<unsigned>(tag));
    return buf;
}

// Hands the answer to the caller; the buffer goes with the call.
void finish_request(PropertyBuffer buf, void *tag_data, size_t buf_size)
{
    std::memcpy(tag_data, &buf[header_words], buf_size);
}

// One GPIO tag: the firmware writes 0 over the line word when it has driven
// or read the line, anything else when it refuses the line.
void gpio_request(int mb, uint32_t tag, uint32_t (&gpio_data)[2])
{
    PropertyBuffer buf = exchange(mb, tag, gpio_data, sizeof(gpio_data));
    if (buf[gpio_line_word] != 0)
        die("error: RPi firmware refused GPIO line %d (answer 0x%08x)\n",
            static_cast<int>(gpio_data[0]), static_cast<unsigned>(buf[gpio_line_word]));
    finish_request(std::move(buf), gpio_data, sizeof(gpio_data));
}

} // namespace

int rpi_firmware_open()
{
    const int fd = open(vcio_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1)
        die("error: open: %s: %s\n", vcio_path, std::strerror(errno));
    return fd;
}

void rpi_firmware_close(int fd)
{
    if (close(fd) == -1)
        die("error: close: %s\n", std::strerror(errno));
}

void rpi_firmware_property(int fd, uint32_t tag, void *tag_data, size_t buf_size)
{
    finish_request(exchange(fd, tag, tag_data, buf_size), tag_data, buf_size);
}

void gpio_set(int mb, int gpio, int state)
{
    uint32_t gpio_data[2] = {static_cast<uint32_t>(gpio), state != 0 ? 1U : 0U};
    gpio_request(mb, RPI_FIRMWARE_SET_GPIO_STATE, gpio_data);
}

int gpio_get(int mb, int gpio)
{
    // The state word is sent as 0: the firmware's answer replaces it.
    uint32_t gpio_data[2] = {static_cast<uint32_t>(gpio), 0};
    gpio_request(mb, RPI_FIRMWARE_GET_GPIO_STATE, gpio_data);
    return static_cast<int>(gpio_data[1]);
}

void rpi_firmware_set_exit_hook(rpi_firmware_exit_hook hook)
{
    exit_hook = hook;
}
