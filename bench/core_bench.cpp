// The native core's firmware requests against the emulator: gpio_set and
// gpio_get on one open descriptor, each a whole property request (buffer,
// ioctl, answer). Run with the emulator preloaded, as tools/bench does.
#include <benchmark/benchmark.h>

#include "gpio.h"

namespace {

constexpr int led_line = 134;

// One open descriptor of the emulated device for a benchmark's lifetime.
class Mailbox {
public:
    Mailbox() : fd(rpi_firmware_open()) {}
    ~Mailbox() { rpi_firmware_close(fd); }
    Mailbox(const Mailbox &) = delete;
    Mailbox &operator=(const Mailbox &) = delete;

    const int fd;
};

// cppcheck-suppress constParameterCallback
void BM_gpio_set(benchmark::State &state)
{
    Mailbox mailbox;
    // Always 1, as a camera loop that keeps the LED on sends it.
    for (auto _ : state)
        gpio_set(mailbox.fd, led_line, 1);
}
BENCHMARK(BM_gpio_set);

// cppcheck-suppress constParameterCallback
void BM_gpio_get(benchmark::State &state)
{
    Mailbox mailbox;
    for (auto _ : state)
        benchmark::DoNotOptimize(gpio_get(mailbox.fd, led_line));
}
BENCHMARK(BM_gpio_get);

} // namespace

BENCHMARK_MAIN();
