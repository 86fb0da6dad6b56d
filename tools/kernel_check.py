#!/usr/bin/env python3
"""The two runners of tools/kernel-check and the comparison of their answers.

    kernel_check.py emulator --product DIR --library LIB --out FILE
        every scenario under the LD_PRELOAD emulator, each in a process of
        its own (the emulator's state lives and dies with the process)
    kernel_check.py kernel --product DIR --out FILE
        every scenario on gpio-sim; inside the virtual machine, as root
    kernel_check.py compare EMULATOR.json KERNEL.json
        one line per scenario; a difference names the scenario, what
        differs and both answers, and fails (exit status 1)

DIR is the build's folder of the module and the tallowick package. The
scenarios are kernel_scenarios.py's. Each answer is the command's exit
status, its standard output, the class of each line on standard error
("error:", "warning:", ...) and the text, what a Python action recorded,
and the level, direction and holder of the board's watched lines after the
action (and while a long-running one held its line).

Python 3 only.
"""

import argparse
import ctypes
import fcntl
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kernel_scenarios as table  # noqa: E402

# A command that has not ended by then is stopped and its scenario fails.
COMMAND_TIMEOUT = 120
# How long a long-running command may take to take its line.
HOLD_TIMEOUT = 60
POLL = 0.02
# The product's messages are compared as text: one language on both sides.
LOCALE = "C.UTF-8"


# ---------------------------------------------------------------------------
# What both sides record


def message_classes(text):
    """The first word of each line when it ends with a colon ("error:",
    "warning:"), else "text"."""
    classes = []
    for line in text.splitlines():
        word = line.split(" ", 1)[0]
        classes.append(word if word.endswith(":") else "text")
    return classes


def line_key(line):
    return "chip %d line %d" % line


def answer(status, stdout, stderr, records, observations):
    return {
        "exit": status,
        "stdout": stdout,
        "messages": message_classes(stderr),
        "stderr": stderr,
        "records": records,
        "lines": observations,
    }


def flatten(result):
    """One comparable value per key, so that a difference names itself."""
    if "failure" in result:
        return {"runner": result["failure"]}
    flat = {
        "exit status": result["exit"],
        "standard output": result["stdout"],
        "message classes": result["messages"],
        "standard error": result["stderr"],
    }
    for label, value in result["records"]:
        flat["answer %s" % label] = value
    for moment, lines in sorted(result["lines"].items()):
        for line, state in sorted(lines.items()):
            for what in ("level", "direction", "holder"):
                flat["%s of %s %s" % (what, line, moment)] = state.get(what)
    return flat


def differences(emulator, kernel):
    """(scenario, what, emulator's answer, kernel's answer) for each
    difference, in the table's order."""
    found = []
    for scenario in table.SCENARIOS:
        mine, theirs = emulator.get(scenario.name), kernel.get(scenario.name)
        if mine is None or theirs is None:
            found.append((scenario.name, "run", "ran" if mine else "missing", "ran" if theirs else "missing"))
            continue
        mine, theirs = flatten(mine), flatten(theirs)
        for key in sorted(set(mine) | set(theirs)):
            if mine.get(key, "(none)") != theirs.get(key, "(none)"):
                found.append((scenario.name, key, mine.get(key, "(none)"), theirs.get(key, "(none)")))
    return found


class Captured(object):
    """Standard output and error of this process, descriptors 1 and 2
    included, into files until the block ends: what the product writes
    through Python and what a C library writes alike."""

    def __enter__(self):
        sys.stdout.flush()
        sys.stderr.flush()
        self.saved = (os.dup(1), os.dup(2))
        self.files = (tempfile.TemporaryFile(), tempfile.TemporaryFile())
        os.dup2(self.files[0].fileno(), 1)
        os.dup2(self.files[1].fileno(), 2)
        return self

    def __exit__(self, *_):
        sys.stdout.flush()
        sys.stderr.flush()
        for fd, saved in zip((1, 2), self.saved):
            os.dup2(saved, fd)
            os.close(saved)
        self.stdout, self.stderr = (self.read(f) for f in self.files)
        return False

    @staticmethod
    def read(f):
        f.seek(0)
        text = f.read().decode("utf-8", "replace")
        f.close()
        return text


