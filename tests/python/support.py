"""Helpers shared by the pyTallowick tests.

Child interpreters (for fatal paths and import-time behaviour), capture of the
standard error descriptor that the native code writes to, a way to hand the
module a keyword dictionary exactly as built, and a few shims so that the same
test files run under Python 2.7 and every Python 3.
"""

import contextlib
import ctypes
import os
import re
import subprocess
import sys
import tempfile
import textwrap
import traceback
import unittest

import vcioemu  # first: refuses to go on without the preloaded emulator
import pyTallowick

PY2 = sys.version_info[0] == 2
TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
MODULE_DIR = os.path.dirname(os.path.abspath(pyTallowick.__file__))

NOT_OPENED = "error: Device is not opened. Please Call Open() first.\n"
DEFAULT_LINE = 134
SET_GPIO_STATE = 0x00038041
GET_GPIO_STATE = 0x00030041
GET_BOARD_REVISION = 0x00010002
# The one request Open makes on lines that carry the storage of some board.
REVISION_REQUEST = [28, 0, GET_BOARD_REVISION, 4, 0, 0, 0]
# The emulator's board unless told otherwise, and one whose line 134 powers
# the SD card.
PI3B = 0xA02082
PI4B = 0xC03111
REFUSED_ON_PI4B = "error: line 134 controls the SD card or eMMC of this board (revision 0xc03111): refused\n"
SUCCESS = 0x80000000


def signed32(word):
    return word - (1 << 32) if word & 0x80000000 else word


def property_request_code():
    # _IOWR(100, 0, char *): read/write, pointer-sized argument, type 100.
    return (3 << 30) | (ctypes.sizeof(ctypes.c_void_p) << 16) | (100 << 8)


class CapturedStderr(object):
    """Collects what reaches file descriptor 2 while active: the native code
    writes its messages there, below Python's sys.stderr."""

    def __enter__(self):
        sys.stderr.flush()
        self.text = None
        self._file = tempfile.TemporaryFile()
        self._saved = os.dup(2)
        os.dup2(self._file.fileno(), 2)
        return self

    def __exit__(self, *exc_info):
        sys.stderr.flush()
        os.dup2(self._saved, 2)
        os.close(self._saved)
        self._file.seek(0)
        self.text = self._file.read().decode("utf-8", "replace")
        self._file.close()
        return False


def child_env(faults=None, pythonpath=None, extra=None):
    env = dict(os.environ)
    # PYTHONUNBUFFERED too: a child that buffers only because it was asked
    # to says so itself.
    for name in ("VCIOEMU_FAULTS", "VCIOEMU_TRACE", "VCIOEMU_REVISION", "PYTHONWARNINGS", "PYTHONSTARTUP", "PYTHONUNBUFFERED"):
        env.pop(name, None)
    if faults:
        env["VCIOEMU_FAULTS"] = faults
    if pythonpath is None:
        pythonpath = [MODULE_DIR, TESTS_DIR]
    env["PYTHONPATH"] = os.pathsep.join(pythonpath)
    if extra:
        env.update(extra)
    return env


def run_interpreter(arguments, faults=None, pythonpath=None, extra=None, buffered=False):
    """Runs a fresh interpreter like this one with these arguments and
    returns (exit status, stdout, stderr). Its output is unbuffered unless
    buffered is true: then it buffers as a program writing into a pipe does."""
    unbuffered = [] if buffered else ["-u"]
    # A neutral working folder: the source checkout has a folder named like
    # the module, which must not shadow the built one.
    process = subprocess.Popen(
        [sys.executable] + unbuffered + list(arguments),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=child_env(faults, pythonpath, extra),
        cwd=TESTS_DIR,
    )
    out, err = process.communicate()
    return process.returncode, out.decode("utf-8", "replace"), err.decode("utf-8", "replace")


