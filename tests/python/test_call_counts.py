"""The module's cost rules, observed: the calls it makes into the interpreter's
dictionary and integer functions and into the heap, counted per call.

A child interpreter runs with the call-counting library preloaded beside the
emulator (tests/callcount): the dynamic linker sends the module's calls to
those names through the library, which counts each call whose return address
lies in the module's own code. The child performs each call in its own window
and reports the counts; the tests here judge them.
"""

import json
import os
import subprocess
import sys
import unittest

import support

LIBRARY = os.environ.get("PYTALLOWICK_CALLCOUNT_LIBRARY")

DRIVER = r"""
import ctypes, json, os, sys
import pyTallowick

lib = ctypes.CDLL(os.environ["PYTALLOWICK_CALLCOUNT_LIBRARY"])
lib.callcount_watch.argtypes = [ctypes.c_char_p]
lib.callcount_calls.argtypes = [ctypes.c_char_p]
lib.callcount_calls.restype = ctypes.c_ulong
lib.callcount_live_blocks.restype = ctypes.c_uint
lib.callcount_allocation_sizes.argtypes = [ctypes.POINTER(ctypes.c_size_t), ctypes.c_uint]
lib.callcount_allocation_sizes.restype = ctypes.c_uint
if lib.callcount_watch(os.path.abspath(pyTallowick.__file__).encode()) != 0:
    raise SystemExit("the module's code was not found among the loaded objects")

lib.callcount_name.argtypes = [ctypes.c_uint]
lib.callcount_name.restype = ctypes.c_char_p
NAMES = []
while lib.callcount_name(len(NAMES)) is not None:
    NAMES.append(lib.callcount_name(len(NAMES)).decode())


def attempt(action):
    try:
        action()
    except Exception as error:
        return type(error).__name__
    return None


def counted(action):
    # Warm up first: the first call of a code path may fill caches of the
    # interpreter's; the counted call is the second.
    attempt(action)
    lib.callcount_reset()
    raised = attempt(action)
    live = lib.callcount_live_blocks()
    sizes = (ctypes.c_size_t * 16)()
    allocations = lib.callcount_allocation_sizes(sizes, 16)
    counts = dict((name, lib.callcount_calls(name.encode())) for name in NAMES)
    return {"calls": counts, "live": live, "sizes": list(sizes[:min(allocations, 16)]), "raised": raised}


closed = pyTallowick.Tallowick()
led = pyTallowick.Tallowick()
led.Open()


# Each Open is followed by a Close, which adds no call of the kinds counted.
# The calls are written out: a call through *args, **kwargs would hand the
# module an empty keyword dictionary instead of none.
def close_after(opened):
    closed.Close()
    return opened


report = {
    "Open()": counted(lambda: close_after(closed.Open())),
    "Open(7)": counted(lambda: close_after(closed.Open(7))),
    "Open(led_pin=7)": counted(lambda: close_after(closed.Open(led_pin=7))),
    "Open(pin=3)": counted(lambda: closed.Open(pin=3)),
    "Open(led_pin=3, pin=4)": counted(lambda: closed.Open(led_pin=3, pin=4)),
    "Open(1, led_pin=2)": counted(lambda: closed.Open(1, led_pin=2)),
    # Requests and conversions.
    "SetState(1)": counted(lambda: led.SetState(1)),
    "SetState(5)": counted(lambda: led.SetState(5)),
    "SetState(True)": counted(lambda: led.SetState(True)),
    "SetState(-1)": counted(lambda: led.SetState(-1)),
    "SetState(2**30-1)": counted(lambda: led.SetState(2 ** 30 - 1)),
    "SetState(2**70)": counted(lambda: led.SetState(2 ** 70)),
    "GetState()": counted(lambda: led.GetState()),
}
led.Close()
json.dump(report, sys.stdout)
"""


def shared_runtime(python):
    """Whether the interpreter runs its runtime from a shared libpython:
    only then do the module's calls into it pass through the dynamic linker,
    where a preloaded library can see them."""
    code = "import sys; print(any('libpython' in line for line in open('/proc/self/maps')))"
    return subprocess.check_output([python, "-c", code]).decode().strip() == "True"


def module_imports():
    """Names the module takes from other objects, from its dynamic symbol
    table; None when nm is not at hand."""
    try:
        output = subprocess.check_output(["nm", "-D", "--undefined-only", support.pyTallowick.__file__])
    except (OSError, subprocess.CalledProcessError):
        return None
    return set(line.split()[-1].split("@")[0] for line in output.decode().splitlines() if line.strip())


