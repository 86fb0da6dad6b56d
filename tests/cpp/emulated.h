// Shared by the tests: every test runs against the firmware emulator, which
// the test binary links and CTest also preloads.
#ifndef TALLOWICK_TESTS_EMULATED_H
#define TALLOWICK_TESTS_EMULATED_H

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vcio_emulator.h"

// Starts each test with no requests, every line at 0, no faults and the
// default board's GPIO chips afresh, and checks that it leaves no emulated
// descriptor (of "/dev/vcio", a chip or a line request) open behind it.
class Emulated : public ::testing::Test {
protected:
    void SetUp() override
    {
        vcioemu_reset();
        descriptors_before = vcioemu_open_descriptors();
        gpio_descriptors_before = vcioemu_gpio_open_descriptors();
    }
    void TearDown() override
    {
        vcioemu_reset();
        EXPECT_EQ(vcioemu_open_descriptors(), descriptors_before);
        EXPECT_EQ(vcioemu_gpio_open_descriptors(), gpio_descriptors_before);
    }

    int descriptors_before = 0;
    int gpio_descriptors_before = 0;
};

// The words of request index exactly as they were sent.
inline std::vector<uint32_t> request_words(unsigned index)
{
    std::vector<uint32_t> words(64);
    const int count =
        vcioemu_request_words(index, words.data(), static_cast<unsigned>(words.size()));
    words.resize(count < 0 ? 0 : static_cast<size_t>(count));
    return words;
}

// A pattern for a death test's standard error that is exactly these lines.
inline std::string exactly(const std::string &lines)
{
    std::string pattern = "^";
    for (const char c : lines) {
        if (std::string(".[]()*+?{}|^$\\").find(c) != std::string::npos)
            pattern += '\\';
        pattern += c;
    }
    return pattern + "$";
}

#endif // TALLOWICK_TESTS_EMULATED_H
