"""Turns the documents of the bench's measurements into its report.

    python report.py DOCUMENT.json ...

Each document says what it holds by its "kind": the per-call cost of
bench/bench.py (one per interpreter; the default), the per-switch cost of
bench/switch.py (one per board and interpreter) and the camera LED
indicator's figures of bench/indicator.py. Each kind present gets its table,
with its targets and whether they are met.

Per-call table: ns/call is the median time of a call with timeit's empty
loop subtracted; overhead is the median difference between a run of the call
and a run of the same emulated request made from C alone right after it (the
emulator's cost is everyone's), less timeit's loop; xabs(1) compares an
overhead with the cheapest builtin call, and the peer columns say how many
times our overhead fits into the peer's.
"""

from __future__ import print_function

import json
import math
import sys

# (key, label, C floor it is measured against, peers compared with)
ROWS = [
    ("set", "SetState(1)", "c_set", ("py_set", "ctypes_set")),
    ("get", "GetState()", "c_get", ("py_get", "ctypes_get")),
    ("open_close", "Open()+Close()", "c_open_close", ("py_open_close",)),
    ("open_kw_close", "Open(led_pin=134)+Close()", "c_open_close", ("py_open_close",)),
    ("set_float", "SetState(2.9)", "c_set", ("py_set", "ctypes_set")),
    ("set_large", "SetState(2**31-1)", "c_set", ("py_set", "ctypes_set")),
    ("py_set", "peer fcntl.ioctl+struct: set", "c_set", ()),
    ("py_get", "peer fcntl.ioctl+struct: get", "c_get", ()),
    ("py_open_close", "peer os.open+os.close", "c_open_close", ()),
    ("ctypes_set", "peer ctypes ioctl: set", "c_set", ()),
    ("ctypes_get", "peer ctypes ioctl: get", "c_get", ()),
    ("abs", "floor abs(1)", None, ()),
    ("c_set", "floor C request: set", None, ()),
    ("c_get", "floor C request: get", None, ()),
    ("c_open_close", "floor C open+close", None, ()),
    ("empty", "timeit empty loop", None, ()),
]
C_KEYS = ("c_set", "c_get", "c_open_close")
PEER_NAMES = {"py_set": "fcntl", "py_get": "fcntl", "py_open_close": "os", "ctypes_set": "ctypes", "ctypes_get": "ctypes"}

# Goals for SetState and GetState: overhead at most 2x abs(1), and at least
# 6x (fcntl+struct) and 12x (ctypes) below the peers' overheads.
GOAL_FLOOR = 2.0
GOAL_PEER = {"fcntl": 6.0, "ctypes": 12.0}


class Run(object):
    def __init__(self, document):
        self.python = document["python"]
        self.rounds = document["rounds"]
        self.results = document["results"]

    def ns(self, key):
        """Median ns per call; Python figures without timeit's loop."""
        median = self.results[key]["median"]
        if key in C_KEYS or key == "empty":
            return median
        return median - self.results["empty"]["median"]

    def spread(self, key):
        return (self.results[key]["q3"] - self.results[key]["q1"]) / 2

    def overhead(self, key, floor):
        """Median of the differences to the C floor run right after each
        run, less timeit's loop; without a floor, ns/call itself."""
        if not floor:
            return self.ns(key)
        return self.results[key]["minus_floor"]["median"] - self.results["empty"]["median"]


def ratio(numerator, denominator):
    if denominator <= 0:
        return float("nan")
    return numerator / denominator


def cells(run, key, floor):
    ns = "%.1f+-%.0f" % (run.ns(key), run.spread(key))
    if key in C_KEYS or key == "empty":
        return [ns, "", ""]
    overhead = run.overhead(key, floor)
    return [ns, "%.1f" % overhead, "%.2f" % ratio(overhead, run.ns("abs"))]


def print_table(header, rows, widths):
    line = "  ".join(cell.rjust(width) if i else cell.ljust(width) for i, (cell, width) in enumerate(zip(header, widths)))
    print(line)
    print("-" * len(line))
    for row in rows:
        print("  ".join(cell.rjust(width) if i else cell.ljust(width) for i, (cell, width) in enumerate(zip(row, widths))))


