"""Reference counts, memory and descriptors stay put however often the
methods run, on every road through them: successes, refused arguments,
controller refusals, the interpreter's own calling-convention errors,
subclass instances, and deallocation with an exception pending.

PYTALLOWICK_REF_ROUNDS sets the number of rounds over every road (default
2000).
"""

import abc
import ctypes
import gc
import os
import sys
import unittest

import vcioemu
from support import NOT_OPENED, PY2, CapturedStderr, TestCase, WithInt, call_with_dict
import pyTallowick

Tallowick = pyTallowick.Tallowick
ROUNDS = int(os.environ.get("PYTALLOWICK_REF_ROUNDS", "2000"))
WARM_UP_ROUNDS = 200

# Growth allowed over all rounds, generous to the allocators' own noise. The
# C heap and the object allocator's block count are exact: a leak of one
# small block per round on any one road exceeds them. Resident memory is a
# coarse backstop (Python 3.13 grows it once by about 1 MB after the warm-up,
# for nothing that stays allocated).
HEAP_SLACK = 16 * 1024  # bytes of the C heap
BLOCK_SLACK = ROUNDS // 10  # blocks of the interpreter's object allocator
RESIDENT_SLACK = 4 * 1024 * 1024  # bytes of resident memory


class Own(Exception):
    pass


def number(text):
    """An int object of its own, not one of the interpreter's cached ones."""
    return int(text)


class RaisingInt(object):
    def __int__(self):
        raise Own("from __int__")


class Lamp(Tallowick):
    pass


# A subclass with an abstract method, which cannot be instantiated.
Abstract = abc.ABCMeta("Abstract", (Tallowick,), {"blink": abc.abstractmethod(lambda self: None)})


def refused(error_type, call, *args, **kwargs):
    """A road that must raise error_type."""

    def run():
        try:
            call(*args, **kwargs)
        except error_type:
            return
        raise AssertionError("%r accepted %r" % (call, args))

    return run


def giving(result, call, *args):
    """A road that must return result."""

    def run():
        value = call(*args)
        if value != result:
            raise AssertionError("%r(%r) gave %r" % (call, args, value))

    return run


def opened_then_closed(led, open_call):
    def run():
        if open_call() < 0:
            raise AssertionError("Open failed")
        led.Close()

    return run


def dropped_while_raising():
    """Deallocates an opened object while an exception is being raised."""

    def fail(error):
        raise error

    def consume(*args):
        raise AssertionError("never called")

    def run():
        # A new exception each time: raising one object again would make its
        # traceback (Python 3) longer each time.
        marker = Own("pending")
        try:
            consume(opened(Tallowick()), fail(marker))
        except Own as error:
            if error is not marker:
                raise AssertionError("another exception came out")
            return
        raise AssertionError("nothing raised")

    return run


def opened(led):
    if led.Open() < 0:
        raise AssertionError("Open failed")
    return led


# ----------------------------------------------------------- the module's 134


def default_led_pin():
    """Open's default value object. The module makes it with the interpreter's
    integer constructor, which hands out its cached small int 134; where the
    module's variable pyt_default_led_pin can be read, that is checked. From
    Python 3.12 on the cached small ints are immortal: their count never
    moves, and nothing the module does to it could free it."""
    try:
        symbol = ctypes.c_void_p.in_dll(ctypes.CDLL(pyTallowick.__file__), "pyt_default_led_pin")
    except (OSError, ValueError):
        return 134
    # id() is the address of the object in CPython.
    if symbol.value != id(134):
        raise AssertionError("the default object is not the cached 134")
    return 134


# -------------------------------------------------------------------- memory


def sanitizer_heap():
    """Bytes the sanitizer's allocator holds for the program, when the
    process runs under AddressSanitizer; else None."""
    try:
        current = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
    except AttributeError:
        return None
    current.restype = ctypes.c_size_t
    return current()


class MallInfo2(ctypes.Structure):
    """glibc's struct mallinfo2."""

    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks")
        + ("keepcost",)
    ]


