"""tallowick.CameraLED in-process, on a board with its LED on the SoC's chip
and on one with it on the firmware's expander: a read changes nothing, a
switch drives the one line it holds, and the line is let go by close(), the
end of a with block, or the object's end."""

import errno
import gc
import unittest

import support
import vcioemu
from support import PI3B

from tallowick import CameraLED, CameraLEDError, _kernel

ZERO_W = 0x9000C1
# (board, chip, offset of the LED line)
BOARDS = [(ZERO_W, 0, 40), (PI3B, 1, 6)]


class Switching(support.TestCase):
    def test_read_switch_toggle_and_let_go(self):
        for board, chip, offset in BOARDS:
            with self.subTest(board=hex(board)):
                vcioemu.reset()
                vcioemu.board_revision(board)
                level, output, _ = vcioemu.gpio_line(chip, offset)
                with CameraLED() as led:
                    self.assertEqual(vcioemu.gpio_request_count(), 0)
                    self.assertEqual(led.is_lit, bool(level))
                    self.assertEqual(vcioemu.gpio_line(chip, offset), (level, output, True))
                    led.on()
                    self.assertEqual(vcioemu.gpio_line(chip, offset), (1, True, True))
                    self.assertTrue(led.is_lit)
                    led.toggle()
                    self.assertEqual(vcioemu.gpio_line(chip, offset), (0, True, True))
                    led.toggle()
                    led.off()
                    self.assertFalse(led.is_lit)
                    # One request, held from the read on; the firmware is not asked.
                    self.assertEqual(vcioemu.gpio_request_count(), 1)
                    self.assertEqual(vcioemu.gpio_drive_count(), 4)
                    self.assertEqual(vcioemu.request_count(), 0)
                self.assertEqual(vcioemu.gpio_line(chip, offset), (0, True, False))
                self.assertEqual(vcioemu.gpio_open_descriptors(), 0)
                self.assertRaises(ValueError, led.on)
                led.close()

    def test_a_forgotten_led_lets_the_line_go_at_once(self):
        # Before and after its first switch: nothing of it may wait for the
        # cycle collector.
        vcioemu.board_revision(ZERO_W)
        gc.disable()
        self.addCleanup(gc.enable)
        for switch in (False, True):
            with self.subTest(switched=switch):
                led = CameraLED()
                self.assertFalse(led.is_lit)
                if switch:
                    led.on()
                self.assertEqual(vcioemu.gpio_line(0, 40), (int(switch), switch, True))
                del led
                self.assertEqual(vcioemu.gpio_line(0, 40)[2], False)
                self.assertEqual(vcioemu.gpio_open_descriptors(), 0)

    def test_a_switch_that_fails_raises_the_leds_error_and_a_closed_one_refuses(self):
        vcioemu.board_revision(ZERO_W)
        chip = _kernel.find_chip(_kernel.SOC_CHIP)
        self.addCleanup(chip.close)
        # An as-is request is no output: the kernel refuses to set it.
        line = chip.request(40, "test")
        self.addCleanup(line.release)
        failures = []

        def failure(error):
            failures.append(error)
            return CameraLEDError("error: %s" % error.strerror)

        switch = line.switch(True, failure)
        self.assertRaisesText(CameraLEDError, "error: Operation not permitted", switch)
        self.assertEqual([error.errno for error in failures], [errno.EPERM])
        self.assertRaises(TypeError, switch, 1)
        line.release()
        self.assertRaises(ValueError, switch)
        self.assertEqual(vcioemu.gpio_drive_count(), 0)
        led = CameraLED()
        led.on()
        led.close()
        self.assertRaises(ValueError, led.on)
        self.assertRaises(ValueError, led.off)


if __name__ == "__main__":
    unittest.main()
