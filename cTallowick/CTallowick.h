// The LED controller: owns at most one open descriptor of the firmware device
// and the firmware GPIO line the LED hangs on.
#ifndef CTALLOWICK_CTALLOWICK_H
#define CTALLOWICK_CTALLOWICK_H

#include "export.h"

class CTALLOWICK_EXPORT CTallowick {
public:
    CTallowick();
    // The descriptor (>= 0) on success, -2 when already open, -1 when the
    // device could not be opened or led_pin carries this board's SD card or
    // eMMC (refused with a message; the device is closed again).
    int Open(int led_pin);
    // Closes an open device; harmless on a closed controller.
    void Close();
    // The line state (0 or 1); -1 with a message when not open.
    int GetState() const;
    // 0 once the request has been sent; -1 with a message when not open.
    int SetState(int newState);
    ~CTallowick();

    // A controller owns its descriptor: a copy would close it twice.
    CTallowick(const CTallowick &) = delete;
    CTallowick &operator=(const CTallowick &) = delete;

private:
    bool isOpened;
    int device;
    int pin;
};

#endif // CTALLOWICK_CTALLOWICK_H
