"""The camera LED of whichever Raspberry Pi this runs on, by the road its board
offers to an ordinary member of the ``gpio`` group.

    from tallowick import CameraLED

    with CameraLED() as led:
        led.off()

The board comes from its revision code (the device tree, /proc/cpuinfo, or
only where neither has it the firmware). On the Pi 1, 2, Zero and Zero W the
LED is a line of the SoC's GPIO chip; on the Pi 3 family a line of the
firmware's expander, which the kernel offers as a GPIO chip of its own, and
which the firmware mailbox "/dev/vcio" reaches where the kernel does not.
"""

import errno
import functools
import os
import sys
import weakref

try:
    from tallowick import _kernel
except ImportError:
    # Python's own message speaks of a partially initialised module and a
    # circular import: run from the source folder, its tallowick/ stands in
    # front of the installed package and has no built extension.
    _here = os.path.dirname(os.path.abspath(__file__))
    if any(name.startswith("_kernel.") and name.endswith(".so") for name in os.listdir(_here)):
        raise
    raise ImportError(
        "tallowick's extension module _kernel is not built in %s: this looks like the source "
        "folder, whose tallowick/ is found before the installed package; run from another folder "
        "(cd ~), or build the tree first (tools/test or tools/example)" % _here
    )

TYPE_CHECKING = False
if TYPE_CHECKING:  # never at run time: Python 2.7 has no typing module
    from typing import Any, Callable, List, Optional, Tuple, Union

CONSUMER = "tallowick"
# The consumer name of `tallowick indicate`, so that whoever finds the line
# held is told what holds it and which unit to stop.
INDICATOR_CONSUMER = "tallowick-indicator"
INDICATOR_UNIT = "camera-led-indicator.service"
# The chips by their labels; expander line k is firmware line 128 + k.
SOC_CHIP = _kernel.SOC_CHIP
EXPANDER_CHIP = _kernel.EXPANDER_CHIP
FIRST_EXPANDER_LINE = _kernel.FIRST_EXPANDER_LINE
MAILBOX = "/dev/vcio"
GROUP_FIX = "add the user to the gpio group (sudo usermod -aG gpio $USER) and log in again"
NOT_PERSISTENT = (
    "warning: this kernel returns a released SoC GPIO line to input: the camera LED will not "
    "stay as set once %s lets the line go; tallowick on --hold, off --hold and tallowick "
    "indicate keep it\n"
)


class CameraLEDError(Exception):
    """The camera LED cannot be switched here; the message, which starts with
    "error: ", says why. Nothing was driven."""


class _KernelLine(object):
    """The LED as a line of a kernel GPIO chip. Held from the first read or
    switch until close(): a read requests it as it is, and a switch then
    turns that request into an output, so the line never changes hands."""

    def __init__(self, chip, label, offset):
        # type: (Any, str, int) -> None
        self.chip = chip
        self.label = label
        self.offset = offset
        self.consumer = CONSUMER
        self.request = None  # type: Any
        self.output = False

    def describe(self):
        # type: () -> str
        return "line %d of %s (%s)" % (self.offset, self.chip.path, self.label)

    def failure(self, error):
        # type: (EnvironmentError) -> CameraLEDError
        return CameraLEDError("error: %s: %s" % (self.describe(), error.strerror))

    def read(self):
        # type: () -> bool
        try:
            if self.request is None:
                self.request = self.chip.request(self.offset, self.consumer)
            return bool(self.request.get())
        except EnvironmentError as error:
            raise self.failure(error)

    def drive(self, value):
        # type: (bool) -> None
        try:
            if self.request is None:
                self.request = self.chip.request(self.offset, self.consumer, value)
            elif self.output:
                self.request.set(value)
            else:
                self.request.make_output(value)
        except EnvironmentError as error:
            raise self.failure(error)
        self.output = True

    def switches(self):
        # type: () -> Tuple[Any, Any]
        """Callables that set the line, now an output, on and off, and
        raise CameraLEDError where that fails."""
        return self.request.switch(True, self.failure), self.request.switch(False, self.failure)

    def close(self):
        # type: () -> None
        if self.request is not None:
            self.request.release()
            self.request = None
        self.chip.close()


