"""Switches the Raspberry Pi camera LED and reads its state through the
VideoCore firmware mailbox "/dev/vcio"."""

from typing import SupportsInt

class Tallowick:
    """One LED controller. It owns at most one open descriptor of the
    firmware mailbox, closed by Close() or when the object goes away."""

    # Any arguments are accepted and ignored: a new object is closed and set
    # to line 134.
    def __init__(self, *args: object, **kwargs: object) -> None: ...
    def Open(self, led_pin: SupportsInt = 134) -> int:
        """Opens the mailbox for LED line led_pin. Returns the descriptor
        (>= 0), -2 when already open, -1 when led_pin carries this board's SD
        card or eMMC (refused, with a message on standard error); ends the
        process with status 1 when the device cannot be opened."""
    def Close(self) -> None:
        """Closes the mailbox; harmless when it is not open."""
    def SetState(self, __state: SupportsInt) -> int:
        """Drives the LED line: on for any non-zero state, off for 0. Returns
        0, or -1 when not open."""
    def GetState(self) -> int:
        """Reads the LED line: 0 or 1, or -1 when not open."""
