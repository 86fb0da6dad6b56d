"""The tallowick command: with --line each action makes exactly the firmware
requests it needs and closes the mailbox; without it the board's own camera
LED line is driven through the road the board offers, and nothing else. The
exit status says how it went, and the only messages are the module's own, a
usage line, the permission hint or one "error: " line."""

import io
import os
import re
import sys
import tempfile
import unittest

import support
import vcioemu
from support import GET_BOARD_REVISION, GET_GPIO_STATE, PI3B, PI4B, SET_GPIO_STATE

from tallowick import __version__, command

TRACE_EVENT = re.compile(r"^vcio: (?:(open) /dev/vcio .*|(close) \d+|(\S+(?: line \d+)? -> \S+) \(status 0x80000000\))$")


# The emulator's trace of the kernel's side: chips and lines, and the board's
# files.
KERNEL_EVENT = re.compile(r"^(?:gpio|board): ")


def run_command(args, extra=None, faults=None, code=None, board=None, gpio=None):
    """Runs `python -u -m tallowick ARGS` (or code instead of the command) in
    a fresh interpreter with the emulator's trace on, as the board with this
    revision and with these VCIOEMU_GPIO words; returns (exit status, stdout,
    the trace events, the other stderr lines). Firmware events come without
    their prefix, the kernel's with theirs ("gpio: ...")."""
    environment = {"VCIOEMU_TRACE": "1"}
    if board is not None:
        environment["VCIOEMU_REVISION"] = "0x%x" % board
    if gpio is not None:
        environment["VCIOEMU_GPIO"] = gpio
    environment.update(extra or {})
    program = ["-m", "tallowick"] if code is None else ["-c", code]
    status, out, err = support.run_interpreter(program + list(args), faults=faults, extra=environment)
    events, messages = [], []
    for line in err.splitlines():
        match = TRACE_EVENT.match(line)
        if match:
            events.append(next(group for group in match.groups() if group))
        elif KERNEL_EVENT.match(line):
            events.append(line)
        else:
            messages.append(line)
    return status, out, events, messages


def driven(events):
    """The events that drive a line, by either road."""
    return [event for event in events
            if event.startswith("SET_GPIO_STATE") or re.match(r"gpio: (set|config) ", event)
            or re.match(r"gpio: request .* output ", event)]


class CaptureStreams(object):
    """sys.stdout and sys.stderr of the test process, as the command sees
    them when called in-process."""

    def __enter__(self):
        self.saved = sys.stdout, sys.stderr
        self.out, self.err = tempfile.TemporaryFile("w+"), tempfile.TemporaryFile("w+")
        sys.stdout, sys.stderr = self.out, self.err
        return self

    def __exit__(self, *exc_info):
        sys.stdout, sys.stderr = self.saved
        self.out.seek(0)
        self.err.seek(0)
        self.stdout, self.stderr = self.out.read(), self.err.read()
        self.out.close()
        self.err.close()
        return False


class Actions(support.TestCase):
    def test_each_action_on_a_firmware_line_makes_its_requests_then_closes(self):
        revision = "GET_BOARD_REVISION -> 0x%x" % PI3B
        cases = [
            (["off", "--line", "134"], [revision, "SET_GPIO_STATE line 134 -> 0"], ""),
            (["on", "--line", "134"], [revision, "SET_GPIO_STATE line 134 -> 1"], ""),
            (["toggle", "--line", "134"], [revision, "GET_GPIO_STATE line 134 -> 0", "SET_GPIO_STATE line 134 -> 1"], ""),
            (["state", "--line", "134"], [revision, "GET_GPIO_STATE line 134 -> 0"], "off\n"),
            # Only the lines a board may reserve need the revision.
            (["on", "--line", "5"], ["SET_GPIO_STATE line 5 -> 1"], ""),
            (["--line=7", "state"], ["GET_GPIO_STATE line 7 -> 0"], "off\n"),
        ]
        for args, requests, output in cases:
            with self.subTest(args=args):
                status, out, events, messages = run_command(args)
                self.assertEqual((status, out, messages), (0, output, []))
                self.assertEqual(events, ["open"] + requests + ["close"])

    def test_toggle_and_state_of_a_lit_firmware_line(self):
        # In-process, so that the line can start lit.
        for args, tags, output in [(["toggle", "--line", "134"], [GET_GPIO_STATE, SET_GPIO_STATE], ""),
                                   (["state", "--line", "134"], [GET_GPIO_STATE], "on\n")]:
            with self.subTest(args=args):
                vcioemu.reset()
                vcioemu.set_line_state(support.DEFAULT_LINE, 1)
                with CaptureStreams() as streams:
                    status = command.main(args)
                self.assertEqual((status, streams.stdout, streams.stderr), (0, output, ""))
                sent = vcioemu.requests()
                self.assertEqual([words[2] for words in sent], [GET_BOARD_REVISION] + tags)
                self.assertEqual(vcioemu.line_state(support.DEFAULT_LINE), 0 if SET_GPIO_STATE in tags else 1)
                self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before)


