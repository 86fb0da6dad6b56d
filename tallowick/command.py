"""The tallowick command: switches the camera LED (or any firmware GPIO line)
from a shell, a cron job or a systemd unit.

    tallowick off [--line N]      switch the LED off
    tallowick on [--line N]       switch it on
    tallowick toggle [--line N]   switch it to the other state
    tallowick state [--line N]    print "on" or "off"
    tallowick indicate [--line N] light the LED while the camera is powered,
                                  until SIGTERM, SIGINT or SIGHUP
    tallowick where               say where this board's LED is, and whether
                                  this user may switch it
    tallowick --version

on and off take --hold: the line is kept, at the level set, until SIGTERM,
SIGINT or SIGHUP, for kernels that let a released line go back to input.

Without --line the LED is found as tallowick.CameraLED finds it, on every
board; --line N drives firmware line N through "/dev/vcio".

Exit status 0 on success, 1 when the LED cannot be switched here or the
module refuses or fails (one message on standard error), 2 for a usage error.

The arguments are parsed by hand: importing argparse costs more than the
rest of a run, and the command is started at boot and from scripts.
"""

import os
import signal
import sys
import time

from tallowick import __version__

TYPE_CHECKING = False
if TYPE_CHECKING:  # never at run time: Python 2.7 has no typing module
    from typing import Any, Optional, Sequence
    from tallowick.camera import CameraLED

# The path the module opens; the permission check looks at the same one.
DEVICE = "/dev/vcio"
# The module takes a line as a C int.
LARGEST_LINE = 2 ** 31 - 1
ACTIONS = ("off", "on", "toggle", "state", "indicate", "where")
# Seconds between two looks at whether a signal came, while a line is held.
HOLD_WAIT = 0.25

USAGE = (
    "usage: tallowick {off,on} [--line N] [--hold] | {toggle,state,indicate} [--line N] | where "
    "| --version\n"
)
HELP = USAGE + """
Switches the Raspberry Pi camera LED of whichever board this runs on.

  off        switch the LED off
  on         switch it on
  toggle     switch it to the other state
  state      print "on" or "off"
  indicate   light the LED while the camera is powered and switch it off
             when it is not, until SIGTERM, SIGINT or SIGHUP (then off); one
             line per change on standard output
  where      print the board, where its LED is, the road to it and whether
             this user may switch it (exit status 1 when not)

  --line N   firmware GPIO line N through /dev/vcio instead of the board's LED
  --hold     with on or off: keep the line at that level until SIGTERM, SIGINT
             or SIGHUP, where the kernel would let a released line go
  --version  print the version and exit
  -h, --help print this help and exit
"""
PERMISSION_HINT = (
    "error: %s is not readable by this user: run as root (sudo), or from the package's "
    "systemd unit (see \"Permissions\" in the README)\n"
)


class UsageError(Exception):
    pass


def parse_line(text):
    # type: (str) -> int
    # Digits only: int() would also take " 7", "+7" and "0_7".
    if text.isdigit() and int(text) <= LARGEST_LINE:
        return int(text)
    raise UsageError("--line takes a line number from 0 to %d, not %r" % (LARGEST_LINE, text))


class Options(object):
    """What the command line asks for."""

    def __init__(self, action, line=None, hold=False):
        # type: (str, Optional[int], bool) -> None
        self.action = action
        # The firmware line given; None for the board's camera LED.
        self.line = line
        self.hold = hold

    def until_signalled(self):
        # type: () -> Optional[Signalled]
        """What ends a run that keeps its line until a signal, installed
        before the line is taken; None for the others."""
        if self.hold or self.action == "indicate":
            return Signalled().install()
        return None


def parse(args):
    # type: (Sequence[str]) -> Options
    """The action (one of ACTIONS, "help" or "version"), the firmware line
    and whether to hold it."""
    action = None  # type: Optional[str]
    line = None  # type: Optional[int]
    hold = False
    rest = list(args)
    while rest:
        arg = rest.pop(0)
        if arg in ("-h", "--help"):
            return Options("help")
        if arg == "--version":
            return Options("version")
        if arg == "--hold":
            hold = True
        elif arg == "--line":
            if not rest:
                raise UsageError("--line needs a line number")
            line = parse_line(rest.pop(0))
        elif arg.startswith("--line="):
            line = parse_line(arg[len("--line="):])
        elif arg in ACTIONS and action is None:
            action = arg
        elif arg in ACTIONS:
            raise UsageError("one action at a time, not %s and %s" % (action, arg))
        else:
            raise UsageError("unknown argument %r" % (arg,))
    if action is None:
        raise UsageError("say what to do: off, on, toggle, state, indicate or where")
    if action == "where" and line is not None:
        raise UsageError("where takes no --line")
    if hold and action not in ("on", "off"):
        raise UsageError("--hold goes with on or off, not %s" % action)
    return Options(action, line, hold)


