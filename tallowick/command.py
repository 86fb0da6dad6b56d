"""The tallowick command: switches the camera LED (or any firmware GPIO line)
from a shell, a cron job or a systemd unit.

    tallowick off [--line N]      switch the LED off
    tallowick on [--line N]       switch it on
    tallowick toggle [--line N]   switch it to the other state
    tallowick state [--line N]    print "on" or "off"
    tallowick where               say where this board's LED is, and whether
                                  this user may switch it
    tallowick --version

Without --line the LED is found as tallowick.CameraLED finds it, on every
board; --line N drives firmware line N through "/dev/vcio".

Exit status 0 on success, 1 when the LED cannot be switched here or the
module refuses or fails (one message on standard error), 2 for a usage error.

The arguments are parsed by hand: importing argparse costs more than the
rest of a run, and the command is started at boot and from scripts.
"""

import os
import sys

from tallowick import __version__

TYPE_CHECKING = False
if TYPE_CHECKING:  # never at run time: Python 2.7 has no typing module
    from typing import Optional, Sequence, Tuple
    from tallowick.camera import CameraLED

# The path the module opens; the permission check looks at the same one.
DEVICE = "/dev/vcio"
# The module takes a line as a C int.
LARGEST_LINE = 2 ** 31 - 1
ACTIONS = ("off", "on", "toggle", "state", "where")

USAGE = "usage: tallowick {off,on,toggle,state} [--line N] | where | --version\n"
HELP = USAGE + """
Switches the Raspberry Pi camera LED of whichever board this runs on.

  off        switch the LED off
  on         switch it on
  toggle     switch it to the other state
  state      print "on" or "off"
  where      print the board, where its LED is, the road to it and whether
             this user may switch it (exit status 1 when not)

  --line N   firmware GPIO line N through /dev/vcio instead of the board's LED
  --version  print the version and exit
  -h, --help print this help and exit
"""
PERMISSION_HINT = (
    "error: %s is not readable by this user: run as root (sudo), or add the udev rule "
    "from the README's \"Permissions\" section\n"
)


class UsageError(Exception):
    pass


def parse_line(text):
    # type: (str) -> int
    # Digits only: int() would also take " 7", "+7" and "0_7".
    if text.isdigit() and int(text) <= LARGEST_LINE:
        return int(text)
    raise UsageError("--line takes a line number from 0 to %d, not %r" % (LARGEST_LINE, text))


def parse(args):
    # type: (Sequence[str]) -> Tuple[str, Optional[int]]
    """The action (one of ACTIONS, "help" or "version") and the firmware
    line given, None for the board's camera LED."""
    action = None  # type: Optional[str]
    line = None  # type: Optional[int]
    rest = list(args)
    while rest:
        arg = rest.pop(0)
        if arg in ("-h", "--help"):
            return "help", line
        if arg == "--version":
            return "version", line
        if arg == "--line":
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
        raise UsageError("say what to do: off, on, toggle, state or where")
    if action == "where" and line is not None:
        raise UsageError("where takes no --line")
    return action, line


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


def run_camera_led(action):
    # type: (str) -> int
    from tallowick import camera

    if action == "where":
        text, problem = camera.where()
        sys.stdout.write(text + "\n")
        if problem is not None:
            sys.stdout.flush()
            sys.stderr.write(problem + "\n")
        return 0 if problem is None else 1
    try:
        with camera.CameraLED() as led:
            act(action, led)
    except camera.CameraLEDError as error:
        sys.stderr.write("%s\n" % (error,))
        return 1
    return 0


def run_line(action, line):
    # type: (str, int) -> int
    import pyTallowick

    # Without this the user gets the module's bare "Permission denied". Root
    # passes os.access whatever the mode, as it passes the open.
    if os.path.exists(DEVICE) and not os.access(DEVICE, os.R_OK):
        sys.stderr.write(PERMISSION_HINT % DEVICE)
        return 1
    led = pyTallowick.Tallowick()
    # A refused line has been reported by the module already.
    if led.Open(line) < 0:
        return 1
    try:
        if action == "state":
            sys.stdout.write("on\n" if led.GetState() else "off\n")
        elif action == "toggle":
            led.SetState(0 if led.GetState() else 1)
        else:
            led.SetState(1 if action == "on" else 0)
    finally:
        led.Close()
    return 0


def main(argv=None):
    # type: (Optional[Sequence[str]]) -> int
    """Runs the command with these arguments (default: the process's) and
    returns its exit status."""
    try:
        action, line = parse(sys.argv[1:] if argv is None else argv)
    except UsageError as error:
        sys.stderr.write("%stallowick: error: %s\n" % (USAGE, error))
        return 2
    if action == "help":
        sys.stdout.write(HELP)
        return 0
    if action == "version":
        sys.stdout.write("tallowick %s\n" % __version__)
        return 0
    if line is None:
        return run_camera_led(action)
    return run_line(action, line)
