// The boards behind the firmware: which of the firmware's GPIO lines carry a
// board's boot storage, so that nobody drives them by mistake.
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

#endif // CTALLOWICK_BOARD_H