def print_calls(runs):
    """The per-call tables; the number of goals missed."""
    print(
        "Per-call cost against the firmware emulator: medians of %s timing rounds (+- half the interquartile range)."
        % "/".join(str(run.rounds) for run in runs)
    )
    print("Processor time. ns/call: timeit's empty loop subtracted; overhead: ns/call minus the same")
    print("request made from C alone (median of paired runs);")
    print("xabs: overhead / the abs(1) floor.")
    print()
    header = ["contender"]
    for run in runs:
        header += ["ns/call %s" % run.python, "overhead", "xabs"]
    rows = []
    for key, label, floor, _ in ROWS:
        row = [label]
        for run in runs:
            row += cells(run, key, floor)
        rows.append(row)
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    print_table(header, rows, widths)

    print()
    print("Goals for SetState and GetState: overhead <= %gx abs(1); peers' overheads >= %gx (fcntl+struct)" % (GOAL_FLOOR, GOAL_PEER["fcntl"]))
    print("and >= %gx (ctypes) ours. Peer columns: the peer's overhead / ours." % GOAL_PEER["ctypes"])
    print()
    header = ["call"]
    for run in runs:
        header += ["%s xabs" % run.python, "fcntl/ours", "ctypes/ours"]
    rows = []
    missed = 0
    for key, label, floor, peers in ROWS:
        if not peers:
            continue
        row = [label]
        for run in runs:
            ours = run.overhead(key, floor)
            value = ratio(ours, run.ns("abs"))
            judged = key in ("set", "get")
            ok = value <= GOAL_FLOOR
            missed += judged and not ok
            row.append("%.2f%s" % (value, (" ok" if ok else " MISSED") if judged else ""))
            by_peer = {}
            for peer in peers:
                by_peer[PEER_NAMES[peer]] = ratio(run.overhead(peer, floor), ours)
            for name in ("fcntl", "ctypes"):
                if name not in by_peer and not (name == "fcntl" and "os" in by_peer):
                    row.append("")
                    continue
                value = by_peer.get(name, by_peer.get("os"))
                ok = name not in GOAL_PEER or value >= GOAL_PEER[name]
                if judged:
                    missed += not ok
                row.append("%.1f%s" % (value, (" ok" if ok else " MISSED") if judged else ""))
        rows.append(row)
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    print_table(header, rows, widths)
    print("(Open rows: the fcntl column compares with os.open+os.close.)")
    return missed


# ---------------------------------------------------- CameraLED per switch

# CameraLED.on()/off() may cost at most this many times the bare switch.
GOAL_SWITCH = 1.5


def verdict(ok):
    return "ok" if ok else "MISSED"


def print_switches(documents):
    """The per-switch table; the number of goals missed."""
    print(
        "Per switch of the camera LED: CameraLED.on()/off() alternating, against the bare switch of the same"
    )
    print(
        "line (Line.set of a request made through tallowick._kernel; pyTallowick's SetState on the firmware road);"
    )
    print(
        "medians of %s timing rounds, processor time, timeit's empty loop subtracted. ratio: median over the"
        % "/".join(sorted(set(str(document["rounds"]) for document in documents)))
    )
    print("rounds of CameraLED / bare. Goal: ratio <= %g on every board." % GOAL_SWITCH)
    print()
    header = ["board", "road", "python", "CameraLED ns", "bare ns", "overhead ns", "ratio"]
    rows = []
    missed = 0
    for document in documents:
        results = document["results"]
        empty = results["empty"]["median"]
        led = (results["led"]["median"] - empty) / 2
        bare = (results["bare"]["median"] - empty) / 2
        ratio_ = document["ratio"]["median"]
        ok = ratio_ <= GOAL_SWITCH
        missed += not ok
        rows.append([
            "%s (%s)" % (document["board"], document["revision"]),
            document["road"],
            document["python"],
            "%.1f" % led,
            "%.1f" % bare,
            "%.1f" % (led - bare),
            "%.2f %s" % (ratio_, verdict(ok)),
        ])
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    print_table(header, rows, widths)
    print("(The emulator answers a line's set inside the process, with no system call; a Pi's kernel takes one,")
    print("so there the bare switch costs more and the same overhead weighs less.)")
    return missed


# -------------------------------------------------------- the indicator

# A change of the camera's power shows on the LED within this in all but
# one of a hundred changes, and typically within half of it.
GOAL_LATENCY_MS = 250.0
GOAL_WITHIN = 0.99
GOAL_MEDIAN_MS = GOAL_LATENCY_MS / 2
# Idle, the indicator takes at most this share of one core, in percent.
GOAL_IDLE_PERCENT = 0.1


