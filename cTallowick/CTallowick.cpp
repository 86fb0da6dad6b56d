#include "CTallowick.h"

#include <cstdio>

#include "board.h"
#include "gpio.h"

namespace {

constexpr int default_led_pin = 134;
constexpr int result_failed = -1;
constexpr int result_already_open = -2;

const char not_opened_message[] = "error: Device is not opened. Please Call Open() first.\n";

void report_not_opened()
{
    std::fputs(not_opened_message, stderr);
}

// On some boards a line of the firmware's expander powers or switches the
// boot storage instead of an LED: driving it hangs the system and can
// corrupt the card. Asks the board only for the lines concerned.
bool refuse_storage_line(int device, int line)
{
    if (!line_may_control_storage(line))
        return false;
    const uint32_t revision = board_revision(device);
    if (!line_controls_storage(revision, line))
        return false;
    std::fprintf(stderr,
                 "error: line %d controls the SD card or eMMC of this board (revision 0x%06x): "
                 "refused\n",
                 line, static_cast<unsigned>(revision));
    return true;
}

} // namespace

CTallowick::CTallowick() : isOpened(false), device(-1), pin(default_led_pin) {}

int CTallowick::Open(int led_pin)
{
    if (isOpened)
        return result_already_open;
    device = rpi_firmware_open();
    if (device < 0)
        return result_failed;
    if (refuse_storage_line(device, led_pin)) {
        rpi_firmware_close(device);
        device = -1;
        return result_failed;
    }
    isOpened = true;
    pin = led_pin;
    return device;
}

void CTallowick::Close()
{
    if (isOpened)
        rpi_firmware_close(device);
    device = -1;
    isOpened = false;
}

int CTallowick::GetState() const
{
    if (!isOpened) {
        report_not_opened();
        return result_failed;
    }
    return gpio_get(device, pin);
}

int CTallowick::SetState(int newState)
{
    if (!isOpened) {
        report_not_opened();
        return result_failed;
    }
    gpio_set(device, pin, newState);
    return 0;
}

CTallowick::~CTallowick()
{
    if (isOpened)
        Close();
}
