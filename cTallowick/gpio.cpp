#include "gpio.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const char vcio_path[] = "/dev/vcio";

// Words of the property buffer ahead of the tag's value: total size, overall
// status, tag, value size, tag request/response code.
constexpr size_t header_words = 5;
constexpr size_t header_bytes = header_words * sizeof(uint32_t);
// The header plus the closing end tag.
constexpr size_t frame_bytes = header_bytes + sizeof(uint32_t);

// Every failure of the channel is fatal to the process: one line on standard
// error, then exit status 1.
[[noreturn]] __attribute__((format(printf, 1, 2))) void die(const char *format, ...)
{
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

} // namespace

int rpi_firmware_open()
{
    const int fd = open(vcio_path, O_RDONLY | O_NONBLOCK);
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
    const size_t size = property_buffer_size(buf_size);
    auto *buf = static_cast<uint32_t *>(std::calloc(size / sizeof(uint32_t), sizeof(uint32_t)));
    if (buf == nullptr)
        die("error: Failed to allocate memory for RPi firmware\n");

    buf[0] = static_cast<uint32_t>(size);
    buf[1] = RPI_FIRMWARE_STATUS_REQUEST;
    buf[2] = tag;
    buf[3] = static_cast<uint32_t>(buf_size);
    buf[4] = 0;
    std::memcpy(buf + header_words, tag_data, buf_size);
    buf[size / sizeof(uint32_t) - 1] = RPI_FIRMWARE_PROPERTY_END;

    if (ioctl(fd, IOCTL_RPI_FIRMWARE_PROPERTY, buf) == -1)
        die("error: ioctl: IOCTL_RPI_FIRMWARE_PROPERTY: %s\n", std::strerror(errno));
    if (buf[1] != RPI_FIRMWARE_STATUS_SUCCESS)
        die("error: RPi firmware returned 0x%08x\n", static_cast<unsigned>(buf[1]));

    std::memcpy(tag_data, buf + header_words, buf_size);
    std::free(buf);
}

void gpio_set(int mb, int gpio, int state)
{
    uint32_t gpio_data[2] = {static_cast<uint32_t>(gpio), state != 0 ? 1U : 0U};
    rpi_firmware_property(mb, RPI_FIRMWARE_SET_GPIO_STATE, gpio_data, sizeof(gpio_data));
}

int gpio_get(int mb, int gpio)
{
    // The state word is sent as 0: the firmware's answer replaces it.
    uint32_t gpio_data[2] = {static_cast<uint32_t>(gpio), 0};
    rpi_firmware_property(mb, RPI_FIRMWARE_GET_GPIO_STATE, gpio_data, sizeof(gpio_data));
    return static_cast<int>(gpio_data[1]);
}
