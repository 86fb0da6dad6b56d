"""ctypes access to the firmware emulator's control interface.

The emulator (emulator/vcio_emulator.h) is preloaded into the test process
with LD_PRELOAD and stands in for "/dev/vcio". VCIOEMU_LIBRARY names the same
file; loading it again hands back the preloaded copy, so these calls inspect
and steer the very emulator that answers the module's requests.
"""

import ctypes
import os

_PATH = os.environ.get("VCIOEMU_LIBRARY")


def _is_preloaded(path):
    # LD_PRELOAD separates entries with colons or spaces.
    wanted = os.path.realpath(path)
    entries = os.environ.get("LD_PRELOAD", "").replace(":", " ").split()
    return any(os.path.realpath(entry) == wanted for entry in entries)


# Without the preloaded emulator the module would reach for a real device:
# on a machine without one the first Open ends the test process.
if not _PATH:
    raise ImportError("VCIOEMU_LIBRARY is not set: the tests need the firmware emulator")
if not _is_preloaded(_PATH):
    raise ImportError("%s is not in LD_PRELOAD: the tests need the firmware emulator preloaded" % _PATH)

_lib = ctypes.CDLL(_PATH)


def _declare(name, restype, *argtypes):
    function = getattr(_lib, name)
    function.restype = restype
    function.argtypes = list(argtypes)
    return function


# Counts and flags, as the header declares them.
open_descriptors = _declare("vcioemu_open_descriptors", ctypes.c_int)
last_open_flags = _declare("vcioemu_last_open_flags", ctypes.c_int)  # -1 before any open
request_count = _declare("vcioemu_request_count", ctypes.c_uint)
last_request_code = _declare("vcioemu_last_request_code", ctypes.c_ulong)
# Forgets requests, line states and faults, and reports the default board
# (a Pi 3 Model B) again; open descriptors stay.
reset = _declare("vcioemu_reset", None)
# Faults for the following calls; 0 switches each off. firmware_status makes
# the driver fail the ioctl (EINVAL); raw_status hands the word back as is.
fail_open = _declare("vcioemu_fail_open", None, ctypes.c_int)
fail_ioctl = _declare("vcioemu_fail_ioctl", None, ctypes.c_int)
fail_close = _declare("vcioemu_fail_close", None, ctypes.c_int)
firmware_status = _declare("vcioemu_firmware_status", None, ctypes.c_uint32)
raw_status = _declare("vcioemu_raw_status", None, ctypes.c_uint32)
# The firmware's own refusals: a GPIO line it refuses, a tag it leaves
# unanswered (0: none), and the board revision it reports.
_refuse_line = _declare("vcioemu_refuse_line", None, ctypes.c_uint32, ctypes.c_int)
leave_unanswered = _declare("vcioemu_leave_unanswered", None, ctypes.c_uint32)
board_revision = _declare("vcioemu_board_revision", None, ctypes.c_uint32)
# A readable line per request on standard error while on.
trace = _declare("vcioemu_trace", None, ctypes.c_int)

_request_words = _declare(
    "vcioemu_request_words", ctypes.c_int, ctypes.c_uint, ctypes.POINTER(ctypes.c_uint32), ctypes.c_uint
)
_line_state = _declare("vcioemu_line_state", ctypes.c_int, ctypes.c_uint32)
_set_line_state = _declare("vcioemu_set_line_state", None, ctypes.c_uint32, ctypes.c_int)

# Large enough for any property buffer this system sends (32 bytes).
_MAX_WORDS = 64


def request(index):
    """Words of request index (0 = oldest) as sent, or None when absent."""
    buffer = (ctypes.c_uint32 * _MAX_WORDS)()
    count = _request_words(index, buffer, _MAX_WORDS)
    if count < 0:
        return None
    return list(buffer[: min(count, _MAX_WORDS)])


def requests():
    """Every request since the last reset, oldest first."""
    return [request(index) for index in range(request_count())]


# Lines travel as unsigned 32-bit words: line -1 is line 0xffffffff.
def line_state(line):
    return _line_state(line & 0xFFFFFFFF)


def set_line_state(line, state):
    _set_line_state(line & 0xFFFFFFFF, state)


def refuse_line(line, on=True):
    _refuse_line(line & 0xFFFFFFFF, 1 if on else 0)


# The kernel's GPIO chips of the chosen board ("/dev/gpiochipN"): the words of
# VCIOEMU_GPIO applied on top of those given ("no-expander", "chips=EACCES",
# "persist=N", "hold=0:40:gpio-leds", "name=1:6:LED", ...) until reset.
_gpio_configure = _declare("vcioemu_gpio_configure", ctypes.c_int, ctypes.c_char_p)
gpio_open_descriptors = _declare("vcioemu_gpio_open_descriptors", ctypes.c_int)
# A line's level, direction (1: output) and whether a line request holds it;
# -1 for a line the board does not have.
_gpio_line_value = _declare("vcioemu_gpio_line_value", ctypes.c_int, ctypes.c_uint, ctypes.c_uint)
_gpio_line_output = _declare("vcioemu_gpio_line_output", ctypes.c_int, ctypes.c_uint, ctypes.c_uint)
_gpio_line_requested = _declare("vcioemu_gpio_line_requested", ctypes.c_int, ctypes.c_uint, ctypes.c_uint)
# Line requests received (refused ones included) and drives (granted output
# requests, value sets, configurations to output) since the last reset.
gpio_request_count = _declare("vcioemu_gpio_request_count", ctypes.c_uint)
gpio_drive_count = _declare("vcioemu_gpio_drive_count", ctypes.c_uint)


def gpio_configure(words):
    """Applies VCIOEMU_GPIO words; ValueError when one cannot be used."""
    if _gpio_configure(words.encode("ascii")) != 0:
        raise ValueError("the emulator cannot use %r" % (words,))


def gpio_line(chip, offset):
    """(level, is_output, is_requested) of a line, or None where the board has none."""
    value = _gpio_line_value(chip, offset)
    if value < 0:
        return None
    return (value, _gpio_line_output(chip, offset) == 1, _gpio_line_requested(chip, offset) == 1)


# The folder that stands for "/sys/class/regulator" (None: the system's),
# and the opens of regulators' state files since the last reset.
_regulators = _declare("vcioemu_regulators", None, ctypes.c_char_p)
regulator_state_opens = _declare("vcioemu_regulator_state_opens", ctypes.c_uint)


def regulators(folder):
    _regulators(None if folder is None else folder.encode("utf-8"))
