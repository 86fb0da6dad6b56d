// The floor under every contender of the benchmark: the emulated firmware
// request made from C alone, without the module, an interpreter or our core.
// Each loop runs in C; the benchmark calls a loop once per timing round
// (through ctypes, whose cost is spread over the whole loop) and divides.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr uint32_t request_words = 8;
constexpr uint32_t status_success = 0x80000000;
constexpr unsigned long property_request = _IOWR(100, 0, char *);

// Processor time of the process, the clock the Python side times with.
long long now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// One property request with one tag and an 8-byte value: allocate the
// buffer, fill it, ioctl, check the status, copy the value back, free.
// false when the device or the firmware refused.
bool one_request(int fd, uint32_t tag, uint32_t value[2])
{
    auto *buf = static_cast<uint32_t *>(std::calloc(request_words, sizeof(uint32_t)));
    if (buf == nullptr)
        return false;
    buf[0] = request_words * sizeof(uint32_t);
    buf[2] = tag;
    buf[3] = 2 * sizeof(uint32_t);
    std::memcpy(buf + 5, value, 2 * sizeof(uint32_t));
    const bool sent = ioctl(fd, property_request, buf) != -1 && buf[1] == status_success;
    if (sent)
        std::memcpy(value, buf + 5, 2 * sizeof(uint32_t));
    std::free(buf);
    return sent;
}

} // namespace

extern "C" {

// Processor nanoseconds taken by `count` requests of `tag` for `line` on `fd`, or -1
// when one of them failed.
long long bench_requests_ns(int fd, uint32_t tag, uint32_t line, uint32_t state, unsigned count)
{
    const long long start = now_ns();
    for (unsigned i = 0; i < count; ++i) {
        uint32_t value[2] = {line, state};
        if (!one_request(fd, tag, value))
            return -1;
    }
    return now_ns() - start;
}

// Processor nanoseconds taken by `count` opens and closes of `path` with the flags the
// module uses, or -1 when one failed.
long long bench_open_close_ns(const char *path, unsigned count)
{
    const long long start = now_ns();
    for (unsigned i = 0; i < count; ++i) {
        const int fd = open(path, O_RDONLY | O_NONBLOCK);
        if (fd == -1 || close(fd) == -1)
            return -1;
    }
    return now_ns() - start;
}

} // extern "C"
