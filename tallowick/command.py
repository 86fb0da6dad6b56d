"""The tallowick command: switches the camera LED (or any firmware GPIO line)
from a shell, a cron job or a systemd unit.

    tallowick off [--line N]      switch the LED off
    tallowick on [--line N]       switch it on
    tallowick toggle [--line N]   switch it to the other state
    tallowick state [--line N]    print "on" or "off"
    tallowick --version

Exit status 0 on success, 1 when the module refuses or fails (its own
message stands), 2 for a usage error.

The arguments are parsed by hand: importing argparse costs more than the
rest of a run, and the command is started at boot and from scripts.
"""

import os
import sys

import pyTallowick

from tallowick import __version__

TYPE_CHECKING = False
if TYPE_CHECKING:  # never at run time: Python 2.7 has no typing module
    from typing import Optional, Sequence, Tuple

# The path the module opens; the permission check looks at the same one.
DEVICE = "/dev/vcio"
CAMERA_LED = 134
# The module takes a line as a C int.
LARGEST_LINE = 2 ** 31 - 1
ACTIONS = ("off", "on", "toggle", "state")

USAGE = "usage: tallowick {off,on,toggle,state} [--line N] | --version\n"
HELP = USAGE + """
Switches the Raspberry Pi camera LED through the VideoCore firmware.

  off        switch the LED off
  on         switch it on
  toggle     switch it to the other state
  state      print "on" or "off"

  --line N   another firmware GPIO line (default 134, the camera LED)
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
    # type: (Sequence[str]) -> Tuple[str, int]
    """The action (one of ACTIONS, "help" or "version") and the line."""
    action = None  # type: Optional[str]
    line = CAMERA_LED
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
        raise UsageError("say what to do: off, on, toggle or state")
    return action, line


def run(action, line):
    # type: (str, int) -> int
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
    return run(action, line)
