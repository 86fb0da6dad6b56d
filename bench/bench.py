"""Per-call cost of pyTallowick against its peers, under one interpreter.

Runs inside the interpreter being measured, with the firmware emulator
preloaded, and prints one JSON document on standard output: the median
nanoseconds per call of each contender (and the quartiles), from timing rounds
that take every contender in turn, so that a slow spell of a noisy machine
falls on all of them alike. tools/bench runs it once per flavour and
bench/report.py turns the documents into the table.

Contenders:
  - the module's calls (SetState, GetState, Open+Close, with the arguments
    each code path takes);
  - the peers a Pi user writes without the module: fcntl.ioctl with struct,
    and ctypes calling the C library's ioctl, both sending the same 32-byte
    property buffer;
  - the floors: timeit's empty loop (subtracted from every Python figure),
    the cheapest call of a one-argument builtin, abs(1), and the same
    emulated requests made from C alone (bench/request_floor.cpp).

    python bench.py --floor-library PATH [--rounds N] [--round-ms MS]
"""

from __future__ import print_function

import argparse
import array
import ctypes
import fcntl
import json
import os
import platform
import struct
import sys
import time
import timeit

import pyTallowick

VCIO = "/dev/vcio"
OPEN_FLAGS = os.O_RDONLY | os.O_NONBLOCK
LINE = 134
SET_GPIO_STATE = 0x00038041
GET_GPIO_STATE = 0x00030041
STATUS_SUCCESS = 0x80000000
# _IOWR(100, 0, char *): the property request as a process of this word size
# encodes it.
PROPERTY_REQUEST = (3 << 30) | (ctypes.sizeof(ctypes.c_void_p) << 16) | (100 << 8)
# The largest value SetState accepts. On this 64-bit build it is an int
# (Python 2.7) or a two-digit long of 30-bit digits (Python 3), both read
# directly; only on a build with 15-bit digits does it take PyLong_AsLong.
LARGE_INT = 2 ** 31 - 1


# ---------------------------------------------------------------- the peers

_PROPERTY = struct.Struct("<8I")
_STATUS = struct.Struct("<I")
_VALUE = struct.Struct("<2I")


def _checked(buf):
    status = _STATUS.unpack_from(buf, 4)[0]
    if status != STATUS_SUCCESS:
        raise OSError("RPi firmware returned 0x%08x" % status)


def py_set_state(fd, line, state):
    """Pure Python: the buffer packed with struct into a mutable array (the
    kind of buffer fcntl.ioctl can write back into under 2.7 and 3), sent
    with fcntl.ioctl."""
    buf = array.array("B", _PROPERTY.pack(32, 0, SET_GPIO_STATE, 8, 0, line, 1 if state else 0, 0))
    fcntl.ioctl(fd, PROPERTY_REQUEST, buf, True)
    _checked(buf)
    return 0


def py_get_state(fd, line):
    buf = array.array("B", _PROPERTY.pack(32, 0, GET_GPIO_STATE, 8, 0, line, 0, 0))
    fcntl.ioctl(fd, PROPERTY_REQUEST, buf, True)
    _checked(buf)
    return _VALUE.unpack_from(buf, 20)[1]


# The process's own ioctl, found the way the dynamic linker finds it for any
# caller: on a Pi the C library's, here the emulator's stand-in in front of
# it. (A handle on "libc.so.6" itself would look past the stand-in.)
_libc = ctypes.CDLL(None, use_errno=True)
_ioctl = _libc.ioctl
_ioctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.POINTER(ctypes.c_uint32)]
_ioctl.restype = ctypes.c_int
_Buffer = ctypes.c_uint32 * 8


def _ctypes_request(fd, buf):
    if _ioctl(fd, PROPERTY_REQUEST, buf) == -1:
        err = ctypes.get_errno()
        raise OSError(err, os.strerror(err))
    if buf[1] != STATUS_SUCCESS:
        raise OSError("RPi firmware returned 0x%08x" % buf[1])


def ctypes_set_state(fd, line, state):
    """ctypes: the buffer as a ctypes array, sent with the C library's ioctl."""
    _ctypes_request(fd, _Buffer(32, 0, SET_GPIO_STATE, 8, 0, line, 1 if state else 0, 0))
    return 0


def ctypes_get_state(fd, line):
    buf = _Buffer(32, 0, GET_GPIO_STATE, 8, 0, line, 0, 0)
    _ctypes_request(fd, buf)
    return buf[6]


# -------------------------------------------------------------- contenders

# (key, statement timed by timeit, the C floor measured right after it). The
# statement's names come from SETUP.
PYTHON_CONTENDERS = [
    ("empty", "pass", None),
    ("abs", "abs(1)", None),
    ("set", "led.SetState(1)", "c_set"),
    ("get", "led.GetState()", "c_get"),
    ("open_close", "closed.Open(); closed.Close()", "c_open_close"),
    ("open_kw_close", "closed.Open(led_pin=134); closed.Close()", "c_open_close"),
    ("set_float", "led.SetState(2.9)", "c_set"),
    ("set_large", "led.SetState(large)", "c_set"),
    ("py_set", "py_set_state(fd, 134, 1)", "c_set"),
    ("py_get", "py_get_state(fd, 134)", "c_get"),
    ("py_open_close", "os.close(os.open(VCIO, OPEN_FLAGS))", "c_open_close"),
    ("ctypes_set", "ctypes_set_state(fd, 134, 1)", "c_set"),
    ("ctypes_get", "ctypes_get_state(fd, 134)", "c_get"),
]
SETUP = (
    "from __main__ import led, closed, large, fd, os, VCIO, OPEN_FLAGS, "
    "py_set_state, py_get_state, ctypes_set_state, ctypes_get_state"
)
# Processor time of the process, not wall time: a run that the scheduler
# interrupts for another process's work is not charged for it. The C loops
# read the same clock.
if hasattr(time, "process_time"):
    CPU_TIMER = time.process_time
