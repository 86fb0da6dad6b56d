"""The module where the interpreter is made unfriendly: every warning an
error, the module imported again and reloaded, instances made without the
type's call or without the base initialiser, and copies made behind the
type's back. No object may ever be without its controller.
"""

import copy
import sys
import unittest

import support
import vcioemu
from support import NOT_OPENED, PY2, CapturedStderr, TestCase
import pyTallowick

Tallowick = pyTallowick.Tallowick

# The strictest switches of each interpreter: warnings raised as errors,
# Python 3 porting warnings (2.7), bytes/str mixing errors and the
# development mode's extra checks (3.x).
if PY2:
    STRICT_OPTIONS = ["-W", "error", "-3"]
else:
    STRICT_OPTIONS = ["-W", "error", "-bb"] + (["-X", "dev"] if sys.version_info >= (3, 7) else [])

# Every road through the module, run in a child with STRICT_OPTIONS: whatever
# the module or the interpreter calls it makes would warn about fails it.
WORKLOAD = r"""
from __future__ import print_function
import sys
import vcioemu
import pyTallowick
from support import call_with_dict

PY2 = sys.version_info[0] == 2

class Converts(object):
    def __init__(self, result):
        self.result = result
    def __int__(self):
        return self.result

class OddKey(str):
    def __eq__(self, other):
        raise ValueError("no comparison")
    def __hash__(self):
        return hash("led_pin")

class Lamp(pyTallowick.Tallowick):
    def __del__(self):
        self.Close()

outcomes = []
# Records "fd" for a descriptor from Open, another result as it is, or the
# name of the exception.
def attempt(method, *args, **options):
    try:
        if "keywords" in options:
            result = call_with_dict(method, args, options["keywords"])
        else:
            result = method(*args)
    except Exception as error:
        outcomes.append(type(error).__name__)
        return
    outcomes.append("fd" if method.__name__ == "Open" and result >= 0 else result)

led = pyTallowick.Tallowick()
attempt(led.Open)
attempt(led.Open, 5)
led.Close()
attempt(led.Open, Converts(True))  # an int subclass from __int__: no warning
attempt(led.SetState, Converts(True))
attempt(led.SetState, 2.5)
attempt(led.GetState)
led.Close()
attempt(led.Open, keywords={"led_pin": 3})
led.Close()
# A key whose comparison raises, and under -bb bytes equal to led_pin, make
# the lookup of led_pin fail inside; that must stay silent.
keys = [OddKey("x"), "pin", 1] + ([u"led_pin", u"p\xe9", "p\xc3\xa9"] if PY2 else [b"led_pin", u"\udc80"])
for key in keys:
    attempt(led.Open, keywords={key: 3})
    led.Close()
for value in ["5", None, 2**40, float("nan"), Converts("5"), Converts(2**70), Lamp]:
    attempt(led.Open, value)
attempt(led.Open, 1, 2)
attempt(led.Open, 1, keywords={"led_pin": 2})
lamp = Lamp()
attempt(lamp.Open, 9)
del lamp
print(outcomes)
print(vcioemu.open_descriptors())
"""


def expected_workload_outcomes():
    outcomes = ["fd", -2, "fd", 0, 0, 1, "fd", "TypeError", "TypeError", "TypeError"]
    outcomes += ["fd", "TypeError", "TypeError"] if PY2 else ["TypeError", "TypeError"]
    outcomes += ["TypeError", "TypeError", "OverflowError", "ValueError", "TypeError", "OverflowError", "TypeError"]
    outcomes += ["TypeError", "TypeError", "fd"]
    return outcomes


class StrictInterpreter(TestCase):
    def test_every_road_with_warnings_as_errors(self):
        status, out, err = support.run_child(WORKLOAD, options=STRICT_OPTIONS)
        self.assertEqual((status, err), (0, ""), out)
        self.assertEqual(out.splitlines(), [repr(expected_workload_outcomes()), "0"])


