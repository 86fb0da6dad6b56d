"""Builds the pyTallowick extension module from source, for Python 2.7 and 3."""
from setuptools import Extension, setup

SOURCES = [
    "pyTallowick/pyTallowick.cpp",
    "pyTallowick/args.cpp",
    "cTallowick/gpio.cpp",
    "cTallowick/CTallowick.cpp",
]

setup(
    name="pyTallowick",
    version="1.0.0",
    description="Switches the Raspberry Pi camera LED through the VideoCore firmware",
    license="MIT",
    ext_modules=[
        Extension(
            "pyTallowick",
            sources=SOURCES,
            include_dirs=["cTallowick"],
            depends=["pyTallowick/args.h", "pyTallowick/compat.h",
                     "cTallowick/gpio.h", "cTallowick/CTallowick.h"],
            language="c++",
            extra_compile_args=["-std=c++17"],
        )
    ],
    zip_safe=False,
)