else:
    CPU_TIMER = time.clock  # Python 2.7 on Linux: processor time of the process

led = pyTallowick.Tallowick()
closed = pyTallowick.Tallowick()
large = LARGE_INT
fd = -1


class CFloor(object):
    """The C loops of bench/request_floor.cpp."""

    def __init__(self, path):
        lib = ctypes.CDLL(path)
        self.requests = lib.bench_requests_ns
        self.requests.argtypes = [ctypes.c_int, ctypes.c_uint32, ctypes.c_uint32, ctypes.c_uint32, ctypes.c_uint]
        self.requests.restype = ctypes.c_longlong
        self.open_close = lib.bench_open_close_ns
        self.open_close.argtypes = [ctypes.c_char_p, ctypes.c_uint]
        self.open_close.restype = ctypes.c_longlong

    def contenders(self, device):
        path = VCIO.encode("ascii")
        return [
            ("c_set", lambda n: self.requests(device, SET_GPIO_STATE, LINE, 1, n)),
            ("c_get", lambda n: self.requests(device, GET_GPIO_STATE, LINE, 0, n)),
            ("c_open_close", lambda n: self.open_close(path, n)),
        ]


def python_runner(statement):
    timer = timeit.Timer(statement, SETUP, timer=CPU_TIMER)

    def run(number):
        return timer.timeit(number) * 1e9

    return run


def c_runner(loop):
    def run(number):
        ns = loop(number)
        if ns < 0:
            raise RuntimeError("a C request failed")
        return float(ns)

    return run


def calibrate(run, round_ns):
    """Loop count for which one run takes about round_ns."""
    number = 16
    while True:
        ns = max(run(number), 1.0)
        if ns >= round_ns / 4 or number >= 1 << 26:
            return max(1, int(number * round_ns / ns))
        number *= 4


def quartiles(samples):
    ordered = sorted(samples)
    last = len(ordered) - 1

    def at(fraction):
        position = last * fraction
        low = int(position)
        high = min(low + 1, last)
        return ordered[low] + (ordered[high] - ordered[low]) * (position - low)

    q1, median, q3 = at(0.25), at(0.5), at(0.75)
    return {"q1": q1, "median": median, "q3": q3}


def measure(contenders, floors, rounds, round_ns):
    """Per-call samples of every contender and floor, and for each contender
    with a floor the difference to a run of that floor made right after it,
    so that both sides of a difference share the machine's state."""
    numbers = {}
    for key, run, _ in contenders:
        numbers[key] = calibrate(run, round_ns)
    for key, run in floors.items():
        numbers[key] = calibrate(run, round_ns)
    samples = dict((key, []) for key in numbers)
    differences = dict((key, []) for key, _, floor in contenders if floor)

    def per_call(key, run):
        ns = run(numbers[key]) / numbers[key]
        samples[key].append(ns)
        return ns

    for index in range(rounds):
        # Each round starts with another contender, so that none always runs
        # right after the same neighbour.
        shift = index % len(contenders)
        for key, run, floor in contenders[shift:] + contenders[:shift]:
            ns = per_call(key, run)
            if floor:
                differences[key].append(ns - per_call(floor, floors[floor]))
    return numbers, samples, differences


def main():
    global fd
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--floor-library", required=True)
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument("--round-ms", type=float, default=10.0)
    options = parser.parse_args()

    if led.Open() < 0:
        raise SystemExit("Open() failed")
    fd = os.open(VCIO, OPEN_FLAGS)
    floor_fd = os.open(VCIO, OPEN_FLAGS)
    try:
        # Every contender must work before its cost means anything.
        assert led.SetState(1) == 0 and led.GetState() == 1
        assert py_set_state(fd, LINE, 1) == 0 and py_get_state(fd, LINE) == 1
        assert ctypes_set_state(fd, LINE, 1) == 0 and ctypes_get_state(fd, LINE) == 1

        contenders = [(key, python_runner(statement), floor) for key, statement, floor in PYTHON_CONTENDERS]
        floors = dict((key, c_runner(loop)) for key, loop in CFloor(options.floor_library).contenders(floor_fd))
        numbers, samples, differences = measure(contenders, floors, options.rounds, options.round_ms * 1e6)
    finally:
        os.close(floor_fd)
        os.close(fd)
        led.Close()

    results = {}
    for key, values in samples.items():
        results[key] = quartiles(values)
        results[key]["number"] = numbers[key]
        if key in differences:
            results[key]["minus_floor"] = quartiles(differences[key])
    statements = dict((key, statement) for key, statement, _ in PYTHON_CONTENDERS)
    json.dump(
        {
            "python": platform.python_version(),
            "executable": sys.executable,
            "rounds": options.rounds,
            "statements": statements,
            "results": results,
        },
        sys.stdout,
        indent=1,
        sort_keys=True,
    )
    print()


if __name__ == "__main__":
    main()
