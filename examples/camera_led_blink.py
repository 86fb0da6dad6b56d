"""Blinks the camera LED five times as a gpiozero LED, in gpiozero's own
background thread, while the main thread goes on; then closes it.

Needs gpiozero (on Debian and Raspberry Pi OS: python3-gpiozero)."""
from __future__ import print_function

import sys
import time

from gpiozero import LED

from tallowick.gpiozero import FirmwarePinFactory

CAMERA_LED_LINE = 134
ON_TIME = OFF_TIME = 0.2
BLINKS = 5


def main():
    factory = FirmwarePinFactory()
    led = LED(CAMERA_LED_LINE, pin_factory=factory)
    led.blink(on_time=ON_TIME, off_time=OFF_TIME, n=BLINKS)
    print("blinking line %d in the background" % CAMERA_LED_LINE)
    time.sleep(ON_TIME / 2)
    print("mid-blink, is_lit: %s" % led.is_lit)
    # The main thread is free meanwhile; here it only waits for the end.
    time.sleep(BLINKS * (ON_TIME + OFF_TIME))
    print("done, is_lit: %s" % led.is_lit)
    led.close()
    factory.close()
    print("closed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
