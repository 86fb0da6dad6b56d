"""Open and SetState against argmodel, case by case, over a wide space of
arguments drawn from a fixed seed: the exact line or state word that reaches
the device, or the exact exception, must be what the model says.

PYTALLOWICK_DIFF_CASES sets the number of cases (default 6000), for a long
run such as PYTALLOWICK_DIFF_CASES=200000; PYTALLOWICK_DIFF_SEED another
seed.
"""

import decimal
import fractions
import os
import random
import sys
import unittest

import argmodel
import vcioemu
from support import PY2, CapturedStderr, TestCase, call_with_dict, signed32
import pyTallowick

Tallowick = pyTallowick.Tallowick
long_type = argmodel.long_type
text_type = argmodel.text_type

CASES = int(os.environ.get("PYTALLOWICK_DIFF_CASES", "6000"))
SEED = int(os.environ.get("PYTALLOWICK_DIFF_SEED", "20240605"))
SET_STATE_LINE = 5
REPORTED = 10  # disagreements shown in full


def short_repr(value, limit=80):
    text = repr(value)
    return text if len(text) <= limit else text[: limit - 3] + "..."


# ------------------------------------------------------------------ values


class Described(object):
    """Objects of the test with a readable repr."""

    def __repr__(self):
        return "%s(%s)" % (type(self).__name__, ", ".join(short_repr(v, 40) for v in vars(self).values()))


class IntSub(int):
    pass


class IntSubOwnInt(int):
    def __int__(self):
        raise AssertionError("the stored value of an int subclass is read, never its __int__")

    __long__ = __int__


class LongSub(long_type):
    def __int__(self):
        raise AssertionError("the stored value of a long subclass is read, never its __int__")

    __long__ = __int__


class FloatSub(float):
    pass


class FloatSubWithInt(float):
    def __int__(self):
        return 42


class StrSub(str):
    pass


class WithInt(Described):
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class WithLong(Described):
    """__long__ only: the Python 2 conversion's second choice."""

    def __init__(self, result):
        self.result = result

    def __long__(self):
        return self.result


class IntAndLong(Described):
    def __int__(self):
        return "from __int__"

    def __long__(self):
        return 5


class Raising(Described):
    def __init__(self, error_type):
        self.error_type = error_type

    def __int__(self):
        raise self.error_type("raised by __int__")


class IndexOnly(Described):
    def __index__(self):
        return 5


class IndexAndInt(Described):
    def __index__(self):
        return 5

    def __int__(self):
        return 6


class FloatOnly(Described):
    def __float__(self):
        return 5.0


class TruncOnly(Described):
    def __trunc__(self):
        return 5


class IntIsNone(Described):
    __int__ = None


class IntIsStatic(Described):
    __int__ = staticmethod(lambda: 7)


class PlainCallable(object):
    """A callable without __get__: the slot calls it without the object."""

    def __call__(self):
        return 8


class IntIsPlainCallable(Described):
    __int__ = PlainCallable()


class IntIsNumber(Described):
    __int__ = 9


class IntIsProperty(Described):
    __int__ = property(lambda self: (lambda: 10))


class ClaimsToBeInt(Described):
    """isinstance(x, int) is true, but its type is not int."""

    __class__ = property(lambda self: int)


class MetaWithInt(type):
    def __int__(cls):
        return 3


# Its instances have no integer slot; the class itself (of type MetaWithInt)
# has one.
WithMetaInt = MetaWithInt("WithMetaInt", (object,), {})

LongNamed = type("Named" + "x" * 300, (object,), {})


class ClassicInt:  # old-style under Python 2
    def __int__(self):
        return 5


class ClassicNoInt:
    pass


class ClassicLongOnly:
    def __long__(self):
        return 5


class ClassicBadInt:
    def __int__(self):
        return "5"


def boundary_integers():
    numbers = [0, 1, -1, 7, 134, 10**20, 2**100, -(2**200)]
    for power in (15, 30, 31, 32, 63, 64):
        for base in (2**power, -(2**power)):
            numbers += [base - 1, base, base + 1]
    return numbers


def made(integer_type, numbers):
    """Instances of an integer subclass for those numbers it can hold (a
    Python 2 int subclass holds only a native long)."""
    instances = []
    for number in numbers:
        try:
            instances.append(integer_type(number))
        except OverflowError:
            pass
    return instances


