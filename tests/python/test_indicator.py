"""The camera LED as the camera's recording light, and lines held until a
signal: `tallowick indicate` follows the camera's power regulators as a test
lays them out (present, absent, appearing, vanishing, changing), on every
road; `on --hold` and `off --hold` keep the line; and a signal ends both,
the LED off and the line let go."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import support
import vcioemu
from support import PI3B, PI4B

from tallowick import camera, indicator

ZERO_W = 0x9000C1
PI3BPLUS = 0xA020D3
# Long enough for an interpreter to start and to rescan on a loaded machine.
PATIENCE = 20.0


class Regulators(object):
    """A regulator class of the test's own, which the emulator shows the
    process (and its children) in place of "/sys/class/regulator"."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="regulators-")

    def add(self, device, name, state):
        os.mkdir(os.path.join(self.folder, device))
        self.write(device, "name", name)
        self.write(device, "state", state)

    def write(self, device, attribute, text):
        # Renamed into place: a reader never sees the file half written.
        path = os.path.join(self.folder, device, attribute)
        with open(path + ".new", "w") as new:
            new.write(text + "\n")
        os.rename(path + ".new", path)

    def remove(self, device):
        shutil.rmtree(os.path.join(self.folder, device))

    def close(self):
        shutil.rmtree(self.folder, ignore_errors=True)


class Child(object):
    """`python -u -m tallowick ARGS` under the emulator, its trace on, read
    line by line as it writes."""

    def __init__(self, args, regulators, board, gpio=None):
        extra = {"VCIOEMU_TRACE": "1", "VCIOEMU_REVISION": "0x%x" % board,
                 "VCIOEMU_REGULATORS": regulators.folder}
        if gpio:
            extra["VCIOEMU_GPIO"] = gpio
        self.process = subprocess.Popen(
            [sys.executable, "-u", "-m", "tallowick"] + list(args),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=support.child_env(extra=extra), cwd=support.TESTS_DIR)
        self.out, self.err = [], []
        self.lock = threading.Lock()
        self.readers = [self.reader(self.process.stdout, self.out), self.reader(self.process.stderr, self.err)]

    def reader(self, stream, lines):
        def read():
            for raw in iter(stream.readline, b""):
                with self.lock:
                    lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
        thread = threading.Thread(target=read)
        thread.daemon = True
        thread.start()
        return thread

    def wait_for(self, lines, pattern, count=1):
        """Waits until count lines match pattern; fails after PATIENCE."""
        deadline = time.time() + PATIENCE
        while time.time() < deadline:
            with self.lock:
                found = [line for line in lines if re.search(pattern, line)]
            if len(found) >= count:
                return found
            if self.process.poll() is not None and not any(thread.is_alive() for thread in self.readers):
                break
            time.sleep(0.02)
        raise AssertionError("no %d lines matching %r in %r / %r" % (count, pattern, self.out, self.err))

    def stop(self, signum=signal.SIGTERM):
        """Sends signum; the exit status, which must come within a second."""
        self.process.send_signal(signum)
        sent = time.time()
        while self.process.poll() is None and time.time() - sent < PATIENCE:
            time.sleep(0.01)
        took = time.time() - sent
        status = self.process.wait()
        self.close_pipes()
        return status, took

    def finish(self):
        status = self.process.wait()
        self.close_pipes()
        return status

    def close_pipes(self):
        for thread in self.readers:
            thread.join(PATIENCE)
        self.process.stdout.close()
        self.process.stderr.close()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.finish()

    def messages(self):
        """Standard error less the emulator's trace."""
        return [line for line in self.err if not re.match(r"^(?:gpio|board|vcio): ", line)]

    def drives(self):
        return [line for line in self.err if re.match(r"^(?:gpio: (?:set|config) |gpio: request .* output |vcio: SET_GPIO_STATE)", line)]


