"""Objects and their controllers: results of the four methods, creation,
subclassing, and deallocation closing the device."""

import abc
import gc
import os
import subprocess
import sys
import weakref
import unittest

import support
import vcioemu
from support import NOT_OPENED, SET_GPIO_STATE, GET_GPIO_STATE, CapturedStderr, TestCase
import pyTallowick

Tallowick = pyTallowick.Tallowick
# Linux's value on every processor the module runs on; Python 2 does not name it.
O_CLOEXEC = getattr(os, "O_CLOEXEC", 0o2000000)


def opened_tallowick(line=134):
    """An opened object whose only reference is the one returned."""
    led = Tallowick()
    led.Open(line)
    return led


class Results(TestCase):
    def test_fresh_object_refuses_line_operations(self):
        led = Tallowick()
        for call in (led.GetState, lambda: led.SetState(1)):
            with CapturedStderr() as captured:
                result = call()
            self.assertIs(type(result), int)
            self.assertEqual(result, -1)
            self.assertEqual(captured.text, NOT_OPENED)
        with CapturedStderr() as captured:
            self.assertIsNone(led.Close())
        self.assertEqual(captured.text, "")
        self.assertNoDeviceTraffic()

    def test_open_gives_a_descriptor_then_minus_two(self):
        led = Tallowick()
        descriptor = led.Open()
        self.addCleanup(led.Close)
        self.assertIs(type(descriptor), int)
        self.assertGreaterEqual(descriptor, 0)
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before + 1)
        self.assertEqual(vcioemu.last_open_flags(), os.O_RDONLY | os.O_NONBLOCK | O_CLOEXEC)
        # Line 134 carries the SD card on some boards: Open asked which board
        # this is, and nothing else.
        self.assertEqual(vcioemu.requests(), [support.REVISION_REQUEST])
        with CapturedStderr() as captured:
            self.assertEqual(led.Open(5), -2)
        self.assertEqual(captured.text, "")
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before + 1)
        self.assertEqual(self.line_reaching_device(led), 134)

    def test_storage_line_is_refused_and_the_object_stays_closed(self):
        vcioemu.board_revision(support.PI4B)
        led = Tallowick()
        with CapturedStderr() as captured:
            result = led.Open()
            self.assertEqual(led.SetState(0), -1)
        self.assertIs(type(result), int)
        self.assertEqual(result, -1)
        self.assertEqual(captured.text, support.REFUSED_ON_PI4B + NOT_OPENED)
        self.assertEqual(vcioemu.requests(), [support.REVISION_REQUEST])
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before)
        # Any other line is still the owner's to drive.
        self.assertGreaterEqual(led.Open(5), 0)
        self.addCleanup(led.Close)
        self.assertEqual(self.line_reaching_device(led), 5)

    def test_each_board_refuses_only_its_storage_lines(self):
        boards = [
            (0xA02082, ()), (0xA020D3, ()), (0x9020E0, ()),  # 3 B, 3 B+, 3 A+
            (0xC03111, (132, 134)), (0xC03130, (132, 134)),  # 4 B, 400
            (0xB03140, (132, 134)), (0xA03150, (132, 134)),  # CM4, CM4S
            (0xA020A0, (129,)), (0xA02100, (129,)),  # CM3, CM3+
        ]
        for revision, refused in boards:
            for line in (129, 132, 134):
                with self.subTest(revision=hex(revision), line=line):
                    vcioemu.reset()
                    vcioemu.board_revision(revision)
                    led = Tallowick()
                    with CapturedStderr() as captured:
                        result = led.Open(line)
                    led.Close()
                    self.assertEqual(vcioemu.requests(), [support.REVISION_REQUEST])
                    if line in refused:
                        self.assertEqual(result, -1)
                        self.assertIn("error: line %d controls the SD card" % line, captured.text)
                    else:
                        self.assertGreaterEqual(result, 0)
                        self.assertEqual(captured.text, "")

    def test_a_child_process_does_not_inherit_the_descriptor(self):
        led = Tallowick()
        descriptor = led.Open(5)
        self.addCleanup(led.Close)
        # Started the way that passes every inheritable descriptor on.
        child = "import os, sys\ntry:\n    os.fstat(int(sys.argv[1]))\nexcept OSError:\n    sys.exit(0)\nsys.exit(3)"
        status = subprocess.call([sys.executable, "-c", child, str(descriptor)], close_fds=False)
        self.assertEqual(status, 0, "the child could use the mailbox descriptor")

    def test_set_state_drives_the_line(self):
        led = self.opened(7)
        for state, word in [(1, 1), (0, 0), (5, 1), (-1, 1), (0, 0)]:
            with self.subTest(state=state):
                vcioemu.reset()
                result = led.SetState(state)
                self.assertIs(type(result), int)
                self.assertEqual(result, 0)
                self.assertEqual(vcioemu.requests(), [[32, 0, SET_GPIO_STATE, 8, 0, 7, word, 0]])
                self.assertEqual(vcioemu.last_request_code(), support.property_request_code())
                self.assertEqual(vcioemu.line_state(7), word)

    def test_get_state_reads_the_line(self):
        led = self.opened(9)
        for state in (1, 0):
            with self.subTest(state=state):
                vcioemu.reset()
                vcioemu.set_line_state(9, state)
                result = led.GetState()
                self.assertIs(type(result), int)
                self.assertEqual(result, state)
                [words] = vcioemu.requests()
                self.assertEqual(words[:6], [32, 0, GET_GPIO_STATE, 8, 0, 9])
                self.assertEqual(words[7:], [0])
        led.SetState(1)
        self.assertEqual(led.GetState(), 1)

    def test_close_then_open_again_with_another_line(self):
        led = self.opened(5)
        self.assertIsNone(led.Close())
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before)
        with CapturedStderr() as captured:
            self.assertEqual(led.GetState(), -1)
            self.assertIsNone(led.Close())
        self.assertEqual(captured.text, NOT_OPENED)
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before)
        self.assertGreaterEqual(led.Open(6), 0)
        self.assertEqual(self.line_reaching_device(led), 6)

    def test_two_objects_own_two_descriptors(self):
        first, second = Tallowick(), Tallowick()
        descriptors = set([first.Open(5), second.Open(6)])
        self.addCleanup(first.Close)
        self.addCleanup(second.Close)
        self.assertEqual(len(descriptors), 2)
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before + 2)
        first.SetState(1)
        self.assertEqual((vcioemu.line_state(5), vcioemu.line_state(6)), (1, 0))
        first.Close()
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before + 1)
        self.assertEqual(self.line_reaching_device(second), 6)


