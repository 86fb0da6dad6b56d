"""Builds the pyTallowick extension module from source, for Python 2.7 and 3,
with the tallowick command and the module's type stubs."""
import io
import os
import re

from setuptools import Extension, setup

HERE = os.path.dirname(os.path.abspath(__file__))

SOURCES = [
    "pyTallowick/pyTallowick.cpp",
    "pyTallowick/args.cpp",
    "cTallowick/gpio.cpp",
    "cTallowick/board.cpp",
    "cTallowick/CTallowick.cpp",
]


def read(path):
    with io.open(os.path.join(HERE, path), encoding="utf-8") as text:
        return text.read()


# One version for the distribution and for `tallowick --version`.
VERSION = re.search(r'^__version__ = "([^"]+)"$', read("tallowick/__init__.py"), re.M).group(1)

setup(
    name="pyTallowick",
    version=VERSION,
    description="Switches the Raspberry Pi camera LED through the VideoCore firmware",
    long_description=read("README.md"),
    long_description_content_type="text/markdown",
    license="MIT",
    platforms=["Linux"],
    python_requires=">=2.7, !=3.0.*, !=3.1.*, !=3.2.*, !=3.3.*, !=3.4.*, !=3.5.*",
    classifiers=[
        "Development Status :: 5 - Production/Stable",
        "Environment :: Console",
        "Intended Audience :: End Users/Desktop",
        "Intended Audience :: Developers",
        "License :: OSI Approved :: MIT License",
        "Operating System :: POSIX :: Linux",
        "Programming Language :: C++",
        "Programming Language :: Python :: 2",
        "Programming Language :: Python :: 2.7",
        "Programming Language :: Python :: 3",
        "Programming Language :: Python :: 3.6",
        "Programming Language :: Python :: 3.7",
        "Programming Language :: Python :: 3.8",
        "Programming Language :: Python :: 3.9",
        "Programming Language :: Python :: 3.10",
        "Programming Language :: Python :: 3.11",
        "Programming Language :: Python :: 3.12",
        "Programming Language :: Python :: 3.13",
        "Programming Language :: Python :: 3.14",
        "Programming Language :: Python :: 3.15",
        "Programming Language :: Python :: Implementation :: CPython",
        "Topic :: System :: Hardware",
        "Typing :: Typed",
    ],
    # The stubs as a stub-only package: a type checker ignores a .pyi beside
    # an installed single module, but finds pyTallowick-stubs.
    packages=["tallowick", "pyTallowick-stubs"],
    package_data={"tallowick": ["py.typed", "_kernel.pyi"], "pyTallowick-stubs": ["__init__.pyi"]},
    # The command, with its first line pointed at the installing interpreter.
    scripts=["scripts/tallowick"],
    ext_modules=[
        Extension(
            "pyTallowick",
            sources=SOURCES,
            include_dirs=["cTallowick"],
            depends=["pyTallowick/args.h", "pyTallowick/compat.h", "cTallowick/gpio.h",
                     "cTallowick/board.h", "cTallowick/export.h", "cTallowick/CTallowick.h"],
            language="c++",
            # -fno-semantic-interposition: the module's own calls may be
            # inlined (a firmware request then makes no calls of its own).
            # -fvisibility=hidden: only what the sources mark leaves the
            # module (its entry point, the firmware channel, the controller).
            extra_compile_args=["-std=c++17", "-fno-semantic-interposition",
                                "-fvisibility=hidden", "-fvisibility-inlines-hidden"],
        ),
        # tallowick.camera's way to the board and the kernel's GPIO chips.
        Extension(
            "tallowick._kernel",
            sources=["tallowick/_kernel.cpp", "cTallowick/gpio.cpp", "cTallowick/board.cpp",
                     "cTallowick/gpiochip.cpp", "cTallowick/regulator.cpp"],
            include_dirs=["cTallowick", "pyTallowick"],
            depends=["pyTallowick/compat.h", "cTallowick/gpio.h", "cTallowick/board.h",
                     "cTallowick/gpiochip.h", "cTallowick/regulator.h", "cTallowick/export.h"],
            language="c++",
            extra_compile_args=["-std=c++17", "-fvisibility=hidden", "-fvisibility-inlines-hidden"],
        ),
    ],
    zip_safe=False,
)
