"""The module as Python sees it: attributes, the type, import-time checks."""

import gc
import os
import shutil
import sys
import tempfile
import unittest

import support
from support import PY2, TestCase
import pyTallowick

if PY2:
    import __builtin__ as builtins_module
else:
    import builtins as builtins_module

Tallowick = pyTallowick.Tallowick
METHODS = set(["Open", "Close", "SetState", "GetState"])
# What the interpreter and its import system give every extension module.
STANDARD_ATTRIBUTES = set(["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"])
HAVE_GC = 1 << 14


class ModuleAttributes(TestCase):
    def test_own_attributes_are_the_type_builtins_and_test_dict(self):
        own = set(vars(pyTallowick)) - STANDARD_ATTRIBUTES
        self.assertEqual(own, set(["Tallowick", "__builtins__", "__test__"]))
        self.assertIs(pyTallowick.__builtins__, builtins_module)
        self.assertIs(type(pyTallowick.__test__), dict)
        self.assertEqual(pyTallowick.__test__, {})

    def test_only_callable_is_the_type(self):
        callables = [name for name, value in vars(pyTallowick).items() if callable(value)]
        self.assertEqual(callables, ["Tallowick"])
        self.assertIsInstance(pyTallowick.Tallowick, type)

    def test_module_docstring_is_multiline_text(self):
        doc = pyTallowick.__doc__
        self.assertIsInstance(doc, str)
        self.assertIn("\n", doc.strip())

    def test_type_name_and_module(self):
        self.assertEqual(Tallowick.__name__, "Tallowick")
        self.assertEqual(Tallowick.__module__, "pyTallowick")
        self.assertEqual(Tallowick.__bases__, (object,))
        self.assertIn("'pyTallowick.Tallowick'", repr(Tallowick))

    def test_type_has_exactly_four_documented_methods(self):
        # help() shows these; the type stub carries the same texts.
        public = set(name for name in vars(Tallowick) if not name.startswith("_"))
        self.assertEqual(public, METHODS)
        self.assertIn("descriptor", Tallowick.__doc__)
        instance = Tallowick()
        for name in METHODS:
            with self.subTest(method=name):
                self.assertTrue(getattr(Tallowick, name).__doc__)
                self.assertEqual(getattr(instance, name).__doc__, getattr(Tallowick, name).__doc__)
                self.assertEqual(getattr(Tallowick, name).__name__, name)

    def test_instances_are_not_tracked_by_the_collector(self):
        # Nothing in an instance can form a cycle.
        self.assertFalse(Tallowick.__flags__ & HAVE_GC)
        self.assertFalse(gc.is_tracked(Tallowick()))


class ImportTime(TestCase):
    def test_import_warns_nothing_even_with_warnings_as_errors(self):
        status, out, err = support.run_child(
            "import pyTallowick; print(pyTallowick.__file__)", options=["-W", "error"]
        )
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(os.path.realpath(out.strip()), os.path.realpath(pyTallowick.__file__))

    def test_import_and_creation_do_not_touch_the_device(self):
        # With every device call failing, anything reaching the device would
        # end the child with status 1.
        status, out, err = support.run_child(
            """
            from __future__ import print_function
            import vcioemu, pyTallowick
            pyTallowick.Tallowick()
            print(vcioemu.open_descriptors(), vcioemu.request_count(), vcioemu.last_open_flags())
            """,
            faults="open=ENOENT,ioctl=EIO,close=EBADF",
        )
        self.assertEqual((status, out, err), (0, "0 0 -1\n", ""))

    @unittest.skipIf(PY2, "Python 3 only: a submodule also registers the top-level name")
    def test_import_as_submodule_also_registers_top_level_name(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        package = os.path.join(folder, "ledpkg")
        os.mkdir(package)
        open(os.path.join(package, "__init__.py"), "w").close()
        module_file = os.path.realpath(pyTallowick.__file__)
        os.symlink(module_file, os.path.join(package, os.path.basename(module_file)))

        status, out, err = support.run_child(
            """
            import sys
            import ledpkg.pyTallowick as module
            print(sys.modules.get("pyTallowick") is module)
            """,
            pythonpath=[folder],
        )
        self.assertEqual((status, out, err), (0, "True\n", ""))

        status, out, err = support.run_child(
            """
            import sys, types
            earlier = sys.modules["pyTallowick"] = types.ModuleType("pyTallowick")
            import ledpkg.pyTallowick as module
            print(sys.modules["pyTallowick"] is earlier, module is not earlier)
            """,
            pythonpath=[folder],
        )
        self.assertEqual((status, out, err), (0, "True True\n", ""))


MISMATCH_DIR = os.environ.get("PYTALLOWICK_MISMATCH_DIR")


@unittest.skipUnless(MISMATCH_DIR, "PYTALLOWICK_MISMATCH_DIR names no mismatched build")
class VersionMismatch(TestCase):
    """A build that claims another compile-time version than the running
    interpreter's (2.6 for Python 2, 3.1 for Python 3)."""

    def expected_warning(self):
        claimed = "2.6" if PY2 else "3.1"
        running = "%d.%d" % sys.version_info[:2]
        return "compiletime version %s of module 'pyTallowick' does not match runtime version %s" % (claimed, running)

    def run_mismatched(self, code, options=()):
        return support.run_child(code, options=options, pythonpath=[MISMATCH_DIR, support.TESTS_DIR])

    def test_import_warns_and_goes_on(self):
        status, out, err = self.run_mismatched(
            """
            from __future__ import print_function
            import warnings
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                import pyTallowick
            for warning in caught:
                print(warning.category.__name__, warning.message, sep="|")
            print(pyTallowick.__file__)
            led = pyTallowick.Tallowick()
            print(led.Open(5) >= 0, led.SetState(1), led.GetState())
            led.Close()
            """
        )
        self.assertEqual((status, err), (0, ""))
        lines = out.splitlines()
        self.assertEqual(lines[0], "RuntimeWarning|" + self.expected_warning())
        self.assertEqual(os.path.realpath(os.path.dirname(lines[1])), os.path.realpath(MISMATCH_DIR))
        self.assertEqual(lines[2:], ["True 0 1"])

    def test_warning_made_error_fails_the_import_with_the_warning_itself(self):
        status, out, err = self.run_mismatched(
            """
            from __future__ import print_function
            import sys
            try:
                import pyTallowick
            except BaseException as error:
                print(type(error).__name__, error, "pyTallowick" in sys.modules, sep="|")
            """,
            options=["-W", "error"],
        )
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(out, "RuntimeWarning|%s|False\n" % self.expected_warning())


if __name__ == "__main__":
    unittest.main()