ZERO_W = 0x9000C1
SOC_LED = 'gpio: request /dev/gpiochip0 line %d "CAM_GPIO1" output 0'
EXPANDER_LED = 'gpio: request /dev/gpiochip1 line 6 "CAM_GPIO1" output 0'
# One revision code per kind of board; old-style codes where the board has
# them. The request `tallowick off` must make, and make alone; or a word of
# its refusal.
BOARDS = [
    (0x0002, SOC_LED % 5, None),  # B rev 1
    (0x000E, SOC_LED % 5, None),  # B rev 2
    (0x0010, SOC_LED % 32, None),  # B+
    (0x900021, SOC_LED % 32, None),  # A+
    (0xA01041, SOC_LED % 32, None),  # 2 B
    (0x900093, SOC_LED % 32, None),  # Zero
    (ZERO_W, SOC_LED % 40, None),
    (PI3B, EXPANDER_LED, None),
    (0xA020D3, EXPANDER_LED, None),  # 3 B+
    (0x9020E0, EXPANDER_LED, None),  # 3 A+
    # The first 3 B: the LED on the line the kernel's camera regulator holds.
    (0xA02080, None, "'cam1_regulator'"),
    (0x902120, None, "Zero 2 W"),
    (PI4B, None, "4 Model B"),
    (0xC03130, None, "400"),
    (0xA03140, None, "Compute Module 4"),
    (0x0011, None, "carrier board"),  # CM1
    (0xA020A0, None, "carrier board"),  # CM3
    (0xC04170, None, "Raspberry Pi 5"),
]


class BoardsCameraLED(support.TestCase):
    def assertSwitched(self, result, request):
        status, out, events, messages = result
        self.assertEqual((status, out, messages), (0, "", []))
        lines = driven(events)
        self.assertEqual(len(lines), 1, events)
        self.assertTrue(re.match(re.escape(request) + r' consumer "tallowick" -> \d+$', lines[0]), lines)

    def assertRefused(self, result, *words):
        status, out, events, messages = result
        self.assertEqual((status, out, driven(events)), (1, "", []))
        self.assertEqual(len(messages), 1, messages)
        self.assertTrue(messages[0].startswith("error: "), messages)
        for word in words:
            self.assertIn(word, messages[0])

    def test_off_drives_exactly_the_boards_led_line_or_refuses(self):
        for board, request, refusal in BOARDS:
            with self.subTest(board=hex(board)):
                result = run_command(["off"], board=board)
                if request:
                    self.assertSwitched(result, request)
                else:
                    self.assertRefused(result, refusal)
                    self.assertEqual([event for event in result[2] if "gpio: request" in event], [])

    def test_roads_around_what_the_user_may_not_open(self):
        firmware = "SET_GPIO_STATE line 134 -> 0"
        cases = [
            # Root's mailbox is not needed for the kernel's road.
            (ZERO_W, None, "open=EACCES", SOC_LED % 40),
            (PI3B, None, "open=EACCES", EXPANDER_LED),
            # Without the expander chip, or refused it, the firmware's road.
            (PI3B, "no-expander", None, firmware),
            (PI3B, "chips=EACCES", None, firmware),
            # The board from the firmware where the kernel does not say.
            (ZERO_W, "no-device-tree,no-cpuinfo", None, SOC_LED % 40),
        ]
        for board, gpio, faults, request in cases:
            with self.subTest(board=hex(board), gpio=gpio, faults=faults):
                result = run_command(["off"], board=board, gpio=gpio, faults=faults)
                if request == firmware:
                    self.assertEqual(result[:2] + (result[3],), (0, "", []))
                    self.assertEqual(driven(result[2]), [firmware])
                else:
                    self.assertSwitched(result, request)

    def test_refusals_say_why_and_drive_nothing(self):
        group = ("/dev/gpiochip0", "gpio group", "usermod -aG gpio")
        cases = [
            (ZERO_W, "chips=EACCES", None, group),
            (PI3B, "chips=EACCES", "open=EACCES", group),
            (PI3B, "no-expander", "open=EACCES", ("raspberrypi-exp-gpio", "/dev/vcio")),
            (ZERO_W, "name=0:40:LED", None, ("'LED'", "CAM_GPIO1")),
            (ZERO_W, "hold=0:40:gpio-leds", None, ("'gpio-leds'",)),
            (ZERO_W, "hold=0:40:tallowick-indicator", None, ("tallowick indicate", "camera-led-indicator.service")),
            (ZERO_W, "no-device-tree,no-cpuinfo", "open=EACCES", ("which board",)),
        ]
        for board, gpio, faults, words in cases:
            with self.subTest(board=hex(board), gpio=gpio, faults=faults):
                self.assertRefused(run_command(["off"], board=board, gpio=gpio, faults=faults), *words)

    def test_a_released_soc_line_that_does_not_persist_is_warned_of(self):
        status, out, events, messages = run_command(["on"], board=ZERO_W, gpio="persist=N")
        self.assertEqual(status, 0)
        self.assertEqual(len(messages), 1, messages)
        self.assertTrue(messages[0].startswith("warning: "), messages)
        self.assertEqual(len(driven(events)), 1, events)
        # Reading is not switching: no warning.
        self.assertEqual(run_command(["state"], board=ZERO_W, gpio="persist=N")[1:4:2], ("off\n", []))

    def test_where_says_whether_the_led_can_be_switched_and_drives_nothing(self):
        for board, gpio, status in [(ZERO_W, None, 0), (PI3B, "no-expander", 0), (PI4B, None, 1),
                                    (ZERO_W, "chips=EACCES", 1)]:
            with self.subTest(board=hex(board), gpio=gpio):
                result = run_command(["where"], board=board, gpio=gpio)
                self.assertEqual(result[0], status)
                self.assertIn("revision 0x%x" % board, result[1])
                self.assertTrue(result[1].endswith("may switch it: %s\n" % ("no" if status else "yes")), result[1])
                self.assertEqual(len(result[3]), status, result[3])
                self.assertEqual(driven(result[2]), [])