class _FirmwareLine(object):
    """The LED as a firmware line through "/dev/vcio", opened at the first
    read or switch. Used only once the device is known to open: the module
    ends the process when it cannot."""

    def __init__(self, line):
        # type: (int) -> None
        self.line = line
        self.led = None  # type: Any

    def describe(self):
        # type: () -> str
        return "firmware line %d through %s" % (self.line, MAILBOX)

    def opened(self):
        # type: () -> Any
        if self.led is None:
            import pyTallowick

            led = pyTallowick.Tallowick()
            # The module has said why on standard error.
            if led.Open(self.line) < 0:
                raise CameraLEDError("error: the firmware refused line %d" % self.line)
            self.led = led
        return self.led

    def read(self):
        # type: () -> bool
        return bool(self.opened().GetState())

    def drive(self, value):
        # type: (bool) -> None
        self.opened().SetState(1 if value else 0)

    def switches(self):
        # type: () -> Tuple[Any, Any]
        led = self.opened()
        return functools.partial(led.SetState, 1), functools.partial(led.SetState, 0)

    def close(self):
        # type: () -> None
        if self.led is not None:
            self.led.Close()
            self.led = None


class _Survey(object):
    """What this machine says of its board and camera LED, found without
    driving anything: the road to the LED, or the reason there is none."""

    def __init__(self):
        # type: () -> None
        self.lines = []  # type: List[str]
        self.road = None  # type: Union[_KernelLine, _FirmwareLine, None]
        self.problem = None  # type: Optional[str]
        self.soc = False
        try:
            self.survey()
        except CameraLEDError as error:
            self.problem = str(error)
            self.close()

    def close(self):
        # type: () -> None
        if self.road is not None:
            self.road.close()
            self.road = None

    def survey(self):
        # type: () -> None
        code, source = self.find_board()
        model = _kernel.board_model(code)
        self.lines.append("board: %s, revision 0x%x (from %s)" % (model, code, source))
        road, line, name = _kernel.camera_led(code)
        if road == "carrier":
            self.lines.append("camera LED: on the carrier board")
            raise CameraLEDError(
                "error: on a %s the carrier board decides which line drives the camera LED: "
                "give a firmware line with tallowick --line N" % model
            )
        if line is None or name is None:
            self.lines.append("camera LED: none")
            raise CameraLEDError("error: the %s (revision 0x%x) has no camera LED" % (model, code))
        if road == "soc":
            self.lines.append("camera LED: SoC GPIO %d (%s)" % (line, name))
            self.soc = True
            self.road = self.kernel_line(SOC_CHIP, line, name)
        else:
            self.lines.append(
                "camera LED: firmware line %d, expander line %d (%s)" % (line, line - FIRST_EXPANDER_LINE, name)
            )
            self.road = self.expander_line(line, name)
        self.lines.append("road: %s" % self.road.describe())

    def find_board(self):
        # type: () -> Tuple[int, str]
        found = _kernel.board_revision()
        if found is not None:
            return found[0], found[1]
        error = _kernel.probe_open(MAILBOX, False)
        if error:
            self.lines.append("board: unknown")
            raise CameraLEDError(
                "error: cannot tell which board this is: neither the device tree nor /proc/cpuinfo "
                "gives its revision, and %s cannot be opened (%s)" % (MAILBOX, os.strerror(error))
            )
        return _kernel.firmware_revision(), MAILBOX

    def kernel_line(self, label, offset, name):
        # type: (str, int, str) -> _KernelLine
        try:
            chip = _kernel.find_chip(label)
        except EnvironmentError as error:
            raise CameraLEDError(_refusal(error))
        if chip is None:
            raise CameraLEDError("error: the kernel offers no GPIO chip labelled %s" % label)
        return _checked(_KernelLine(chip, label, offset), name)

    def expander_line(self, line, name):
        # type: (int, str) -> Union[_KernelLine, _FirmwareLine]
        """Through the kernel's expander chip where this user may open it;
        through the firmware where the kernel has no such chip or refuses it
        and the mailbox opens."""
        refused = None  # type: Optional[EnvironmentError]
        try:
            chip = _kernel.find_chip(EXPANDER_CHIP)
        except EnvironmentError as error:
            chip, refused = None, error
        if chip is not None:
            return _checked(_KernelLine(chip, EXPANDER_CHIP, line - FIRST_EXPANDER_LINE), name)
        mailbox_error = _kernel.probe_open(MAILBOX, False)
        if not mailbox_error:
            return _FirmwareLine(line)
        if refused is not None:
            raise CameraLEDError(_refusal(refused))
        raise CameraLEDError(
            "error: the kernel offers no %s GPIO chip, and %s cannot be opened (%s): run as "
            "root (sudo)" % (EXPANDER_CHIP, MAILBOX, os.strerror(mailbox_error))
        )


def _refusal(error):
    # type: (EnvironmentError) -> str
    if error.errno in (errno.EPERM, errno.EACCES):
        return "error: %s may not be opened by this user (%s): %s" % (error.filename, error.strerror, GROUP_FIX)
    return "error: %s cannot be opened: %s" % (error.filename, error.strerror)