class ImportedAgain(TestCase):
    def test_second_import_reload_and_fresh_import(self):
        status, out, err = support.run_child(
            """
            from __future__ import print_function
            import sys
            import vcioemu
            import pyTallowick as first
            import pyTallowick as second
            print(first is second)
            led = first.Tallowick()
            print(led.Open(5) >= 0)
            if sys.version_info[0] == 2:
                from imp import reload  # the builtin warns under -3
            else:
                from importlib import reload
            again = reload(first)
            print(again is first, again.Tallowick is first.Tallowick, again.__test__ == {})
            del sys.modules["pyTallowick"]
            import pyTallowick as fresh
            print(fresh.Tallowick is first.Tallowick, sorted(fresh.__test__))
            other = fresh.Tallowick()
            print(other.Open(6) >= 0, led.SetState(1), other.SetState(0))
            print(vcioemu.line_state(5), vcioemu.line_state(6), vcioemu.open_descriptors())
            del led, other
            print(vcioemu.open_descriptors())
            """,
            options=STRICT_OPTIONS,
        )
        self.assertEqual((status, err), (0, ""), out)
        self.assertEqual(out.splitlines(), ["True", "True", "True True True", "True []", "True 0 0", "1 0 2", "0"])


class Lamp(Tallowick):
    def __init__(self, line):
        # Never calls Tallowick's initialiser.
        self.line = line


class SlottedLamp(Tallowick):
    __slots__ = ("line",)

    def __init__(self, line):
        self.line = line


class OwnNew(Tallowick):
    def __new__(cls, line):
        self = Tallowick.__new__(cls)
        self.line = line
        return self


class ControllersWithoutTheUsualCreation(TestCase):
    def assertOwnsController(self, led, line):
        """led is closed, opens on line and drives it, closes again."""
        descriptors = vcioemu.open_descriptors()
        with CapturedStderr() as captured:
            self.assertEqual(led.GetState(), -1)
        self.assertEqual(captured.text, NOT_OPENED)
        self.assertGreaterEqual(led.Open(line), 0)
        self.assertEqual(vcioemu.open_descriptors(), descriptors + 1)
        self.assertEqual(self.line_reaching_device(led), line)
        led.Close()
        self.assertEqual(vcioemu.open_descriptors(), descriptors)

    def test_new_called_directly(self):
        self.assertOwnsController(Tallowick.__new__(Tallowick), 3)
        self.assertOwnsController(Tallowick.__new__(Tallowick, 1, 2, led_pin=3), 4)
        self.assertOwnsController(Tallowick.__new__(Lamp), 5)
        self.assertOwnsController(Tallowick.__new__(SlottedLamp), 6)

    def test_subclasses_that_skip_the_base_initialiser(self):
        for cls in (Lamp, SlottedLamp, OwnNew):
            with self.subTest(cls=cls.__name__):
                led = cls(7)
                self.assertEqual(led.line, 7)
                self.assertOwnsController(led, led.line)

    def test_initialiser_called_again_leaves_the_controller(self):
        led = self.opened(8)
        led.__init__()
        Tallowick.__init__(led, 1, 2)
        self.assertEqual(self.line_reaching_device(led), 8)
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before + 1)

    def test_creation_the_interpreter_refuses(self):
        # object.__new__ would make an instance without a controller; the
        # interpreter refuses it, as it refuses foreign types.
        self.assertRaises(TypeError, object.__new__, Tallowick)
        self.assertRaises(TypeError, Tallowick.__new__, int)
        self.assertRaises(TypeError, Tallowick.__new__)
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before)

    def test_copies_own_fresh_controllers(self):
        led = self.opened(9)
        for make_copy in (copy.copy, copy.deepcopy):
            with self.subTest(copy=make_copy.__name__):
                try:
                    duplicate = make_copy(led)
                except TypeError:
                    # Python 3 refuses to copy an object whose state it cannot
                    # see; Python 2 makes one through the type's __new__.
                    self.assertFalse(PY2)
                    continue
                self.assertIsNot(duplicate, led)
                self.assertIs(type(duplicate), Tallowick)
                # Nothing of the original's device is shared.
                self.assertOwnsController(duplicate, 10)
        self.assertEqual(self.line_reaching_device(led), 9)


if __name__ == "__main__":
    unittest.main()
