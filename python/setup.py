"""The wheel's build: CMake builds the module (one file with the library
inside it) from this repository, and the wheel holds it and its stub. The
version is the library's, from the top CMakeLists.txt.

Settings from the environment: ZORBEL_WHEEL_CMAKE_ARGS (more -D options,
split on spaces), CMAKE_BUILD_PARALLEL_LEVEL (jobs)."""
import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE = pathlib.Path(__file__).resolve().parent.parent


def library_version():
    text = (SOURCE / "CMakeLists.txt").read_text()
    return re.search(r"project\(zorbel VERSION (\d+\.\d+\.\d+)", text).group(1)


class CMakeBuild(build_ext):
    """Builds the module with CMake instead of compiling sources itself."""

    def build_extension(self, ext):
        built = pathlib.Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake",
            "-S",
            str(SOURCE),
            "-B",
            str(built),
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython3_EXECUTABLE={sys.executable}",
            # Only the module: no tests, benchmarks or tool.
            "-DZORBEL_BUILD_TESTS=OFF",
            "-DZORBEL_BUILD_BENCH=OFF",
            "-DZORBEL_BUILD_TOOLS=OFF",
            "-DZORBEL_BUILD_PYTHON=ON",
        ]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        configure += os.environ.get("ZORBEL_WHEEL_CMAKE_ARGS", "").split()
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(built), "--target", "zorbel_python"], check=True)

        modules = sorted((built / "python").glob("zorbel.*.so"))
        if len(modules) != 1:
            sys.exit(f"setup.py: expected one module in {built / 'python'}, found {modules}")
        destination = pathlib.Path(self.get_ext_fullpath(ext.name))
        destination.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(modules[0], destination)
        # The stub beside it, where type checkers and editors look.
        shutil.copyfile(SOURCE / "python" / "zorbel.pyi", destination.with_name("zorbel.pyi"))


setup(
    version=library_version(),
    ext_modules=[Extension("zorbel", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
)