def product_environment(product):
    """The product's whole environment, the same on both sides: nothing of
    the caller's (PYTHONUNBUFFERED, VCIOEMU_*, a locale) reaches it."""
    env = {
        "PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
        "PYTHONPATH": product,
        "LC_ALL": LOCALE,
        # Bytecode stays out of the product's folder on both sides alike.
        "PYTHONDONTWRITEBYTECODE": "1",
    }
    return env


class HeldWatcher(threading.Thread):
    """Looks at the lines once the first watched line is held by a request,
    then sends this process SIGTERM, as a user stops the command. Ends
    without a signal when the action ends first."""

    def __init__(self, observer, line, observations):
        threading.Thread.__init__(self)
        self.daemon = True
        self.observer = observer
        self.line = line
        self.observations = observations
        self.finished = threading.Event()
        self.error = None

    def run(self):
        deadline = time.monotonic() + HOLD_TIMEOUT
        try:
            while not self.finished.is_set() and time.monotonic() < deadline:
                if self.observer.requested(self.line):
                    self.observations["while held"] = self.observer.look()
                    break
                time.sleep(POLL)
            else:
                return
        except Exception:
            # The command is stopped all the same, or it would hold forever.
            self.error = traceback.format_exc()
        os.kill(os.getpid(), signal.SIGTERM)


def perform_in_process(scenario, observer):
    """Runs the scenario's action in this process, the product imported
    from sys.path: the emulator's side runs every action so, since its
    board lives in the process; the kernel's side its Python actions."""
    from tallowick import camera, command

    observations = {}
    records = []

    def observe(label):
        observations[label] = observer.look()

    def record(label, value):
        records.append([label, value])

    watcher = None
    with Captured() as output:
        if scenario.command is not None:
            if scenario.until_held:
                watcher = HeldWatcher(observer, scenario.watch[0], observations)
                watcher.start()
            try:
                status = command.main(scenario.command)
            except SystemExit as leaving:
                status = leaving.code
            if watcher is not None:
                watcher.finished.set()
                watcher.join()
                if watcher.error is not None:
                    record("watcher failed", watcher.error)
        else:
            try:
                table.PYTHON_ACTIONS[scenario.python](camera, observe, record)
                status = "returned"
            except camera.CameraLEDError as error:
                status = "raised CameraLEDError"
                record("exception", str(error))
    if scenario.persist == "Y":
        observations["after"] = observer.look()
    return answer(status, output.stdout, output.stderr, records, observations)


# ---------------------------------------------------------------------------
# The emulator's side

GPIO_V2_GET_LINEINFO_IOCTL = 0xC100B405
LINE_INFO_SIZE = 256
FLAG_USED = 1


def line_info(fd, offset):
    """(used, consumer) of a line, as the character device tells it."""
    info = bytearray(LINE_INFO_SIZE)
    struct.pack_into("=I", info, 64, offset)
    fcntl.ioctl(fd, GPIO_V2_GET_LINEINFO_IOCTL, info, True)
    consumer = bytes(info[32:64]).split(b"\0", 1)[0].decode("ascii", "replace")
    flags = struct.unpack_from("=Q", info, 72)[0]
    return bool(flags & FLAG_USED), consumer


