"""A gpiozero pin factory for the firmware's GPIO lines.

gpiozero drives the SoC's own GPIO pins; the camera LED hangs on a line that
only the VideoCore firmware reaches. With this factory any gpiozero output
device works on such a line::

    from gpiozero import LED
    from tallowick.gpiozero import FirmwarePinFactory

    led = LED(134, pin_factory=FirmwarePinFactory())
    led.blink(on_time=0.2, off_time=0.2, n=5)

Pins are firmware line numbers, as integers or their decimal strings. Each pin
owns one pyTallowick controller, opened when the pin is made and closed with
the pin or the factory. The lines are output only.

Serves two pin-factory interfaces: gpiozero 1.6 (Debian 12's and 13's), which
knows a pin by ``pin.number`` and reserves by the pin's name as the device
gives it, and gpiozero 2.x (Raspberry Pi OS's since Debian 12), which knows a
pin by ``pin.info`` and the factory's ``board_info``. The notes on each piece say which one it is for.
"""

from __future__ import absolute_import

import numbers
import re
import threading
import weakref

try:
    from time import monotonic
except ImportError:  # Python 2.7, where gpiozero 1.6 still runs
    from time import time as monotonic

from gpiozero import (
    GPIOPinInUse,
    PinEdgeDetectUnsupported,
    PinFixedPull,
    PinInvalidFunction,
    PinInvalidPin,
    PinInvalidState,
    PinPWMUnsupported,
)
from gpiozero.pins import Factory, Pin

import pyTallowick

try:
    # gpiozero 2.x describes boards and pins with these; 1.6 has no BoardInfo
    # (its PinInfo and HeaderInfo are of another shape, and unused here).
    from gpiozero import BoardInfo, HeaderInfo, PinInfo
except ImportError:
    BoardInfo = HeaderInfo = PinInfo = None

__all__ = ["FirmwarePinFactory", "FirmwarePin"]

# The C int that Open takes; nothing beyond it can name a line.
_LARGEST_LINE = 0x7FFFFFFF
_DECIMAL = re.compile(r"[0-9]+\Z")
_TEXT = (type(""), type(u""))  # both str on Python 3; str and unicode on 2.7


def firmware_line(name):
    """The line number a pin name gives: 134, "134" (and, from gpiozero 2.x's
    release_pins, the pin's info name, which is that string)."""
    if isinstance(name, numbers.Integral) and not isinstance(name, bool):
        line = int(name)
    elif isinstance(name, _TEXT) and _DECIMAL.match(name):
        line = int(name)
    else:
        line = -1
    if not 0 <= line <= _LARGEST_LINE:
        raise PinInvalidPin("%r is not a firmware line number" % (name,))
    return line


class FirmwarePin(Pin):
    """One firmware GPIO line, driven through its own pyTallowick controller.

    Made by FirmwarePinFactory.pin(); raises PinInvalidPin when pyTallowick
    refuses the line on this board, with nothing left open."""

    def __init__(self, factory, line):
        self._factory = factory
        self._line = line
        self._tallowick = pyTallowick.Tallowick()
        if self._tallowick.Open(line) < 0:
            # Open has said why on standard error (e.g. the line powers the
            # SD card on this board) and kept nothing open.
            raise PinInvalidPin(
                "pyTallowick refused firmware line %d on this board" % line)

    def __repr__(self):
        return "FW%d" % self._line

    @property
    def factory(self):
        return self._factory

    @property
    def number(self):
        # gpiozero 1.6: devices release their reservation by pin.number.
        return self._line

    def _get_info(self):
        # gpiozero 2.x: devices release their reservation by pin.info.name.
        return _pin_info(self._line)

    def close(self):
        if self._tallowick is not None:
            self._tallowick.Close()
            self._tallowick = None
            self._factory._forget(self)

    def _controller(self):
        if self._tallowick is None:
            raise PinInvalidState("pin %r is closed" % self)
        return self._tallowick

    def _get_function(self):
        return "output"

    def _set_function(self, value):
        if value != "output":
            raise PinInvalidFunction(
                "firmware line %d is output only, not %r" % (self._line, value))

    def _get_state(self):
        return bool(self._controller().GetState())

    def _set_state(self, value):
        if value not in (0, 1):
            raise PinInvalidState(
                "firmware line %d is on or off, not %r" % (self._line, value))
        self._controller().SetState(1 if value else 0)

    # gpiozero's defaults for the rest already refuse; these name the reason.
    def _get_pull(self):
        return "floating"

    def _set_pull(self, value):
        raise PinFixedPull("firmware line %d has no pull to set" % self._line)

    def _set_frequency(self, value):
        if value is not None:
            raise PinPWMUnsupported("firmware line %d has no PWM" % self._line)

    def _set_edges(self, value):
        raise PinEdgeDetectUnsupported(
            "firmware line %d reports no edges" % self._line)

    def _set_when_changed(self, value):
        raise PinEdgeDetectUnsupported(
            "firmware line %d reports no edges" % self._line)