class CallingConvention(TestCase):
    CALLS = [
        ("SetState", (), {}),
        ("SetState", (1, 2), {}),
        ("SetState", (), {"state": 1}),
        ("SetState", (1,), {"state": 1}),
        ("Close", (1,), {}),
        ("Close", (), {"x": 1}),
        ("GetState", (1,), {}),
        ("GetState", (), {"x": 1}),
    ]

    def check_refused_calls(self, led):
        for name, args, kwargs in self.CALLS:
            with self.subTest(method=name, args=args, kwargs=kwargs):
                with CapturedStderr() as captured:
                    error, entries = self.raised(TypeError, getattr(led, name), *args, **kwargs)
                self.assertIn(name, str(error))
                self.assertNoModuleEntry(entries)
                self.assertEqual(captured.text, "")
                self.assertEqual(vcioemu.requests(), [])

    def test_on_an_open_object_the_controller_is_not_called(self):
        led = self.opened(8)
        vcioemu.reset()
        self.check_refused_calls(led)
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before + 1)
        self.assertEqual(self.line_reaching_device(led), 8)

    def test_on_a_fresh_object_nothing_is_reported(self):
        led = Tallowick()
        self.check_refused_calls(led)
        self.assertGreaterEqual(led.Open(), 0)
        led.Close()


class Creation(TestCase):
    def test_arguments_to_the_type_are_ignored(self):
        for args, kwargs in [((5,), {}), ((), {"led_pin": 5}), ((1, 2, 3), {"x": 4})]:
            with self.subTest(args=args, kwargs=kwargs):
                led = Tallowick(*args, **kwargs)
                self.assertIs(type(led), Tallowick)
                with CapturedStderr() as captured:
                    self.assertEqual(led.GetState(), -1)
                self.assertEqual(captured.text, NOT_OPENED)
                self.assertGreaterEqual(led.Open(), 0)
                self.assertEqual(self.line_reaching_device(led), 134)
                led.Close()

    def test_no_instance_attributes_or_weak_references(self):
        led = Tallowick()
        self.assertRaises(AttributeError, setattr, led, "pin", 5)
        self.assertRaises(AttributeError, setattr, led, "Open", None)
        self.assertRaises(AttributeError, getattr, led, "__dict__")
        self.assertRaises(TypeError, weakref.ref, led)


