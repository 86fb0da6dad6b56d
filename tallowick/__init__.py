"""The Raspberry Pi camera LED from the shell and from other libraries.

A Python package on top of the pyTallowick extension module: the camera LED
of whichever board this runs on (``tallowick.CameraLED``), the ``tallowick``
command (``python -m tallowick``) and, for gpiozero users, a pin factory for
firmware GPIO lines (``tallowick.gpiozero``).
"""

from tallowick.camera import CameraLED, CameraLEDError

__version__ = "1.0.0"
# What `from tallowick import ...` offers, type checkers included.
__all__ = ["CameraLED", "CameraLEDError", "__version__"]