class FirmwarePinFactory(Factory):
    """Makes FirmwarePin objects: one per line, the same object for the same
    line until it is closed."""

    def __init__(self):
        super(FirmwarePinFactory, self).__init__()
        self._pins = {}
        self._pins_lock = threading.Lock()

    def __repr__(self):
        return "<FirmwarePinFactory>"

    def pin(self, name):
        line = firmware_line(name)
        with self._pins_lock:
            if line not in self._pins:
                self._pins[line] = self._new_pin(line)
            return self._pins[line]

    def _new_pin(self, line):
        try:
            return FirmwarePin(self, line)
        except Exception:
            # gpiozero reserved the line for a device that now never gets a
            # pin, and which may outlive this call in the traceback: no
            # device can hold a line without a pin, so no reservation stands.
            with self._res_lock:
                self._reservations.pop(line, None)
            raise

    def _forget(self, pin):
        with self._pins_lock:
            if self._pins.get(pin.number) is pin:
                del self._pins[pin.number]

    def close(self):
        with self._pins_lock:
            pins = list(self._pins.values())
        for pin in pins:
            pin.close()

    # Reservations are keyed by line number, however a device names it: gpiozero 1.6
    # would key them by the name as given (134 and "134" apart), and gpiozero 2.x
    # by the PinInfo that board_info.find_pin gives, which for lines not yet
    # made it could not find. Both versions' devices call these three.
    def reserve_pins(self, requester, *names):
        lines = [firmware_line(name) for name in names]
        with self._res_lock:
            for line in lines:
                for reserver_ref in self._reservations[line]:
                    reserver = reserver_ref()
                    if reserver is not None and requester._conflicts_with(reserver):
                        raise GPIOPinInUse(
                            "firmware line %d is already in use by %r" % (line, reserver))
                self._reservations[line].append(weakref.ref(requester))

    def release_pins(self, reserver, *names):
        lines = [firmware_line(name) for name in names]
        with self._res_lock:
            for line in lines:
                self._reservations[line] = [
                    ref for ref in self._reservations[line] if ref() not in (reserver, None)
                ]

    def release_all(self, reserver):
        self.release_pins(reserver, *list(self._reservations))

    @staticmethod
    def ticks():
        return monotonic()

    @staticmethod
    def ticks_diff(later, earlier):
        return max(0, later - earlier)

    def _get_board_info(self):
        # gpiozero 2.x: the lines this factory drives now, nothing else: the
        # rest of the board is not known from here.
        with self._pins_lock:
            lines = sorted(self._pins)
        return _board_info(lines)


def _header_name(line):
    return "FW%d" % line


# gpiozero 2.x draws a header as rows by columns of pins numbered from 1 and
# keys its pins by that number. Firmware lines have no such places, and one
# shared header would renumber its pins as lines come and go: each line is a
# header of its own, "FW134", holding the one pin.
def _pin_info(line):
    if PinInfo is None:
        return None
    return PinInfo(
        number=1, name=str(line), names=frozenset([line, str(line)]),
        pull="", row=1, col=1, interfaces=frozenset(["gpio"]))


def _board_info(lines):
    if BoardInfo is None:
        return None
    headers = dict(
        (_header_name(line),
         HeaderInfo(name=_header_name(line), rows=1, columns=1, pins={1: _pin_info(line)}))
        for line in lines)
    # board is the template of gpiozero's drawing of the board: none here.
    return BoardInfo(
        revision=None, model="firmware GPIO lines", pcb_revision=None,
        released=None, soc=None, manufacturer=None, memory=None, storage=None,
        usb=None, usb3=None, ethernet=None, eth_speed=None, wifi=None,
        bluetooth=None, csi=None, dsi=None, headers=headers, board="")
