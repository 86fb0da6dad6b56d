"""The systemd units of examples/, as pip users enable them, and the Debian
package's copies, which debian/units.sed makes of them: read offline, and
where systemd-analyze is installed, verified and rated by it.

What is checked is what would break on a Pi without any error at load time:
a device list that misses one of the two roads to the LED, a sandbox that
hides a file the command reads, an action the command does not have, two
units fighting over the one LED, a sandbox rated worse than the project
accepts.
"""

import glob
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = os.path.join(TOP, "examples")
UNITS_SED = os.path.join(TOP, "debian", "units.sed")
RULES = os.path.join(TOP, "debian", "rules")

OFF = "camera-led-off.service"
INDICATOR = "camera-led-indicator.service"
# The action each unit's ExecStart runs.
ACTIONS = {OFF: "off", INDICATOR: "indicate"}

PIP_COMMAND = "/usr/local/bin/tallowick"
PACKAGE_COMMAND = "/usr/bin/tallowick"
# Where the pip road's command really lives (README, "Installing").
PIP_VENV = "/home/pi/led"

# Everything the command opens or reads on either road, by the names the
# code uses and by the targets of the links among them.
READ_PATHS = [
    "/proc/device-tree/system/linux,revision",
    "/sys/firmware/devicetree/base/system/linux,revision",
    "/proc/cpuinfo",
    "/sys/module/pinctrl_bcm2835/parameters/persist_gpio_outputs",
    "/sys/class/regulator/regulator.1/name",
    "/sys/class/regulator/regulator.1/state",
    "/sys/devices/platform/cam1_regulator/regulator/regulator.1/state",
    "/dev/gpiochip0",
    "/dev/gpiochip1",
    "/dev/vcio",
    "/usr/bin/python3",
    "/usr/lib/python3/dist-packages/tallowick/__init__.py",
]
PIP_READ_PATHS = [PIP_VENV + "/bin/tallowick", PIP_VENV + "/lib/python3.11/site-packages/tallowick/__init__.py"]

# Settings that hide or replace parts of the file system.
HIDING_SETTINGS = ["InaccessiblePaths", "TemporaryFileSystem", "BindPaths", "BindReadOnlyPaths",
                   "RootDirectory", "RootImage", "MountImages", "ExtensionImages"]

# The signals on which the command switches the LED off before it ends.
HANDLED_SIGNALS = {"SIGTERM", "SIGINT", "SIGHUP", "TERM", "INT", "HUP", "15", "2", "1"}


def parse_unit(text):
    """{section: {key: [values in order]}}, with continuation lines joined."""
    sections = {}
    current = None
    logical = []
    pending = ""
    for line in text.splitlines():
        if pending:
            pending += " " + line.strip()
        elif line.strip().startswith(("#", ";")) or not line.strip():
            continue
        else:
            pending = line.strip()
        if pending.endswith("\\"):
            pending = pending[:-1].rstrip()
            continue
        logical.append(pending)
        pending = ""
    for line in logical:
        if line.startswith("[") and line.endswith("]"):
            current = sections.setdefault(line[1:-1], {})
            continue
        key, sep, value = line.partition("=")
        if current is None or not sep:
            raise ValueError("not a unit file line: %r" % line)
        current.setdefault(key.strip(), []).append(value.strip())
    return sections


def effective_list(values):
    """A list setting as systemd reads it: an empty assignment resets it."""
    result = []
    for value in values:
        if value == "":
            result = []
        else:
            result.extend(shlex.split(value))
    return result


def last(unit, section, key, default=None):
    values = unit.get(section, {}).get(key)
    return values[-1] if values else default


def boolean(value):
    return value is not None and value.lower() in ("1", "yes", "true", "on")


def packaged_text(example_path):
    """What debian/rules installs: the example through debian/units.sed."""
    return subprocess.check_output(["sed", "-f", UNITS_SED, example_path]).decode("utf-8")


def flavours():
    """(label, file name, text) of every unit in both flavours."""
    for path in sorted(glob.glob(os.path.join(EXAMPLES, "*.service"))):
        name = os.path.basename(path)
        with open(path) as handle:
            yield "pip " + name, name, handle.read()
        yield "package " + name, name, packaged_text(path)


def covers(prefix, path):
    prefix = prefix.lstrip("-+").rstrip("/")
    return path == prefix or path.startswith(prefix + "/")


