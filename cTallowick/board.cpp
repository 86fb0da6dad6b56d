#include "board.h"

#include "gpio.h"

namespace {

// The firmware's GPIO expander, by expander line: firmware line 128 + k.
constexpr int emmc_enable_line = 129;   // CM3, CM3+: EMMC_EN_N
constexpr int sd_io_voltage_line = 132; // Pi 4 family: VDD_SD_IO_SEL
constexpr int sd_power_line = 134;      // Pi 4 family: SD_PWR_ON

// A new-style revision code has bit 23 set and the board type in bits 4-11.
constexpr uint32_t new_style_bit = 1U << 23;
constexpr unsigned board_type_shift = 4;
constexpr uint32_t board_type_mask = 0xff;

enum board_type : uint32_t {
    board_cm3 = 0x0a,
    board_cm3_plus = 0x10,
    board_4b = 0x11,
    board_400 = 0x13,
    board_cm4 = 0x14,
    // No line names are published for the CM4S: taken to be wired like the
    // CM4.
    board_cm4s = 0x15,
};

bool is_pi4_family(uint32_t type)
{
    return type == board_4b || type == board_400 || type == board_cm4 || type == board_cm4s;
}

bool is_cm3_family(uint32_t type)
{
    return type == board_cm3 || type == board_cm3_plus;
}

} // namespace

bool line_may_control_storage(int line)
{
    return line == emmc_enable_line || line == sd_io_voltage_line || line == sd_power_line;
}

uint32_t board_revision(int mb)
{
    uint32_t revision = 0;
    rpi_firmware_property(mb, RPI_FIRMWARE_GET_BOARD_REVISION, &revision, sizeof(revision));
    return revision;
}

bool line_controls_storage(uint32_t revision, int line)
{
    if ((revision & new_style_bit) == 0)
        return false;
    const uint32_t type = (revision >> board_type_shift) & board_type_mask;
    if (is_pi4_family(type))
        return line == sd_io_voltage_line || line == sd_power_line;
    if (is_cm3_family(type))
        return line == emmc_enable_line;
    return false;
}