def c_heap_in_use():
    """Bytes handed out by the C allocator and not given back, or None."""
    in_use = sanitizer_heap()
    if in_use is not None:
        return in_use
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        return None
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def object_blocks():
    """Blocks of the interpreter's small-object allocator in use (Python 3),
    or None."""
    count = getattr(sys, "getallocatedblocks", None)
    return count() if count is not None else None


def resident_bytes():
    """Resident memory of the process; None under AddressSanitizer, whose
    quarantine keeps freed memory resident on purpose."""
    if sanitizer_heap() is not None:
        return None
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure():
    gc.collect()
    return {"C heap": c_heap_in_use(), "object blocks": object_blocks(), "resident": resident_bytes()}


SLACK = {"C heap": HEAP_SLACK, "object blocks": BLOCK_SLACK, "resident": RESIDENT_SLACK}


# --------------------------------------------------------------------- roads


class Roads(object):
    """Every road through the type, each a function of no arguments, with
    the objects they hand to the module."""

    def __init__(self):
        self.line = number("1000003")
        self.state = number("1000005")
        self.result = number("1000007")
        self.text = "".join(["not ", "a number"])
        self.converting = WithInt(self.result)
        self.returning_text = WithInt(self.text)
        self.huge = WithInt(2**70 + 1)
        self.raising = RaisingInt()
        self.key = "".join(["led_", "pin"])
        self.bad_key = "".join(["pi", "n"])
        self.odd_key = number("1000009")
        self.arguments = [self.line, self.state, self.result, self.text, self.converting, self.returning_text]
        self.arguments += [self.huge, self.raising, self.key, self.bad_key, self.odd_key]
        self.keyword_sets = [
            {self.key: self.line},
            {self.bad_key: self.line},
            {self.odd_key: self.line},
            {"led_pin": self.line, self.bad_key: self.state},
        ]
        self.arguments += self.keyword_sets

        self.led = opened(Tallowick())
        self.idle = Tallowick()
        self.lamp = opened(Lamp())
        self.idle_lamp = Lamp()
        self.closed_refusals = 0

    def all(self):
        roads = self.creation() + self.opening() + self.refused_arguments() + self.line_operations()
        roads += self.calling_convention() + [dropped_while_raising()]
        return roads

    def creation(self):
        def made_and_dropped(cls, *args, **kwargs):
            def run():
                cls(*args, **kwargs)

            return run

        def opened_and_dropped():
            opened(Lamp()).SetState(self.state)

        return [
            made_and_dropped(Tallowick),
            made_and_dropped(Tallowick, self.line, led_pin=self.text),
            made_and_dropped(Lamp, self.line),
            opened_and_dropped,
            refused(TypeError, Abstract),
        ]

    def opening(self):
        roads = []
        for idle, led in ((self.idle, self.led), (self.idle_lamp, self.lamp)):
            roads += [
                opened_then_closed(idle, idle.Open),
                opened_then_closed(idle, lambda idle=idle: idle.Open(self.line)),
                opened_then_closed(idle, lambda idle=idle: idle.Open(led_pin=self.line)),
                opened_then_closed(idle, lambda idle=idle: call_with_dict(idle.Open, (), self.keyword_sets[0])),
                opened_then_closed(idle, lambda idle=idle: idle.Open(self.converting)),
                giving(-2, led.Open, self.line),
                giving(-2, led.Open),
                giving(None, idle.Close),
            ]
        return roads

    def refused_arguments(self):
        roads = []
        for idle, led in ((self.idle, self.led), (self.idle_lamp, self.lamp)):
            roads += [
                refused(TypeError, idle.Open, self.line, self.state),
                refused(TypeError, call_with_dict, idle.Open, (self.line,), self.keyword_sets[0]),
                refused(TypeError, call_with_dict, idle.Open, (), self.keyword_sets[1]),
                refused(TypeError, call_with_dict, idle.Open, (), self.keyword_sets[2]),
                refused(TypeError, call_with_dict, idle.Open, (), self.keyword_sets[3]),
                refused(TypeError, idle.Open, self.text),
                refused(TypeError, idle.Open, self.returning_text),
                refused(OverflowError, idle.Open, self.huge),
                refused(Own, idle.Open, self.raising),
                refused(TypeError, led.SetState, self.text),
                refused(TypeError, led.SetState, self.returning_text),
                refused(OverflowError, led.SetState, self.huge),
                refused(Own, led.SetState, self.raising),
            ]
        return roads

    def line_operations(self):
        def closed_refusal(call, *args):
            check = giving(-1, call, *args)

            def run():
                check()
                self.closed_refusals += 1

            return run

        roads = []
        for idle, led in ((self.idle, self.led), (self.idle_lamp, self.lamp)):
            roads += [
                giving(0, led.SetState, self.state),
                giving(0, led.SetState, self.converting),
                giving(1, led.GetState),
                closed_refusal(idle.SetState, self.state),
                closed_refusal(idle.GetState),
            ]
        return roads

    def calling_convention(self):
        led = self.led
        return [
            refused(TypeError, led.SetState),
            refused(TypeError, led.SetState, self.state, self.state),
            refused(TypeError, led.SetState, state=self.state),
            refused(TypeError, led.Close, self.line),
            refused(TypeError, led.GetState, self.line),
        ]