class UnitFileTest(unittest.TestCase):
    """Both units, both flavours, read as systemd reads them."""

    def setUp(self):
        self.units = [(label, name, parse_unit(text), text) for label, name, text in flavours()]
        names = sorted({name for _, name, _, _ in self.units})
        self.assertEqual(names, [INDICATOR, OFF])

    def command_of(self, label):
        return PIP_COMMAND if label.startswith("pip ") else PACKAGE_COMMAND

    def test_exec_lines_run_the_command_with_each_units_action(self):
        for label, name, unit, _ in self.units:
            with self.subTest(unit=label):
                command = self.command_of(label)
                service = unit["Service"]
                self.assertEqual([shlex.split(v) for v in service["ExecStart"]],
                                 [[command, ACTIONS[name]]])
                # A board without a camera LED skips the unit rather than
                # failing it, or restarting it for ever.
                self.assertEqual([shlex.split(v) for v in service["ExecCondition"]],
                                 [[command, "where"]])
                others = [k for k in service if k.startswith("Exec")
                          and k not in ("ExecStart", "ExecCondition")]
                self.assertEqual(others, [])

    def test_service_types_fit_the_actions(self):
        for label, name, unit, _ in self.units:
            with self.subTest(unit=label):
                kind = last(unit, "Service", "Type", "simple")
                if name == OFF:
                    self.assertEqual(kind, "oneshot")
                    continue
                # The command never notifies nor forks: any other type would
                # time out or lose track of it.
                self.assertIn(kind, ("simple", "exec"))
                self.assertEqual(last(unit, "Service", "Restart"), "on-failure")
                # The command switches the LED off on these signals only.
                self.assertIn(last(unit, "Service", "KillSignal", "SIGTERM"), HANDLED_SIGNALS)
                self.assertFalse(boolean(last(unit, "Service", "RemainAfterExit")))

    def test_device_allowances_cover_both_roads(self):
        for label, _, unit, _ in self.units:
            with self.subTest(unit=label):
                service = unit["Service"]
                self.assertIn(last(unit, "Service", "DevicePolicy"), ("closed", "strict"))
                allowed = {}
                for value in service.get("DeviceAllow", []):
                    if value == "":
                        allowed = {}
                        continue
                    parts = value.split()
                    allowed[parts[0]] = parts[1] if len(parts) > 1 else "rwm"
                # The chips are opened read-write for their line requests;
                # the mailbox read-only, its requests being ioctls.
                self.assertLessEqual(set("rw"), set(allowed.get("char-gpiochip", "")))
                self.assertIn("r", allowed.get("/dev/vcio", ""))
                # A private /dev holds neither.
                self.assertFalse(boolean(last(unit, "Service", "PrivateDevices")))

    def test_read_paths_are_not_hidden(self):
        for label, _, unit, _ in self.units:
            with self.subTest(unit=label):
                service = unit["Service"]
                # subset=pid leaves /proc/cpuinfo and /proc/device-tree out.
                self.assertIn(last(unit, "Service", "ProcSubset", "all"), ("all",))
                paths = READ_PATHS + (PIP_READ_PATHS if label.startswith("pip ") else [])
                for setting in HIDING_SETTINGS:
                    for entry in effective_list(service.get(setting, [])):
                        target = entry.split(":")[-1] if setting.startswith("Bind") else entry.split(":")[0]
                        hidden = [p for p in paths if covers(target, p)]
                        self.assertEqual(hidden, [], "%s=%s" % (setting, entry))
                home = last(unit, "Service", "ProtectHome", "no")
                if label.startswith("pip "):
                    self.assertIn(home, ("no", "read-only"))

    def test_pip_road_reaches_a_home_directory_closed_to_others(self):
        # A home directory of mode 0700 (Debian's default since 12) is open
        # to root only with CAP_DAC_READ_SEARCH and the host's user IDs.
        for label, _, unit, _ in self.units:
            if not label.startswith("pip "):
                continue
            with self.subTest(unit=label):
                caps = effective_list(unit["Service"].get("CapabilityBoundingSet", []))
                self.assertEqual(caps, ["CAP_DAC_READ_SEARCH"])
                self.assertFalse(boolean(last(unit, "Service", "PrivateUsers")))

    def test_package_units_keep_nothing_of_the_pip_road(self):
        for label, _, unit, text in self.units:
            if not label.startswith("package "):
                continue
            with self.subTest(unit=label):
                service = unit["Service"]
                self.assertNotIn("/usr/local/", "\n".join(
                    v for k, vs in service.items() if k.startswith("Exec") for v in vs))
                self.assertEqual(service["CapabilityBoundingSet"], [""])
                self.assertTrue(boolean(last(unit, "Service", "PrivateUsers")))
                self.assertEqual(last(unit, "Service", "ProtectHome"), "yes")

    def test_package_units_differ_from_the_examples_only_where_units_sed_says(self):
        changed_keys = {"ExecStart", "ExecCondition", "CapabilityBoundingSet", "PrivateUsers",
                        "ProtectHome"}
        for path in sorted(glob.glob(os.path.join(EXAMPLES, "*.service"))):
            with self.subTest(unit=os.path.basename(path)):
                with open(path) as handle:
                    original = handle.read().splitlines()
                packaged = packaged_text(path).splitlines()
                self.assertEqual(len(original), len(packaged))
                differing = [(a, b) for a, b in zip(original, packaged) if a != b]
                self.assertEqual(sorted({a.partition("=")[0] for a, _ in differing}),
                                 sorted(changed_keys))

    def test_root_without_capabilities_beyond_the_roads(self):
        for label, _, unit, _ in self.units:
            with self.subTest(unit=label):
                # "/dev/vcio" is root:root 0600 on recent releases.
                self.assertEqual(last(unit, "Service", "User", "root"), "root")
                self.assertFalse(boolean(last(unit, "Service", "DynamicUser")))
                self.assertEqual(effective_list(unit["Service"].get("AmbientCapabilities", [""])), [])
                self.assertTrue(boolean(last(unit, "Service", "NoNewPrivileges")))

    def test_indicator_owns_the_led_against_the_off_unit(self):
        units = {(label.split()[0], name): unit for label, name, unit, _ in self.units}
        for flavour in ("pip", "package"):
            with self.subTest(flavour=flavour):
                indicator = units[(flavour, INDICATOR)]["Unit"]
                off = units[(flavour, OFF)]["Unit"]
                self.assertIn(OFF, effective_list(indicator.get("Conflicts", [])))
                # Declared on one side only: declared on both, which of the two
                # starts systemd drops at boot would be left to chance.
                self.assertNotIn(INDICATOR, effective_list(off.get("Conflicts", [])))
                # Ordered, so that the one being stopped has let the line go
                # before the other starts.
                ordered = (OFF in effective_list(indicator.get("After", [])) or
                           OFF in effective_list(indicator.get("Before", [])) or
                           INDICATOR in effective_list(off.get("Before", [])) or
                           INDICATOR in effective_list(off.get("After", [])))
                self.assertTrue(ordered)
                if INDICATOR in effective_list(off.get("Before", [])):
                    self.assertNotIn(OFF, effective_list(indicator.get("Before", [])))


