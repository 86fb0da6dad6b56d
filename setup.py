"""Builds the pyTallowick extension module from source, for Python 2.7 and 3."""
import os
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCES = [
    "pyTallowick/pyTallowick.cpp",
    "pyTallowick/args.cpp",
    "cTallowick/gpio.cpp",
    "cTallowick/CTallowick.cpp",
]

STUB = "pyTallowick/pyTallowick.pyi"


class build_ext_with_stub(build_ext):
    """Also places the module's type stub beside it, where editors look for
    it (Python 3 only: Python 2 has no annotations)."""

    def run(self):
        build_ext.run(self)
        if sys.version_info[0] >= 3 and not self.inplace:
            self.copy_file(STUB, os.path.join(self.build_lib, os.path.basename(STUB)))


setup(
    name="pyTallowick",
    version="1.0.0",
    description="Switches the Raspberry Pi camera LED through the VideoCore firmware",
    ext_modules=[
        Extension(
            "pyTallowick",
            sources=SOURCES,
            include_dirs=["cTallowick"],
            depends=["pyTallowick/args.h", "pyTallowick/compat.h",
                     "cTallowick/gpio.h", "cTallowick/CTallowick.h"],
            language="c++",
            # -fno-semantic-interposition: the module's own calls may be
            # inlined (a firmware request then makes no calls of its own).
            extra_compile_args=["-std=c++17", "-fno-semantic-interposition"],
        )
    ],
    cmdclass={"build_ext": build_ext_with_stub},
    zip_safe=False,
)
