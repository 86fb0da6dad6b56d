"""The Raspberry Pi camera LED from the shell and from other libraries.

A pure-Python package on top of the pyTallowick extension module: the
``tallowick`` command (``python -m tallowick``) and, for gpiozero users, a pin
factory for firmware GPIO lines (``tallowick.gpiozero``).
"""

__version__ = "1.0.0"