class EmulatorObserver(object):
    """The watched lines as the emulator keeps them: level and direction
    from its inspection interface, the holder from the line's information
    on chip descriptors opened before any fault was set up."""

    def __init__(self, library, board, watch):
        self.lib = ctypes.CDLL(library)
        for name in ("vcioemu_gpio_line_value", "vcioemu_gpio_line_output", "vcioemu_gpio_line_requested"):
            getattr(self.lib, name).argtypes = [ctypes.c_uint, ctypes.c_uint]
            getattr(self.lib, name).restype = ctypes.c_int
        self.lib.vcioemu_gpio_configure.argtypes = [ctypes.c_char_p]
        self.lib.vcioemu_gpio_configure.restype = ctypes.c_int
        self.watch = watch
        self.chips = [os.open("/dev/gpiochip%d" % number, os.O_RDONLY | os.O_CLOEXEC)
                      for number in range(len(board.chips()))]

    def configure(self, words):
        if words and self.lib.vcioemu_gpio_configure(",".join(words).encode("ascii")) != 0:
            raise RuntimeError("the emulator cannot use %s" % ",".join(words))

    def requested(self, line):
        return self.lib.vcioemu_gpio_line_requested(*line) == 1

    def look(self):
        lines = {}
        for chip, offset in self.watch:
            used, consumer = line_info(self.chips[chip], offset)
            lines[line_key((chip, offset))] = {
                "level": self.lib.vcioemu_gpio_line_value(chip, offset),
                "direction": "output" if self.lib.vcioemu_gpio_line_output(chip, offset) == 1 else "input",
                "holder": (consumer or "?") if used else None,
            }
        return lines


def emulator_words(scenario):
    """The emulator's words for what is done to the board beforehand, given
    once the observer holds its chip descriptors."""
    words = ["pull=%d:%d:%s" % (line + (pull,)) for line, pull in sorted(scenario.pulls.items())]
    words += ["hold=%d:%d:%s" % (line + (consumer,)) for line, consumer in sorted(scenario.holds.items())]
    # gpio-sim's chips are root's alone, as a Pi's are the gpio group's.
    if scenario.unprivileged:
        words.append("chips=EACCES")
    return words


def write_regulators(folder, regulators):
    """regulator.N/name and state files, as the kernel's regulator class
    shows them."""
    for number, (name, state) in enumerate(sorted(regulators.items())):
        device = os.path.join(folder, "regulator.%d" % number)
        os.mkdir(device)
        for attribute, value in (("name", name), ("state", state)):
            with open(os.path.join(device, attribute), "w") as f:
                f.write(value + "\n")


def emulator_row(name, product, library, out):
    """One scenario, inside the process the emulator is preloaded into."""
    scenario = next(s for s in table.SCENARIOS if s.name == name)
    observer = EmulatorObserver(library, scenario.board, scenario.watch)
    observer.configure(emulator_words(scenario))
    sys.path.insert(0, product)
    result = perform_in_process(scenario, observer)
    with open(out, "w") as f:
        json.dump(result, f)


def board_words(scenario):
    """The emulator's words for the board itself, given when it is loaded:
    a change of the chips afterwards would take the observer's descriptors
    away."""
    # x86 has no device tree: the revision comes from /proc/cpuinfo there,
    # so it does here.
    words = ["no-device-tree"]
    # The emulator gives every board of the Pi 3 and 4 families an expander
    # chip; the table says when the kernel has none.
    if not scenario.board.expander:
        words.append("no-expander")
    if scenario.persist is None:
        words.append("persist=none")
    return words


def emulator_environment(scenario, product, library, regulators):
    env = product_environment(product)
    env.update({
        "LD_PRELOAD": library,
        "VCIOEMU_REVISION": "0x%x" % scenario.board.revision,
        "VCIOEMU_GPIO": ",".join(board_words(scenario)),
        # Nor has the virtual machine a mailbox.
        "VCIOEMU_FAULTS": "open=ENOENT",
        "VCIOEMU_REGULATORS": regulators,
    })
    return env


def emulator_scenario(scenario, product, library):
    with tempfile.TemporaryDirectory(prefix="kernel-check-") as work:
        regulators = os.path.join(work, "regulator")
        os.mkdir(regulators)
        write_regulators(regulators, scenario.regulators)
        out = os.path.join(work, "answer.json")
        try:
            child = subprocess.run(
                [sys.executable, os.path.abspath(__file__), "emulator-row", scenario.name,
                 "--product", product, "--library", library, "--out", out],
                env=emulator_environment(scenario, product, library, regulators), cwd="/",
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=COMMAND_TIMEOUT)
        except subprocess.TimeoutExpired as expired:
            return {"failure": "runner still running after %ds: %s" % (
                COMMAND_TIMEOUT, (expired.output or b"").decode("utf-8", "replace").strip())}
        if child.returncode != 0 or not os.path.exists(out):
            return {"failure": "runner ended with status %d: %s" % (
                child.returncode, child.stdout.decode("utf-8", "replace").strip())}
        with open(out) as f:
            return json.load(f)


