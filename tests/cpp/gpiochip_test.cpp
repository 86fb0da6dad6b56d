// The kernel's road to a line, against the emulated chips of each board.
#include <cerrno>
#include <fcntl.h>

#include "emulated.h"
#include "gpiochip.h"

namespace {

constexpr uint32_t pi3b = 0xa02082;
constexpr uint32_t pi4b = 0xc03111;
constexpr uint32_t zero_w = 0x9000c1;

constexpr unsigned soc = 0;
constexpr unsigned expander = 1;

class KernelRoad : public Emulated {
protected:
    // The board and the emulator's words, then the chip with that label.
    void find_on(uint32_t revision, const char *words, const char *label)
    {
        vcioemu_board_revision(revision);
        ASSERT_EQ(vcioemu_gpio_configure(words), 0);
        std::string refused;
        ASSERT_EQ(chip.find(label, refused), 0);
    }

    void TearDown() override
    {
        chip.close();
        Emulated::TearDown();
    }

    gpio_chip chip;
};

struct FindCase {
    uint32_t board;
    int result;
    const char *words;
    const char *label;
    const char *path; // the chip found, or the node refused
};

TEST_F(KernelRoad, FindsTheChipByItsLabel)
{
    const FindCase cases[] = {
        {pi3b, 0, "", expander_chip_label, "/dev/gpiochip1"},
        {pi3b, 0, "", soc_chip_label, "/dev/gpiochip0"},
        {zero_w, -ENOENT, "", expander_chip_label, ""},
        {pi3b, -ENOENT, "no-expander", expander_chip_label, ""},
        // The Pi 4's SoC chip has another label.
        {pi4b, -ENOENT, "", soc_chip_label, ""},
        {pi3b, -EACCES, "chips=EACCES", expander_chip_label, "/dev/gpiochip0"},
    };
    for (const FindCase &c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << std::hex << c.board << " " << c.words << " " << c.label);
        vcioemu_reset();
        vcioemu_board_revision(c.board);
        ASSERT_EQ(vcioemu_gpio_configure(c.words), 0);
        gpio_chip found;
        std::string refused;
        EXPECT_EQ(found.find(c.label, refused), c.result);
        EXPECT_EQ(c.result == 0 ? found.path() : refused, c.path);
        // Only the chip found stays open.
        EXPECT_EQ(vcioemu_gpio_open_descriptors(), gpio_descriptors_before + (c.result == 0));
    }
}

TEST_F(KernelRoad, LineInfoShowsTheKernelsConsumer)
{
    find_on(pi3b, "", expander_chip_label);
    gpio_line_info info;
    ASSERT_EQ(chip.line_info(5, info), 0);
    EXPECT_EQ(info.name, "CAM_GPIO0");
    EXPECT_EQ(info.consumer, "cam1_regulator");
    EXPECT_TRUE(info.used);
    EXPECT_TRUE(info.output);
    ASSERT_EQ(chip.line_info(6, info), 0);
    EXPECT_EQ(info.name, "CAM_GPIO1");
    EXPECT_EQ(info.consumer, "");
    EXPECT_FALSE(info.used);
    EXPECT_FALSE(info.output);
    EXPECT_EQ(chip.line_info(8, info), -EINVAL);
}

// The expander's line is the firmware's: what one road drives the other
// reads.
TEST_F(KernelRoad, OutputRequestDrivesTheLineOnBothRoads)
{
    find_on(pi3b, "", expander_chip_label);
    gpio_line_request led;
    ASSERT_EQ(chip.request(6, line_mode::output, 1, "tallowick", led), 0);
    EXPECT_EQ(vcioemu_line_state(134), 1);
    EXPECT_EQ(vcioemu_gpio_line_output(expander, 6), 1);
    EXPECT_EQ(led.get_value(), 1);
    vcioemu_set_line_state(134, 0);
    EXPECT_EQ(led.get_value(), 0);
    EXPECT_EQ(led.set_value(1), 0);
    EXPECT_EQ(vcioemu_line_state(134), 1);
    gpio_line_info info;
    ASSERT_EQ(chip.line_info(6, info), 0);
    EXPECT_EQ(info.consumer, "tallowick");
    EXPECT_EQ(vcioemu_gpio_drive_count(), 2U);
}