def _holder(consumer):
    # type: (str) -> str
    if consumer == INDICATOR_CONSUMER:
        return "%r, the camera LED indicator (tallowick indicate): stop it first (sudo systemctl stop %s)" % (
            consumer, INDICATOR_UNIT)
    if consumer == CONSUMER:
        return "%r, another tallowick that keeps it (--hold, or a program using tallowick.CameraLED): stop that first" % (
            consumer,)
    return repr(consumer) if consumer else "another user"


def _checked(kernel_line, name):
    # type: (_KernelLine, str) -> _KernelLine
    """The line, once its chip says it bears the camera LED's name and nobody
    holds it; closed otherwise."""
    try:
        line_name, consumer, used, _ = kernel_line.chip.line_info(kernel_line.offset)
    except EnvironmentError as error:
        kernel_line.close()
        raise kernel_line.failure(error)
    problem = None
    if line_name != name:
        problem = "error: %s is named %r, not %s: not the camera LED as this board is known; not switched" % (
            kernel_line.describe(), str(line_name), name)
    elif used:
        problem = "error: %s is held by %s" % (kernel_line.describe(), _holder(str(consumer)))
    if problem is not None:
        kernel_line.close()
        raise CameraLEDError(problem)
    return kernel_line


class CameraLED(object):
    """The board's camera LED: on(), off(), toggle(), is_lit, where and
    close(). Raises CameraLEDError, nothing driven, when it cannot be
    switched here, and where a switch fails. The line is held from the first read or switch
    until close() (or the end of a with block), under the consumer name
    given (what the kernel shows whoever looks at the line). A caller that
    keeps the line for as long as the level matters passes holding=True:
    the warning that this kernel lets a released line go back to input is
    not for it."""

    def __init__(self, consumer=CONSUMER, holding=False):
        # type: (str, bool) -> None
        survey = _Survey()
        if survey.problem is not None:
            raise CameraLEDError(survey.problem)
        self._road = survey.road  # type: Any
        if isinstance(self._road, _KernelLine):
            self._road.consumer = consumer
        # Read once: a switch must cost no more than the line's own.
        self._warning = None  # type: Optional[str]
        if survey.soc and not holding and _kernel.soc_outputs_persist() is not True:
            self._warning = NOT_PERSISTENT % CONSUMER
        self._where = _where_text(survey)
        # on() and off(): the first switch takes the line as an output; from
        # then on they are the road's own switches, which only set it. Kept
        # as the object's attributes, with no method of the class behind
        # them, so that a switch costs no more than the line's own set.
        self.on = _FirstSwitch(self, True)  # type: Callable[[], None]
        self.off = _FirstSwitch(self, False)  # type: Callable[[], None]

    @property
    def where(self):
        # type: () -> str
        """The board, where its camera LED is and the road to it, as
        `tallowick where` prints them."""
        return self._where

    @property
    def is_lit(self):
        # type: () -> bool
        return bool(self._opened().read())


    def toggle(self):
        # type: () -> None
        if self._opened().read():
            self.off()
        else:
            self.on()

    def close(self):
        # type: () -> None
        """Lets the line go; harmless when closed already."""
        self.on = _FirstSwitch(self, True)
        self.off = _FirstSwitch(self, False)
        if self._road is not None:
            self._road.close()
            self._road = None

    def __enter__(self):
        # type: () -> CameraLED
        return self

    def __exit__(self, *exc_info):
        # type: (*Any) -> None
        self.close()

    def _opened(self):
        # type: () -> Any
        if self._road is None:
            raise ValueError("the camera LED has been closed")
        return self._road

    def _switch(self, value):
        # type: (bool) -> None
        road = self._opened()
        if self._warning is not None:
            sys.stderr.write(self._warning)
            self._warning = None
        road.drive(value)
        self.on, self.off = road.switches()


class _FirstSwitch(object):
    """on() or off() of a CameraLED until its first switch. It knows the
    LED only weakly: a forgotten CameraLED still lets its line go at once."""

    def __init__(self, led, value):
        # type: (CameraLED, bool) -> None
        self.led = weakref.ref(led)
        self.value = value

    def __call__(self):
        # type: () -> None
        led = self.led()
        if led is not None:
            led._switch(self.value)


def where():
    # type: () -> Tuple[str, Optional[str]]
    """The lines `tallowick where` prints, and the reason the LED cannot be
    switched here (None when it can)."""
    survey = _Survey()
    survey.close()
    return _where_text(survey), survey.problem


def _where_text(survey):
    # type: (_Survey) -> str
    return "\n".join(survey.lines + ["may switch it: %s" % ("no" if survey.problem else "yes")])