@unittest.skipUnless(LIBRARY, "PYTALLOWICK_CALLCOUNT_LIBRARY is not set (the suite sets it)")
class CallCounts(support.TestCase):
    report = None

    @classmethod
    def setUpClass(cls):
        env = support.child_env()
        env["LD_PRELOAD"] = "%s %s" % (os.environ["VCIOEMU_LIBRARY"], LIBRARY)
        process = subprocess.Popen(
            [sys.executable, "-c", DRIVER],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=env,
            cwd=support.TESTS_DIR,
        )
        out, err = process.communicate()
        if process.returncode != 0:
            raise AssertionError("counting child failed (%d): %s" % (process.returncode, err.decode("utf-8", "replace")))
        cls.report = json.loads(out.decode())
        # Every case reports every function the library counts.
        cls.counted = set(cls.report["GetState()"]["calls"])
        cls.interpreter_seen = shared_runtime(sys.executable)

    def calls(self, case, *names):
        counts = self.report[case]["calls"]
        return dict((name, counts[name]) for name in names)

    def interpreter_calls(self, case, *names):
        if not self.interpreter_seen:
            self.skipTest("this interpreter carries its runtime in its executable: the module's calls to it bind there")
        return self.calls(case, *names)

    def dictionary_calls(self, case):
        return self.interpreter_calls(case, *[name for name in sorted(self.counted) if name.startswith("PyDict_")])

    def test_every_dictionary_function_the_module_imports_is_counted(self):
        imports = module_imports()
        if imports is None:
            self.skipTest("nm is not available")
        dictionary = set(name for name in imports if name.startswith("PyDict_"))
        self.assertTrue(dictionary, "the module imports no dictionary function at all?")
        self.assertEqual(dictionary - self.counted, set())

    def test_open_without_keywords_makes_no_dictionary_call_and_no_object_for_the_default(self):
        for case in ("Open()", "Open(7)"):
            with self.subTest(case=case):
                self.assertEqual(set(self.dictionary_calls(case).values()), {0}, self.dictionary_calls(case))
                # The one integer the module makes is the descriptor it returns.
                boxed = self.interpreter_calls(case, "PyLong_FromLong", "PyInt_FromLong")
                self.assertEqual(sum(boxed.values()), 1, boxed)
                self.assertEqual(self.report[case]["calls"]["PyLong_AsLong"], 0)

    def lookups(self, calls):
        """Plain lookups by key, whichever of the two lookup calls made them."""
        return calls.pop("PyDict_GetItem") + calls.pop("PyDict_GetItemWithError")

    def test_open_with_led_pin_keyword_is_one_size_and_one_lookup(self):
        calls = self.dictionary_calls("Open(led_pin=7)")
        self.assertEqual(calls.pop("PyDict_Size"), 1)
        self.assertEqual(self.lookups(calls), 1)
        self.assertEqual(calls.pop("PyDict_Next"), 0)
        self.assertEqual(set(calls.values()), {0}, calls)

    def test_other_keywords_take_the_scan(self):
        # The scan is seen, which also shows that the counting sees the
        # module's dictionary calls at all.
        for case, lookups in (("Open(pin=3)", 1), ("Open(led_pin=3, pin=4)", 1), ("Open(1, led_pin=2)", 0)):
            with self.subTest(case=case):
                self.assertEqual(self.report[case]["raised"], "TypeError")
                calls = self.dictionary_calls(case)
                self.assertEqual(calls["PyDict_Size"], 1)
                self.assertEqual(self.lookups(calls), lookups)
                self.assertGreaterEqual(calls["PyDict_Next"], 1)

    def test_small_integers_convert_without_an_interpreter_call(self):
        for case in ("SetState(1)", "SetState(5)", "SetState(True)", "SetState(2**30-1)"):
            with self.subTest(case=case):
                calls = self.interpreter_calls(case, "PyLong_AsLong", "PyErr_Occurred", "PyLong_FromLong", "PyInt_FromLong")
                self.assertEqual(calls.pop("PyLong_AsLong"), 0)
                self.assertEqual(calls.pop("PyErr_Occurred"), 0)
                # Only the result 0 is boxed.
                self.assertEqual(sum(calls.values()), 1, calls)

    def test_minus_one_asks_for_a_pending_exception_once(self):
        calls = self.interpreter_calls("SetState(-1)", "PyLong_AsLong", "PyErr_Occurred")
        self.assertEqual(calls, {"PyLong_AsLong": 0, "PyErr_Occurred": 1})

    def test_a_wide_integer_goes_through_the_interpreter(self):
        self.assertEqual(self.report["SetState(2**70)"]["raised"], "OverflowError")
        calls = self.interpreter_calls("SetState(2**70)", "PyLong_AsLong")
        self.assertEqual(calls["PyLong_AsLong"], 1)

    def test_each_request_allocates_one_32_byte_buffer_and_frees_it_before_returning(self):
        for case in ("SetState(1)", "GetState()", "SetState(5)", "SetState(-1)"):
            with self.subTest(case=case):
                entry = self.report[case]
                self.assertEqual(entry["sizes"], [32])
                heap = self.calls(case, "malloc", "calloc", "realloc", "operator new")
                self.assertEqual(sum(heap.values()), 1, heap)
                self.assertEqual(self.calls(case, "free", "operator delete"), {"free": 1, "operator delete": 0})
                self.assertEqual(entry["live"], 0)


if __name__ == "__main__":
    unittest.main()
