"""Conversion of Python objects to the 32-bit integers the controller takes,
seen through the line number of Open and the state of SetState."""

import ctypes
import sys
import unittest

import vcioemu
from support import PY2, TestCase, WithInt
import pyTallowick

Tallowick = pyTallowick.Tallowick

if PY2:
    long_type = long  # noqa: F821 (Python 2 only)
else:
    long_type = int

INT_REQUIRED = "an integer is required"


class Own(Exception):
    pass


class IntSubclass(int):
    def __int__(self):
        raise AssertionError("an int subclass is read by its stored value")


class LongSubclass(long_type):
    def __int__(self):
        raise AssertionError("a long subclass is read by its stored value")

    __long__ = __int__


class RaisingInt(object):
    """__int__ raises a new Own each time and remembers it."""

    def __init__(self):
        self.raised = []

    def __int__(self):
        self.raised.append(Own("from __int__"))
        raise self.raised[-1]


class ClassicWithInt:  # an old-style class under Python 2
    def __int__(self):
        return 5


class IndexOnly(object):
    def __index__(self):
        return 5


class LongOnly(object):
    def __init__(self, result):
        self.result = result

    def __long__(self):
        return self.result


class IntAndLong(object):
    def __int__(self):
        return "5"

    def __long__(self):
        return 5


def exception_of(function, value):
    try:
        function(value)
    except Exception as error:
        return error
    raise AssertionError("%r converted" % (value,))


class ConversionTestCase(TestCase):
    def converted(self, value):
        """What value becomes: read back as the line of Open, and checked
        against the state word that SetState sends for it."""
        led = Tallowick()
        self.assertGreaterEqual(led.Open(value), 0)
        self.addCleanup(led.Close)
        line = self.line_reaching_device(led)
        vcioemu.reset()
        self.assertEqual(led.SetState(value), 0)
        self.assertEqual(vcioemu.request(0)[6], 1 if line else 0)
        return line

    def refused(self, value):
        """Open of a fresh object and SetState of an open one both refuse
        value with the same exception; nothing reaches the device."""
        fresh = Tallowick()
        opened = self.opened()
        vcioemu.reset()
        errors = []
        for method in ("Open", "SetState"):
            led = fresh if method == "Open" else opened
            error, entries = self.raised(Exception, getattr(led, method), value)
            errors.append(error)
            # An exception raised inside __int__ has that frame innermost.
            self.assertModuleEntry(entries, method, depth=2 if entries[-1][2] == "__int__" else 1)
        self.assertEqual(vcioemu.requests(), [])
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before + 1)
        self.assertIs(type(errors[0]), type(errors[1]))
        self.assertEqual(str(errors[0]), str(errors[1]))
        self.assertGreaterEqual(fresh.Open(), 0)  # still closed
        fresh.Close()
        opened.Close()
        return errors[0]


class Accepted(ConversionTestCase):
    def check(self, cases):
        for value, expected in cases:
            with self.subTest(value=value):
                self.assertEqual(self.converted(value), expected)

    def test_integers_within_32_bits(self):
        values = [0, 1, 7, -1, 2**15 - 1, 2**15, -(2**15), 2**30 - 1, 2**30, -(2**30 - 1), -(2**30)]
        values += [2**31 - 1, -(2**31)]
        self.check([(value, value) for value in values])
        if PY2:
            self.check([(long_type(value), value) for value in values])

    def test_bools(self):
        self.check([(True, 1), (False, 0)])

    def test_floats_truncate_toward_zero(self):
        self.check(
            [
                (2.9, 2),
                (-2.9, -2),
                (0.5, 0),
                (-0.5, 0),
                (-1.5, -1),
                (2147483647.5, 2147483647),
                (-2147483648.9, -2147483648),
            ]
        )

    def test_integer_subclasses_by_stored_value(self):
        self.check([(IntSubclass(7), 7), (IntSubclass(-3), -3), (LongSubclass(9), 9)])

    def test_objects_with_integer_conversion(self):
        cases = [(WithInt(7), 7), (WithInt(-1), -1), (WithInt(2**31 - 1), 2**31 - 1), (ClassicWithInt(), 5)]
        if PY2:
            cases += [(WithInt(long_type(6)), 6), (LongOnly(long_type(8)), 8), (LongOnly(4), 4)]
        self.check(cases)


