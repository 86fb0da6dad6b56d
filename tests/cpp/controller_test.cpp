// The LED controller: results, refusals and the descriptor it owns.
#include <algorithm>
#include <cstdio>
#include <string>
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

struct Board {
    const char *name;
    uint32_t revision;
    std::vector<int> storage_lines;
};

// Every board of the firmware's expander whose storage hangs on it, and the
// Pi 3 family, whose line 134 is the camera LED.
const Board boards[] = {
    {"3 B", 0xa02082, {}},
    {"3 B+", 0xa020d3, {}},
    {"3 A+", 0x9020e0, {}},
    {"4 B", 0xc03111, {132, 134}},
    {"400", 0xc03130, {132, 134}},
    {"CM4", 0xb03140, {132, 134}},
    {"CM4S", 0xa03150, {132, 134}},
    {"CM3", 0xa020a0, {129}},
    {"CM3+", 0xa02100, {129}},
    // An old-style code carries no board type: nothing to go by.
    {"old-style", 0x0000000e, {}},
};

const uint32_t get_board_revision = 0x00010002;

std::string refusal(int line, const char *revision)
{
    return "error: line " + std::to_string(line) +
           " controls the SD card or eMMC of this board (revision 0x" + revision + "): refused\n";
}

// A storage line is refused after one revision request: no GPIO request,
// the device closed again, the controller still closed. Every other line of
// the three opens as before, and no other line asks the board at all.
TEST_F(Controller, StorageLinesAreRefusedBoardByBoard)
{
    for (const Board &board : boards) {
        for (const int line : {129, 132, 134, 5}) {
            SCOPED_TRACE(std::string(board.name) + ", line " + std::to_string(line));
            vcioemu_reset();
            vcioemu_board_revision(board.revision);
            const bool storage = std::find(board.storage_lines.begin(), board.storage_lines.end(),
                                           line) != board.storage_lines.end();
            CTallowick led;
            ::testing::internal::CaptureStderr();
            const int result = led.Open(line);
            const std::string said = ::testing::internal::GetCapturedStderr();
            if (storage) {
                char revision[16];
                std::snprintf(revision, sizeof(revision), "%06x", board.revision);
                EXPECT_EQ(result, -1);
                EXPECT_EQ(said, refusal(line, revision));
                EXPECT_EQ(vcioemu_open_descriptors(), descriptors_before);
                ::testing::internal::CaptureStderr();
                EXPECT_EQ(led.SetState(1), -1);
                EXPECT_EQ(::testing::internal::GetCapturedStderr(), not_opened);
            } else {
                EXPECT_GE(result, 0);
                EXPECT_EQ(said, "");
                EXPECT_EQ(led.SetState(1), 0);
            }
            const bool asked = line != 5;
            ASSERT_EQ(vcioemu_request_count(), (asked ? 1U : 0U) + (storage ? 0U : 1U));
            if (asked) {
                EXPECT_EQ(request_words(0),
                          (std::vector<uint32_t>{28, 0, get_board_revision, 4, 0, 0, 0}));
            }
        }
    }
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