def run_emulator_side(product, library):
    return {scenario.name: emulator_scenario(scenario, product, library) for scenario in table.SCENARIOS}


# ---------------------------------------------------------------------------
# The kernel's side: gpio-sim, inside the virtual machine

CONFIGFS = "/sys/kernel/config/gpio-sim"
DEBUGFS_GPIO = "/sys/kernel/debug/gpio"
TRACE = "/sys/kernel/tracing/trace"
TRACE_EVENTS = "/sys/kernel/tracing/events/gpio/enable"
CLASS_GPIO = "/sys/class/gpio"
MODULES = "/sys/module"
PERSIST = os.path.join(MODULES, "pinctrl_bcm2835", "parameters", "persist_gpio_outputs")
REGULATOR_CLASS = "/sys/class/regulator"
WORK = "/tmp/kernel-check"
CPUINFO = os.path.join(WORK, "cpuinfo")
NOBODY = 65534

DEBUGFS_CHIP = re.compile(r"^(gpiochip\d+): ")
DEBUGFS_LINE = re.compile(r"^\s*gpio-(\d+)\s+\((.*)\)\s+(input|output-high|output-low)\b")
TRACE_SET = re.compile(r"gpio_value: (\d+) set (\d+)")


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def read(path):
    with open(path) as f:
        return f.read().strip()


def parse_debugfs(text):
    """{chip name: {offset: (holder, direction)}} of gpio-sim's listing."""
    chips = {}
    lines = None
    for row in text.splitlines():
        header = DEBUGFS_CHIP.match(row)
        if header:
            lines = chips.setdefault(header.group(1), {})
            continue
        line = DEBUGFS_LINE.match(row)
        if line and lines is not None:
            holder = line.group(2)
            lines[int(line.group(1))] = (None if holder == "<unused>" else holder,
                                         "input" if line.group(3) == "input" else "output")
    return chips


def last_sets(text):
    """{global line number: the level last set}, from the kernel's
    gpio_value trace events."""
    levels = {}
    for match in TRACE_SET.finditer(text):
        levels[int(match.group(1))] = int(match.group(2))
    return levels


class GpioSim(object):
    """One gpio-sim device standing for a board: a bank per chip, named
    lines, and hogs for the lines the kernel holds. Made afresh for each
    scenario and removed after it; never changed while live, which the
    kernel does not survive."""

    def __init__(self, scenario, number):
        self.root = os.path.join(CONFIGFS, "kernel-check-%d" % number)
        self.made = []
        holds = scenario.all_holds()
        self.mkdir(self.root)
        for chip, (label, count) in enumerate(scenario.board.chips()):
            bank = self.bank(chip)
            self.mkdir(bank)
            write(os.path.join(bank, "label"), label)
            write(os.path.join(bank, "num_lines"), str(count))
        for chip, offset in sorted(set(scenario.board.names) | set(holds)):
            line = os.path.join(self.bank(chip), "line%d" % offset)
            self.mkdir(line)
            if (chip, offset) in scenario.board.names:
                write(os.path.join(line, "name"), scenario.board.names[(chip, offset)])
            if (chip, offset) in holds:
                direction, consumer = holds[(chip, offset)]
                self.mkdir(os.path.join(line, "hog"))
                write(os.path.join(line, "hog", "name"), consumer)
                write(os.path.join(line, "hog", "direction"), direction)
        write(os.path.join(self.root, "live"), "1")
        self.live = True
        device = read(os.path.join(self.root, "dev_name"))
        self.chip_names = [read(os.path.join(self.bank(chip), "chip_name"))
                           for chip in range(len(scenario.board.chips()))]
        self.sysfs = ["/sys/devices/platform/%s/%s" % (device, name) for name in self.chip_names]
        self.bases = [self.base(label) for label, _ in scenario.board.chips()]

    def bank(self, chip):
        return os.path.join(self.root, "bank%d" % chip)

    def mkdir(self, path):
        os.mkdir(path)
        self.made.append(path)

    @staticmethod
    def base(label):
        """The chip's first global line number, which the trace events give."""
        for entry in os.listdir(CLASS_GPIO):
            folder = os.path.join(CLASS_GPIO, entry)
            if entry.startswith("gpiochip") and read(os.path.join(folder, "label")) == label:
                return int(read(os.path.join(folder, "base")))
        raise RuntimeError("no %s in %s" % (label, CLASS_GPIO))

    def pull(self, line, pull):
        write(os.path.join(self.sysfs[line[0]], "sim_gpio%d" % line[1], "pull"), "pull-%s" % pull)

    def remove(self):
        if self.live:
            write(os.path.join(self.root, "live"), "0")
            self.live = False
        for path in reversed(self.made):
            os.rmdir(path)
        self.made = []