class Signalled(object):
    """Set by SIGTERM, SIGINT or SIGHUP once installed: what stops a held
    line or the indicator. It sleeps rather than waits on a threading.Event,
    which a signal handler may not set: the waiting thread can hold its
    lock."""

    SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)

    def __init__(self):
        # type: () -> None
        self.signalled = False

    def install(self):
        # type: () -> Signalled
        for signum in self.SIGNALS:
            signal.signal(signum, self.set)
        return self

    def set(self, *_):
        # type: (*Any) -> None
        self.signalled = True

    def is_set(self):
        # type: () -> bool
        return self.signalled

    def wait(self, timeout):
        # type: (float) -> bool
        if not self.signalled:
            time.sleep(timeout)
        return self.signalled


def hold_until_signalled(stop):
    # type: (Signalled) -> None
    while not stop.wait(HOLD_WAIT):
        pass


def act(action, led):
    # type: (str, CameraLED) -> None
    if action == "state":
        sys.stdout.write("on\n" if led.is_lit else "off\n")
    elif action == "toggle":
        led.toggle()
    elif action == "on":
        led.on()
    else:
        led.off()


def run_where():
    # type: () -> int
    from tallowick import camera

    text, problem = camera.where()
    sys.stdout.write(text + "\n")
    if problem is not None:
        sys.stdout.flush()
        sys.stderr.write(problem + "\n")
    return 0 if problem is None else 1


def run_camera_led(options):
    # type: (Options) -> int
    from tallowick import camera

    stop = options.until_signalled()
    try:
        if options.action == "indicate":
            from tallowick.indicator import indicate

            indicate(stop)
            return 0
        with camera.CameraLED(holding=options.hold) as led:
            act(options.action, led)
            if stop is not None:
                hold_until_signalled(stop)
    except camera.CameraLEDError as error:
        sys.stderr.write("%s\n" % (error,))
        return 1
    return 0


class FirmwareLineLED(object):
    """Firmware line N through the module, as an LED the indicator can
    drive. The module ends the process, with its message, on any failure."""

    def __init__(self, led):
        # type: (Any) -> None
        self.led = led

    def on(self):
        # type: () -> None
        self.led.SetState(1)

    def off(self):
        # type: () -> None
        self.led.SetState(0)


def run_line(options, line):
    # type: (Options, int) -> int
    import pyTallowick

    # Without this the user gets the module's bare "Permission denied". Root
    # passes os.access whatever the mode, as it passes the open.
    if os.path.exists(DEVICE) and not os.access(DEVICE, os.R_OK):
        sys.stderr.write(PERMISSION_HINT % DEVICE)
        return 1
    stop = options.until_signalled()
    led = pyTallowick.Tallowick()
    # A refused line has been reported by the module already.
    if led.Open(line) < 0:
        return 1
    try:
        if options.action == "state":
            sys.stdout.write("on\n" if led.GetState() else "off\n")
        elif options.action == "toggle":
            led.SetState(0 if led.GetState() else 1)
        elif options.action == "indicate":
            from tallowick.indicator import indicate

            indicate(stop, FirmwareLineLED(led))
        else:
            led.SetState(1 if options.action == "on" else 0)
            # The firmware keeps the level anyway; the command waits all the
            # same, as it does on the kernel's road.
            if stop is not None:
                hold_until_signalled(stop)
    finally:
        led.Close()
    return 0


def main(argv=None):
    # type: (Optional[Sequence[str]]) -> int
    """Runs the command with these arguments (default: the process's) and
    returns its exit status."""
    try:
        options = parse(sys.argv[1:] if argv is None else argv)
    except UsageError as error:
        sys.stderr.write("%stallowick: error: %s\n" % (USAGE, error))
        return 2
    if options.action == "help":
        sys.stdout.write(HELP)
        return 0
    if options.action == "version":
        sys.stdout.write("tallowick %s\n" % __version__)
        return 0
    if options.action == "where":
        return run_where()
    if options.line is None:
        return run_camera_led(options)
    return run_line(options, options.line)