class Subclassing(TestCase):
    def test_subclass_owns_a_controller(self):
        class Lamp(Tallowick):
            def __init__(self, line):
                self.line = line

            def on(self):
                return self.SetState(1)

        lamp = Lamp(9)
        self.assertGreaterEqual(lamp.Open(lamp.line), 0)
        self.addCleanup(lamp.Close)
        self.assertEqual(lamp.on(), 0)
        self.assertEqual(vcioemu.line_state(9), 1)
        self.assertEqual(self.line_reaching_device(lamp), 9)
        self.assertTrue(gc.is_tracked(lamp))

    def test_abstract_subclass_cannot_be_instantiated(self):
        body = {"blink": abc.abstractmethod(lambda self: None)}
        Abstract = abc.ABCMeta("Abstract", (Tallowick,), body)
        for args in [(), (5,)]:
            with self.subTest(args=args):
                error = self.raised(TypeError, Abstract, *args)[0]
                self.assertIn("abstract", str(error))
                self.assertIn("Abstract", str(error))
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before)

        Concrete = type("Concrete", (Abstract,), {"blink": lambda self: self.SetState(1)})
        led = Concrete()
        self.assertGreaterEqual(led.Open(4), 0)
        self.addCleanup(led.Close)
        self.assertEqual(led.blink(), 0)
        self.assertEqual(vcioemu.line_state(4), 1)

    def subclasses_with_del(self, calls):
        def __del__(self):
            calls.append(self.__class__.__name__)

        yield type("Slotted", (Tallowick,), {"__slots__": (), "__del__": __del__})
        yield type("Ordinary", (Tallowick,), {"__del__": __del__})

    def test_del_of_a_subclass_runs_exactly_once(self):
        calls = []
        for cls in self.subclasses_with_del(calls):
            for opened in (False, True):
                with self.subTest(cls=cls.__name__, opened=opened):
                    del calls[:]
                    led = cls()
                    if opened:
                        self.assertGreaterEqual(led.Open(), 0)
                    del led
                    gc.collect()
                    self.assertEqual(calls, [cls.__name__])
                    self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before)

    def test_resurrecting_del_keeps_the_controller(self):
        for slotted in (True, False):
            kept, calls = [], []

            def __del__(self):
                calls.append(1)
                if len(calls) == 1:
                    kept.append(self)

            body = {"__del__": __del__}
            if slotted:
                body["__slots__"] = ()
            cls = type("Keeper", (Tallowick,), body)
            with self.subTest(slotted=slotted):
                led = cls()
                self.assertGreaterEqual(led.Open(3), 0)
                del led
                self.assertEqual(len(kept), 1)
                self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before + 1)
                self.assertEqual(self.line_reaching_device(kept[0]), 3)
                del kept[:]
                gc.collect()
                self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before)


class Deallocation(TestCase):
    def test_dropping_the_last_reference_closes_the_device(self):
        led = opened_tallowick()
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before + 1)
        del led
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before)
        led = Tallowick()
        del led
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before)

    def test_instances_keep_no_extra_reference_to_their_type(self):
        subclass = type("Lamp", (Tallowick,), {})
        before = sys.getrefcount(Tallowick), sys.getrefcount(subclass)
        for cls in (Tallowick, subclass) * 50:
            self.assertGreaterEqual(cls().Open(), 0)
        del cls  # the loop's own reference
        self.assertEqual((sys.getrefcount(Tallowick), sys.getrefcount(subclass)), before)
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before)

    def test_pending_exception_survives_deallocation(self):
        # The first argument is already evaluated when the second one raises:
        # unwinding drops it from the interpreter's stack, so the object is
        # deallocated while the exception is pending. The handler must still
        # get exactly that exception, and the device is closed by then.
        def fail(error):
            raise error

        def consume(*args):
            raise AssertionError("never called")

        def unwinding_frame(error):
            consume(opened_tallowick(), fail(error))

        marker = KeyError("marker")
        try:
            consume(opened_tallowick(), fail(marker))
        except KeyError as error:
            self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before)
            self.assertIs(error, marker)

        marker = KeyError("marker")
        try:
            unwinding_frame(marker)
        except KeyError as error:
            self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before)
            self.assertIs(error, marker)


if __name__ == "__main__":
    unittest.main()