// As is means as is: an input stays an input that may not be set, and an
// output left driven high stays so, with nothing driven by the request.
TEST_F(KernelRoad, AsIsRequestChangesNothingUntilMadeOutput)
{
    find_on(zero_w, "", soc_chip_label);
    gpio_line_request led;
    ASSERT_EQ(chip.request(40, line_mode::as_is, 1, "tallowick", led), 0);
    EXPECT_EQ(led.get_value(), 0);
    EXPECT_EQ(vcioemu_gpio_line_output(soc, 40), 0);
    EXPECT_EQ(led.set_value(1), -EPERM);
    EXPECT_EQ(vcioemu_gpio_line_value(soc, 40), 0);
    EXPECT_EQ(vcioemu_gpio_drive_count(), 0U);
    EXPECT_EQ(led.make_output(1), 0);
    EXPECT_EQ(vcioemu_gpio_line_output(soc, 40), 1);
    EXPECT_EQ(vcioemu_gpio_line_value(soc, 40), 1);
    led.release();

    ASSERT_EQ(chip.request(40, line_mode::as_is, 0, "tallowick", led), 0);
    EXPECT_EQ(led.get_value(), 1);
    EXPECT_EQ(vcioemu_gpio_line_output(soc, 40), 1);
    EXPECT_EQ(vcioemu_gpio_drive_count(), 1U);
}

// Held by the kernel, or by a request of this very process.
TEST_F(KernelRoad, HeldLineIsBusy)
{
    find_on(zero_w, "hold=0:40:gpio-leds", soc_chip_label);
    gpio_line_request held;
    EXPECT_EQ(chip.request(40, line_mode::as_is, 0, "tallowick", held), -EBUSY);
    EXPECT_FALSE(held.valid());
    EXPECT_EQ(chip.request(44, line_mode::output, 1, "tallowick", held), -EBUSY);
    gpio_line_request first;
    gpio_line_request second;
    ASSERT_EQ(chip.request(32, line_mode::output, 1, "tallowick", first), 0);
    EXPECT_EQ(chip.request(32, line_mode::as_is, 0, "tallowick", second), -EBUSY);
    EXPECT_EQ(vcioemu_gpio_request_count(), 4U);
    EXPECT_EQ(vcioemu_gpio_drive_count(), 1U);
}

struct ReleaseCase {
    uint32_t board;
    unsigned chip;
    unsigned offset;
    int persist; // soc_outputs_persist()
    int output;  // the line once released
    int value;
    const char *words;
    const char *label;
};

// A released SoC output keeps its level only where the kernel persists
// outputs; an expander line always does.
TEST_F(KernelRoad, ReleaseLetsTheLineGoAsTheKernelDoes)
{
    const ReleaseCase cases[] = {
        {zero_w, soc, 40, 1, 1, 1, "", soc_chip_label},
        {zero_w, soc, 40, 0, 0, 0, "persist=N", soc_chip_label},
        {zero_w, soc, 40, -1, 0, 0, "persist=none", soc_chip_label},
        {pi3b, expander, 6, 0, 1, 1, "persist=N", expander_chip_label},
    };
    for (const ReleaseCase &c : cases) {
        SCOPED_TRACE(c.words);
        vcioemu_reset();
        find_on(c.board, c.words, c.label);
        EXPECT_EQ(soc_outputs_persist(), c.persist);
        gpio_line_request led;
        ASSERT_EQ(chip.request(c.offset, line_mode::output, 1, "tallowick", led), 0);
        EXPECT_EQ(vcioemu_gpio_line_requested(c.chip, c.offset), 1);
        led.release();
        EXPECT_FALSE(led.valid());
        EXPECT_EQ(vcioemu_gpio_line_requested(c.chip, c.offset), 0);
        EXPECT_EQ(vcioemu_gpio_line_output(c.chip, c.offset), c.output);
        EXPECT_EQ(vcioemu_gpio_line_value(c.chip, c.offset), c.value);
        chip.close();
    }
}

TEST_F(KernelRoad, ProbeOpenSaysWhetherTheUserMayOpen)
{
    EXPECT_EQ(probe_open("/dev/gpiochip1", O_RDWR), 0);
    EXPECT_EQ(probe_open("/dev/gpiochip2", O_RDWR), -ENOENT);
    ASSERT_EQ(vcioemu_gpio_configure("chips=EACCES"), 0);
    EXPECT_EQ(probe_open("/dev/gpiochip0", O_RDWR), -EACCES);
    vcioemu_fail_open(EPERM);
    EXPECT_EQ(probe_open("/dev/vcio", O_RDONLY), -EPERM);
}

} // namespace