class Failures(support.TestCase):
    def test_refusal_and_failure_exit_1_with_the_modules_message_alone(self):
        cases = [
            ({"VCIOEMU_REVISION": "0x%x" % PI4B}, None, support.REFUSED_ON_PI4B.rstrip("\n")),
            (None, "open=ENOENT", "error: open: /dev/vcio: No such file or directory"),
        ]
        for extra, faults, message in cases:
            with self.subTest(message=message):
                status, out, events, messages = run_command(["off", "--line", "134"], extra=extra, faults=faults)
                self.assertEqual((status, out, messages), (1, "", [message]))
                self.assertFalse([event for event in events if event.startswith("SET_")])

    def test_usage_errors_exit_2_with_a_usage_line_and_leave_the_device_alone(self):
        for args in ([], ["blink"], ["off", "--line"], ["off", "--line", "x"], ["off", "--line", "-1"],
                     ["off", "--line", "2147483648"], ["on", "off"], ["-l", "5", "on"], ["state", "--hold"],
                     ["indicate", "--hold"], ["--hold"]):
            with self.subTest(args=args):
                with CaptureStreams() as streams:
                    status = command.main(args)
                lines = streams.stderr.splitlines()
                self.assertEqual(status, 2)
                self.assertEqual(len(lines), 2, lines)
                self.assertTrue(lines[0].startswith("usage: tallowick "), lines)
                self.assertTrue(lines[1].startswith("tallowick: error: "), lines)
                self.assertEqual(streams.stdout, "")
                self.assertNoDeviceTraffic()
        # The status reaches the shell, and --version needs no device either.
        self.assertEqual(run_command(["blink"])[0], 2)
        self.assertEqual(run_command(["--version"])[:3], (0, "tallowick %s\n" % __version__, []))

    def test_version_is_the_debian_packages(self):
        # dpkg takes the package's version from debian/changelog; debian/rules
        # refuses to build when it is not __version__, this says so sooner.
        path = os.path.join(support.TESTS_DIR, os.pardir, os.pardir, "debian", "changelog")
        with io.open(path, encoding="utf-8") as changelog:
            first = changelog.readline()
        found = re.match(r"\S+ \((?:\d+:)?([^)]+?)(?:-[^-)]*)?\)", first)
        self.assertEqual(found.group(1) if found else first, __version__)


# The check reads the command's DEVICE, so a file under the test's control
# stands for "/dev/vcio" while the module opens the emulated one: without the
# hint the command would go on and succeed. Root reads any file, so a child
# of root gives up root first (once its interpreter and imports are loaded:
# root's home, where they may live, is closed to others).
PERMISSION_CHILD = """
import os, sys
from tallowick import command
# Everything the command loads, loaded before root is given up: the tree may
# sit in a folder others may not enter (mktemp -d's, a Debian home).
import pyTallowick
if os.geteuid() == 0:
    os.setgid(65534)
    os.setgroups([])
    os.setuid(65534)
command.DEVICE = sys.argv[1]
sys.exit(command.main(["off", "--line", "134"]))
"""


class Permissions(support.TestCase):
    def test_an_unreadable_device_gets_the_hint_instead_of_an_open(self):
        handle, device = tempfile.mkstemp()
        os.close(handle)
        self.addCleanup(os.remove, device)
        # 0600 and root's, as the kernel makes it; 0644 as the udev rule would.
        for mode, readable in ((0o600 if os.geteuid() == 0 else 0, False), (0o644, True)):
            with self.subTest(mode=oct(mode)):
                os.chmod(device, mode)
                status, out, events, messages = run_command([device], code=PERMISSION_CHILD)
                if readable:
                    self.assertEqual((status, messages), (0, []))
                    self.assertEqual(events[-2:], ["SET_GPIO_STATE line 134 -> 0", "close"])
                    continue
                self.assertEqual((status, out, events), (1, "", []))
                self.assertEqual(len(messages), 1, messages)
                self.assertIn(device, messages[0])
                self.assertIn("root (sudo)", messages[0])
                # Not a rule that opens every firmware tag to a group.
                self.assertNotIn("udev", messages[0])


if __name__ == "__main__":
    unittest.main()
