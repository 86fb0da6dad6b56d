"""Calls that come back into an object in the middle of one of its own calls
(from __int__, from a keyword's __eq__, from __del__), and Python threads
sharing one object or each using their own: the controller and the emulated
device must stay consistent, every descriptor closed at the end.
"""

import sys
import threading
import time
import unittest

import vcioemu
from support import NOT_OPENED, PY2, CapturedStderr, SET_GPIO_STATE, TestCase, call_with_dict, signed32
import pyTallowick

Tallowick = pyTallowick.Tallowick
THREADS = 4
ROUNDS = 600


class Reentering(object):
    """Converts to value after running action (a function of no arguments)."""

    def __init__(self, action, value=1):
        self.action, self.value = action, value

    def __int__(self):
        self.action()
        return self.value


class ReenteringKey(str):
    """A keyword whose equality test, asked by the dictionary lookup of
    led_pin, runs action; it then claims to be led_pin."""

    def __new__(cls, text, action):
        key = str.__new__(cls, text)
        key.action = action
        return key

    def __eq__(self, other):
        self.action()
        return True

    def __hash__(self):
        return hash("led_pin")


def kept_requests():
    """The requests the emulator still keeps (the latest ones), oldest first."""
    kept = []
    while True:
        words = vcioemu.request(len(kept))
        if words is None:
            return kept
        kept.append(words)


def set_requests():
    """(line, state) of each kept SetState request."""
    return [(signed32(words[5]), words[6]) for words in kept_requests() if words[2] == SET_GPIO_STATE]


class Reentrancy(TestCase):
    def test_int_opens_the_object_in_the_middle_of_open(self):
        led = Tallowick()
        inner = []
        result = led.Open(Reentering(lambda: inner.append(led.Open(7)), 9))
        self.addCleanup(led.Close)
        # The inner Open took the device; the outer one finds it open.
        self.assertGreaterEqual(inner[0], 0)
        self.assertEqual(result, -2)
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before + 1)
        self.assertEqual(self.line_reaching_device(led), 7)

    def test_int_closes_the_object_in_the_middle_of_set_state(self):
        led = self.opened(4)
        with CapturedStderr() as captured:
            result = led.SetState(Reentering(led.Close))
        self.assertEqual((result, captured.text), (-1, NOT_OPENED))
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before)
        self.assertEqual(set_requests(), [])

    def test_int_reopens_on_another_line_in_the_middle_of_set_state(self):
        led = self.opened(4)

        def move():
            led.Close()
            led.Open(11)
            led.SetState(0)

        vcioemu.reset()
        self.assertEqual(led.SetState(Reentering(move)), 0)
        self.assertEqual(set_requests(), [(11, 0), (11, 1)])
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before + 1)

    def test_int_drops_every_other_reference(self):
        holder = [Tallowick()]
        self.assertGreaterEqual(holder[0].Open(6), 0)
        vcioemu.reset()
        # The call itself keeps the object alive until it returns; then it
        # goes, and its device with it.
        self.assertEqual(holder[0].SetState(Reentering(lambda: holder.pop())), 0)
        self.assertEqual(holder, [])
        self.assertEqual(set_requests(), [(6, 1)])
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before)

        holder = [Tallowick()]
        result = holder[0].Open(Reentering(lambda: holder.pop(), 8))
        self.assertGreaterEqual(result, 0)
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before)

    def test_keyword_lookup_reenters_open(self):
        led = Tallowick()
        inner = []
        key = ReenteringKey("xyz", lambda: inner.append(led.Open(12)))
        result = call_with_dict(led.Open, (), {key: 13})
        self.addCleanup(led.Close)
        self.assertGreaterEqual(inner[0], 0)
        self.assertEqual(result, -2)
        self.assertEqual(self.line_reaching_device(led), 12)

    def test_int_raising_after_changing_the_object(self):
        led = self.opened(3)

        def close_then_fail():
            led.Close()
            raise KeyError("after closing")

        self.assertRaises(KeyError, led.SetState, Reentering(close_then_fail))
        self.assertRaises(KeyError, led.Open, Reentering(lambda: (led.Open(5), close_then_fail())))
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before)
        self.assertGreaterEqual(led.Open(2), 0)
        self.assertEqual(self.line_reaching_device(led), 2)

    def test_del_calls_the_methods_of_the_dying_object(self):
        results = []

        class Lamp(Tallowick):
            def __del__(self):
                results.append((self.SetState(0), self.GetState()))
                self.Close()
                results.append(self.Open(14))

        lamp = Lamp()
        self.assertGreaterEqual(lamp.Open(14), 0)
        lamp.SetState(1)
        del lamp
        # __del__ drove the line low and left the device open again; the
        # controller's end closed it.
        self.assertEqual(results[0], (0, 0))
        self.assertGreaterEqual(results[1], 0)
        self.assertEqual(vcioemu.line_state(14), 0)
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before)


