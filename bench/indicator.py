"""The camera LED indicator (`tallowick indicate`) as a user runs it, against
the firmware emulator on an emulated Zero W: how soon its line follows a
change of the camera's power, and what it costs while nothing changes.

    python3 indicator.py --emulator LIB --python EXE FOLDER [--python EXE FOLDER]
                         [--flips N] [--idle-seconds S]

Each interpreter runs `EXE -u -m tallowick indicate` from FOLDER (a build's
complete package tree) as a child process, with the emulator serving the
regulator class from a folder this script lays out. For the first interpreter
the camera's regulator is flipped N times at random moments, so that the
changes fall anywhere between two of the indicator's reads; each flip is
timed from the rename that makes it to the arrival of the line that reports
it. Then every interpreter's child is left alone for S seconds and its
processor time over that span is read from /proc. One JSON document goes to
standard output; bench/report.py prints it.
"""

import argparse
import json
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ZERO_W = "0x9000c1"
LIT = "LED on: camera powered"
DARK = "LED off: camera not powered"
# Pauses between one reported change and the next flip: long enough that
# every flip is a change the indicator can see on its own, and random, so
# that the flips do not keep step with its reads.
PAUSE = (0.15, 0.4)
# A change not reported within this is lost, not late.
LOST_AFTER = 5.0
# Time the indicator gets after its first line (or the last flip) before its
# idle processor time is counted: the imports and the first switch are not
# idle work.
SETTLE = 1.0


class Fault(Exception):
    """The indicator did not behave as it promises; the report says how."""


