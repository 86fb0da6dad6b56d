"""The camera LED as the camera's recording light: lit while the camera is
powered, off otherwise, as the firmware's camera stack once kept it.

    import threading
    from tallowick.indicator import camera_powered, indicate

    camera_powered()            # True, False, or None: no camera regulator
    stop = threading.Event()
    indicate(stop)              # follows the camera until stop is set

The kernel shows whether the camera runs through the regulator the camera
overlays give the sensor ("cam1-reg", "cam0-reg"): the sensor drivers enable
it only while a camera is in use, and any user may read its state.
"""

import sys
import time

from tallowick import camera
from tallowick import _kernel

TYPE_CHECKING = False
if TYPE_CHECKING:  # never at run time: Python 2.7 has no typing module
    from typing import Any, IO, Optional

# Seconds between two reads of the camera's power: a change shows within
# this (plus a switch). The reads happen in the extension, without waking
# the interpreter: an idle round is one sleep and one small file read.
INTERVAL = 0.2
# Seconds the extension's wait goes on before the loop looks at stop again
# (a signal cuts it short): how soon a program's stop.set() is seen.
STOP_CHECK = 0.5
# Seconds between two looks for a regulator while there is none: at boot the
# camera's driver may come after the indicator.
RESCAN = 2.0

LIT = "LED on: camera powered\n"
DARK = "LED off: camera not powered\n"
STOPPED = "LED off: indicator stopped\n"
MISSING = (
    "warning: no camera power regulator (cam1-reg or cam0-reg) in /sys/class/regulator: "
    "the camera LED stays off until one appears\n"
)
# Said once a regulator appears after MISSING was.
FOUND = "camera power regulator found: %s\n"

_monotonic = getattr(time, "monotonic", time.time)


def camera_powered():
    # type: () -> Optional[bool]
    """True while the camera is powered, False while it is not, None where
    the kernel shows no camera regulator (no camera found at boot)."""
    power = _kernel.camera_power()
    power.scan()
    return power.read()


class _Follower(object):
    """One round at a time: reads the camera's power, as little as the
    answer needs, and switches the LED when it changed."""

    def __init__(self, led, out, err):
        # type: (Any, IO[str], IO[str]) -> None
        self.led = led
        self.out = out
        self.err = err
        self.power = _kernel.camera_power()
        self.lit = None  # type: Optional[bool]
        self.next_scan = 0.0
        self.said_missing = False

    def look_again(self):
        # type: () -> Optional[bool]
        now = _monotonic()
        if now < self.next_scan:
            return None
        self.next_scan = now + RESCAN
        try:
            found = self.power.scan()
        except EnvironmentError:
            found = 0
        if found:
            if self.said_missing:
                self.err.write(FOUND % ", ".join(self.power.names))
            self.said_missing = False
            return self.power.read()
        if not self.said_missing:
            self.err.write(MISSING)
            self.said_missing = True
        return None

    def round(self, state):
        # type: (Optional[bool]) -> Optional[bool]
        """Switches the LED to the camera's power state, as last read (None:
        no regulator known); returns the state it settled on."""
        if state is None:
            state = self.look_again()
        lit = bool(state)
        if lit != self.lit:
            # The first switch takes the line as an output at this level.
            if lit:
                self.led.on()
            else:
                self.led.off()
            self.lit = lit
            self.out.write(LIT if lit else DARK)
            self.out.flush()
        return state

    def follow(self, stop, interval):
        # type: (Any, float) -> None
        state = self.power.read()
        while not stop.is_set():
            state = self.power.wait(self.round(state), interval, STOP_CHECK)

    def finish(self):
        # type: () -> None
        if self.lit is None:
            return
        self.led.off()
        if self.lit:
            self.out.write(STOPPED)
            self.out.flush()


def indicate(stop, led=None, out=None, err=None, interval=INTERVAL):
    # type: (Any, Any, Optional[IO[str]], Optional[IO[str]], float) -> None
    """Keeps the camera LED lit while the camera is powered and off while it
    is not, until stop (a threading.Event, or anything with is_set()) is set,
    which it sees within half a second; then switches it off. Each change is one line on
    out (default: standard output); the lack of a regulator one line on err.

    Without led the board's camera LED is taken, held as consumer
    "tallowick-indicator" for the whole run, and let go at the end. Raises
    camera.CameraLEDError where it cannot be had or a switch fails; the LED
    is then left off where that is still possible."""
    out = sys.stdout if out is None else out
    err = sys.stderr if err is None else err
    own = led is None
    if own:
        led = camera.CameraLED(consumer=camera.INDICATOR_CONSUMER, holding=True)
    follower = _Follower(led, out, err)
    try:
        follower.follow(stop, interval)
        follower.finish()
    except BaseException:
        _leave_dark(follower)
        raise
    finally:
        if own:
            led.close()


def _leave_dark(follower):
    # type: (_Follower) -> None
    # After a failed switch the line may be gone with its chip: what can
    # still be done is done, and the first failure is the one reported.
    if follower.lit is None:
        return
    try:
        follower.led.off()
    except (camera.CameraLEDError, EnvironmentError, ValueError):
        pass
