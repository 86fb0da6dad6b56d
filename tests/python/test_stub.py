"""The type stub shipped with the module (the stub-only package
pyTallowick-stubs) describes the module as it is: the same public names, and
every call shape it declares is one the module takes, while one positional
argument more is refused."""

import ast
import os
import sys
import unittest

import support
import pyTallowick

STUB = os.path.join(support.TESTS_DIR, os.pardir, os.pardir, "pyTallowick-stubs", "__init__.pyi")


def public(names):
    return set(name for name in names if not name.startswith("_"))


def declared_methods(stub_class):
    return dict((node.name, node) for node in stub_class.body if isinstance(node, ast.FunctionDef))


def sample_call(function):
    """Positional and keyword arguments that satisfy every parameter of a
    stub function after self: positional-only ones (named __x) by position,
    the others by keyword."""
    positional, keywords = [], {}
    for parameter in function.args.args[1:]:
        if parameter.arg.startswith("__"):
            positional.append(1)
        else:
            keywords[parameter.arg] = 1
    return positional, keywords


@unittest.skipIf(sys.version_info[0] < 3, "the stub is for Python 3")
class StubMatchesModule(support.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(STUB) as stub:
            tree = ast.parse(stub.read())
        cls.classes = dict((node.name, node) for node in tree.body if isinstance(node, ast.ClassDef))

    def test_same_public_names(self):
        self.assertEqual(public(self.classes), public(dir(pyTallowick)))
        methods = declared_methods(self.classes["Tallowick"])
        self.assertEqual(public(methods), public(dir(pyTallowick.Tallowick)))

    def test_help_texts_are_the_modules(self):
        stub_class = self.classes["Tallowick"]
        self.assertEqual(ast.get_docstring(stub_class), pyTallowick.Tallowick.__doc__)
        for name, node in sorted(declared_methods(stub_class).items()):
            if not name.startswith("_"):
                with self.subTest(method=name):
                    self.assertEqual(ast.get_docstring(node), getattr(pyTallowick.Tallowick, name).__doc__)

    def test_declared_calls_are_taken_and_one_more_argument_refused(self):
        methods = declared_methods(self.classes["Tallowick"])
        for name in sorted(public(methods)):
            with self.subTest(method=name):
                positional, keywords = sample_call(methods[name])
                led = pyTallowick.Tallowick()
                led.Open()
                self.addCleanup(led.Close)
                bound = getattr(led, name)
                bound(*positional, **keywords)
                with self.assertRaises(TypeError):
                    bound(*(positional + [1] * (1 + len(keywords))))

    def test_declared_defaults_are_the_modules(self):
        open_call = declared_methods(self.classes["Tallowick"])["Open"]
        default = open_call.args.defaults[0]
        led = pyTallowick.Tallowick()
        led.Open()
        self.addCleanup(led.Close)
        self.assertEqual(self.line_reaching_device(led), ast.literal_eval(default))


if __name__ == "__main__":
    unittest.main()