class KernelObserver(object):
    """The watched lines as the kernel shows them: holder and direction in
    gpio-sim's debugfs listing, the level in its sysfs value. gpio-sim sets
    a released line's value back to its pull, which no Pi does, so the
    level of an output is the one last set on it since the scenario began,
    from the kernel's own gpio_value trace events: the level the product
    left it at."""

    def __init__(self, sim, watch, holds):
        self.sim = sim
        self.watch = watch
        self.holds = holds

    def look(self):
        listing = parse_debugfs(read(DEBUGFS_GPIO))
        with open(TRACE) as f:
            sets = last_sets(f.read())
        lines = {}
        for chip, offset in self.watch:
            holder, direction = listing.get(self.sim.chip_names[chip], {}).get(offset, ("unreadable", "unreadable"))
            level = int(read(os.path.join(self.sim.sysfs[chip], "sim_gpio%d" % offset, "value")))
            if direction == "output":
                level = sets.get(self.sim.bases[chip] + offset, level)
            lines[line_key((chip, offset))] = {"level": level, "direction": direction, "holder": holder}
        return lines

    def requested(self, line):
        """Held by a request rather than by the kernel's own hog."""
        holder = self.look()[line_key(line)]["holder"]
        hog = self.holds.get(line)
        return holder is not None and (hog is None or holder != hog[1])


def watch_held(process, observer, line, observations):
    """Looks at the lines once the command holds the line, then stops it
    with SIGTERM, as a user does."""
    deadline = time.monotonic() + HOLD_TIMEOUT
    while process.poll() is None and time.monotonic() < deadline:
        if observer.requested(line):
            observations["while held"] = observer.look()
            process.send_signal(signal.SIGTERM)
            return
        time.sleep(POLL)