def nearest_rank(ordered, fraction):
    """The smallest sample with at least fraction of the samples at or below it."""
    return ordered[max(0, int(math.ceil(fraction * len(ordered))) - 1)]


def print_latency(run, pause):
    """The latency lines of one run; the number of goals missed."""
    latencies = sorted(run["latency_ms"])
    if not latencies:
        print("latency: no flip measured")
        return 1
    within = sum(1 for value in latencies if value <= GOAL_LATENCY_MS)
    median = median_of(latencies)
    ok_within = within >= GOAL_WITHIN * run["flips"]
    ok_median = median <= GOAL_MEDIAN_MS
    print(
        "latency from a change of the camera's power to its line, %d flips %g-%g s apart, Python %s:"
        % (run["flips"], pause[0], pause[1], run["python"])
    )
    print(
        "  median %.1f ms, p99 %.1f ms, max %.1f ms; %d of %d within %g ms"
        % (median, nearest_rank(latencies, 0.99), latencies[-1], within, run["flips"], GOAL_LATENCY_MS)
    )
    print(
        "  goals: <= %g ms in %d%% of the flips: %s; median <= %g ms: %s"
        % (GOAL_LATENCY_MS, GOAL_WITHIN * 100, verdict(ok_within), GOAL_MEDIAN_MS, verdict(ok_median))
    )
    return (not ok_within) + (not ok_median)


def median_of(ordered):
    middle = len(ordered) // 2
    if len(ordered) % 2:
        return ordered[middle]
    return (ordered[middle - 1] + ordered[middle]) / 2.0


def print_idle(runs):
    """The idle table; the number of goals missed."""
    measured = [run for run in runs if "idle" in run]
    if not measured:
        return 0
    idle = measured[0]["idle"]
    print()
    print(
        "idle, %.0f s with nothing changing, processor time from /proc (%s), in %% of one core; the floor is"
        % (idle["wall_s"], idle["source"])
    )
    print(
        "the same interpreter doing nothing but sleep the indicator's interval, over the same span. Goal: <= %g%%."
        % GOAL_IDLE_PERCENT
    )
    header = ["python", "indicator %", "floor %", "above floor %", "us per read", "goal"]
    rows = []
    missed = 0
    for run in measured:
        idle = run["idle"]
        share = 100.0 * idle["cpu_s"] / idle["wall_s"]
        floor = 100.0 * idle["floor_cpu_s"] / idle["wall_s"]
        reads = idle["wall_s"] / run["interval_s"]
        ok = share <= GOAL_IDLE_PERCENT
        missed += not ok
        rows.append([
            run["python"],
            "%.3f" % share,
            "%.3f" % floor,
            "%.3f" % (share - floor),
            "%.0f" % (idle["cpu_s"] / reads * 1e6),
            verdict(ok),
        ])
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    print_table(header, rows, widths)
    return missed


def print_indicator(document):
    """The indicator's figures; the number of goals missed."""
    runs = document["runs"]
    print(
        "The camera LED indicator, python -u -m tallowick indicate, on an emulated %s, reading the camera's power"
        % document["board"]
    )
    print("every %g s." % runs[0]["interval_s"])
    missed = 0
    for run in runs:
        if "latency_ms" in run:
            missed += print_latency(run, document["pause_s"])
    missed += print_idle(runs)
    for run in runs:
        if "fault" in run:
            missed += 1
            print("FAULT under Python %s: %s" % (run["python"], run["fault"]))
    return missed


def main(paths):
    documents = []
    for path in paths:
        with open(path) as stream:
            documents.append(json.load(stream))
    calls = [Run(document) for document in documents if document.get("kind", "calls") == "calls"]
    switches = [document for document in documents if document.get("kind") == "switch"]
    indicators = [document for document in documents if document.get("kind") == "indicator"]
    missed = 0
    sections = 0
    for present, printer in ((calls, print_calls), (switches, print_switches)):
        if present:
            if sections:
                print()
            missed += printer(present)
            sections += 1
    for document in indicators:
        if sections:
            print()
        missed += print_indicator(document)
        sections += 1
    print()
    print("goals: %s" % ("all met" if not missed else "%d missed" % missed))


if __name__ == "__main__":
    main(sys.argv[1:])