# (board, VCIOEMU_GPIO words, the trace line of the LED lit, the request)
ROADS = [
    (ZERO_W, None, "gpio: set /dev/gpiochip0 line 40 -> 1", 'gpio: request /dev/gpiochip0 line 40 "CAM_GPIO1" output 0'),
    (PI3B, None, "gpio: set /dev/gpiochip1 line 6 -> 1", 'gpio: request /dev/gpiochip1 line 6 "CAM_GPIO1" output 0'),
    (PI3BPLUS, "no-expander", "vcio: SET_GPIO_STATE line 134 -> 1", "vcio: SET_GPIO_STATE line 134 -> 0"),
]


class Indicate(support.TestCase):
    def setUp(self):
        support.TestCase.setUp(self)
        self.regulators = Regulators()
        self.addCleanup(self.regulators.close)

    def start(self, args=("indicate",), board=ZERO_W, gpio=None):
        child = Child(args, self.regulators, board, gpio)
        self.addCleanup(child.kill)
        return child

    def test_follows_the_cameras_power_on_every_road_and_stops_dark(self):
        for board, gpio, lit, request in ROADS:
            with self.subTest(board=hex(board)):
                regulators = self.regulators
                regulators.add("regulator.0", "regulator-dummy", "enabled")
                regulators.add("regulator.7", "cam1-reg", "disabled")
                child = self.start(board=board, gpio=gpio)
                child.wait_for(child.out, "^LED off: camera not powered$")
                # Taken as an output at the camera's level: never lit first.
                # (Standard error has its own reader: wait for it too.)
                child.wait_for(child.err, "^" + re.escape(request))
                self.assertTrue(child.drives()[0].startswith(request), child.err)
                regulators.write("regulator.7", "state", "enabled")
                child.wait_for(child.out, "^LED on: camera powered$")
                child.wait_for(child.err, "^" + re.escape(lit))
                regulators.write("regulator.7", "state", "unknown")
                child.wait_for(child.out, "^LED off", count=2)
                regulators.write("regulator.7", "state", "enabled")
                child.wait_for(child.out, "^LED on", count=2)
                status, took = child.stop()
                self.assertEqual(status, 0)
                self.assertLess(took, 1.0)
                # One line per change, and none while nothing changed.
                self.assertEqual(child.out, ["LED off: camera not powered", "LED on: camera powered"] * 2
                                 + ["LED off: indicator stopped"])
                self.assertEqual(child.messages(), [])
                self.assertEqual(len(child.drives()), 5, child.err)
                last = child.drives()[-1]
                self.assertTrue(last.endswith("-> 0") or last.endswith("-> 0 (status 0x80000000)"), last)
                if board != PI3BPLUS:
                    self.assertTrue(child.err[-2].startswith("gpio: release "), child.err)
                    self.assertIn('consumer "tallowick-indicator"', child.drives()[0])
                regulators.remove("regulator.0")
                regulators.remove("regulator.7")

    def test_without_a_regulator_stays_dark_then_follows_one_that_appears_and_goes(self):
        child = self.start()
        child.wait_for(child.err, "^warning: no camera power regulator")
        child.wait_for(child.out, "^LED off: camera not powered$")
        self.regulators.add("regulator.2", "cam0_reg", "enabled")
        child.wait_for(child.out, "^LED on: camera powered$")
        self.regulators.remove("regulator.2")
        child.wait_for(child.out, "^LED off: camera not powered$", count=2)
        child.wait_for(child.err, "^warning: no camera power regulator", count=2)
        status, _ = child.stop(signal.SIGHUP)
        self.assertEqual(status, 0)
        self.assertEqual(child.messages(), [indicator.MISSING.rstrip("\n"), "camera power regulator found: cam0_reg",
                                            indicator.MISSING.rstrip("\n")])

    def test_each_signal_ends_it_with_status_0(self):
        self.regulators.add("regulator.1", "cam1-reg", "enabled")
        for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=signum):
                child = self.start()
                child.wait_for(child.out, "^LED on")
                status, took = child.stop(signum)
                self.assertEqual((status, child.out[-1]), (0, "LED off: indicator stopped"))
                self.assertLess(took, 1.0)

    def test_a_line_it_cannot_have_is_refused_as_by_the_other_actions(self):
        self.regulators.add("regulator.1", "cam1-reg", "enabled")
        cases = [
            (PI4B, None, "has no camera LED"),
            (ZERO_W, "hold=0:40:gpio-leds", "'gpio-leds'"),
            (ZERO_W, "chips=EACCES", "gpio group"),
            (PI3B, "hold=1:6:tallowick-indicator", "camera-led-indicator.service"),
        ]
        for board, gpio, words in cases:
            with self.subTest(board=hex(board), gpio=gpio):
                child = self.start(board=board, gpio=gpio)
                self.assertEqual(child.finish(), 1)
                self.assertEqual((child.out, child.drives()), ([], []))
                self.assertEqual(len(child.messages()), 1, child.err)
                self.assertTrue(child.messages()[0].startswith("error: "), child.messages())
                self.assertIn(words, child.messages()[0])


    def test_an_error_while_running_is_one_error_line_and_status_1(self):
        # Taken lit; the switch off fails, and so does the try to leave it off.
        self.regulators.add("regulator.1", "cam1-reg", "enabled")
        child = self.start(gpio="sets=EIO")
        child.wait_for(child.out, "^LED on")
        self.regulators.write("regulator.1", "state", "disabled")
        self.assertEqual(child.finish(), 1)
        self.assertEqual(child.out, ["LED on: camera powered"])
        self.assertEqual(child.messages(), ["error: line 40 of /dev/gpiochip0 (pinctrl-bcm2835): Input/output error"])
        self.assertEqual([line for line in child.err if line.startswith("gpio: set ")], ["gpio: set /dev/gpiochip0 line 40 -> EIO"] * 2)
        self.assertIn("gpio: release /dev/gpiochip0 line 40", child.err)


