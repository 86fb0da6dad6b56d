// The emulator itself: it must refuse and answer what the vcio driver and the
// firmware refuse and answer, or a green run under it would mean nothing.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "CTallowick.h"
#include "emulated.h"
#include "gpiochip.h"

// GoogleTest before 1.12 (Debian 11's) has the flag variables but not the
// accessors.
#ifndef GTEST_FLAG_GET
#define GTEST_FLAG_GET(name) ::testing::GTEST_FLAG(name)
#define GTEST_FLAG_SET(name, value) (void)(::testing::GTEST_FLAG(name) = value)
#endif

namespace {

const unsigned long property_request = _IOWR(100, 0, char *);
const uint32_t get_gpio_state = 0x00030041;
const uint32_t set_gpio_state = 0x00038041;

// Requests as any program could send them, on a descriptor of its own.
class Driver : public Emulated {
protected:
    void SetUp() override
    {
        Emulated::SetUp();
        fd = ::open("/dev/vcio", O_RDONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override
    {
        ::close(fd);
        Emulated::TearDown();
    }

    // 0 when the ioctl succeeds, else its errno.
    int send(std::vector<uint32_t> &words, unsigned long code = property_request) const
    {
        errno = 0;
        return ::ioctl(fd, code, words.data()) == 0 ? 0 : errno;
    }

    int fd = -1;
};

TEST_F(Driver, RefusesSizesThatAreNotAFramedWordList)
{
    for (const uint32_t size : {0U, 8U, 13U, 30U}) {
        std::vector<uint32_t> words{size, 0, set_gpio_state, 8, 0, 134, 1, 0};
        const std::vector<uint32_t> sent = words;
        EXPECT_EQ(send(words), EINVAL) << "size " << size;
        EXPECT_EQ(words, sent) << "size " << size;
    }
    EXPECT_EQ(vcioemu_line_state(134), 0);
    // Refused requests are recorded too, as far as their size reaches.
    ASSERT_EQ(vcioemu_request_count(), 4U);
    EXPECT_EQ(request_words(2), (std::vector<uint32_t>{13, 0, set_gpio_state}));
}

TEST_F(Driver, RefusesTheOtherWordSizesRequestCode)
{
    const unsigned long other = sizeof(char *) == 8 ? 0xC0046400UL : 0xC0086400UL;
    std::vector<uint32_t> words{32, 0, set_gpio_state, 8, 0, 134, 1, 0};
    const std::vector<uint32_t> sent = words;
    EXPECT_EQ(send(words, other), EINVAL);
    EXPECT_EQ(words, sent);
    EXPECT_EQ(vcioemu_last_request_code(), other);
    EXPECT_EQ(vcioemu_line_state(134), 0);
}

TEST_F(Driver, AnswersGpioTagsAndLeavesUnknownTagsUnanswered)
{
    vcioemu_set_line_state(134, 1);
    std::vector<uint32_t> words{48, 0, 0x0003f0f0, 4,      0, 0xaaaa, get_gpio_state,
                                8,  0, 134,        0xdead, 0};
    ASSERT_EQ(send(words), 0);
    EXPECT_EQ(words, (std::vector<uint32_t>{48, 0x80000000, 0x0003f0f0, 4, 0, 0xaaaa,
                                            get_gpio_state, 8, 0x80000008, 0, 1, 0}));
}

// The revision is the board the process chose; a refused line and an ignored
// tag are answered as the firmware answers them, with a successful status.
TEST_F(Driver, AnswersTheBoardAndSaysNoWhereTold)
{
    std::vector<uint32_t> words{28, 0, 0x00010002, 4, 0, 0, 0};
    ASSERT_EQ(send(words), 0);
    EXPECT_EQ(words,
              (std::vector<uint32_t>{28, 0x80000000, 0x00010002, 4, 0x80000004, 0xa02082, 0}));
    vcioemu_board_revision(0xc03111);
    words = {28, 0, 0x00010002, 4, 0, 0, 0};
    ASSERT_EQ(send(words), 0);
    EXPECT_EQ(words[5], 0xc03111U);

    vcioemu_refuse_line(134, 1);
    words = {32, 0, set_gpio_state, 8, 0, 134, 1, 0};
    ASSERT_EQ(send(words), 0);
    EXPECT_EQ(words,
              (std::vector<uint32_t>{32, 0x80000000, set_gpio_state, 8, 0x80000008, 1, 1, 0}));
    EXPECT_EQ(vcioemu_line_state(134), 0);

    vcioemu_leave_unanswered(get_gpio_state);
    words = {32, 0, get_gpio_state, 8, 0, 5, 0, 0};
    ASSERT_EQ(send(words), 0);
    EXPECT_EQ(words, (std::vector<uint32_t>{32, 0x80000000, get_gpio_state, 8, 0, 5, 0, 0}));
}

TEST_F(Driver, TagRunningPastTheBufferFailsTheRequest)
{
    std::vector<uint32_t> words{32, 0, set_gpio_state, 64, 0, 134, 1, 0};
    const std::vector<uint32_t> sent = words;
    EXPECT_EQ(send(words), EINVAL);
    EXPECT_EQ(words, sent);
    EXPECT_EQ(vcioemu_line_state(134), 0);
}

TEST_F(Driver, RawStatusComesBackThroughASuccessfulIoctl)
{
    vcioemu_raw_status(0x80000001);
    std::vector<uint32_t> words{32, 0, get_gpio_state, 8, 0, 134, 0, 0};
    EXPECT_EQ(send(words), 0);
    EXPECT_EQ(words[1], 0x80000001U);
}

TEST_F(Driver, FailedCloseStillReleasesTheDescriptor)
{
    const int second = ::open("/dev/vcio", O_RDONLY);
    ASSERT_GE(second, 0);
    vcioemu_fail_close(EIO);
    errno = 0;
    EXPECT_EQ(::close(second), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(::fcntl(second, F_GETFD), -1);
    EXPECT_EQ(vcioemu_open_descriptors(), descriptors_before + 1);
    vcioemu_fail_close(0);
}

using Descriptors = Emulated;

// The kernel refuses a request /dev/null doesn't know with ENOTTY; a user-mode
// emulator of another processor (how the ARM builds are tested) refuses a
// request it cannot translate with ENOSYS before the kernel sees it.
bool refused_as_not_a_device(int error)
{
    return error == ENOTTY || error == ENOSYS;
}

// Close-on-exec exactly as asked: always setting it would hide a caller that
// forgets it.
TEST_F(Descriptors, CloseOnExecOnlyWhenAsked)
{
    for (const int flags : {O_RDONLY, O_RDONLY | O_CLOEXEC}) {
        const int fd = ::open("/dev/vcio", flags);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(::fcntl(fd, F_GETFD) & FD_CLOEXEC, (flags & O_CLOEXEC) != 0 ? FD_CLOEXEC : 0);
        ::close(fd);
    }
}

TEST_F(Descriptors, NumberReusedBehindTheEmulatorsBackIsLetGo)
{
    const int fd = ::open("/dev/vcio", O_RDONLY);
    const int null = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::dup2(null, fd), fd);
    // Now /dev/null's: the request is the C library's to refuse.
    std::vector<uint32_t> words{32, 0, get_gpio_state, 8, 0, 134, 0, 0};
    errno = 0;
    EXPECT_EQ(::ioctl(fd, property_request, words.data()), -1);
    EXPECT_PRED1(refused_as_not_a_device, errno) << std::strerror(errno);
    EXPECT_EQ(vcioemu_open_descriptors(), descriptors_before);
    EXPECT_EQ(vcioemu_request_count(), 0U);
    ::close(fd);
    ::close(null);
}

#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
// The request path goes by the descriptor table alone: a number closed in a
// range must leave it, or a file that reuses the number is taken for the
// device.
TEST_F(Descriptors, NumberClosedInARangeIsLetGo)
{
    const int fd = ::open("/dev/vcio", O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::close_range(static_cast<unsigned>(fd), static_cast<unsigned>(fd), 0), 0);
    EXPECT_EQ(vcioemu_open_descriptors(), descriptors_before);
    const int null = ::open("/dev/null", O_RDONLY);
    ASSERT_EQ(null, fd);
    std::vector<uint32_t> words{32, 0, get_gpio_state, 8, 0, 134, 0, 0};
    errno = 0;
    EXPECT_EQ(::ioctl(null, property_request, words.data()), -1);
    EXPECT_PRED1(refused_as_not_a_device, errno) << std::strerror(errno);
    EXPECT_EQ(vcioemu_request_count(), 0U);
    ::close(null);
}
#endif

// Death tests in the threadsafe style run the test binary afresh, so the
// emulator of the child reads the environment as it is loaded, exactly as in
// any child process. No reset here: it would forget the child's faults.
class FreshProcessDeathTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        style = GTEST_FLAG_GET(death_test_style);
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
    void TearDown() override
    {
        unsetenv("VCIOEMU_FAULTS");
        unsetenv("VCIOEMU_TRACE");
        unsetenv("VCIOEMU_REVISION");
        unsetenv("VCIOEMU_GPIO");
        GTEST_FLAG_SET(death_test_style, style);
    }

    std::string style;
};

TEST_F(FreshProcessDeathTest, ChildTakesFaultsFromTheEnvironment)
{
    setenv("VCIOEMU_FAULTS", "open=EACCES", 1);
    EXPECT_EXIT(CTallowick().Open(134), ::testing::ExitedWithCode(1),
                exactly(std::string("error: open: /dev/vcio: ") + std::strerror(EACCES) + "\n"));
    setenv("VCIOEMU_FAULTS", "refuse=5", 1);
    EXPECT_EXIT(
        {
            CTallowick led;
            led.Open(5);
            led.GetState();
        },
        ::testing::ExitedWithCode(1),
        exactly("error: RPi firmware refused GPIO line 5 (answer 0x00000001)\n"));
    setenv("VCIOEMU_FAULTS", "unanswered=0x00010002", 1);
    EXPECT_EXIT(CTallowick().Open(134), ::testing::ExitedWithCode(1),
                exactly("error: RPi firmware did not answer tag 0x00010002\n"));
    // This process read its environment when it was loaded: the fault is the
    // child's alone.
    CTallowick led;
    EXPECT_GE(led.Open(134), 0);
}

TEST_F(FreshProcessDeathTest, TraceShowsEachRequest)
{
    setenv("VCIOEMU_TRACE", "1", 1);
    setenv("VCIOEMU_REVISION", "0x9020e0", 1);
    EXPECT_EXIT(
        {
            {
                CTallowick led;
                led.Open(134);
                led.SetState(1);
                led.GetState();
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0),
        "^vcio: open /dev/vcio flags 526336 -> [0-9]+\n"
        "vcio: GET_BOARD_REVISION -> 0x9020e0 \\(status 0x80000000\\)\n"
        "vcio: SET_GPIO_STATE line 134 -> 1 \\(status 0x80000000\\)\n"
        "vcio: GET_GPIO_STATE line 134 -> 1 \\(status 0x80000000\\)\n"
        "vcio: close [0-9]+\n$");
}

// The GPIO chips stand in for the kernel's: a request the kernel refuses is
// refused here before any line is touched, or the core could send one that
// only a Pi would catch.
class Chips : public Emulated {
protected:
    void SetUp() override
    {
        Emulated::SetUp();
        fd = ::open("/dev/gpiochip0", O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override
    {
        ::close(fd);
        Emulated::TearDown();
    }

    // 0 when the ioctl succeeds, else its errno.
    static int call(int descriptor, unsigned long code, void *arg)
    {
        errno = 0;
        return ::ioctl(descriptor, code, arg) == 0 ? 0 : errno;
    }

    int fd = -1;
};

gpio_v2_line_request output_request(unsigned offset)
{
    gpio_v2_line_request request{};
    request.offsets[0] = offset;
    request.num_lines = 1;
    request.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
    request.config.num_attrs = 1;
    request.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
    request.config.attrs[0].attr.values = 1;
    request.config.attrs[0].mask = 1;
    return request;
}

TEST_F(Chips, RefusesMalformedRequestsAndDrivesNothing)
{
    using Change = void (*)(gpio_v2_line_request &);
    const Change changes[] = {
        [](gpio_v2_line_request &r) { r.num_lines = 0; },
        [](gpio_v2_line_request &r) { r.num_lines = GPIO_V2_LINES_MAX + 1; },
        [](gpio_v2_line_request &r) { r.padding[4] = 1; },
        [](gpio_v2_line_request &r) { r.config.padding[0] = 1; },
        [](gpio_v2_line_request &r) { r.config.attrs[0].attr.padding = 1; },
        [](gpio_v2_line_request &r) { r.config.attrs[0].attr.id = 4; },
        [](gpio_v2_line_request &r) { r.config.num_attrs = GPIO_V2_LINE_NUM_ATTRS_MAX + 1; },
        [](gpio_v2_line_request &r) { r.offsets[0] = 54; },
        [](gpio_v2_line_request &r) { r.config.flags |= GPIO_V2_LINE_FLAG_INPUT; },
        [](gpio_v2_line_request &r) { r.config.flags |= GPIO_V2_LINE_FLAG_USED; },
        [](gpio_v2_line_request &r) { r.config.flags |= 1ULL << 20; },
        [](gpio_v2_line_request &r) { r.config.flags = GPIO_V2_LINE_FLAG_EDGE_RISING; },
    };
    for (const Change change : changes) {
        gpio_v2_line_request request = output_request(40);
        change(request);
        EXPECT_EQ(call(fd, GPIO_V2_GET_LINE_IOCTL, &request), EINVAL);
    }
    EXPECT_EQ(vcioemu_gpio_request_count(), std::size(changes));
    EXPECT_EQ(vcioemu_gpio_drive_count(), 0U);
    EXPECT_EQ(vcioemu_gpio_line_output(0, 40), 0);
    EXPECT_EQ(vcioemu_gpio_line_requested(0, 40), 0);
}

// Values go by the request's own bitmap: an empty mask is refused, and the
// request descriptor is close-on-exec whatever the chip's.
TEST_F(Chips, ValuesAndConfigurationOnTheRequestsDescriptor)
{
    gpio_v2_line_request request = output_request(40);
    request.num_lines = 2;
    request.offsets[1] = 41;
    request.config.attrs[0].mask = 3;
    request.config.attrs[0].attr.values = 2;
    ASSERT_EQ(call(fd, GPIO_V2_GET_LINE_IOCTL, &request), 0);
    EXPECT_NE(::fcntl(request.fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(vcioemu_gpio_line_value(0, 40), 0);
    EXPECT_EQ(vcioemu_gpio_line_value(0, 41), 1);

    gpio_v2_line_values values{};
    EXPECT_EQ(call(request.fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values), EINVAL);
    values = {1, 1};
    EXPECT_EQ(call(request.fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values), 0);
    values = {0, 3};
    ASSERT_EQ(call(request.fd, GPIO_V2_LINE_GET_VALUES_IOCTL, &values), 0);
    EXPECT_EQ(values.bits, 3U);

    gpio_v2_line_config input{};
    input.flags = GPIO_V2_LINE_FLAG_INPUT;
    ASSERT_EQ(call(request.fd, GPIO_V2_LINE_SET_CONFIG_IOCTL, &input), 0);
    EXPECT_EQ(vcioemu_gpio_line_output(0, 41), 0);
    values = {0, 2};
    EXPECT_EQ(call(request.fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values), EPERM);

    // Sets that fail as a vanished chip's would: nothing driven, the line kept.
    ASSERT_EQ(call(request.fd, GPIO_V2_LINE_SET_CONFIG_IOCTL, &request.config), 0);
    const unsigned drives = vcioemu_gpio_drive_count();
    ASSERT_EQ(vcioemu_gpio_configure("sets=EIO"), 0);
    values = {0, 3};
    EXPECT_EQ(call(request.fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values), EIO);
    EXPECT_EQ(vcioemu_gpio_line_value(0, 40), 0);
    EXPECT_EQ(vcioemu_gpio_line_value(0, 41), 1);
    EXPECT_EQ(vcioemu_gpio_drive_count(), drives);
    EXPECT_EQ(vcioemu_gpio_configure("sets=0"), -1);
    ::close(request.fd);
    EXPECT_EQ(vcioemu_gpio_line_requested(0, 40), 0);
}

struct ChipsCase {
    uint32_t board;
    unsigned soc_lines;
    const char *soc_label;
    const char *expander_line_6; // nullptr: no expander
    const char *consumer_of_6;
};

// The board revision picks the chips; "/dev/gpiochip2" is on no board.
TEST_F(Chips, EachBoardHasItsOwnChips)
{
    const ChipsCase cases[] = {
        {0xa02082, 54, "pinctrl-bcm2835", "CAM_GPIO1", ""},
        {0xc03111, 58, "pinctrl-bcm2711", "SD_PWR_ON", "sd_vcc_reg"},
        {0x9000c1, 54, "pinctrl-bcm2835", nullptr, nullptr},
        {0xc04170, 54, "pinctrl-rp1", nullptr, nullptr},
    };
    ::close(fd);
    for (const ChipsCase &c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.board);
        vcioemu_board_revision(c.board);
        for (unsigned number = 0; number < 3; ++number) {
            const std::string path = "/dev/gpiochip" + std::to_string(number);
            const int chip = ::open(path.c_str(), O_RDONLY);
            const bool present = number == 0 || (number == 1 && c.expander_line_6 != nullptr);
            ASSERT_EQ(chip >= 0, present) << path;
            if (!present) {
                EXPECT_EQ(errno, ENOENT);
                continue;
            }
            gpiochip_info info{};
            ASSERT_EQ(call(chip, GPIO_GET_CHIPINFO_IOCTL, &info), 0);
            gpio_v2_line_info line{};
            line.offset = 6;
            ASSERT_EQ(call(chip, GPIO_V2_GET_LINEINFO_IOCTL, &line), 0);
            if (number == 0) {
                EXPECT_STREQ(info.label, c.soc_label);
                EXPECT_EQ(info.lines, c.soc_lines);
            } else {
                EXPECT_STREQ(info.label, "raspberrypi-exp-gpio");
                EXPECT_EQ(info.lines, 8U);
                EXPECT_STREQ(line.name, c.expander_line_6);
                EXPECT_STREQ(line.consumer, c.consumer_of_6);
            }
            ::close(chip);
        }
    }
    fd = ::open("/dev/null", O_RDONLY);
}

// The board files hold what the kernel writes there, read-only, and only
// the vcio device's faults are the vcio device's.
TEST_F(Chips, BoardFilesAndFaultsOfTheirOwn)
{
    vcioemu_board_revision(0x1000002);
    vcioemu_fail_open(EACCES);
    unsigned char cell[8] = {};
    const int tree = ::open("/proc/device-tree/system/linux,revision", O_RDONLY);
    ASSERT_GE(tree, 0);
    EXPECT_EQ(::fcntl(tree, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(::read(tree, cell, sizeof(cell)), 4);
    EXPECT_EQ(std::vector<unsigned char>(cell, cell + 4),
              (std::vector<unsigned char>{0x01, 0x00, 0x00, 0x02}));
    EXPECT_EQ(::write(tree, cell, 1), -1);
    ::close(tree);

    char text[1024] = {};
    const int cpuinfo = ::open("/proc/cpuinfo", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(cpuinfo, 0);
    EXPECT_NE(::fcntl(cpuinfo, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_GT(::read(cpuinfo, text, sizeof(text) - 1), 0);
    EXPECT_NE(std::strstr(text, "\nRevision\t: 1000002\n"), nullptr) << text;
    ::close(cpuinfo);

    errno = 0;
    EXPECT_EQ(::open("/proc/cpuinfo", O_RDWR), -1);
    EXPECT_EQ(errno, EACCES);
    ASSERT_EQ(vcioemu_gpio_configure("no-cpuinfo"), 0);
    errno = 0;
    EXPECT_EQ(::open("/proc/cpuinfo", O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(vcioemu_gpio_configure("hold=1:9:nobody"), -1);
    EXPECT_EQ(vcioemu_gpio_configure("persist=maybe"), -1);
}

// A pull is what a SoC input reads while nothing drives it: a request for
// the line as it is reads it and leaves it an input, an output drives over
// it, and a line let go back to input reads it again. The expander's driver
// has no bias, so a pull there is refused, as is a line the chip lacks.
TEST_F(Chips, PullIsWhatAnUndrivenSocLineReads)
{
    ASSERT_EQ(vcioemu_gpio_configure("persist=N,pull=0:40:up"), 0);
    EXPECT_EQ(vcioemu_gpio_line_value(0, 40), 1);
    EXPECT_EQ(vcioemu_gpio_line_value(0, 41), 0);

    gpio_v2_line_request as_is{};
    as_is.offsets[0] = 40;
    as_is.num_lines = 1;
    ASSERT_EQ(call(fd, GPIO_V2_GET_LINE_IOCTL, &as_is), 0);
    gpio_v2_line_values values{0, 1};
    ASSERT_EQ(call(as_is.fd, GPIO_V2_LINE_GET_VALUES_IOCTL, &values), 0);
    EXPECT_EQ(values.bits, 1U);
    EXPECT_EQ(vcioemu_gpio_line_output(0, 40), 0);

    gpio_v2_line_config low{};
    low.flags = GPIO_V2_LINE_FLAG_OUTPUT;
    ASSERT_EQ(call(as_is.fd, GPIO_V2_LINE_SET_CONFIG_IOCTL, &low), 0);
    EXPECT_EQ(vcioemu_gpio_line_value(0, 40), 0);
    ::close(as_is.fd);
    EXPECT_EQ(vcioemu_gpio_line_output(0, 40), 0);
    EXPECT_EQ(vcioemu_gpio_line_value(0, 40), 1);

    ASSERT_EQ(vcioemu_gpio_configure("pull=0:40:down"), 0);
    EXPECT_EQ(vcioemu_gpio_line_value(0, 40), 0);
    EXPECT_EQ(vcioemu_gpio_configure("pull=0:40:high"), -1);
    EXPECT_EQ(vcioemu_gpio_configure("pull=0:54:up"), -1);
    EXPECT_EQ(vcioemu_gpio_configure("pull=1:6:up"), -1);
    EXPECT_EQ(vcioemu_gpio_line_value(1, 6), 0);
}

// A child takes the words from its environment, and its trace shows every
// step on the kernel's road in the documented form.
TEST_F(FreshProcessDeathTest, ChildTakesTheBoardFromTheEnvironmentAndTracesTheKernelsRoad)
{
    setenv("VCIOEMU_TRACE", "1", 1);
    setenv("VCIOEMU_REVISION", "0x9000c1", 1);
    setenv("VCIOEMU_GPIO", "persist=N,hold=0:32:gpio-leds,name=0:32:LED", 1);
    EXPECT_EXIT(
        {
            gpio_chip chip;
            std::string refused;
            chip.find(soc_chip_label, refused);
            gpio_line_request busy;
            chip.request(32, line_mode::as_is, 0, "tallowick", busy);
            gpio_line_request led;
            chip.request(40, line_mode::output, 1, "tallowick", led);
            led.set_value(0);
            led.get_value();
            led.release();
            chip.close();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0),
        "^gpio: open /dev/gpiochip0 flags 524290 -> ([0-9]+)\n"
        "gpio: request /dev/gpiochip0 line 32 \"LED\" as-is consumer \"tallowick\" -> "
        "EBUSY\n"
        "gpio: request /dev/gpiochip0 line 40 \"CAM_GPIO1\" output 1 consumer \"tallowick\" -> "
        "[0-9]+\n"
        "gpio: set /dev/gpiochip0 line 40 -> 0\n"
        "gpio: get /dev/gpiochip0 line 40 -> 0\n"
        "gpio: release /dev/gpiochip0 line 40\n"
        "gpio: close /dev/gpiochip0 fd [0-9]+\n$");
}

} // namespace
