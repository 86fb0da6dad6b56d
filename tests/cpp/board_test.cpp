// The board table and the revision code as any user reads it.
#include <cstring>

#include "board.h"
#include "emulated.h"

namespace {

struct BoardCase {
    uint32_t revision;
    const char *model;
    led_road road;
    int line;
    const char *line_name;
};

// One code for each row of the boards' camera table, old-style codes with
// and without the warranty bit among them.
const BoardCase board_cases[] = {
    {0x0002, "Raspberry Pi Model B", led_road::soc_gpio, 5, "CAM_GPIO1"},
    {0x1000003, "Raspberry Pi Model B", led_road::soc_gpio, 5, "CAM_GPIO1"},
    {0x0008, "Raspberry Pi Model A", led_road::soc_gpio, 5, "CAM_GPIO1"},
    {0x000e, "Raspberry Pi Model B", led_road::soc_gpio, 5, "CAM_GPIO1"},
    {0x900032, "Raspberry Pi Model B+", led_road::soc_gpio, 32, "CAM_GPIO1"},
    {0x0015, "Raspberry Pi Model A+", led_road::soc_gpio, 32, "CAM_GPIO1"},
    {0xa21041, "Raspberry Pi 2 Model B", led_road::soc_gpio, 32, "CAM_GPIO1"},
    {0x900093, "Raspberry Pi Zero", led_road::soc_gpio, 32, "CAM_GPIO1"},
    {0x9000c1, "Raspberry Pi Zero W", led_road::soc_gpio, 40, "CAM_GPIO1"},
    {0xa02082, "Raspberry Pi 3 Model B", led_road::firmware_line, 134, "CAM_GPIO1"},
    {0xa02080, "Raspberry Pi 3 Model B", led_road::firmware_line, 133, "CAM_GPIO0"},
    {0xa020d3, "Raspberry Pi 3 Model B+", led_road::firmware_line, 134, "CAM_GPIO1"},
    {0x9020e0, "Raspberry Pi 3 Model A+", led_road::firmware_line, 134, "CAM_GPIO1"},
    {0x902120, "Raspberry Pi Zero 2 W", led_road::none, -1, nullptr},
    {0xc03111, "Raspberry Pi 4 Model B", led_road::none, -1, nullptr},
    {0xc03130, "Raspberry Pi 400", led_road::none, -1, nullptr},
    {0xb03140, "Raspberry Pi Compute Module 4", led_road::none, -1, nullptr},
    {0x0014, "Raspberry Pi Compute Module 1", led_road::carrier_board, -1, nullptr},
    {0xa020a0, "Raspberry Pi Compute Module 3", led_road::carrier_board, -1, nullptr},
    {0xa02100, "Raspberry Pi Compute Module 3+", led_road::carrier_board, -1, nullptr},
    {0xa03150, "Raspberry Pi Compute Module 4S", led_road::carrier_board, -1, nullptr},
    {0xc04170, "Raspberry Pi 5", led_road::none, -1, nullptr},
    {0xb04180, "Raspberry Pi Compute Module 5", led_road::none, -1, nullptr},
    {0xd04190, "Raspberry Pi 500", led_road::none, -1, nullptr},
    {0xb041a0, "Raspberry Pi Compute Module 5 Lite", led_road::none, -1, nullptr},
    // A type nobody has given out, and an old-style code never used.
    {0xa02ff0, "unknown board", led_road::none, -1, nullptr},
    {0x0001, "unknown board", led_road::none, -1, nullptr},
};

TEST(BoardTable, CameraLedAndModelOfEveryBoard)
{
    for (const BoardCase &c : board_cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << "revision 0x" << c.revision);
        const camera_led led = camera_led_of(c.revision);
        EXPECT_EQ(led.road, c.road);
        EXPECT_EQ(led.line, c.line);
        if (c.line_name == nullptr)
            EXPECT_EQ(led.line_name, nullptr);
        else
            EXPECT_STREQ(led.line_name, c.line_name);
        EXPECT_STREQ(board_model(c.revision), c.model);
    }
}

using Revision = Emulated;

struct RevisionCase {
    const char *words;
    uint32_t board;
    revision_source source;
};

// The device tree first, "/proc/cpuinfo" where the tree has no cell (an
// old-style code printed with its leading zeros), nothing where neither is.
TEST_F(Revision, ReadFromTheDeviceTreeThenCpuinfo)
{
    const RevisionCase cases[] = {
        // A warranty bit fills the cell's first byte.
        {"", 0x29000c1, revision_source::device_tree},
        {"no-device-tree", 0xc03111, revision_source::cpuinfo},
        {"no-device-tree", 0x0002, revision_source::cpuinfo},
        {"no-device-tree,no-cpuinfo", 0xa02082, revision_source::none},
    };
    for (const RevisionCase &c : cases) {
        SCOPED_TRACE(c.words);
        vcioemu_reset();
        vcioemu_board_revision(c.board);
        ASSERT_EQ(vcioemu_gpio_configure(c.words), 0);
        uint32_t revision = 0xdeadbeef;
        EXPECT_EQ(read_board_revision(revision), c.source);
        EXPECT_EQ(revision, c.source == revision_source::none ? 0xdeadbeef : c.board);
    }
    // Nothing was asked of the firmware.
    EXPECT_EQ(vcioemu_request_count(), 0U);
}

} // namespace