class PackagingTest(unittest.TestCase):
    """debian/rules installs a unit for every one in examples/."""

    def test_rules_name_every_example_unit(self):
        with open(RULES) as handle:
            rules = handle.read()
        listed = re.search(r"^UNITS = (.*)$", rules, re.M)
        self.assertIsNotNone(listed)
        installed = set(re.findall(r"dh_installsystemd --name=(\S+)", rules))
        for path in glob.glob(os.path.join(EXAMPLES, "*.service")):
            name = os.path.basename(path)[:-len(".service")]
            with self.subTest(unit=name):
                self.assertIn(name, listed.group(1).split())
                self.assertIn(name, installed)
        self.assertIn("--no-enable", re.findall(r"dh_installsystemd --name=camera-led-indicator(.*)", rules)[0])


def systemd_analyze():
    """The systemd-analyze to use, or the reason there is none."""
    path = shutil.which("systemd-analyze")
    if path is None:
        return None, "no systemd-analyze on this machine (Debian package systemd)"
    probe = subprocess.run([path, "security", "--help"], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, universal_newlines=True)
    if "--offline" not in probe.stdout:
        return None, "this systemd-analyze has no offline security rating (systemd < 250)"
    return path, None


ANALYZE, NO_ANALYZE = systemd_analyze()


