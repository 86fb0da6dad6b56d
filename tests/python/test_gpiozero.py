"""gpiozero devices on firmware lines through tallowick.gpiozero, against
the real gpiozero where this interpreter has it (Debian's python3-gpiozero:
1.6 in Debian 12 and 13, 2.x in unstable as in Raspberry Pi OS) and the
firmware emulator."""

import unittest

import support
import vcioemu

try:
    import gpiozero
except ImportError:
    gpiozero = None
else:
    import tallowick.gpiozero
    from tallowick.gpiozero import FirmwarePinFactory

SET_GPIO_STATE = support.SET_GPIO_STATE
NO_GPIOZERO = "gpiozero is not installed for this interpreter (Debian's python3-gpiozero serves /usr/bin/python3 only)"


def sets():
    """(line, state) of every SET the emulator received, in order; the
    board-revision question Open may ask is left out."""
    return [(words[5], words[6]) for words in vcioemu.requests() if words[2] == SET_GPIO_STATE]


@unittest.skipIf(gpiozero is None, NO_GPIOZERO)
class FirmwarePinFactoryTest(support.TestCase):
    def setUp(self):
        support.TestCase.setUp(self)
        self.factory = FirmwarePinFactory()
        self.addCleanup(self.factory.close)

    def led(self, name=134):
        led = gpiozero.LED(name, pin_factory=self.factory)
        self.addCleanup(led.close)
        return led

    def assertNothingOpen(self):
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before)

    def test_led_switches_and_reads_the_firmware_line(self):
        led = self.led()
        self.assertEqual(sets(), [(134, 0)])  # gpiozero's initial_value=False
        led.on()
        self.assertEqual((vcioemu.line_state(134), led.is_lit, led.value), (1, True, 1))
        led.toggle()
        self.assertEqual((vcioemu.line_state(134), led.is_lit, led.value), (0, False, 0))
        led.toggle()
        led.off()
        self.assertEqual(sets(), [(134, 0), (134, 1), (134, 0), (134, 1), (134, 0)])
        # Read from the firmware, not remembered: a change made elsewhere shows.
        vcioemu.set_line_state(134, 1)
        self.assertTrue(led.is_lit)
        # One controller for the line, whichever way it is named.
        self.assertIs(self.factory.pin("134"), led.pin)
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before + 1)

    def test_blink_makes_exactly_the_alternating_sets(self):
        led = self.led()
        vcioemu.reset()
        led.blink(on_time=0.01, off_time=0.01, n=2, background=False)
        self.assertEqual(sets(), [(134, 1), (134, 0), (134, 1), (134, 0)])
        self.assertEqual(vcioemu.line_state(134), 0)

    def test_close_releases_the_mailbox_and_the_line(self):
        led = self.led()
        pin = led.pin
        led.close()
        self.assertNothingOpen()
        again = self.led("134")
        self.assertIsNot(again.pin, pin)
        again.on()
        self.assertEqual(vcioemu.line_state(134), 1)
        # Closing the factory closes what its devices still hold.
        self.led(135)
        self.factory.close()
        self.assertNothingOpen()

    def test_second_device_on_a_line_is_refused(self):
        led = self.led()
        for name in (134, "134"):
            with self.subTest(name=name):
                self.assertRaises(gpiozero.GPIOPinInUse, gpiozero.LED, name, pin_factory=self.factory)
        led.on()
        self.assertEqual(vcioemu.line_state(134), 1)
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before + 1)

    def test_refused_board_fails_at_construction_with_nothing_left(self):
        vcioemu.board_revision(support.PI4B)
        with support.CapturedStderr() as stderr:
            try:
                gpiozero.LED(134, pin_factory=self.factory)
            except gpiozero.PinInvalidPin:
                # The traceback keeps the refused device alive, as an
                # interactive session's last traceback does: asking again
                # must meet the board's refusal, not that device.
                self.assertRaises(gpiozero.PinInvalidPin, gpiozero.LED, 134, pin_factory=self.factory)
            else:
                self.fail("an LED was made on a refused line")
        self.assertEqual(stderr.text, support.REFUSED_ON_PI4B * 2)
        self.assertEqual(sets(), [])
        self.assertNothingOpen()

    def test_input_pull_pwm_and_edges_are_refused(self):
        devices = [
            (gpiozero.Button, gpiozero.PinInvalidFunction),
            (gpiozero.PWMLED, gpiozero.PinPWMUnsupported),
        ]
        for device, error in devices:
            with self.subTest(device=device.__name__):
                self.assertRaises(error, device, 134, pin_factory=self.factory)
                self.assertNothingOpen()
        pin = self.led().pin
        self.assertRaises(gpiozero.PinFixedPull, setattr, pin, "pull", "up")
        self.assertRaises(gpiozero.PinEdgeDetectUnsupported, setattr, pin, "edges", "both")
        self.assertEqual(pin.function, "output")


def has_board_info():
    """gpiozero 2.x, where pins and the board describe themselves; 1.6 has
    neither a BoardInfo nor a Pin.info."""
    return gpiozero is not None and tallowick.gpiozero.BoardInfo is not None


@unittest.skipUnless(has_board_info(), "gpiozero 1.6 has no board or pin info")
class BoardInfoTest(support.TestCase):
    def setUp(self):
        support.TestCase.setUp(self)
        self.factory = FirmwarePinFactory()
        self.addCleanup(self.factory.close)

    def test_pins_and_the_board_describe_the_lines_in_use(self):
        led = gpiozero.LED(134, pin_factory=self.factory)
        self.addCleanup(led.close)
        other = gpiozero.LED("135", pin_factory=self.factory)
        info = led.pin.info
        self.assertIsInstance(info, gpiozero.PinInfo)
        self.assertEqual((info.name, info.number), ("134", 1))
        board = self.factory.board_info
        self.assertIsInstance(board, gpiozero.BoardInfo)
        for name in (134, "134", info.name):
            with self.subTest(name=name):
                self.assertEqual(list(board.find_pin(name)), [(board.headers["FW134"], info)])
        # Made before 134, 135 keeps its description.
        self.assertEqual(other.pin.info, self.factory.board_info.headers["FW135"].pins[1])
        # gpiozero's own drawing of the headers shows each line in its place.
        self.assertEqual(format(board, "mono headers").split(), ["FW134:", "134", "(1)", "FW135:", "135", "(1)"])
        other.close()
        self.assertEqual(sorted(self.factory.board_info.headers), ["FW134"])


if __name__ == "__main__":
    unittest.main()