class Refused(ConversionTestCase):
    def test_no_integer_conversion(self):
        values = ["5", u"5", b"5", None, [], {}, object(), IndexOnly(), Tallowick]
        for value in values:
            with self.subTest(value=value):
                error = self.refused(value)
                self.assertIs(type(error), TypeError)
                self.assertEqual(str(error), INT_REQUIRED)

    def test_float_conversion_errors_pass_through(self):
        for value in [float("nan"), float("inf"), float("-inf")]:
            with self.subTest(value=value):
                error = self.refused(value)
                native = exception_of(int, value)
                self.assertIs(type(error), type(native))
                self.assertEqual(str(error), str(native))

    def test_own_int_exception_passes_through_unchanged(self):
        value = RaisingInt()
        error = self.refused(value)
        self.assertEqual(len(value.raised), 2)
        self.assertIs(error, value.raised[0])
        led = self.opened()
        error, entries = self.raised(Own, led.SetState, value)
        self.assertIs(error, value.raised[-1])
        # Outermost first: ..., the method's own entry, then __int__ itself.
        self.assertEqual(entries[-1][2], "__int__")
        self.assertModuleEntry(entries, "SetState", depth=2)

    def test_int_returning_non_integer(self):
        for result, type_name in [("5", "str"), (2.5, "float"), (None, "NoneType"), ([], "list")]:
            with self.subTest(result=result):
                error = self.refused(WithInt(result))
                self.assertIs(type(error), TypeError)
                self.assertEqual(str(error), "__int__ returned non-int (type %s)" % type_name)

    @unittest.skipUnless(PY2, "Python 2 only: __long__")
    def test_long_returning_non_integer(self):
        error = self.refused(LongOnly("5"))
        self.assertIs(type(error), TypeError)
        self.assertEqual(str(error), "__long__ returned non-long (type str)")
        # __int__ is asked first when a type has both.
        error = self.refused(IntAndLong())
        self.assertEqual(str(error), "__int__ returned non-int (type str)")

    def test_beyond_32_bits_overflows(self):
        values = [2**31, -(2**31) - 1, 2**32, 2**32 + 7, -(2**32), -(2**32) + 7, 2**63, -(2**63), 2**64 + 1, 10**30]
        values += [2147483648.0, -2147483649.0, 1e10, WithInt(2**31), WithInt(2**32 + 7)]
        wide_long = ctypes.sizeof(ctypes.c_long) > 4
        if not PY2 or wide_long:
            # A Python 2 int subclass holds a native long: only a 64-bit one
            # can carry a value past 32 bits.
            values.append(IntSubclass(2**32 + 1))
        if PY2 and wide_long:
            # On a 64-bit Python 2 these are plain ints, not longs.
            values += [int(2**31), int(-(2**31) - 1), int(2**32 + 7), sys.maxint]  # noqa: F821
            self.assertIs(type(int(2**32 + 7)), int)
        for value in values:
            with self.subTest(value=value):
                self.assertIs(type(self.refused(value)), OverflowError)


class MinusOne(ConversionTestCase):
    def test_minus_one_reaches_the_controller(self):
        for value in [-1, -1.5, WithInt(-1), IntSubclass(-1)]:
            with self.subTest(value=value):
                self.assertEqual(self.converted(value), -1)
                self.assertEqual(vcioemu.line_state(-1), 1)


class References(ConversionTestCase):
    def test_arguments_and_conversion_results_are_neither_kept_nor_released(self):
        number, returned = int("1000003"), int("1000005")
        text = "".join(["not ", "a number"])
        objects = [number, returned, text, WithInt(returned), WithInt(text), 134]
        before = [sys.getrefcount(item) for item in objects]
        led, fresh = self.opened(), Tallowick()
        for _ in range(50):
            for call in (fresh.Open, lambda item: fresh.Open(led_pin=item), led.SetState):
                for item in objects:
                    try:
                        call(item)
                    except TypeError:
                        pass
                    fresh.Close()
            fresh.Open()  # the default value object
            fresh.Close()
        del call, item  # the loop's own references
        self.assertEqual([sys.getrefcount(item) for item in objects], before)


if __name__ == "__main__":
    unittest.main()
