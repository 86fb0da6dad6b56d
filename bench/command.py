"""Cost of the tallowick command as whole processes, against the bare import
of the module by the same interpreter, all with the firmware emulator
preloaded (tools/bench sets LD_PRELOAD).

    python3 command.py VENV [--rounds N]

VENV holds the package as pip installed it: its console script is what a
user runs. Each round starts every contender once, in turn, so that a slow
spell of a noisy machine falls on all of them alike; the figures are medians
of the processor time (user + system) of each process, with wall time beside.
"""

from __future__ import print_function

import argparse
import os
import subprocess
import sys
import tempfile
import time


def contenders(venv):
    python = os.path.join(venv, "bin", "python")
    return [
        ('python -c "import pyTallowick"', [python, "-c", "import pyTallowick"]),
        ("tallowick off", [os.path.join(venv, "bin", "tallowick"), "off"]),
        ("python -m tallowick off", [python, "-m", "tallowick", "off"]),
    ]


def run_once(command, env, cwd):
    """(processor seconds, wall seconds) of one process."""
    start = time.perf_counter()
    process = subprocess.Popen(command, env=env, cwd=cwd, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    # Reaped here for its resource usage; Popen must not wait for it again.
    process.returncode = os.WEXITSTATUS(status) if os.WIFEXITED(status) else -os.WTERMSIG(status)
    if process.returncode != 0:
        raise SystemExit("%s failed with status %s" % (" ".join(command), process.returncode))
    return usage.ru_utime + usage.ru_stime, wall


def median(values):
    ordered = sorted(values)
    return ordered[len(ordered) // 2]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("venv")
    parser.add_argument("--rounds", type=int, default=61)
    args, _ = parser.parse_known_args()
    if "LD_PRELOAD" not in os.environ:
        raise SystemExit("command.py: preload the firmware emulator (LD_PRELOAD)")

    # The environment's own packages only, compiled as pip left them.
    env = dict(os.environ)
    for name in ("PYTHONPATH", "PYTHONDONTWRITEBYTECODE", "VCIOEMU_TRACE", "VCIOEMU_FAULTS"):
        env.pop(name, None)
    entries = contenders(args.venv)
    cpu = dict((name, []) for name, _ in entries)
    wall = dict((name, []) for name, _ in entries)
    # A neutral folder: the checkout has a folder named like the package.
    cwd = tempfile.mkdtemp()
    try:
        for _, command in entries:  # warm the file cache
            run_once(command, env, cwd)
        for round_number in range(args.rounds):
            shift = round_number % len(entries)
            for name, command in entries[shift:] + entries[:shift]:
                seconds, elapsed = run_once(command, env, cwd)
                cpu[name].append(seconds)
                wall[name].append(elapsed)
    finally:
        os.rmdir(cwd)

    base_name = entries[0][0]
    base_cpu, base_wall = median(cpu[base_name]), median(wall[base_name])
    print("whole processes against the emulator, %s, %d rounds (medians)"
          % (os.path.realpath(os.path.join(args.venv, "bin", "python")), args.rounds))
    print("%-32s %12s %8s %12s %8s" % ("", "cpu ms", "x", "wall ms", "x"))
    for name, _ in entries:
        c, w = median(cpu[name]), median(wall[name])
        print("%-32s %12.2f %8.2f %12.2f %8.2f" % (name, c * 1e3, c / base_cpu, w * 1e3, w / base_wall))


if __name__ == "__main__":
    sys.exit(main())