class Regulator(object):
    """The camera's regulator as the kernel's regulator class shows it, in a
    folder of our own that the emulator serves as /sys/class/regulator."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="bench-regulators-")
        device = os.path.join(self.root, "regulator.3")
        os.mkdir(device)
        with open(os.path.join(device, "name"), "w") as stream:
            stream.write("cam1-reg\n")
        self.state = os.path.join(device, "state")
        self.enabled = None
        self.set(False)

    def set(self, enabled):
        """Makes the change in one rename, so that a read never meets a half
        written file; returns the moment right after it."""
        scratch = self.state + ".new"
        with open(scratch, "w") as stream:
            stream.write("enabled\n" if enabled else "disabled\n")
        os.rename(scratch, self.state)
        flipped = time.monotonic()
        self.enabled = enabled
        return flipped

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def child_environment(emulator, folder, regulators):
    env = dict(os.environ)
    # -u alone decides the buffering of what is read here line by line.
    for name in ("PYTHONUNBUFFERED", "PYTHONPATH", "PYTHONHOME", "VCIOEMU_TRACE", "VCIOEMU_FAULTS", "VCIOEMU_GPIO"):
        env.pop(name, None)
    env.update(
        LD_PRELOAD=os.path.abspath(emulator),
        VCIOEMU_REVISION=ZERO_W,
        VCIOEMU_REGULATORS=regulators,
        PYTHONPATH=os.path.abspath(folder),
        PYTHONDONTWRITEBYTECODE="1",
    )
    return env


class Indicator(object):
    """One `tallowick indicate` process, its standard output read as it
    comes and each line stamped with the moment it arrived."""

    def __init__(self, python, folder, emulator, regulator):
        self.python = python
        # A neutral folder: -m puts the working folder first on sys.path, and
        # the checkout has a folder named like the package.
        self.cwd = tempfile.mkdtemp(prefix="bench-indicator-")
        self.errors = tempfile.TemporaryFile(mode="w+")
        self.process = subprocess.Popen(
            [python, "-u", "-m", "tallowick", "indicate"],
            env=child_environment(emulator, folder, regulator.root),
            cwd=self.cwd,
            stdout=subprocess.PIPE,
            stderr=self.errors,
        )
        self.pending = b""
        self.lines = []  # (text, arrival)

    def stderr(self):
        self.errors.seek(0)
        return self.errors.read().strip()

    def fault(self, what):
        return Fault("%s\n  command: %s -u -m tallowick indicate\n  its standard error:\n    %s" % (
            what, self.python, self.stderr().replace("\n", "\n    ") or "(nothing)"))

    def read_some(self, timeout):
        """Whatever arrived within timeout, split into stamped lines."""
        ready, _, _ = select.select([self.process.stdout], [], [], max(timeout, 0.0))
        if not ready:
            return
        chunk = os.read(self.process.stdout.fileno(), 4096)
        arrival = time.monotonic()
        if not chunk:
            status = self.process.wait()
            raise self.fault("the indicator ended on its own, with status %s" % status)
        self.pending += chunk
        while b"\n" in self.pending:
            line, self.pending = self.pending.split(b"\n", 1)
            self.lines.append((line.decode("utf-8", "replace"), arrival))

    def next_line(self, timeout):
        """(text, arrival) of the next line, or None when none came in time."""
        deadline = time.monotonic() + timeout
        while not self.lines:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            self.read_some(left)
        return self.lines.pop(0)

    def expect(self, text, timeout=LOST_AFTER):
        got = self.next_line(timeout)
        if got is None:
            raise self.fault("no %r within %g s" % (text, timeout))
        if got[0] != text:
            raise self.fault("%r where %r was due" % (got[0], text))
        return got[1]

    def quiet(self):
        """Raises unless nothing came since the last line taken."""
        self.read_some(0)
        if self.lines:
            raise self.fault("%r while nothing changed" % (self.lines[0][0],))

    def stop(self):
        """SIGTERM, as systemd stops it: it must switch the LED off and end
        with status 0."""
        self.process.send_signal(signal.SIGTERM)
        try:
            status = self.process.wait(timeout=LOST_AFTER)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise self.fault("still running %g s after SIGTERM" % LOST_AFTER)
        finally:
            self.process.stdout.close()
            shutil.rmtree(self.cwd, ignore_errors=True)
        if status != 0:
            raise self.fault("ended with status %s after SIGTERM" % status)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
        self.errors.close()
        shutil.rmtree(self.cwd, ignore_errors=True)


class ProcessorTime(object):
    """Processor seconds a process has had so far: the sum over its threads
    of the first field of schedstat (nanoseconds on a processor), or where
    the kernel has no schedstat, utime + stime of /proc/<pid>/stat (clock
    ticks, so only good to a tick)."""

    def __init__(self, pid):
        self.pid = pid
        self.source = "schedstat" if os.path.exists("/proc/%d/schedstat" % pid) else "stat"

    def seconds(self):
        if self.source == "schedstat":
            return self.from_schedstat()
        return self.from_stat()

    def from_schedstat(self):
        total = 0
        folder = "/proc/%d/task" % self.pid
        for task in os.listdir(folder):
            with open(os.path.join(folder, task, "schedstat")) as stream:
                total += int(stream.read().split()[0])
        return total / 1e9

    def from_stat(self):
        with open("/proc/%d/stat" % self.pid) as stream:
            # Fields after the command name, which may hold spaces: utime and
            # stime are fields 14 and 15 of the whole line.
            fields = stream.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / float(os.sysconf("SC_CLK_TCK"))


def measure_latency(indicator, regulator, flips):
    """Milliseconds from each flip to its line; stops at a lost change."""
    latencies = []
    for number in range(flips):
        time.sleep(random.uniform(*PAUSE))
        flipped = regulator.set(not regulator.enabled)
        got = indicator.next_line(LOST_AFTER)
        if got is None:
            return latencies, number + 1
        expected = LIT if regulator.enabled else DARK
        if got[0] != expected:
            raise indicator.fault("flip %d: %r where %r was due" % (number + 1, got[0], expected))
        latencies.append((got[1] - flipped) * 1e3)
    return latencies, None


def start_sleeper(python, interval, env):
    """The floor of an idle cost: the same interpreter doing nothing but
    sleep the indicator's interval, again and again. What a wake-up costs
    depends on the machine (a virtual machine's timers are dear), and no
    poll at this interval costs less."""
    return subprocess.Popen(
        [python, "-c", "import sys, time\nwhile True:\n    time.sleep(float(sys.argv[1]))\n", str(interval)],
        env=env,
        stdout=subprocess.DEVNULL,
    )


def measure_idle(indicator, sleeper, seconds):
    """Processor time of the indicator and of the sleeper over the same
    span, once the indicator has settled."""
    clocks = [ProcessorTime(indicator.process.pid), ProcessorTime(sleeper.pid)]
    time.sleep(SETTLE)
    indicator.quiet()
    start_cpu, start = [clock.seconds() for clock in clocks], time.monotonic()
    time.sleep(seconds)
    end_cpu, end = [clock.seconds() for clock in clocks], time.monotonic()
    indicator.quiet()
    if sleeper.poll() is not None:
        raise indicator.fault("the sleeping floor process ended with status %s" % sleeper.returncode)
    return {
        "cpu_s": end_cpu[0] - start_cpu[0],
        "floor_cpu_s": end_cpu[1] - start_cpu[1],
        "wall_s": end - start,
        "source": clocks[0].source,
    }


def interpreter_facts(python, folder, emulator, regulator):
    """The interpreter's version and the indicator's interval between two
    reads, as the child would import them."""
    cwd = tempfile.mkdtemp(prefix="bench-indicator-")
    try:
        answer = subprocess.check_output(
            [python, "-c", "import platform; from tallowick import indicator; "
             "print(platform.python_version()); print(indicator.INTERVAL)"],
            env=child_environment(emulator, folder, regulator.root),
            cwd=cwd,
            universal_newlines=True,
        ).split()
    finally:
        os.rmdir(cwd)
    return {"python": answer[0], "executable": python, "interval_s": float(answer[1])}


def run_one(python, folder, emulator, flips, idle_seconds):
    """The figures of one interpreter; a fault ends its measurement and is
    kept beside what was measured before it."""
    regulator = Regulator()
    indicator = sleeper = None
    try:
        result = interpreter_facts(python, folder, emulator, regulator)
        indicator = Indicator(python, folder, emulator, regulator)
        sleeper = start_sleeper(python, result["interval_s"], child_environment(emulator, folder, regulator.root))
        try:
            follow(indicator, regulator, flips, idle_seconds, sleeper, result)
        except Fault as fault:
            result["fault"] = str(fault)
        return result
    finally:
        if sleeper is not None:
            sleeper.kill()
            sleeper.wait()
        if indicator is not None:
            indicator.kill()
        regulator.remove()


def follow(indicator, regulator, flips, idle_seconds, sleeper, result):
    """Flips, idles and stops one indicator, filling in result as it goes."""
    indicator.expect(DARK, timeout=30.0)  # the first start may compile
    if flips:
        latencies, lost = measure_latency(indicator, regulator, flips)
        result.update(flips=flips, latency_ms=latencies)
        if lost is not None:
            raise indicator.fault("flip %d: no line within %g s" % (lost, LOST_AFTER))
        # Idle with the camera off, as the indicator spends most of its life.
        if regulator.enabled:
            regulator.set(False)
            indicator.expect(DARK)
    result["idle"] = measure_idle(indicator, sleeper, idle_seconds)
    indicator.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--python", nargs=2, action="append", required=True, metavar=("EXE", "FOLDER"))
    parser.add_argument("--flips", type=int, default=100)
    parser.add_argument("--idle-seconds", type=float, default=20.0)
    options = parser.parse_args()

    runs = []
    for index, (python, folder) in enumerate(options.python):
        # The latency is the same loop under every interpreter; the first
        # one's figure is the one the target is judged on.
        flips = options.flips if index == 0 else 0
        print("the indicator under %s: %d flips, %g s idle ..." % (python, flips, options.idle_seconds),
              file=sys.stderr)
        runs.append(run_one(python, folder, options.emulator, flips, options.idle_seconds))
    json.dump(
        {"kind": "indicator", "board": "Zero W (%s)" % ZERO_W, "pause_s": PAUSE, "runs": runs},
        sys.stdout,
        indent=1,
        sort_keys=True,
    )
    print()


if __name__ == "__main__":
    main()
