// The LED controller: results, refusals and the descriptor it owns.
#include <type_traits>

#include "CTallowick.h"
#include "emulated.h"

namespace {

// A copy would close the controller's descriptor twice.
static_assert(!std::is_copy_constructible<CTallowick>::value, "CTallowick must not be copyable");
static_assert(!std::is_copy_assignable<CTallowick>::value, "CTallowick must not be copyable");

const char not_opened[] = "error: Device is not opened. Please Call Open() first.\n";

using Controller = Emulated;

TEST_F(Controller, ClosedControllerRefusesLineOperations)
{
    CTallowick led;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(led.GetState(), -1);
    EXPECT_EQ(led.SetState(1), -1);
    led.Close();
    led.Close();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), std::string(not_opened) + not_opened);
    EXPECT_EQ(vcioemu_request_count(), 0U);
    EXPECT_EQ(vcioemu_open_descriptors(), descriptors_before);
}

TEST_F(Controller, SecondOpenIsRefusedAndKeepsTheFirstLine)
{
    CTallowick led;
    const int fd = led.Open(5);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(led.Open(134), -2);
    EXPECT_EQ(vcioemu_open_descriptors(), descriptors_before + 1);

    EXPECT_EQ(led.SetState(1), 0);
    EXPECT_EQ(vcioemu_line_state(5), 1);
    EXPECT_EQ(vcioemu_line_state(134), 0);
    EXPECT_EQ(led.GetState(), 1);
}

TEST_F(Controller, ReopensOnAnotherLineAfterClose)
{
    CTallowick led;
    ASSERT_GE(led.Open(5), 0);
    led.Close();
    EXPECT_EQ(vcioemu_open_descriptors(), descriptors_before);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(led.SetState(1), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), not_opened);

    ASSERT_GE(led.Open(134), 0);
    EXPECT_EQ(led.SetState(7), 0);
    EXPECT_EQ(request_words(vcioemu_request_count() - 1),
              (std::vector<uint32_t>{32, 0, 0x00038041, 8, 0, 134, 1, 0}));
    EXPECT_EQ(led.GetState(), 1);
    EXPECT_EQ(led.SetState(0), 0);
    EXPECT_EQ(led.GetState(), 0);
    EXPECT_EQ(vcioemu_line_state(5), 0);
}

TEST_F(Controller, DestructionClosesAnOpenDevice)
{
    {
        CTallowick led;
        ASSERT_GE(led.Open(134), 0);
        EXPECT_EQ(vcioemu_open_descriptors(), descriptors_before + 1);
    }
    EXPECT_EQ(vcioemu_open_descriptors(), descriptors_before);
}

} // namespace