class Yielding(object):
    """Lets other threads run in the middle of the conversion."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        time.sleep(0)
        return self.value


class Threads(TestCase):
    def setUp(self):
        TestCase.setUp(self)
        if PY2:
            saved = sys.getcheckinterval()
            sys.setcheckinterval(1)
            self.addCleanup(sys.setcheckinterval, saved)
        else:
            saved = sys.getswitchinterval()
            sys.setswitchinterval(1e-6)
            self.addCleanup(sys.setswitchinterval, saved)

    def run_threads(self, work):
        errors = []

        def guarded(index):
            try:
                work(index)
            except BaseException as error:  # reported by the test thread
                errors.append((index, error))

        threads = [threading.Thread(target=guarded, args=(index,)) for index in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(30)
        self.assertFalse([thread for thread in threads if thread.is_alive()])
        self.assertEqual(errors, [])

    def test_threads_share_one_object(self):
        led = self.opened(20)
        vcioemu.reset()
        counts = [[0, 0] for _ in range(THREADS)]  # successful SetState, GetState

        def work(index):
            for round_number in range(ROUNDS):
                state = (round_number + index) % 2
                value = Yielding(state) if round_number % 3 == 0 else state
                if led.SetState(value) != 0:
                    raise AssertionError("SetState refused on an open object")
                counts[index][0] += 1
                if led.GetState() not in (0, 1):
                    raise AssertionError("GetState out of range")
                counts[index][1] += 1
                if led.Open(21) != -2:
                    raise AssertionError("a second Open was not refused")

        self.run_threads(work)
        sets = sum(count[0] for count in counts)
        gets = sum(count[1] for count in counts)
        # Every call that said it reached the device did, exactly once, on
        # the line of the one Open; the line holds the last state written.
        self.assertEqual(vcioemu.request_count(), sets + gets)
        last = set_requests()[-1]
        self.assertEqual(last[0], 20)
        self.assertEqual(vcioemu.line_state(20), last[1])
        self.assertEqual(led.GetState(), last[1])
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before + 1)

    def test_threads_open_and_close_one_object_under_each_other(self):
        led = Tallowick()
        self.addCleanup(led.Close)
        vcioemu.reset()
        # Per thread: SetState calls sent and refused (the object closed).
        sent, refused = [0] * THREADS, [0] * THREADS
        setters_done = threading.Semaphore(0)
        deadline = time.time() + 10

        def toggle():
            # Until every other thread is done: open, let the others find it
            # open, close, let them find it closed.
            while not setters_done.acquire(False):
                result = led.Open(Yielding(22))
                if result < 0:
                    raise AssertionError("Open gave %d" % result)
                time.sleep(0.0001)
                led.Close()
                time.sleep(0.0001)

        def set_states(index):
            # At least ROUNDS calls, and on until both answers came (within
            # the deadline), so that the two threads surely ran under each other.
            round_number = 0
            while round_number < ROUNDS or not (sent[index] and refused[index]) and time.time() < deadline:
                result = led.SetState(Yielding(round_number % 2))
                if result not in (0, -1):
                    raise AssertionError("SetState gave %d" % result)
                sent[index] += result == 0
                refused[index] += result == -1
                round_number += 1

        finished = []
        finished_lock = threading.Lock()

        def work(index):
            if index == 0:
                toggle()
                return
            try:
                set_states(index)
            finally:
                with finished_lock:
                    finished.append(index)
                    if len(finished) == THREADS - 1:
                        setters_done.release()

        with CapturedStderr() as captured:
            self.run_threads(work)
        self.assertEqual(captured.text, NOT_OPENED * sum(refused))
        self.assertTrue(all(sent[1:]) and all(refused[1:]), (sent, refused))
        self.assertEqual(vcioemu.request_count(), sum(sent))
        self.assertEqual(set(line for line, state in set_requests()), set([22]))
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before)

    def test_threads_with_objects_of_their_own(self):
        last = [None] * THREADS

        def work(index):
            line = 30 + index
            for round_number in range(ROUNDS):
                led = Tallowick()
                if led.Open(Yielding(line)) < 0:
                    raise AssertionError("Open failed")
                state = (round_number * (index + 1)) % 2
                led.SetState(Yielding(state))
                last[index] = state
                if led.GetState() != state:
                    raise AssertionError("line %d does not hold its own write" % line)
                if round_number % 2:
                    led.Close()
                # Dropped here, open or closed.

        self.run_threads(work)
        self.assertEqual([vcioemu.line_state(30 + index) for index in range(THREADS)], last)
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before)


if __name__ == "__main__":
    unittest.main()
