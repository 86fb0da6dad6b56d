"""The tallowick command: with --line each action makes exactly the firmware
requests it needs and closes the mailbox; without it the board's own camera
LED line is driven through the road the board offers, and nothing else. The
exit status says how it went, and the only messages are the module's own, a
usage line, the permission hint or one "error: " line."""

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


def run_command(args, extra=None, faults=None, code=None):
    """Runs `python -u -m tallowick ARGS` (or code instead of the command) in
    a fresh interpreter with the emulator's trace on; returns (exit status,
    stdout, the trace events, the other stderr lines)."""
    environment = {"VCIOEMU_TRACE": "1"}
    environment.update(extra or {})
    program = ["-m", "tallowick"] if code is None else ["-c", code]
    status, out, err = support.run_interpreter(program + list(args), faults=faults, extra=environment)
    events, messages = [], []
    for line in err.splitlines():
        match = TRACE_EVENT.match(line)
        if match:
            events.append(next(group for group in match.groups() if group))
        else:
            messages.append(line)
    return status, out, events, messages


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
                     ["off", "--line", "2147483648"], ["on", "off"], ["-l", "5", "on"]):
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


# The check reads the command's DEVICE, so a file under the test's control
# stands for "/dev/vcio" while the module opens the emulated one: without the
# hint the command would go on and succeed. Root reads any file, so a child
# of root gives up root first (once its interpreter and imports are loaded:
# root's home, where they may live, is closed to others).
PERMISSION_CHILD = """
import os, sys
from tallowick import command
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
                self.assertIn("root", messages[0])
                self.assertIn("udev rule", messages[0])


if __name__ == "__main__":
    unittest.main()