def kernel_command(scenario, observer, product):
    argv = [sys.executable, "-m", "tallowick"] + scenario.command
    if scenario.unprivileged:
        argv = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups", "--"] + argv
    observations = {}
    process = subprocess.Popen(argv, env=product_environment(product), cwd="/",
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        if scenario.until_held:
            watch_held(process, observer, scenario.watch[0], observations)
        stdout, stderr = process.communicate(timeout=COMMAND_TIMEOUT)
    finally:
        # Nothing may hold a line of the device about to be removed.
        if process.poll() is None:
            process.kill()
            process.wait()
    if scenario.persist == "Y":
        observations["after"] = observer.look()
    return answer(process.returncode, stdout.decode("utf-8", "replace"), stderr.decode("utf-8", "replace"), [],
                  observations)


def set_regulators(regulators):
    for entry in os.listdir(REGULATOR_CLASS):
        shutil.rmtree(os.path.join(REGULATOR_CLASS, entry))
    write_regulators(REGULATOR_CLASS, regulators)


def set_persist(persist):
    """The parameter the product reads, in the tmpfs over /sys/module."""
    if persist is None:
        if os.path.exists(PERSIST):
            os.remove(PERSIST)
        return
    os.makedirs(os.path.dirname(PERSIST), exist_ok=True)
    write(PERSIST, persist + "\n")


def kernel_scenario(scenario, number, product):
    sim = GpioSim(scenario, number)
    try:
        for line, pull in sorted(scenario.pulls.items()):
            sim.pull(line, pull)
        write(CPUINFO, "processor\t: 0\nRevision\t: %04x\n" % scenario.board.revision)
        set_regulators(scenario.regulators)
        set_persist(scenario.persist)
        write(TRACE, "")
        observer = KernelObserver(sim, scenario.watch, scenario.all_holds())
        if scenario.command is not None:
            return kernel_command(scenario, observer, product)
        return perform_in_process(scenario, observer)
    finally:
        sim.remove()


def prepare_kernel_side(product):
    """The product where any user reads it, the revision file bound over
    /proc/cpuinfo, an empty regulator class, a module parameter folder of
    our own (gpio-sim's machine has no pinctrl-bcm2835) and the GPIO trace
    events on."""
    os.makedirs(WORK, exist_ok=True)
    copy = os.path.join(WORK, "python")
    shutil.copytree(product, copy)
    write(CPUINFO, "")
    subprocess.run(["mount", "--bind", CPUINFO, "/proc/cpuinfo"], check=True)
    for folder in (REGULATOR_CLASS, MODULES):
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "kernel-check", folder], check=True)
    write(TRACE_EVENTS, "1")
    return copy


def run_kernel_side(product):
    product = prepare_kernel_side(product)
    sys.path.insert(0, product)
    results = {}
    for number, scenario in enumerate(table.SCENARIOS):
        started = time.monotonic()
        try:
            results[scenario.name] = kernel_scenario(scenario, number, product)
        except Exception:
            results[scenario.name] = {"failure": traceback.format_exc()}
        sys.stderr.write("[kernel-check] %-48s %.1fs\n" % (scenario.name, time.monotonic() - started))
        sys.stderr.flush()
    return results


# ---------------------------------------------------------------------------


def compare(emulator_path, kernel_path, out=sys.stdout):
    with open(emulator_path) as f:
        emulator = json.load(f)
    with open(kernel_path) as f:
        kernel = json.load(f)
    found = differences(emulator, kernel)
    differing = set(name for name, _, _, _ in found)
    for scenario in table.SCENARIOS:
        out.write("%-4s %s\n" % ("DIFF" if scenario.name in differing else "ok", scenario.name))
    for name, what, mine, theirs in found:
        out.write("difference in %r, %s:\n    emulator: %s\n    kernel:   %s\n" % (
            name, what, json.dumps(mine), json.dumps(theirs)))
    out.write("%d passed, %d failed\n" % (len(table.SCENARIOS) - len(differing), len(differing)))
    return 1 if found else 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    emulator = commands.add_parser("emulator")
    row = commands.add_parser("emulator-row")
    row.add_argument("name")
    kernel = commands.add_parser("kernel")
    for sub in (emulator, row, kernel):
        sub.add_argument("--product", required=True)
        sub.add_argument("--out", required=True)
    for sub in (emulator, row):
        sub.add_argument("--library", required=True)
    comparison = commands.add_parser("compare")
    comparison.add_argument("emulator")
    comparison.add_argument("kernel")
    args = parser.parse_args(argv)
    # Children run from the root folder, away from this source tree.
    for name in ("product", "library"):
        if getattr(args, name, None):
            setattr(args, name, os.path.abspath(getattr(args, name)))

    if args.command == "compare":
        return compare(args.emulator, args.kernel)
    problems = table.problems()
    if problems:
        sys.stderr.write("".join("kernel-check: %s\n" % p for p in problems))
        return 2
    if args.command == "emulator-row":
        emulator_row(args.name, args.product, args.library, args.out)
        return 0
    if args.command == "emulator":
        results = run_emulator_side(args.product, args.library)
    else:
        results = run_kernel_side(args.product)
    with open(args.out, "w") as f:
        json.dump(results, f, indent=1, sort_keys=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
