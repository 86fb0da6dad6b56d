"""Tests of tools/kernel-check's own parts: the scenario table's checks,
what the kernel's side reads from gpio-sim's files, the comparison, and the
emulator's side on the real product (where tools/kernel-check gives it:
KERNEL_CHECK_PRODUCT and KERNEL_CHECK_LIBRARY). Python 3 only.
"""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import kernel_check  # noqa: E402
import kernel_scenarios as table  # noqa: E402

# gpio-sim's listing as Debian's 7.2 kernel writes it.
LISTING = """gpiochip0: 54 GPIOs, parent: platform/gpio-sim.0, pinctrl-bcm2835, can sleep:
 gpio-39  (<unused>) input,pull-down
 gpio-40  (tallowick) output-high,pull-up
 gpio-44  (cam1_regulator) output-low,pull-down

gpiochip1: 8 GPIOs, parent: platform/gpio-sim.0, raspberrypi-exp-gpio, can sleep:
 gpio-6   (<unused>) output-low,pull-down
"""

TRACE = """# tracer: nop
         python3-126     [000] .....     8.072338: gpio_value: 552 set 1
         python3-126     [000] .....     8.072993: gpio_direction: 552 out (0)
         python3-130     [000] .....    13.798664: gpio_value: 552 set 0
         python3-131     [000] .....    17.986826: gpio_value: 552 get 1
         python3-131     [000] .....    17.986826: gpio_value: 518 set 1
"""


class Table(unittest.TestCase):
    def test_every_row_is_usable_by_both_runners(self):
        self.assertEqual(table.problems(), [])

    def test_rows_a_runner_cannot_play_are_named(self):
        rows = [
            table.Scenario("both", "zero-w", ["on"], python="camera_switches"),
            table.Scenario("unknown action", "zero-w", python="nothing"),
            table.Scenario("python as nobody", "zero-w", python="camera_switches", unprivileged=True),
            table.Scenario("expander pull", "3b", ["state"], pulls={(table.EXPANDER, 6): "up"}),
            table.Scenario("no such line", "zero-w", ["on"], holds={(table.SOC, 54): "x"}),
            table.Scenario("no such chip", "zero-w", ["on"], pulls={(table.EXPANDER, 1): "up"}),
            table.Scenario("both", "zero-w", ["off"]),
        ]
        found = "\n".join(table.problems(rows))
        for name in ("both", "unknown action", "python as nobody", "expander pull", "no such line",
                     "no such chip"):
            self.assertIn("scenario %r" % name, found)
        self.assertIn("named twice", found)

    def test_a_kernel_hold_from_the_row_is_an_input_beside_the_boards(self):
        scenario = table.Scenario("held", "zero-w", ["on"], holds={(table.SOC, 40): "hog"})
        self.assertEqual(scenario.all_holds(), {
            (table.SOC, 40): ("input", "hog"),
            (table.SOC, 44): ("output-low", "cam1_regulator"),
        })


class KernelFiles(unittest.TestCase):
    def test_listing_gives_holder_and_direction_by_chip(self):
        chips = kernel_check.parse_debugfs(LISTING)
        self.assertEqual(chips["gpiochip0"][39], (None, "input"))
        self.assertEqual(chips["gpiochip0"][40], ("tallowick", "output"))
        self.assertEqual(chips["gpiochip0"][44], ("cam1_regulator", "output"))
        self.assertEqual(chips["gpiochip1"], {6: (None, "output")})

    def test_trace_gives_the_last_level_set_and_ignores_reads(self):
        self.assertEqual(kernel_check.last_sets(TRACE), {552: 0, 518: 1})

    def test_message_classes(self):
        self.assertEqual(
            kernel_check.message_classes("error: a\nwarning: b\nLED on: camera powered\n"),
            ["error:", "warning:", "text"])
        self.assertEqual(kernel_check.message_classes(""), [])


class FakeSim(object):
    """A gpio-sim device's files in a temporary folder."""

    def __init__(self, folder, values):
        self.chip_names = ["gpiochip0"]
        self.bases = [512]
        self.sysfs = [folder]
        for offset, value in values.items():
            os.makedirs(os.path.join(folder, "sim_gpio%d" % offset), exist_ok=True)
            with open(os.path.join(folder, "sim_gpio%d" % offset, "value"), "w") as f:
                f.write("%d\n" % value)


