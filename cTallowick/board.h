// The boards: which of the firmware's GPIO lines carry a board's boot storage,
// so that nobody drives them by mistake, and where each board's camera LED is.
#ifndef CTALLOWICK_BOARD_H
#define CTALLOWICK_BOARD_H

#include <cstdint>

// True for the lines that carry the boot storage on some board (129, 132,
// 134): only for those is the board worth asking for.
bool line_may_control_storage(int line);

// The board's revision code, asked of the firmware through the mailbox mb.
uint32_t board_revision(int mb);

// True when line switches or powers the SD card or eMMC of the board with
// this revision code.
bool line_controls_storage(uint32_t revision, int line);

// Where a board's camera LED (the camera connector's CAM_GPIO1) is driven.
enum class led_road {
    soc_gpio,      // a line of the SoC's GPIO chip (Pi 1, 2, Zero, Zero W)
    firmware_line, // a line of the firmware's expander (Pi 3 family)
    none,          // no camera LED (Pi 4, 400, CM4, Zero 2 W, Pi 5, unknown)
    carrier_board, // a Compute Module: the carrier board decides
};

struct camera_led {
    led_road road;
    // The SoC GPIO number, or the firmware line (128 + expander line k);
    // -1 for none and carrier_board.
    int line;
    // The name the kernel's device tree gives that line ("CAM_GPIO1"; the
    // 3 B of PCB revision 1.0 has its LED on the line named "CAM_GPIO0");
    // nullptr where there is no line.
    const char *line_name;
};

// Where the camera LED is on the board with this revision code, old-style or
// new-style.
camera_led camera_led_of(uint32_t revision);

// The board's model for people ("Raspberry Pi Zero W", "Raspberry Pi 3 Model
// B"); "unknown board" for a code not in the table.
const char *board_model(uint32_t revision);

// Where read_board_revision found the code.
enum class revision_source { device_tree, cpuinfo, none };

// Reads the revision code as any user may: the device tree's
// "/proc/device-tree/system/linux,revision" (4 bytes, big-endian), then the
// "Revision" line of "/proc/cpuinfo". Sets revision and returns where it was
// found; revision_source::none (revision untouched) when neither has it.
// Reads with open(2) and read(2) only.
revision_source read_board_revision(uint32_t &revision);

#endif // CTALLOWICK_BOARD_H
