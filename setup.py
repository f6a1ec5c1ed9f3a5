"""Builds the Python module with CMake for `pip install .`: configures the project with the
module alone (no tests, tools or benchmarks), builds its target, and puts the module and its
type stubs where setuptools collects what it installs."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE_DIR = pathlib.Path(__file__).resolve().parent


def project_version():
    """The version in the root CMakeLists.txt's project() call."""
    text = (SOURCE_DIR / "CMakeLists.txt").read_text()
    return re.search(r"project\(orvik_compiler\s+VERSION\s+([0-9.]+)", text).group(1)


class CMakeExtension(Extension):
    """An extension that CMake builds from the project's target `target`."""

    def __init__(self, name, target):
        super().__init__(name, sources=[])
        self.target = target


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        module = pathlib.Path(self.get_ext_fullpath(ext.name)).resolve()
        build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
        build_dir.mkdir(parents=True, exist_ok=True)
        configure = [
            "cmake",
            "-S",
            str(SOURCE_DIR),
            "-B",
            str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            # The module is for the interpreter that runs pip.
            f"-DPython3_EXECUTABLE={sys.executable}",
            "-DORVIK_BUILD_PYTHON=ON",
            "-DORVIK_BUILD_ONNX=ON",
            "-DORVIK_BUILD_TOOLS=OFF",
            "-DORVIK_BUILD_TESTS=OFF",
            "-DORVIK_BUILD_SELFCHECK=OFF",
            "-DORVIK_BUILD_EXAMPLES=OFF",
            "-DORVIK_BUILD_BENCH=OFF",
            "-DORVIK_BROWSER_TESTS=OFF",
        ]
        if "CMAKE_GENERATOR" not in os.environ and shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        subprocess.run(
            ["cmake", "--build", str(build_dir), "--target", ext.target, "--parallel"],
            check=True,
        )
        module.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(build_dir / "python" / module.name, module)
        shutil.copyfile(
            SOURCE_DIR / "python" / "orvik_compiler.pyi",
            module.parent / "orvik_compiler.pyi",
        )


setup(
    version=project_version(),
    # The module is the extension alone: no Python packages to look for in the tree.
    packages=[],
    ext_modules=[CMakeExtension("orvik_compiler", target="orvik_compiler_python")],
    cmdclass={"build_ext": CMakeBuild},
    # Everything setuptools writes goes under build/python, none of it beside the sources.
    options={"build": {"build_base": "build/python"}, "egg_info": {"egg_base": "build/python"}},
    zip_safe=False,
)
