#include "board.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <fcntl.h>
#include <iterator>
#include <string>
#include <unistd.h>

#include "gpio.h"

namespace {

// The firmware's GPIO expander, by expander line: firmware line 128 + k.
constexpr int emmc_enable_line = 129;   // CM3, CM3+: EMMC_EN_N
constexpr int camera_power_line = 133;  // Pi 3 family: CAM_GPIO0
constexpr int sd_io_voltage_line = 132; // Pi 4 family: VDD_SD_IO_SEL
constexpr int camera_led_line = 134;    // Pi 3 family: CAM_GPIO1
constexpr int sd_power_line = 134;      // Pi 4 family: SD_PWR_ON

// The camera connector's LED line on the SoC, by board generation.
constexpr int first_b_led_gpio = 5;
constexpr int plus_led_gpio = 32;
constexpr int zero_w_led_gpio = 40;

const char led_line_name[] = "CAM_GPIO1";
const char power_line_name[] = "CAM_GPIO0";

// A new-style revision code has bit 23 set, the board type in bits 4-11 and
// the PCB revision in bits 0-3.
constexpr uint32_t new_style_bit = 1U << 23;
constexpr unsigned board_type_shift = 4;
constexpr uint32_t board_type_mask = 0xff;
constexpr uint32_t pcb_revision_mask = 0xf;
// An old-style code is its low 16 bits; bits 24-25 above them may carry the
// warranty flag.
constexpr uint32_t old_style_mask = 0xffff;

// Which PCB revisions of a board type a row describes.
enum class pcb : uint8_t { any, first_only };

// The storage lines a board carries on the firmware's expander.
enum class storage : uint8_t { none, sd_card, emmc };

struct board_row {
    uint32_t type;
    pcb revisions;
    storage lines;
    const char *model;
    camera_led led;
};

constexpr camera_led soc_led(int gpio)
{
    return {led_road::soc_gpio, gpio, led_line_name};
}
constexpr camera_led firmware_led = {led_road::firmware_line, camera_led_line, led_line_name};
constexpr camera_led no_led = {led_road::none, -1, nullptr};
constexpr camera_led carrier_led = {led_road::carrier_board, -1, nullptr};

// Every board type by its new-style number; the first row that matches wins.
// No line names are published for the CM4S: taken to be wired like the CM4.
constexpr board_row boards[] = {
    {0x00, pcb::any, storage::none, "Raspberry Pi Model A", soc_led(first_b_led_gpio)},
    {0x01, pcb::any, storage::none, "Raspberry Pi Model B", soc_led(first_b_led_gpio)},
    {0x02, pcb::any, storage::none, "Raspberry Pi Model A+", soc_led(plus_led_gpio)},
    {0x03, pcb::any, storage::none, "Raspberry Pi Model B+", soc_led(plus_led_gpio)},
    {0x04, pcb::any, storage::none, "Raspberry Pi 2 Model B", soc_led(plus_led_gpio)},
    {0x06, pcb::any, storage::none, "Raspberry Pi Compute Module 1", carrier_led},
    // The firmware's pin table of the first 3 B boards swaps the camera's two
    // lines: the LED is on the line the device tree calls CAM_GPIO0.
    {0x08,
     pcb::first_only,
     storage::none,
     "Raspberry Pi 3 Model B",
     {led_road::firmware_line, camera_power_line, power_line_name}},
    {0x08, pcb::any, storage::none, "Raspberry Pi 3 Model B", firmware_led},
    {0x09, pcb::any, storage::none, "Raspberry Pi Zero", soc_led(plus_led_gpio)},
    {0x0a, pcb::any, storage::emmc, "Raspberry Pi Compute Module 3", carrier_led},
    {0x0c, pcb::any, storage::none, "Raspberry Pi Zero W", soc_led(zero_w_led_gpio)},
    {0x0d, pcb::any, storage::none, "Raspberry Pi 3 Model B+", firmware_led},
    {0x0e, pcb::any, storage::none, "Raspberry Pi 3 Model A+", firmware_led},
    {0x10, pcb::any, storage::emmc, "Raspberry Pi Compute Module 3+", carrier_led},
    {0x11, pcb::any, storage::sd_card, "Raspberry Pi 4 Model B", no_led},
    {0x12, pcb::any, storage::none, "Raspberry Pi Zero 2 W", no_led},
    {0x13, pcb::any, storage::sd_card, "Raspberry Pi 400", no_led},
    {0x14, pcb::any, storage::sd_card, "Raspberry Pi Compute Module 4", no_led},
    {0x15, pcb::any, storage::sd_card, "Raspberry Pi Compute Module 4S", carrier_led},
    {0x17, pcb::any, storage::none, "Raspberry Pi 5", no_led},
    {0x18, pcb::any, storage::none, "Raspberry Pi Compute Module 5", no_led},
    {0x19, pcb::any, storage::none, "Raspberry Pi 500", no_led},
    {0x1a, pcb::any, storage::none, "Raspberry Pi Compute Module 5 Lite", no_led},
};

// The old-style codes, each the board type it was later given a number for.
struct old_style_code {
    uint32_t code;
    // cppcheck-suppress unusedStructMember ; read through find_if's result
    uint32_t type;
};

constexpr old_style_code old_style_codes[] = {
    {0x0002, 0x01}, {0x0003, 0x01}, {0x0004, 0x01}, {0x0005, 0x01}, {0x0006, 0x01}, {0x0007, 0x00},
    {0x0008, 0x00}, {0x0009, 0x00}, {0x000d, 0x01}, {0x000e, 0x01}, {0x000f, 0x01}, {0x0010, 0x03},
    {0x0011, 0x06}, {0x0012, 0x02}, {0x0013, 0x03}, {0x0014, 0x06}, {0x0015, 0x02},
};

const board_row *new_style_row(uint32_t type, uint32_t pcb_revision)
{
    const auto *row = std::find_if(std::begin(boards), std::end(boards), [=](const board_row &r) {
        return r.type == type && (r.revisions == pcb::any || pcb_revision == 0);
    });
    return row != std::end(boards) ? row : nullptr;
}

// Old-style boards all have a later PCB revision than the first 3 B's.
const board_row *old_style_row(uint32_t code)
{
    const auto *entry = std::find_if(std::begin(old_style_codes), std::end(old_style_codes),
                                     [code](const old_style_code &e) { return e.code == code; });
    return entry != std::end(old_style_codes) ? new_style_row(entry->type, pcb_revision_mask)
                                              : nullptr;
}

const board_row *row_of(uint32_t revision)
{
    if ((revision & new_style_bit) == 0)
        return old_style_row(revision & old_style_mask);
    return new_style_row((revision >> board_type_shift) & board_type_mask,
                         revision & pcb_revision_mask);
}

// The one place a failed system call's errno is read.
int last_error()
{
    return errno;
}

// Reads up to size bytes of path into buffer: the byte count, or -1 when the
// file cannot be opened or read. Only open(2), read(2) and close(2): a
// stdio stream would hide its own opens from anyone standing in for them.
ssize_t read_file(const char *path, char *buffer, size_t size)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return -1;
    size_t done = 0;
    while (done < size) {
        const ssize_t got = read(fd, buffer + done, size - done);
        if (got == -1 && last_error() == EINTR)
            continue;
        if (got == -1) {
            close(fd);
            return -1;
        }
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
    }
    close(fd);
    return static_cast<ssize_t>(done);
}