def value_pool():
    """Every value the cases draw from: integers, integer-like and
    non-integer objects of many kinds."""
    numbers = boundary_integers()
    values = list(numbers) + [True, False]
    values += [long_type(n) for n in numbers[:12]] if PY2 else []
    values += made(IntSub, numbers[::3]) + made(IntSubOwnInt, numbers[1::4]) + made(LongSub, numbers[2::4])
    floats = [0.0, -0.0, 0.5, -0.5, 2.9, -2.9, 2147483647.0, 2147483647.9, 2147483648.0, -2147483648.9]
    floats += [-2147483649.0, 1e10, 2.0**63, 1e300, -1e300, float("inf"), float("-inf"), float("nan")]
    values += floats + [FloatSub(-7.5), FloatSubWithInt(1.5)]
    values += [decimal.Decimal("7.9"), decimal.Decimal("-0"), decimal.Decimal("NaN"), decimal.Decimal("-Infinity")]
    values += [fractions.Fraction(7, 2), 1 + 0j]
    values += ["5", "", u"5", b"5", StrSub("7"), bytearray(b"5"), None, [], [1], (), (5,), {}, {1: 2}]
    values += [set(), frozenset([1]), object(), Tallowick, Tallowick(), len, sys]
    results = [7, -1, 0, 2**31 - 1, 2**31, -(2**31) - 1, 2**63, 2**64 + 1, True, False, IntSub(-9)]
    results += made(IntSubOwnInt, [11, 2**40]) + [2.5, "5", None, [], b"x", 1j, WithInt(5), StrSub("s")]
    results += [LongNamed()]
    if PY2:
        results += [long_type(6), long_type(2**40), LongSub(12)]
    values += [WithInt(result) for result in results]
    values += [WithLong(result) for result in (5, 2**40, "5", 2.5, True) + ((long_type(6),) if PY2 else ())]
    values += [IntAndLong(), IndexOnly(), IndexAndInt(), FloatOnly(), TruncOnly()]
    values += [Raising(ValueError), Raising(KeyError), Raising(OverflowError), Raising(TypeError)]
    values += [IntIsNone(), IntIsStatic(), IntIsPlainCallable(), IntIsNumber(), IntIsProperty()]
    values += [ClaimsToBeInt(), WithMetaInt(), WithMetaInt]
    values += [ClassicInt(), ClassicNoInt(), ClassicLongOnly(), ClassicBadInt()]
    return values


# -------------------------------------------------------------------- keys


class KeyStr(str):
    pass


class KeyText(text_type):
    pass


class EqualsAnything(str):
    """Claims equality with every key and hashes like led_pin: the
    dictionary's own lookup of led_pin finds it."""

    def __eq__(self, other):
        return True

    def __hash__(self):
        return hash(argmodel.LED_PIN)


class EqualsNothing(str):
    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


class RaisingEquality(str):
    def __eq__(self, other):
        raise ValueError("no comparison")

    def __hash__(self):
        return hash(argmodel.LED_PIN)


class NonStringEqualsAnything(object):
    def __eq__(self, other):
        return True

    def __hash__(self):
        return hash(argmodel.LED_PIN)


def fresh(text):
    """Equal to text, but not the interned object of the literal."""
    return text[:1] + text[1:]


def key_pool():
    """(key, weight): led_pin in its many forms is drawn more often."""
    keys = [("led_pin", 6), (fresh("led_pin"), 3), (KeyStr("led_pin"), 2), (EqualsNothing("led_pin"), 1)]
    keys += [(key, 1) for key in ["pin", "LED_PIN", "led_pin_", "led", "", "k" * 300, "le\0d", KeyStr("pin")]]
    keys += [(EqualsAnything("xyz"), 1), (RaisingEquality("abc"), 1), (NonStringEqualsAnything(), 1)]
    keys += [(key, 1) for key in [1, 0, None, 1.5, (), frozenset(), ("led_pin",)]]
    if PY2:
        keys += [(u"led_pin", 3), (KeyText(u"led_pin"), 1)]
        keys += [(key, 1) for key in ["p\xc3\xa9", "\xff" * 250, u"pin", u"p\xe9", u"\u6f22", u"x\0y", u"k" * 300]]
        keys += [(u"\xe9" * 150, 1), (KeyText(u"p\xe9"), 1)]
    else:
        keys += [(key, 1) for key in [u"p\xe9", u"\u6f22\u5b57", u"\U0001F4A1", u"\udc80", u"x" * 150 + u"\xe9" * 100]]
        keys += [(b"led_pin", 2), (KeyText("pin"), 1)]
    return keys


# ------------------------------------------------------------------- cases


class Case(object):
    def __init__(self, method, args, kwargs):
        self.method, self.args, self.kwargs = method, args, kwargs

    def __repr__(self):
        args = [short_repr(arg) for arg in self.args]
        if self.kwargs is not None:
            items = ", ".join("%s: %s" % (short_repr(k), short_repr(v)) for k, v in self.kwargs.items())
            args.append("**{%s}" % items)
        return "%s(%s)" % (self.method, ", ".join(args))


def keyword_dictionary(rng, keys, weights, values, count):
    kwargs = {}
    for key in weighted_sample(rng, keys, weights, count):
        try:
            kwargs[key] = rng.choice(values)
        except Exception:
            pass  # a key that cannot join this dictionary (its __eq__ raised)
    return kwargs


