// The boards the emulator can stand in for, as the kernel shows them: the
// GPIO chips, the names the device tree gives the camera's lines and the
// kernel's own consumers that hold lines from boot.
//
// Written out here on purpose rather than taken from the product's board
// table: a wrong row there must show up as a disagreement here.
#ifndef VCIOEMU_BOARDS_H
#define VCIOEMU_BOARDS_H

#include <array>
#include <cstdint>

namespace vcioemu {

// A line the device tree names, a kernel consumer holds, or both (nullptr
// for either that does not apply).
struct NotedLine {
    unsigned chip;
    unsigned offset;
    const char *name;
    const char *consumer;
};

struct BoardLayout {
    // The SoC's GPIO chip, always "/dev/gpiochip0".
    const char *soc_label;
    unsigned soc_lines;
    // The firmware's expander as "/dev/gpiochip1": its eight line names, or
    // nullptr where the board has none.
    const std::array<const char *, 8> *expander_names;
    std::array<NotedLine, 3> noted;
    unsigned noted_count;
};

// The chips of the board with this revision code, old-style or new-style; a
// code the table does not know gets a bare SoC chip.
BoardLayout board_layout(uint32_t revision);

} // namespace vcioemu

#endif // VCIOEMU_BOARDS_H