class KernelObserver(unittest.TestCase):
    """gpio-sim sets a released output back to its pull: the level that
    counts is the one last set, which only the trace still knows."""

    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        saved = kernel_check.DEBUGFS_GPIO, kernel_check.TRACE
        self.addCleanup(lambda: setattr(kernel_check, "DEBUGFS_GPIO", saved[0]))
        self.addCleanup(lambda: setattr(kernel_check, "TRACE", saved[1]))
        kernel_check.DEBUGFS_GPIO = os.path.join(self.folder.name, "gpio")
        kernel_check.TRACE = os.path.join(self.folder.name, "trace")

    def look(self, listing, trace, values):
        kernel_check.write(kernel_check.DEBUGFS_GPIO, listing)
        kernel_check.write(kernel_check.TRACE, trace)
        sim = FakeSim(os.path.join(self.folder.name, "chip"), values)
        board = table.BOARDS["zero-w"]
        return kernel_check.KernelObserver(sim, board.watch, board.holds).look()

    def test_a_released_output_has_the_level_last_set(self):
        lines = self.look(LISTING.replace("(tallowick)", "(<unused>)"), TRACE, {40: 0, 44: 0})
        self.assertEqual(lines["chip 0 line 40"], {"level": 0, "direction": "output", "holder": None})
        lines = self.look(LISTING, TRACE.replace("552 set 0", "552 set 1"), {40: 0, 44: 0})
        self.assertEqual(lines["chip 0 line 40"], {"level": 1, "direction": "output", "holder": "tallowick"})

    def test_an_input_or_an_untouched_output_reads_its_value(self):
        listing = LISTING.replace("(tallowick) output-high", "(<unused>) input")
        lines = self.look(listing, TRACE, {40: 1, 44: 0})
        self.assertEqual(lines["chip 0 line 40"], {"level": 1, "direction": "input", "holder": None})
        self.assertEqual(lines["chip 0 line 44"], {"level": 0, "direction": "output", "holder": "cam1_regulator"})

    def test_a_line_missing_from_the_listing_is_unreadable(self):
        lines = self.look(LISTING.replace(" gpio-44 ", " gpio-45 "), "", {40: 0, 44: 0})
        self.assertEqual(lines["chip 0 line 44"]["holder"], "unreadable")


def result(status=0, level=1, stdout="", stderr=""):
    lines = {"chip 0 line 40": {"level": level, "direction": "output", "holder": None}}
    return kernel_check.answer(status, stdout, stderr, [], {"after": lines})


class Comparison(unittest.TestCase):
    def setUp(self):
        self.names = [scenario.name for scenario in table.SCENARIOS]

    def both(self, **changed):
        emulator = {name: result() for name in self.names}
        kernel = dict(emulator)
        kernel[self.names[0]] = result(**changed)
        return kernel_check.differences(emulator, kernel)

    def test_same_answers_differ_nowhere(self):
        self.assertEqual(self.both(), [])

    def test_a_difference_names_the_scenario_what_and_both_answers(self):
        self.assertEqual(self.both(level=0), [(self.names[0], "level of chip 0 line 40 after", 1, 0)])
        self.assertEqual(self.both(stderr="warning: x\n"), [
            (self.names[0], "message classes", [], ["warning:"]),
            (self.names[0], "standard error", "", "warning: x\n"),
        ])
        self.assertEqual(self.both(status=1)[0][1:], ("exit status", 0, 1))

    def test_a_scenario_one_side_lacks_or_could_not_run_differs(self):
        emulator = {name: result() for name in self.names}
        kernel = dict(emulator)
        del kernel[self.names[1]]
        kernel[self.names[2]] = {"failure": "Traceback ..."}
        found = kernel_check.differences(emulator, kernel)
        self.assertIn((self.names[1], "run", "ran", "missing"), found)
        self.assertIn(self.names[2], [name for name, _, _, _ in found])


PRODUCT = os.environ.get("KERNEL_CHECK_PRODUCT")
LIBRARY = os.environ.get("KERNEL_CHECK_LIBRARY")


def scenario(name):
    return next(s for s in table.SCENARIOS if s.name == name)


@unittest.skipUnless(PRODUCT and LIBRARY, "needs KERNEL_CHECK_PRODUCT and KERNEL_CHECK_LIBRARY")
class EmulatorSide(unittest.TestCase):
    """The emulator's runner on the product itself: what it sets up
    reaches the product, and what the product does reaches the answer."""

    def run_scenario(self, name):
        answer = kernel_check.emulator_scenario(scenario(name), PRODUCT, LIBRARY)
        self.assertNotIn("failure", answer)
        return answer

    def test_a_pull_reaches_the_product_and_its_output_the_answer(self):
        pulled = self.run_scenario("zero-w state, pulled up")
        plain = self.run_scenario("zero-w state")
        self.assertEqual((pulled["stdout"], plain["stdout"]), ("on\n", "off\n"))
        self.assertEqual(pulled["lines"]["after"]["chip 0 line 40"]["level"], 1)
        self.assertEqual(plain["lines"]["after"]["chip 0 line 40"]["level"], 0)

    def test_an_unprivileged_user_is_refused_and_the_message_kept(self):
        answer = self.run_scenario("zero-w on, user outside the gpio group")
        self.assertEqual(answer["exit"], 1)
        self.assertEqual(answer["messages"], ["error:"])
        self.assertIn("Permission denied", answer["stderr"])

    def test_a_running_command_is_looked_at_while_it_holds_the_line_then_stopped(self):
        answer = self.run_scenario("zero-w on --hold")
        self.assertEqual(answer["exit"], 0)
        self.assertEqual(answer["lines"]["while held"]["chip 0 line 40"]["holder"], "tallowick")
        self.assertIsNone(answer["lines"]["after"]["chip 0 line 40"]["holder"])

    def test_different_outcomes_make_a_difference(self):
        on, off = self.run_scenario("zero-w on"), self.run_scenario("zero-w off")
        name = table.SCENARIOS[0].name
        found = kernel_check.differences({name: on}, {name: off})
        self.assertIn((name, "level of chip 0 line 40 after", 1, 0), found)


if __name__ == "__main__":
    unittest.main()