// The device tree's cell is exactly four bytes, most significant first;
// anything else is no revision at all.
bool device_tree_revision(uint32_t &revision)
{
    unsigned char cell[5];
    if (read_file("/proc/device-tree/system/linux,revision", reinterpret_cast<char *>(cell),
                  sizeof(cell)) != 4)
        return false;
    revision = (uint32_t{cell[0]} << 24) | (uint32_t{cell[1]} << 16) | (uint32_t{cell[2]} << 8) |
               uint32_t{cell[3]};
    return true;
}

// One line of /proc/cpuinfo, "Revision\t: a02082" as the kernel prints it:
// the key, blanks, a colon, one space and one to eight hex digits that end
// the line. Any other shape is not the revision.
bool parse_revision_line(const std::string &line, uint32_t &revision)
{
    static const char key[] = "Revision";
    const size_t key_length = sizeof(key) - 1;
    if (line.compare(0, key_length, key) != 0)
        return false;
    const size_t colon = line.find_first_not_of(" \t", key_length);
    if (colon == std::string::npos || line.compare(colon, 2, ": ") != 0)
        return false;
    const std::string digits = line.substr(colon + 2);
    if (digits.empty() || digits.size() > 8 ||
        digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    revision = static_cast<uint32_t>(std::strtoul(digits.c_str(), nullptr, 16));
    return true;
}

bool cpuinfo_revision(uint32_t &revision)
{
    // Far more than a Pi's four cores print; a longer file is cut, and its
    // cut last line never passes for a whole one.
    char text[16384];
    const ssize_t size = read_file("/proc/cpuinfo", text, sizeof(text));
    if (size <= 0)
        return false;
    const char *const end = text + size;
    const char *line = text;
    while (line < end) {
        const char *eol = line;
        while (eol < end && *eol != '\n')
            ++eol;
        const bool whole = eol < end || static_cast<size_t>(size) < sizeof(text);
        if (whole && parse_revision_line(std::string(line, eol), revision))
            return true;
        line = eol + 1;
    }
    return false;
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
    const board_row *row = row_of(revision);
    if (row == nullptr)
        return false;
    switch (row->lines) {
    case storage::sd_card:
        return line == sd_io_voltage_line || line == sd_power_line;
    case storage::emmc:
        return line == emmc_enable_line;
    case storage::none:
        break;
    }
    return false;
}

camera_led camera_led_of(uint32_t revision)
{
    const board_row *row = row_of(revision);
    return row != nullptr ? row->led : no_led;
}

const char *board_model(uint32_t revision)
{
    const board_row *row = row_of(revision);
    return row != nullptr ? row->model : "unknown board";
}

revision_source read_board_revision(uint32_t &revision)
{
    if (device_tree_revision(revision))
        return revision_source::device_tree;
    if (cpuinfo_revision(revision))
        return revision_source::cpuinfo;
    return revision_source::none;
}