def weighted_sample(rng, items, weights, count):
    chosen = []
    total = sum(weights)
    while len(chosen) < count:
        point = rng.uniform(0, total)
        for item, weight in zip(items, weights):
            point -= weight
            if point <= 0:
                break
        chosen.append(item)
    return chosen


def generate_cases(count, seed):
    rng = random.Random(seed)
    values = value_pool()
    keys, weights = zip(*key_pool())
    cases = []
    for _ in range(count):
        if rng.random() < 0.3:
            cases.append(Case("SetState", (rng.choice(values),), None))
            continue
        positional = rng.choice([0, 0, 0, 1, 1, 1, 1, 2, 3])
        args = tuple(rng.choice(values) for _ in range(positional))
        shape = rng.random()
        if shape < 0.4:
            kwargs = None
        elif shape < 0.45:
            kwargs = {}
        else:
            kwargs = keyword_dictionary(rng, keys, weights, values, rng.choice([1, 1, 1, 2, 2, 3]))
        cases.append(Case("Open", args, kwargs))
    return cases


# -------------------------------------------------------------- observation


def exception_outcome(error):
    return ("raises", type(error), str(error))


def module_outcome(case, opened):
    """What the module did: the line Open handed to the controller, the
    state word SetState sent, or the exception and whether the device was
    reached anyway."""
    vcioemu.reset()
    descriptors = vcioemu.open_descriptors()
    if case.method == "SetState":
        call = lambda: opened.SetState(case.args[0])  # noqa: E731
    else:
        led = Tallowick()
        if case.kwargs is None:
            call = lambda: led.Open(*case.args)  # noqa: E731
        else:
            call = lambda: call_with_dict(led.Open, case.args, case.kwargs)  # noqa: E731
    try:
        result = call()
    except Exception as error:
        touched = vcioemu.request_count() != 0 or vcioemu.open_descriptors() != descriptors
        return exception_outcome(error) + (("device reached",) if touched else ())
    if case.method == "SetState":
        words = vcioemu.requests()
        return ("sends", result, [word[5:7] for word in words])
    is_descriptor = isinstance(result, int) and result >= 0
    vcioemu.reset()
    led.SetState(1)
    line = signed32(vcioemu.request(0)[5])
    led.Close()
    return ("opens", is_descriptor, line)


def model_outcome(case):
    try:
        if case.method == "SetState":
            value = argmodel.set_state_value(case.args[0])
        else:
            value = argmodel.open_value(case.args, case.kwargs)
    except Exception as error:
        return exception_outcome(error)
    if case.method == "SetState":
        return ("sends", 0, [[SET_STATE_LINE, 1 if value else 0]])
    return ("opens", True, value)


def outcome_kind(outcome):
    """A coarse name for an outcome, to show the cases cover every road."""
    if outcome[0] != "raises":
        return outcome[0]
    text = outcome[2]
    for fixed in ("positional argument", "keywords must be strings", "unexpected keyword", "multiple values",
                  "an integer is required", "returned non-", "signed integer is", "too large to convert"):
        if fixed in text:
            return fixed
    return "passed through"


class Differential(TestCase):
    def test_module_agrees_with_the_model(self):
        cases = generate_cases(CASES, SEED)
        opened = Tallowick()
        self.assertGreaterEqual(opened.Open(SET_STATE_LINE), 0)
        self.addCleanup(opened.Close)
        disagreements, kinds = [], {}
        # Neither method writes anything in these cases: Open runs on a
        # closed controller, SetState on an open one, and a refused argument
        # is reported by its exception alone.
        with CapturedStderr() as captured:
            for number, case in enumerate(cases):
                expected = model_outcome(case)
                actual = module_outcome(case, opened)
                kinds[outcome_kind(expected)] = kinds.get(outcome_kind(expected), 0) + 1
                if actual != expected:
                    disagreements.append("case %d: %r\n  module: %r\n  model:  %r" % (number, case, actual, expected))
        self.assertEqual(captured.text, "")
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before + 1)
        shown = "\n".join(disagreements[:REPORTED])
        self.assertEqual(disagreements, [], "%d of %d cases disagree (seed %d):\n%s"
                         % (len(disagreements), len(cases), SEED, shown))
        # Every road was taken, so the agreement means something.
        if CASES >= 1000:
            roads = ["opens", "sends", "positional argument", "keywords must be strings", "unexpected keyword",
                     "multiple values", "an integer is required", "returned non-", "too large to convert",
                     "passed through"]
            if argmodel.LONG_BITS > 32:
                roads.append("signed integer is")
            self.assertEqual([road for road in roads if kinds.get(road, 0) < 5], [], kinds)


if __name__ == "__main__":
    unittest.main()