class Hold(support.TestCase):
    def setUp(self):
        support.TestCase.setUp(self)
        self.regulators = Regulators()
        self.addCleanup(self.regulators.close)

    def test_keeps_the_line_at_its_level_until_a_signal(self):
        cases = [
            (["on", "--hold"], ZERO_W, "persist=none", "gpio: request /dev/gpiochip0 line 40 \"CAM_GPIO1\" output 1"),
            (["off", "--hold"], ZERO_W, "persist=N", "gpio: request /dev/gpiochip0 line 40 \"CAM_GPIO1\" output 0"),
            (["on", "--hold"], PI3B, "no-expander", "vcio: SET_GPIO_STATE line 134 -> 1"),
            (["on", "--hold", "--line", "134"], PI3B, None, "vcio: SET_GPIO_STATE line 134 -> 1"),
        ]
        for args, board, gpio, request in cases:
            with self.subTest(args=args, gpio=gpio):
                child = Child(args, self.regulators, board, gpio)
                self.addCleanup(child.kill)
                child.wait_for(child.err, "^" + re.escape(request))
                time.sleep(0.3)
                # Still running and still holding: nothing let go since the switch.
                self.assertIsNone(child.process.poll())
                with child.lock:
                    since = child.err[[line.startswith(request) for line in child.err].index(True):]
                self.assertFalse([line for line in since if "release" in line or line.startswith("vcio: close")])
                status, took = child.stop()
                self.assertEqual((status, child.out), (0, []))
                self.assertLess(took, 1.0)
                # Held, the line needs no warning; left at the level set.
                self.assertEqual(child.messages(), [])
                self.assertEqual(len(child.drives()), 1, child.err)

    def test_a_released_line_that_goes_back_to_input_is_warned_of_naming_hold(self):
        for gpio in ("persist=N", "persist=none"):
            with self.subTest(gpio=gpio):
                child = Child(["off"], self.regulators, ZERO_W, gpio)
                self.assertEqual(child.finish(), 0)
                self.assertEqual(len(child.messages()), 1, child.err)
                self.assertTrue(child.messages()[0].startswith("warning: "))
                self.assertIn("--hold", child.messages()[0])
                self.assertIn("indicate", child.messages()[0])


class FakeLED(object):
    """Fails its switch number fail_at (from 1) like a chip that went away."""

    def __init__(self, fail_at):
        self.fail_at = fail_at
        self.switches = []

    def on(self):
        self.switch(True)

    def off(self):
        self.switch(False)

    def switch(self, value):
        self.switches.append(value)
        if len(self.switches) == self.fail_at:
            raise camera.CameraLEDError("error: line 40 of /dev/gpiochip0 (pinctrl-bcm2835): No such device")


