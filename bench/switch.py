"""Cost of one switch of the camera LED through tallowick.CameraLED, against
the bare switch of the same line, under one interpreter and one emulated
board.

    python switch.py --board NAME [--rounds N] [--round-ms MS]

tools/bench runs it once per board (VCIOEMU_REVISION, VCIOEMU_GPIO) and
interpreter, with the firmware emulator preloaded and the build's package
tree on PYTHONPATH, and prints one JSON document on standard output. The
bare switch is what CameraLED's road comes down to: on the kernel's roads
Line.set of a request made directly through tallowick._kernel, on the
firmware road pyTallowick's SetState. Both contenders alternate on and off,
so that every call changes the level; each timing round takes every
contender in turn, with a fresh object whose first switch (the line's
request) happens before the clock starts.
"""

from __future__ import print_function

import argparse
import json
import platform
import sys
import timeit

import pyTallowick
from tallowick import CameraLED, _kernel

from bench import CPU_TIMER, calibrate, quartiles

# What the contenders' statements call; set before each run.
subject = None

STATEMENTS = {
    "empty": "pass",
    "led": "subject.on(); subject.off()",
    "kernel": "subject.set(True); subject.set(False)",
    "firmware": "subject.SetState(1); subject.SetState(0)",
}


class Road(object):
    """Where the board's camera LED is, asked of the core as CameraLED asks
    it: the chip label and offset of the kernel's road, or the firmware line
    where the kernel offers no chip for it."""

    def __init__(self):
        found = _kernel.board_revision()
        if found is None:
            raise SystemExit("switch.py: the emulated board tells no revision")
        self.code = found[0]
        road, line, _ = _kernel.camera_led(self.code)
        self.kind = "kernel"
        if road == "soc":
            self.label, self.offset = _kernel.SOC_CHIP, line
        else:
            self.label, self.offset = _kernel.EXPANDER_CHIP, line - _kernel.FIRST_EXPANDER_LINE
            if _kernel.find_chip(self.label) is None:
                self.kind, self.line = "firmware", line

    def describe(self):
        if self.kind == "firmware":
            return "firmware line %d through /dev/vcio" % self.line
        return "line %d of %s" % (self.offset, self.label)

    def bare(self, level=False):
        """The bare line, an output at level, and what lets it go."""
        if self.kind == "firmware":
            led = pyTallowick.Tallowick()
            if led.Open(self.line) < 0:
                raise SystemExit("switch.py: Open(%d) refused" % self.line)
            led.SetState(1 if level else 0)
            return led, led.Close
        chip = _kernel.find_chip(self.label)
        line = chip.request(self.offset, "bench", level)

        def close():
            line.release()
            chip.close()

        return line, close

    def level(self):
        """The line's level as a fresh request finds it."""
        if self.kind == "firmware":
            led = pyTallowick.Tallowick()
            led.Open(self.line)
            try:
                return bool(led.GetState())
            finally:
                led.Close()
        chip = _kernel.find_chip(self.label)
        line = chip.request(self.offset, "bench")
        try:
            return bool(line.get())
        finally:
            line.release()
            chip.close()


def camera_led():
    led = CameraLED()
    led.off()
    return led, led.close


def check(road):
    """Both contenders must drive the same line before their costs mean
    anything: what CameraLED leaves, a bare request reads."""
    for value in (True, False):
        led, close = camera_led()
        if value:
            led.on()
        else:
            led.off()
        close()
        if road.level() != value:
            raise SystemExit("switch.py: CameraLED and %s disagree" % road.describe())


def runner(key, make):
    """A run of the statement number times on a fresh object: ns."""
    timer = timeit.Timer(STATEMENTS[key], "from __main__ import subject", timer=CPU_TIMER)

    def run(number):
        global subject
        subject, close = make()
        try:
            return timer.timeit(number) * 1e9
        finally:
            close()
            subject = None

    return run


def measure(contenders, rounds, round_ns):
    numbers = dict((key, calibrate(run, round_ns)) for key, run in contenders)
    samples = dict((key, []) for key, _ in contenders)
    ratios = []
    for index in range(rounds):
        shift = index % len(contenders)
        this_round = {}
        for key, run in contenders[shift:] + contenders[:shift]:
            this_round[key] = run(numbers[key]) / numbers[key]
            samples[key].append(this_round[key])
        ratios.append((this_round["led"] - this_round["empty"]) / (this_round["bare"] - this_round["empty"]))
    return numbers, samples, ratios


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--board", required=True)
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument("--round-ms", type=float, default=10.0)
    options = parser.parse_args()

    road = Road()
    check(road)
    contenders = [
        ("empty", runner("empty", lambda: (None, lambda: None))),
        ("led", runner("led", camera_led)),
        ("bare", runner(road.kind, road.bare)),
    ]
    numbers, samples, ratios = measure(contenders, options.rounds, options.round_ms * 1e6)
    results = {}
    for key, values in samples.items():
        results[key] = quartiles(values)
        results[key]["number"] = numbers[key]
    json.dump(
        {
            "kind": "switch",
            "board": options.board,
            "revision": "0x%x" % road.code,
            "road": road.describe(),
            "python": platform.python_version(),
            "executable": sys.executable,
            "rounds": options.rounds,
            "statements": {"led": STATEMENTS["led"], "bare": STATEMENTS[road.kind]},
            "results": results,
            "ratio": quartiles(ratios),
        },
        sys.stdout,
        indent=1,
        sort_keys=True,
    )
    print()


if __name__ == "__main__":
    main()