def run_rounds(roads, rounds):
    for _ in range(rounds):
        for road in roads:
            road()


def clear_exception_state():
    # Python 2 keeps the last handled exception, and with it the frames of
    # its traceback, until the function that handled it returns.
    if PY2:
        sys.exc_clear()


class ReferencesAndMemory(TestCase):
    def setUp(self):
        TestCase.setUp(self)
        self.roads = Roads()
        self.addCleanup(self.close_all)

    def close_all(self):
        for led in (self.roads.led, self.roads.lamp):
            led.Close()

    def counts(self, objects):
        clear_exception_state()
        return [sys.getrefcount(item) for item in objects]

    def test_every_road_keeps_counts_memory_and_descriptors(self):
        roads = self.roads.all()
        watched = self.roads.arguments + [Tallowick, Lamp, Abstract, default_led_pin()]
        # Two measured spans: a leak grows the memory in both, while the
        # interpreter's own one-off allocations (a table it enlarges once,
        # which the warm-up may not reach) show in one of them at most.
        with CapturedStderr() as captured:
            run_rounds(roads, WARM_UP_ROUNDS)
            before, memory_before = self.counts(watched), measure()
            run_rounds(roads, ROUNDS)
            memory_between = measure()
            run_rounds(roads, ROUNDS)
            after, memory_after = self.counts(watched), measure()
        self.assertEqual(captured.text, NOT_OPENED * self.roads.closed_refusals)
        self.assertEqual(self.roads.closed_refusals, 4 * (WARM_UP_ROUNDS + 2 * ROUNDS))

        changed = [(repr(item)[:60], b, a) for item, b, a in zip(watched, before, after) if a != b]
        self.assertEqual(changed, [])
        grown = dict((name, min(memory_between[name] - memory_before[name], memory_after[name] - memory_between[name]))
                     for name in memory_before if memory_before[name] is not None)
        over = dict((name, growth) for name, growth in grown.items() if growth > SLACK[name])
        self.assertEqual(over, {}, "growth over %d rounds of %d roads: %r" % (ROUNDS, len(roads), grown))
        self.assertTrue(grown, "no memory measure available")

        # The long-lived objects still hold exactly their two descriptors.
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before + 2)
        self.assertEqual(self.roads.led.GetState(), 1)

    def test_descriptors_close_when_objects_go(self):
        lamp_in_a_cycle = opened(Lamp())
        lamp_in_a_cycle.loop = [lamp_in_a_cycle]
        kept_by_traceback = opened(Tallowick())

        def hold_and_raise(led):
            raise Own("holding %r" % led)

        try:
            hold_and_raise(kept_by_traceback)
        except Own:
            traceback = sys.exc_info()[2]
        objects = [opened(Tallowick()) for _ in range(20)] + [opened(Lamp()) for _ in range(20)]
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before + 2 + 2 + 40)
        del objects[:]
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before + 2 + 2)
        del lamp_in_a_cycle, kept_by_traceback
        gc.collect()
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before + 2 + 1)
        del traceback
        clear_exception_state()
        gc.collect()
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before + 2)


if __name__ == "__main__":
    unittest.main()