class FromPython(support.TestCase):
    def setUp(self):
        support.TestCase.setUp(self)
        vcioemu.reset()
        vcioemu.board_revision(ZERO_W)
        self.regulators = Regulators()
        self.addCleanup(self.regulators.close)
        vcioemu.regulators(self.regulators.folder)
        self.addCleanup(vcioemu.regulators, None)

    def test_camera_powered_is_true_false_or_unknown(self):
        self.assertIsNone(indicator.camera_powered())
        self.regulators.add("regulator.4", "cam1_reg", "disabled")
        self.assertIs(indicator.camera_powered(), False)
        self.regulators.write("regulator.4", "state", "enabled")
        self.assertIs(indicator.camera_powered(), True)
        self.assertEqual(vcioemu.gpio_request_count(), 0)

    def test_indicate_until_an_event_holds_the_line_and_reads_only_what_it_needs(self):
        self.regulators.add("regulator.4", "cam1-reg", "enabled")
        self.regulators.add("regulator.5", "cam0-reg", "disabled")
        stop = threading.Event()
        out, err = TextStream(), TextStream()
        thread = threading.Thread(target=indicator.indicate, args=(stop,), kwargs={"out": out, "err": err, "interval": 0.01})
        thread.start()
        self.addCleanup(thread.join)
        self.addCleanup(stop.set)
        wait_until(lambda: vcioemu.gpio_line(0, 40) == (1, True, True))
        # The first regulator is enabled: its state is all a round reads.
        opens = vcioemu.regulator_state_opens()
        wait_until(lambda: vcioemu.regulator_state_opens() >= opens + 5)
        rounds_later = vcioemu.regulator_state_opens()
        self.regulators.write("regulator.4", "state", "disabled")
        wait_until(lambda: vcioemu.gpio_line(0, 40) == (0, True, True))
        self.assertGreater(vcioemu.regulator_state_opens(), rounds_later)
        stop.set()
        thread.join(PATIENCE)
        self.assertFalse(thread.is_alive())
        self.assertEqual(vcioemu.gpio_line(0, 40), (0, True, False))
        self.assertEqual(out.getvalue(), "LED on: camera powered\nLED off: camera not powered\n")
        # A stop before the first round takes nothing at all.
        vcioemu.reset()
        indicator.indicate(stop, out=out, err=err)
        self.assertEqual((vcioemu.gpio_request_count(), vcioemu.gpio_open_descriptors()), (0, 0))

    def test_a_failed_switch_leaves_the_led_dark_where_it_can_and_is_raised(self):
        self.regulators.add("regulator.4", "cam1-reg", "disabled")
        led = FakeLED(fail_at=2)
        stop = threading.Event()
        # Round one lights it; the switch off fails; then off is tried once more.
        self.regulators.write("regulator.4", "state", "enabled")
        out = TextStream()
        flip = threading.Timer(0.05, self.regulators.write, ("regulator.4", "state", "disabled"))
        flip.start()
        self.addCleanup(flip.cancel)
        # Should the switch never fail, the loop is stopped rather than left to hang the suite.
        guard = threading.Timer(PATIENCE, stop.set)
        guard.start()
        self.addCleanup(guard.cancel)
        self.assertRaises(camera.CameraLEDError, indicator.indicate, stop, led, out, TextStream(), 0.01)
        self.assertEqual(led.switches, [True, False, False])
        self.assertEqual(out.getvalue(), "LED on: camera powered\n")


class TextStream(object):
    """A text stream that takes str under Python 2.7 and 3 alike."""

    def __init__(self):
        self.parts = []

    def write(self, text):
        self.parts.append(text)

    def flush(self):
        pass

    def getvalue(self):
        return "".join(self.parts)


def wait_until(condition):
    deadline = time.time() + PATIENCE
    while not condition():
        if time.time() > deadline:
            raise AssertionError("timed out")
        time.sleep(0.005)


if __name__ == "__main__":
    unittest.main()
