"""Tests of tools/kernel-check's own parts: the scenario table's checks,
what the kernel's side reads from gpio-sim's files, the comparison, and the
emulator's side on the real product (where tools/kernel-check gives it:
KERNEL_CHECK_PRODUCT and KERNEL_CHECK_LIBRARY). Python 3 only.
"""

import io
import json
import os
import sys
import tempfile
import unittest
from unittest import mock

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


class ObserverFiles(unittest.TestCase):
    """The kernel's listing and trace in a temporary folder."""

    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        saved = kernel_check.DEBUGFS_GPIO, kernel_check.TRACE
        self.addCleanup(lambda: setattr(kernel_check, "DEBUGFS_GPIO", saved[0]))
        self.addCleanup(lambda: setattr(kernel_check, "TRACE", saved[1]))
        kernel_check.DEBUGFS_GPIO = os.path.join(self.folder.name, "gpio")
        kernel_check.TRACE = os.path.join(self.folder.name, "trace")


class KernelObserver(ObserverFiles):
    """gpio-sim sets a released output back to its pull: the level that
    counts is the one last set, which only the trace still knows."""

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


class Requested(ObserverFiles):
    """A line counts as taken by the command only when a request, not the
    kernel's own hog, holds it: else a command would be stopped before it
    ran."""

    def requested(self, listing, holds):
        kernel_check.write(kernel_check.DEBUGFS_GPIO, listing)
        kernel_check.write(kernel_check.TRACE, "")
        sim = FakeSim(os.path.join(self.folder.name, "chip"), {40: 0, 44: 0})
        return kernel_check.KernelObserver(sim, table.BOARDS["zero-w"].watch, holds).requested((table.SOC, 40))

    def test_a_request_holds_the_line_the_hog_does_not(self):
        hog = {(table.SOC, 40): ("input", "cam_led_hog")}
        self.assertTrue(self.requested(LISTING, {}))
        self.assertFalse(self.requested(LISTING.replace("(tallowick)", "(<unused>)"), {}))
        self.assertFalse(self.requested(LISTING.replace("(tallowick)", "(cam_led_hog)"), hog))
        self.assertTrue(self.requested(LISTING, hog))


class GpioSimLayout(unittest.TestCase):
    """The configfs tree a scenario's board becomes, in a plain folder: the
    kernel's files that gpio-sim makes itself are answered here."""

    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.root = folder.name
        real_read = kernel_check.read

        def read(path):
            name = os.path.basename(path)
            if name == "dev_name":
                return "gpio-sim.0"
            if name == "chip_name":
                return "gpiochip" + path.split("bank")[-1][0]
            return real_read(path)

        for patch in (mock.patch.object(kernel_check, "CONFIGFS", self.root),
                      mock.patch.object(kernel_check, "read", read),
                      mock.patch.object(kernel_check.GpioSim, "base", staticmethod(lambda label: 512))):
            patch.start()
            self.addCleanup(patch.stop)

    def text(self, *parts):
        with open(os.path.join(self.root, "kernel-check-3", *parts)) as f:
            return f.read()

    def test_banks_names_and_hogs_then_live(self):
        scenario = next(s for s in table.SCENARIOS if s.name == "zero-w on, line held by the kernel")
        sim = kernel_check.GpioSim(scenario, 3)
        self.assertEqual((self.text("bank0", "label"), self.text("bank0", "num_lines")), ("pinctrl-bcm2835", "54"))
        self.assertFalse(os.path.exists(os.path.join(self.root, "kernel-check-3", "bank1")))
        self.assertEqual(self.text("bank0", "line40", "name"), "CAM_GPIO1")
        self.assertEqual(self.text("bank0", "line40", "hog", "name"), "cam_led_hog")
        self.assertEqual(self.text("bank0", "line40", "hog", "direction"), "input")
        self.assertEqual(self.text("bank0", "line44", "hog", "direction"), "output-low")
        self.assertEqual(self.text("live"), "1")
        self.assertEqual(sim.sysfs, ["/sys/devices/platform/gpio-sim.0/gpiochip0"])

    def test_removal_leaves_live_first_and_goes_deepest_first(self):
        sim = kernel_check.GpioSim(next(s for s in table.SCENARIOS if s.name == "3b on"), 3)
        removed = []
        with mock.patch("os.rmdir", removed.append):
            sim.remove()
        self.assertEqual(self.text("live"), "0")
        self.assertEqual(removed[-1], os.path.join(self.root, "kernel-check-3"))
        for earlier, path in enumerate(removed):
            self.assertFalse(any(later.startswith(path + "/") for later in removed[earlier:]), path)
        self.assertIn(os.path.join(self.root, "kernel-check-3", "bank1", "line5", "hog"), removed)


