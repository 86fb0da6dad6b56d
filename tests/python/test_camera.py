"""tallowick.CameraLED in-process, on a board with its LED on the SoC's chip
and on one with it on the firmware's expander: a read changes nothing, a
switch drives the one line it holds, and the line is let go by close(), the
end of a with block, or the object's end."""

import gc
import unittest

import support
import vcioemu
from support import PI3B

from tallowick import CameraLED

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

    def test_a_forgotten_led_lets_the_line_go(self):
        vcioemu.board_revision(ZERO_W)
        led = CameraLED()
        led.on()
        self.assertEqual(vcioemu.gpio_line(0, 40), (1, True, True))
        del led
        gc.collect()
        self.assertEqual(vcioemu.gpio_line(0, 40)[2], False)
        self.assertEqual(vcioemu.gpio_open_descriptors(), 0)


if __name__ == "__main__":
    unittest.main()
