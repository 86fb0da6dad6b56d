#include "boards.h"

#include <algorithm>
#include <iterator>

namespace vcioemu {

namespace {

using ExpanderNames = std::array<const char *, 8>;

const ExpanderNames names_3b = {"BT_ON",      "WL_ON",     "STATUS_LED", "LAN_RUN",
                                "HDMI_HPD_N", "CAM_GPIO0", "CAM_GPIO1",  "PWR_LOW_N"};
const ExpanderNames names_3b_plus = {"BT_ON", "WL_ON",     "PWR_LED_R", "LAN_RUN",
                                     "NC",    "CAM_GPIO0", "CAM_GPIO1", "NC"};
const ExpanderNames names_3a_plus = {"", "BT_WL_ON",  "STATUS_LED_R", "",
                                     "", "CAM_GPIO0", "CAM_GPIO1",    ""};
const ExpanderNames names_cm3 = {"HDMI_HPD_N", "EMMC_EN_N", "NC", "NC", "NC", "NC", "NC", "NC"};
const ExpanderNames names_4b = {"BT_ON",         "WL_ON",    "PWR_LED_OFF", "GLOBAL_RESET",
                                "VDD_SD_IO_SEL", "CAM_GPIO", "SD_PWR_ON",   "SD_OC_N"};
const ExpanderNames names_400 = {"BT_ON",        "WL_ON",           "PWR_LED_OFF",
                                 "GLOBAL_RESET", "VDD_SD_IO_SEL",   "GLOBAL_SHUTDOWN",
                                 "SD_PWR_ON",    "SHUTDOWN_REQUEST"};
const ExpanderNames names_cm4 = {"BT_ON",         "WL_ON",    "PWR_LED_OFF", "ANT1",
                                 "VDD_SD_IO_SEL", "CAM_GPIO", "SD_PWR_ON",   "ANT2"};
// No names are published for the CM4S's expander.
const ExpanderNames names_unpublished = {"", "", "", "", "", "", "", ""};

const char bcm2835[] = "pinctrl-bcm2835";
const char bcm2711[] = "pinctrl-bcm2711";
const char rp1[] = "pinctrl-rp1";
constexpr unsigned bcm2835_lines = 54;
constexpr unsigned bcm2711_lines = 58;
constexpr unsigned rp1_lines = 54;

const char camera_regulator[] = "cam1_regulator";
// The SD card's regulators by their device tree nodes; the consumer names
// are not confirmed on a board.
const char sd_io_regulator[] = "vdd-sd-io";
const char sd_power_regulator[] = "sd_vcc_reg";

constexpr unsigned soc = 0;
constexpr unsigned expander = 1;

// Old-style codes 0002 and 0003 have no new-style type: this one stands for
// them in the table.
constexpr uint32_t first_model_b = 0x100;

struct BoardRow {
    uint32_t type;
    // cppcheck-suppress unusedStructMember ; read through find_if's result
    BoardLayout layout;
};

constexpr NotedLine none = {0, 0, nullptr, nullptr};

const BoardRow boards[] = {
    {first_model_b,
     {bcm2835,
      bcm2835_lines,
      nullptr,
      {{{soc, 5, "CAM_GPIO1", nullptr}, {soc, 27, nullptr, camera_regulator}, none}},
      2}},
    {0x00,
     {bcm2835,
      bcm2835_lines,
      nullptr,
      {{{soc, 5, "CAM_GPIO1", nullptr}, {soc, 21, nullptr, camera_regulator}, none}},
      2}},
    {0x01,
     {bcm2835,
      bcm2835_lines,
      nullptr,
      {{{soc, 5, "CAM_GPIO1", nullptr}, {soc, 21, nullptr, camera_regulator}, none}},
      2}},
    {0x02,
     {bcm2835,
      bcm2835_lines,
      nullptr,
      {{{soc, 32, "CAM_GPIO1", nullptr}, {soc, 41, "CAM_GPIO0", camera_regulator}, none}},
      2}},
    {0x03,
     {bcm2835,
      bcm2835_lines,
      nullptr,
      {{{soc, 32, "CAM_GPIO1", nullptr}, {soc, 41, "CAM_GPIO0", camera_regulator}, none}},
      2}},
    {0x04,
     {bcm2835,
      bcm2835_lines,
      nullptr,
      {{{soc, 32, "CAM_GPIO1", nullptr}, {soc, 41, "CAM_GPIO0", camera_regulator}, none}},
      2}},
    {0x06, {bcm2835, bcm2835_lines, nullptr, {{none, none, none}}, 0}},
    {0x08,
     {bcm2835,
      bcm2835_lines,
      &names_3b,
      {{{expander, 5, nullptr, camera_regulator}, none, none}},
      1}},
    {0x09,
     {bcm2835,
      bcm2835_lines,
      nullptr,
      {{{soc, 32, "CAM_GPIO1", nullptr}, {soc, 41, "CAM_GPIO0", camera_regulator}, none}},
      2}},
    {0x0a, {bcm2835, bcm2835_lines, &names_cm3, {{none, none, none}}, 0}},
    {0x0c,
     {bcm2835,
      bcm2835_lines,
      nullptr,
      {{{soc, 40, "CAM_GPIO1", nullptr}, {soc, 44, "CAM_GPIO0", camera_regulator}, none}},
      2}},
    {0x0d,
     {bcm2835,
      bcm2835_lines,
      &names_3b_plus,
      {{{expander, 5, nullptr, camera_regulator}, none, none}},
      1}},
    {0x0e,
     {bcm2835,
      bcm2835_lines,
      &names_3a_plus,
      {{{expander, 5, nullptr, camera_regulator}, none, none}},
      1}},
    {0x10, {bcm2835, bcm2835_lines, &names_cm3, {{none, none, none}}, 0}},
    {0x11,
     {bcm2711,
      bcm2711_lines,
      &names_4b,
      {{{expander, 4, nullptr, sd_io_regulator},
        {expander, 5, nullptr, camera_regulator},
        {expander, 6, nullptr, sd_power_regulator}}},
      3}},
    // The Zero 2 W's regulator drives the line its device tree calls CAM_GPIO1.
    {0x12,
     {bcm2835,
      bcm2835_lines,
      nullptr,
      {{{soc, 40, "CAM_GPIO1", camera_regulator}, none, none}},
      1}},
    {0x13,
     {bcm2711,
      bcm2711_lines,
      &names_400,
      {{{expander, 4, nullptr, sd_io_regulator}, {expander, 6, nullptr, sd_power_regulator}, none}},
      2}},
    {0x14,
     {bcm2711,
      bcm2711_lines,
      &names_cm4,
      {{{expander, 4, nullptr, sd_io_regulator},
        {expander, 5, nullptr, camera_regulator},
        {expander, 6, nullptr, sd_power_regulator}}},
      3}},
    {0x15,
     {bcm2711,
      bcm2711_lines,
      &names_unpublished,
      {{{expander, 4, nullptr, sd_io_regulator}, {expander, 6, nullptr, sd_power_regulator}, none}},
      2}},
    // Which of the two cameras' regulators holds which line is not confirmed.
    {0x17,
     {rp1,
      rp1_lines,
      nullptr,
      {{{soc, 34, nullptr, "cam1_reg"}, {soc, 46, nullptr, "cam0_reg"}, none}},
      2}},
    {0x18, {rp1, rp1_lines, nullptr, {{none, none, none}}, 0}},
    {0x19, {rp1, rp1_lines, nullptr, {{none, none, none}}, 0}},
    {0x1a, {rp1, rp1_lines, nullptr, {{none, none, none}}, 0}},
};

const BoardLayout unknown_board = {bcm2835, bcm2835_lines, nullptr, {{none, none, none}}, 0};

constexpr uint32_t new_style_bit = 1U << 23;

// The board type of a new-style code (bits 4-11); an old-style code (its
// low 16 bits) as the type it was later given.
uint32_t board_type(uint32_t revision)
{
    if ((revision & new_style_bit) != 0)
        return (revision >> 4) & 0xff;
    const uint32_t code = revision & 0xffff;
    if (code == 0x0002 || code == 0x0003)
        return first_model_b;
    if ((code >= 0x0004 && code <= 0x0006) || (code >= 0x000d && code <= 0x000f))
        return 0x01;
    if (code >= 0x0007 && code <= 0x0009)
        return 0x00;
    if (code == 0x0010 || code == 0x0013)
        return 0x03;
    if (code == 0x0012 || code == 0x0015)
        return 0x02;
    if (code == 0x0011 || code == 0x0014)
        return 0x06;
    return UINT32_MAX;
}

} // namespace

BoardLayout board_layout(uint32_t revision)
{
    const uint32_t type = board_type(revision);
    const auto *row = std::find_if(std::begin(boards), std::end(boards),
                                   [type](const BoardRow &r) { return r.type == type; });
    return row != std::end(boards) ? row->layout : unknown_board;
}

} // namespace vcioemu
