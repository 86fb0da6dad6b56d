"""Switches the camera LED on, reads it back, switches it off, reads it back
and closes the mailbox again."""
from __future__ import print_function

import sys

import pyTallowick

CAMERA_LED_LINE = 134


def main():
    led = pyTallowick.Tallowick()
    descriptor = led.Open(led_pin=CAMERA_LED_LINE)
    if descriptor < 0:
        print("could not open the firmware mailbox (result %d)" % descriptor)
        return 1
    print("opened the firmware mailbox as descriptor %d, LED on line %d"
          % (descriptor, CAMERA_LED_LINE))

    led.SetState(1)
    print("LED switched on,  firmware reports state %d" % led.GetState())
    led.SetState(0)
    print("LED switched off, firmware reports state %d" % led.GetState())

    led.Close()
    print("closed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