class Capture(unittest.TestCase):
    def test_what_python_and_the_descriptors_write_is_kept_and_the_descriptors_come_back(self):
        before = os.fstat(1), os.fstat(2)
        with kernel_check.Captured() as output:
            sys.stdout.write("through python\n")
            os.write(2, b"through the descriptor\n")
        self.assertEqual(output.stdout, "through python\n")
        self.assertEqual(output.stderr, "through the descriptor\n")
        after = os.fstat(1), os.fstat(2)
        self.assertEqual([(s.st_dev, s.st_ino) for s in before], [(s.st_dev, s.st_ino) for s in after])


def result(status=0, level=1, stdout="", stderr=""):
    lines = {"chip 0 line 40": {"level": level, "direction": "output", "holder": None}}
    return kernel_check.answer(status, stdout, stderr, [], {"after": lines})


class Comparison(unittest.TestCase):
    def setUp(self):
        self.names = [scenario.name for scenario in table.SCENARIOS]

    def test_the_report_counts_scenarios_and_fails_on_a_difference(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        emulator = {name: result() for name in self.names}
        kernel = dict(emulator, **{self.names[0]: result(level=0, stderr="error: a\nerror: b\n")})
        paths = []
        for side, answers in (("emulator", emulator), ("kernel", kernel)):
            paths.append(os.path.join(folder.name, side))
            kernel_check.write(paths[-1], json.dumps(answers))
        out = io.StringIO()
        self.assertEqual(kernel_check.compare(paths[0], paths[0], out), 0)
        self.assertTrue(out.getvalue().endswith("%d passed, 0 failed\n" % len(self.names)))
        out = io.StringIO()
        self.assertEqual(kernel_check.compare(paths[0], paths[1], out), 1)
        report = out.getvalue()
        self.assertIn("DIFF %s\n" % self.names[0], report)
        self.assertIn("level of chip 0 line 40 after:\n    emulator: 1\n    kernel:   0\n", report)
        self.assertTrue(report.endswith("%d passed, 1 failed\n" % (len(self.names) - 1)))

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

    def test_the_board_words_reach_the_emulator(self):
        no_chip = self.run_scenario("3b on, no expander chip")
        self.assertEqual(no_chip["exit"], 1)
        self.assertIn("no raspberrypi-exp-gpio GPIO chip", no_chip["stderr"])
        no_parameter = self.run_scenario("zero-w on, kernel without the persist parameter")
        self.assertEqual(no_parameter["messages"], ["warning:"])
        self.assertNotIn("after", no_parameter["lines"])

    def test_the_regulator_folder_reaches_the_product(self):
        powered = self.run_scenario("zero-w indicate, camera powered")
        dark = self.run_scenario("zero-w indicate, camera not powered")
        self.assertEqual(powered["lines"]["while held"]["chip 0 line 40"]["level"], 1)
        self.assertEqual(dark["lines"]["while held"]["chip 0 line 40"]["level"], 0)

    def test_different_outcomes_make_a_difference(self):
        on, off = self.run_scenario("zero-w on"), self.run_scenario("zero-w off")
        name = table.SCENARIOS[0].name
        found = kernel_check.differences({name: on}, {name: off})
        self.assertIn((name, "level of chip 0 line 40 after", 1, 0), found)


if __name__ == "__main__":
    unittest.main()
