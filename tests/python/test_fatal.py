"""Device and firmware failures end the interpreter: exit status 1 and one
line on standard error, nothing after it. Each case runs in a child."""

import unittest

import support
from support import NOT_OPENED, TestCase

SCRIPT = """
from __future__ import print_function
import errno, sys
import pyTallowick, vcioemu
led = pyTallowick.Tallowick()
%s
print("after")
"""


class Fatal(TestCase):
    def check(self, faults, steps, printed, message, buffered=False):
        status, out, err = support.run_child(SCRIPT % steps, faults=faults, buffered=buffered)
        self.assertEqual((status, out, err), (1, printed, message + "\n"))

    def test_opening_the_device_fails(self):
        cases = [
            ("open=ENOENT", "error: open: /dev/vcio: No such file or directory"),
            ("open=EACCES", "error: open: /dev/vcio: Permission denied"),
        ]
        for faults, message in cases:
            with self.subTest(faults=faults):
                self.check(faults, "print('before'); led.Open(5)", "before\n", message)

    def test_property_request_fails(self):
        ioctl = "error: ioctl: IOCTL_RPI_FIRMWARE_PROPERTY: "
        firmware = "error: RPi firmware returned "
        cases = [
            ("ioctl=EIO", ioctl + "Input/output error"),
            ("status=0x80000001", ioctl + "Invalid argument"),
            ("raw_status=0x80000001", firmware + "0x80000001"),
            ("raw_status=0x0000abcd", firmware + "0x0000abcd"),
        ]
        for faults, message in cases:
            for call in ("led.SetState(1)", "led.GetState()"):
                with self.subTest(faults=faults, call=call):
                    self.check(faults, "print(led.Open(5) >= 0); " + call, "True\n", message)
            # Open asks for the board's revision on the lines that carry
            # storage somewhere: that request fails the same way.
            with self.subTest(faults=faults, call="led.Open()"):
                self.check(faults, "print('before'); led.Open()", "before\n", message)

    def test_answer_that_says_no(self):
        cases = [
            ("refuse=5", "led.Open(5)", "led.SetState(1)", "error: RPi firmware refused GPIO line 5 (answer 0x00000001)"),
            ("refuse=134", "led.Open()", "led.GetState()", "error: RPi firmware refused GPIO line 134 (answer 0x00000001)"),
            ("unanswered=0x00030041", "led.Open(5)", "led.GetState()", "error: RPi firmware did not answer tag 0x00030041"),
        ]
        for faults, open_call, call, message in cases:
            with self.subTest(faults=faults):
                self.check(faults, "print(%s >= 0); %s" % (open_call, call), "True\n", message)
        self.check("unanswered=0x00010002", "print('before'); led.Open()", "before\n", "error: RPi firmware did not answer tag 0x00010002")

    def test_what_the_program_wrote_survives(self):
        # Into pipes, the way a service or `| tee` sees it: standard output
        # block-buffered, standard error holding a line not yet ended. Both
        # reach their pipes before the error line.
        steps = "print(led.Open(5) >= 0); sys.stderr.write('noted: '); led.GetState()"
        self.check("ioctl=EIO", steps, "True\n", "noted: error: ioctl: IOCTL_RPI_FIRMWARE_PROPERTY: Input/output error", buffered=True)

    def test_a_failing_flush_does_not_stop_the_exit(self):
        steps = """
class Broken(object):
    def write(self, text):
        return len(text)
    def flush(self):
        raise IOError("no flush today")
sys.stdout = Broken()
led.Open(5)
led.GetState()
"""
        self.check("ioctl=EIO", steps, "", "error: ioctl: IOCTL_RPI_FIRMWARE_PROPERTY: Input/output error", buffered=True)

    def test_closing_the_device_fails(self):
        message = "error: close: Bad file descriptor"
        for step in ("led.Close()", "del led"):
            with self.subTest(step=step):
                self.check("close=EBADF", "print(led.Open() >= 0); " + step, "True\n", message)
        # A refused line closes the device again: that close fails the same way.
        steps = "vcioemu.board_revision(%d); print('before'); led.Open()" % support.PI4B
        self.check("close=EBADF", steps, "before\n", support.REFUSED_ON_PI4B + message)

    def test_faults_set_while_running(self):
        steps = [
            ("vcioemu.fail_ioctl(errno.EIO); led.GetState()", "error: ioctl: IOCTL_RPI_FIRMWARE_PROPERTY: Input/output error"),
            ("vcioemu.firmware_status(0x80000001); led.SetState(0)", "error: ioctl: IOCTL_RPI_FIRMWARE_PROPERTY: Invalid argument"),
            ("vcioemu.raw_status(0x80000002); led.GetState()", "error: RPi firmware returned 0x80000002"),
            ("vcioemu.fail_close(errno.EBADF); led.Close()", "error: close: Bad file descriptor"),
        ]
        for step, message in steps:
            with self.subTest(step=step):
                self.check(None, "print(led.Open() >= 0, led.SetState(1)); " + step, "True 0\n", message)

    def test_misuse_is_not_fatal(self):
        # A closed controller never reaches the device, so failing faults do
        # not matter; its refusals are ordinary results and messages.
        status, out, err = support.run_child(
            SCRIPT % "print(led.GetState(), led.SetState(1)); led.Close()", faults="open=ENOENT,ioctl=EIO,close=EBADF"
        )
        self.assertEqual((status, out, err), (0, "-1 -1\nafter\n", NOT_OPENED * 2))


if __name__ == "__main__":
    unittest.main()
