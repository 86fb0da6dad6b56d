// The firmware property channel: the buffer it sends, the device it opens and
// the way each failure ends the process.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

#include "emulated.h"
#include "gpio.h"

namespace {

static_assert(IOCTL_RPI_FIRMWARE_PROPERTY == (sizeof(char *) == 4 ? 0xC0046400UL : 0xC0086400UL),
              "the vcio driver answers only _IOWR(100, 0, char *) of the process's word size");

using Channel = Emulated;
using ChannelDeathTest = Emulated;

std::string error_line(const std::string &text)
{
    return exactly("error: " + text + "\n");
}

// Close-on-exec: a program this process starts must not inherit a mailbox
// that reaches every firmware property.
TEST_F(Channel, OpensTheDeviceReadOnlyNonBlockingAndCloseOnExec)
{
    const int fd = rpi_firmware_open();
    EXPECT_GE(fd, 0);
    EXPECT_EQ(vcioemu_last_open_flags(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(vcioemu_open_descriptors(), descriptors_before + 1);
    rpi_firmware_close(fd);
    EXPECT_EQ(vcioemu_open_descriptors(), descriptors_before);
}

TEST_F(Channel, GpioRequestsAreTheExact32ByteBuffer)
{
    const int fd = rpi_firmware_open();
    gpio_set(fd, 134, 1);
    vcioemu_set_line_state(134, 1);
    EXPECT_EQ(gpio_get(fd, 134), 1);
    rpi_firmware_close(fd);

    ASSERT_EQ(vcioemu_request_count(), 2U);
    EXPECT_EQ(request_words(0), (std::vector<uint32_t>{32, 0, 0x00038041, 8, 0, 134, 1, 0}));
    // The state word of a read goes out as 0, never as whatever memory held.
    EXPECT_EQ(request_words(1), (std::vector<uint32_t>{32, 0, 0x00030041, 8, 0, 134, 0, 0}));
    EXPECT_EQ(vcioemu_last_request_code(), IOCTL_RPI_FIRMWARE_PROPERTY);
}

TEST_F(Channel, EveryNonZeroStateDrivesTheLineHigh)
{
    const int fd = rpi_firmware_open();
    const int states[] = {5, 0, -1, 0, 1};
    for (const int state : states) {
        gpio_set(fd, 134, state);
        const uint32_t expected = state != 0 ? 1 : 0;
        EXPECT_EQ(request_words(vcioemu_request_count() - 1).at(6), expected) << "state " << state;
        EXPECT_EQ(gpio_get(fd, 134), static_cast<int>(expected)) << "state " << state;
    }
    rpi_firmware_close(fd);
}

TEST_F(Channel, OddSizedValueIsPaddedNotCutByTheEndTag)
{
    // The board revision fills the first word; the fifth byte comes back as
    // sent, and nothing past it is written.
    const uint32_t board_revision = 0x00010002;
    vcioemu_board_revision(0x00c0ffee);
    unsigned char value[6] = {1, 2, 3, 4, 5, 0xee};
    const int fd = rpi_firmware_open();
    rpi_firmware_property(fd, board_revision, value, 5);
    rpi_firmware_close(fd);

    EXPECT_EQ(request_words(0),
              (std::vector<uint32_t>{32, 0, board_revision, 5, 0, 0x04030201, 5, 0}));
    const unsigned char expected[6] = {0xee, 0xff, 0xc0, 0x00, 5, 0xee};
    EXPECT_EQ(std::memcmp(value, expected, sizeof(value)), 0) << "answer copied past buf_size";
}

TEST_F(ChannelDeathTest, OpenFailureNamesThePathAndTheError)
{
    for (const int err : {ENOENT, EACCES}) {
        vcioemu_fail_open(err);
        EXPECT_EXIT(rpi_firmware_open(), ::testing::ExitedWithCode(1),
                    error_line(std::string("open: /dev/vcio: ") + std::strerror(err)));
    }
}

TEST_F(ChannelDeathTest, IoctlFailureEndsTheProcess)
{
    const int fd = rpi_firmware_open();
    vcioemu_fail_ioctl(EIO);
    EXPECT_EXIT(
        gpio_set(fd, 134, 1), ::testing::ExitedWithCode(1),
        error_line(std::string("ioctl: IOCTL_RPI_FIRMWARE_PROPERTY: ") + std::strerror(EIO)));
    // A firmware error reaches the process as the driver reports it.
    vcioemu_fail_ioctl(0);
    vcioemu_firmware_status(0x80000001);
    EXPECT_EXIT(
        gpio_get(fd, 134), ::testing::ExitedWithCode(1),
        error_line(std::string("ioctl: IOCTL_RPI_FIRMWARE_PROPERTY: ") + std::strerror(EINVAL)));
    rpi_firmware_close(fd);
}

TEST_F(ChannelDeathTest, StatusOtherThanSuccessEndsTheProcess)
{
    const int fd = rpi_firmware_open();
    for (const uint32_t status : {0x80000001U, 0x00000001U, 0x8000000fU}) {
        vcioemu_raw_status(status);
        char hex[9];
        std::snprintf(hex, sizeof(hex), "%08x", status);
        EXPECT_EXIT(gpio_get(fd, 134), ::testing::ExitedWithCode(1),
                    error_line(std::string("RPi firmware returned 0x") + hex));
    }
    rpi_firmware_close(fd);
}

// An answer with a successful status can still say no: a tag left
// unanswered, or a GPIO line refused. Neither may pass for success.
TEST_F(ChannelDeathTest, AnswerThatSaysNoEndsTheProcess)
{
    const int fd = rpi_firmware_open();
    uint32_t revision[1] = {0xabcd};
    vcioemu_leave_unanswered(0x00010002);
    EXPECT_EXIT(rpi_firmware_property(fd, 0x00010002, revision, sizeof(revision)),
                ::testing::ExitedWithCode(1),
                error_line("RPi firmware did not answer tag 0x00010002"));
    vcioemu_leave_unanswered(0x00038041);
    EXPECT_EXIT(gpio_set(fd, 134, 1), ::testing::ExitedWithCode(1),
                error_line("RPi firmware did not answer tag 0x00038041"));
    vcioemu_leave_unanswered(0);
    vcioemu_refuse_line(-1U, 1);
    EXPECT_EXIT(gpio_set(fd, -1, 1), ::testing::ExitedWithCode(1),
                error_line("RPi firmware refused GPIO line -1 (answer 0x00000001)"));
    vcioemu_refuse_line(134, 1);
    EXPECT_EXIT(gpio_get(fd, 134), ::testing::ExitedWithCode(1),
                error_line("RPi firmware refused GPIO line 134 (answer 0x00000001)"));
    rpi_firmware_close(fd);
}

// The hook runs first, then the error line, then the exit.
TEST_F(ChannelDeathTest, ExitHookRunsBeforeTheErrorLine)
{
    rpi_firmware_set_exit_hook([] { std::fputs("written out\n", stderr); });
    vcioemu_fail_open(ENOENT);
    EXPECT_EXIT(rpi_firmware_open(), ::testing::ExitedWithCode(1),
                exactly(std::string("written out\nerror: open: /dev/vcio: ") +
                        std::strerror(ENOENT) + "\n"));
    rpi_firmware_set_exit_hook(nullptr);
}

TEST_F(ChannelDeathTest, CloseFailureEndsTheProcess)
{
    const int fd = rpi_firmware_open();
    vcioemu_fail_close(EIO);
    EXPECT_EXIT(rpi_firmware_close(fd), ::testing::ExitedWithCode(1),
                error_line(std::string("close: ") + std::strerror(EIO)));
    vcioemu_fail_close(0);
    rpi_firmware_close(fd);
}

} // namespace