@unittest.skipIf(ANALYZE is None, NO_ANALYZE)
class SystemdAnalyzeTest(unittest.TestCase):
    """The units as systemd itself reads them, without a running systemd."""

    MAX_EXPOSURE = 2.5

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tallowick-units-")
        self.addCleanup(shutil.rmtree, self.folder)

    def write(self, label, name, text):
        folder = os.path.join(self.folder, label.split()[0])
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, name)
        with open(path, "w") as handle:
            handle.write(text)
        return path

    def run_analyze(self, *arguments):
        return subprocess.run([ANALYZE] + list(arguments), stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, universal_newlines=True)

    def test_security_exposure_at_most_2_5(self):
        for label, name, text in flavours():
            with self.subTest(unit=label):
                path = self.write(label, name, text)
                result = self.run_analyze("security", "--offline=true", "--no-pager", path)
                self.assertEqual(result.returncode, 0, result.stdout)
                found = re.search(r"Overall exposure level for \S+: (\d+\.\d+)", result.stdout)
                self.assertIsNotNone(found, result.stdout)
                exposure = float(found.group(1))
                print("%s: exposure %.1f" % (label, exposure))
                self.assertLessEqual(exposure, self.MAX_EXPOSURE, result.stdout)
                # systemd's own threshold agrees with the parsed figure.
                result = self.run_analyze("security", "--offline=true", "--no-pager",
                                          "--threshold=%d" % (self.MAX_EXPOSURE * 10), path)
                self.assertEqual(result.returncode, 0, result.stdout)

    def make_root(self, command):
        """A root holding systemd's own units and a stand-in for the command."""
        root = tempfile.mkdtemp(prefix="root-", dir=self.folder)
        system_units = None
        for candidate in ("/usr/lib/systemd/system", "/lib/systemd/system"):
            if os.path.isfile(os.path.join(candidate, "sysinit.target")):
                system_units = candidate
                break
        if system_units is None:
            self.skipTest("no systemd unit folder with sysinit.target on this machine")
        shutil.copytree(system_units, os.path.join(root, "usr/lib/systemd/system"), symlinks=True)
        os.makedirs(os.path.join(root, "etc/systemd/system"))
        stand_in = os.path.join(root, command.lstrip("/"))
        os.makedirs(os.path.dirname(stand_in), exist_ok=True)
        with open(stand_in, "w") as handle:
            handle.write("#!/bin/sh\n")
        os.chmod(stand_in, 0o755)
        return root

    def test_verify_reports_nothing(self):
        for label, name, text in flavours():
            with self.subTest(unit=label):
                command = PIP_COMMAND if label.startswith("pip ") else PACKAGE_COMMAND
                root = self.make_root(command)
                with open(os.path.join(root, "etc/systemd/system", name), "w") as handle:
                    handle.write(text)
                result = self.run_analyze("verify", "--man=no", "--root=" + root, name)
                self.assertEqual((result.returncode, result.stdout), (0, ""))

    def test_verify_catches_a_fault_in_a_unit(self):
        # The check above can fail: a misspelt setting and a missing command
        # are both reported.
        name = OFF
        with open(os.path.join(EXAMPLES, name)) as handle:
            text = handle.read()
        root = self.make_root(PIP_COMMAND)
        with open(os.path.join(root, "etc/systemd/system", name), "w") as handle:
            handle.write(text.replace("DevicePolicy=closed", "DevicePolicy=clsed"))
        result = self.run_analyze("verify", "--man=no", "--root=" + root, name)
        self.assertIn("device policy", result.stdout)
        os.remove(os.path.join(root, PIP_COMMAND.lstrip("/")))
        result = self.run_analyze("verify", "--man=no", "--root=" + root, name)
        self.assertNotEqual(result.returncode, 0)

    def test_syscall_filter_lets_the_command_through(self):
        # The filter is built from systemd's groups, whose members change
        # between releases: each call the command makes on its roads must
        # stay allowed (a denied one fails with EPERM).
        needed = {"ioctl", "openat", "read", "close", "getdents64", "readlinkat", "newfstatat",
                  "clock_nanosleep", "rt_sigaction", "rt_sigreturn", "execve", "mmap",
                  "mprotect", "getrandom", "exit_group", "write"}
        for label, name, text in flavours():
            with self.subTest(unit=label):
                service = parse_unit(text)["Service"]
                allowed, denied = set(), set()
                for value in service.get("SystemCallFilter", []):
                    deny = value.startswith("~")
                    names = self.expand(value.lstrip("~").split())
                    (denied if deny else allowed).update(names)
                self.assertTrue(allowed)
                permitted = allowed - denied
                self.assertEqual(sorted(needed - permitted), [])

    def expand(self, names):
        result = set()
        for name in names:
            if not name.startswith("@"):
                result.add(name)
                continue
            listing = self.run_analyze("syscall-filter", "--no-pager", name)
            self.assertEqual(listing.returncode, 0, listing.stdout)
            for line in listing.stdout.splitlines():
                word = line.strip()
                if word and not word.startswith(("#", "@")) and word != name:
                    result.add(word)
                elif word.startswith("@") and word != name:
                    result.update(self.expand([word]))
        return result


if __name__ == "__main__":
    unittest.main()