def run_child(code, args=(), faults=None, options=(), pythonpath=None, buffered=False):
    """Runs code in a fresh interpreter (see run_interpreter)."""
    arguments = list(options) + ["-c", textwrap.dedent(code)] + list(args)
    return run_interpreter(arguments, faults, pythonpath, buffered=buffered)


_PyObject_Call = ctypes.pythonapi.PyObject_Call
_PyObject_Call.restype = ctypes.py_object
_PyObject_Call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]


class WithInt(object):
    """An object whose __int__ hands back result."""

    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result

    def __repr__(self):
        return "WithInt(%r)" % (self.result,)


def call_with_dict(function, args, kwargs):
    """Calls function with this very keyword dictionary, key objects and
    iteration order untouched; the call syntax would check or copy the keys."""
    return _PyObject_Call(function, tuple(args), kwargs)


def traceback_entries(tb):
    """(file name, line, function name) of each entry, outermost first."""
    return [tuple(entry)[:3] for entry in traceback.extract_tb(tb)]


ENTRY_NAME = re.compile(r"^(?P<name>\S+) \((?P<file>.+):(?P<line>\d+)\)$")


class TestCase(unittest.TestCase):
    """Starts every test with an emulator that has no requests, faults or
    driven lines, and remembers how many descriptors were open."""

    def setUp(self):
        vcioemu.reset()
        self.descriptors_before = vcioemu.open_descriptors()

    if not hasattr(unittest.TestCase, "subTest"):

        @contextlib.contextmanager
        def subTest(self, msg=None, **params):
            # Python 2.7: no sub-tests; name the failing case in the message.
            try:
                yield
            except self.failureException as error:
                raise self.failureException("%s %r: %s" % (msg or "", params, error))

    def opened(self, *args, **kwargs):
        """A Tallowick opened with these Open arguments, closed after the test."""
        tallowick = pyTallowick.Tallowick()
        descriptor = tallowick.Open(*args, **kwargs)
        self.assertIsInstance(descriptor, int)
        self.assertGreaterEqual(descriptor, 0)
        self.addCleanup(tallowick.Close)
        return tallowick

    def line_reaching_device(self, tallowick):
        """The line number that a SetState of this (open) object sends."""
        vcioemu.reset()
        self.assertEqual(tallowick.SetState(1), 0)
        words = vcioemu.request(0)
        self.assertEqual(vcioemu.request_count(), 1)
        self.assertEqual(words[:5], [32, 0, SET_GPIO_STATE, 8, 0])
        self.assertEqual(words[6:], [1, 0])
        return signed32(words[5])

    def raised(self, exc_type, function, *args, **kwargs):
        """Calls function, which must raise exc_type; returns the exception
        and its traceback entries."""
        try:
            function(*args, **kwargs)
        except exc_type:
            error, tb = sys.exc_info()[1:]
            return error, traceback_entries(tb)
        self.fail("%s raised nothing" % getattr(function, "__name__", function))

    def assertRaisesText(self, exc_type, text, function, *args, **kwargs):
        error = self.raised(exc_type, function, *args, **kwargs)[0]
        self.assertEqual(str(error), text)
        return error

    def assertNoDeviceTraffic(self):
        self.assertEqual(vcioemu.requests(), [])
        self.assertEqual(vcioemu.open_descriptors(), self.descriptors_before)

    def assertModuleEntry(self, entries, method, depth=1):
        """The entry depth places from the innermost one was added by the
        module for this method, and it is the module's only entry."""
        filename, line, name = entries[-depth]
        match = ENTRY_NAME.match(name)
        self.assertTrue(match, "entry %r is not the module's" % (name,))
        self.assertEqual(match.group("name"), "pyTallowick.Tallowick." + method)
        self.assertTrue(filename)
        self.assertIsNotNone(line)
        own = [entry for entry in entries if entry[2].startswith("pyTallowick.")]
        self.assertEqual(len(own), 1, own)

    def assertNoModuleEntry(self, entries):
        own = [entry for entry in entries if entry[2].startswith("pyTallowick.")]
        self.assertEqual(own, [])
