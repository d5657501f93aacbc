"""The qor_kelm_git Python package, built by the project's CMake build under setuptools.

`pip install --no-build-isolation .` or `python3 -m build --wheel --no-isolation` (Debian's
python3-setuptools, python3-wheel, python3-build) configure and build the product for the
running interpreter, then put into the wheel:
  - the package qor_kelm_git with that interpreter's extension modules;
  - the native commands (qormerge, qordiff, ...) as scripts, so that they land on the
    environment's PATH as they are, with no Python start-up in front of them;
  - their manual pages (share/man/man1, where man finds them for a command on PATH) and bash
    completion (share/bash-completion/completions, which bash-completion reads under ~/.local
    for `pip install --user`) as data files.

QOR_CMAKE_BUILD_DIR names an existing CMake build to take them from (only what is missing is
built); without it, the build is configured under setuptools' build directory.
"""
import glob
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py as _build_py

from distutils.command.build_scripts import build_scripts as _build_scripts  # after setuptools
from distutils.command.install_data import install_data as _install_data

try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:
    # A fresh virtual environment has setuptools but not wheel: use the copy Debian ships for
    # virtual environments (python3-wheel-whl).
    wheels = sorted(glob.glob("/usr/share/python-wheels/wheel-*.whl"))
    if not wheels:
        raise
    sys.path.append(wheels[-1])
    from wheel.bdist_wheel import bdist_wheel

ROOT = pathlib.Path(__file__).resolve().parent
PACKAGE = "qor_kelm_git"
# setuptools' own files, out of the source tree and out of the CMake build directory.
SETUPTOOLS_BUILD = ROOT / "build-setuptools"


def project_version():
    """The version set in the top-level CMakeLists.txt, the project's one place for it."""
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(qor_kelm_git\s+VERSION\s+([0-9.]+)", text).group(1)


def run(command):
    print(" ".join(str(c) for c in command), flush=True)
    subprocess.run([str(c) for c in command], check=True)


class CMakeBuild:
    """The project's CMake build, run once per setuptools invocation, for this interpreter."""

    def __init__(self, build_temp):
        given = os.environ.get("QOR_CMAKE_BUILD_DIR")
        self.dir = pathlib.Path(given).resolve() if given else pathlib.Path(build_temp).resolve() / "cmake"
        self.tag = "py%d%d" % sys.version_info[:2]
        if not (self.dir / "CMakeCache.txt").exists():
            run(["cmake", "-S", ROOT, "-B", self.dir, "-DCMAKE_BUILD_TYPE=Release",
                 "-DPython_EXECUTABLE=" + sys.executable, "-DQOR_BUILD_TESTS=OFF",
                 "-DQOR_BUILD_EXAMPLES=OFF"])
        jobs = str(os.cpu_count() or 1)
        try:
            run(["cmake", "--build", self.dir, "-j", jobs, "--target", "qor_programs",
                 "qor_manuals", "qor_completions", "qor_python_" + self.tag])
        except subprocess.CalledProcessError:
            sys.exit("setup.py: the build in %s has no modules for Python %d.%d (add this "
                     "interpreter to its QOR_EXTRA_PYTHONS)" % ((self.dir,) + sys.version_info[:2]))
        self.staging = self.dir / "wheel-staging"
        shutil.rmtree(self.staging, ignore_errors=True)
        run(["cmake", "--install", self.dir, "--component", "programs", "--strip",
             "--prefix", self.staging])
        for component in ("manuals", "completions"):
            run(["cmake", "--install", self.dir, "--component", component,
                 "--prefix", self.staging])

    def programs(self):
        return sorted(str(p) for p in (self.staging / "bin").iterdir())

    def data_files(self):
        """The manual pages and the completion, each for its place under the prefix."""
        return [(place, sorted(str(p) for p in (self.staging / place).iterdir()))
                for place in ("share/man/man1", "share/bash-completion/completions")]

    def copy_package(self, destination):
        """Copies the assembled package with this interpreter's modules only; returns the files."""
        source = self.dir / "python" / PACKAGE
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        copied = []
        for path in sorted(source.rglob("*")):
            relative = path.relative_to(source.parent)
            if path.is_dir() or "__pycache__" in relative.parts:
                continue
            if path.suffix == ".so" and not path.name.endswith(suffix):
                continue
            target = pathlib.Path(destination) / relative
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(path, target)
            if path.suffix == ".so" and shutil.which("strip"):
                run(["strip", "--strip-unneeded", target])
            copied.append(str(target))
        return copied


def cmake_build(command):
    dist = command.distribution
    if getattr(dist, "qor_cmake", None) is None:
        dist.qor_cmake = CMakeBuild(command.get_finalized_command("build").build_temp)
        dist.scripts = dist.qor_cmake.programs()  # for the install step's list of outputs
    return dist.qor_cmake


class build_py(_build_py):
    """The package as CMake assembled it, in place of the Python files alone."""

    def run(self):
        self.qor_outputs = cmake_build(self).copy_package(self.build_lib)

    def get_outputs(self, include_bytecode=1):
        return list(getattr(self, "qor_outputs", []))


class build_scripts(_build_scripts):
    """Copies the native programs as they are (distutils would look for a #! line in them)."""

    def get_source_files(self):
        return []

    def run(self):
        self.scripts = cmake_build(self).programs()
        self.copy_scripts()

    def copy_scripts(self):
        self.mkpath(self.build_dir)
        outfiles = []
        for script in self.scripts:
            outfile = os.path.join(self.build_dir, os.path.basename(script))
            self.copy_file(script, outfile)
            outfiles.append(outfile)
        return outfiles, outfiles


class install_data(_install_data):
    """Installs the manual pages and the completion that the CMake build made."""

    def run(self):
        self.data_files = cmake_build(self).data_files()
        super().run()


class BinaryDistribution(Distribution):
    """Holds extension modules and programs built by CMake: the wheel is for one platform, and
    the programs are known once the build has run."""

    def has_ext_modules(self):
        return True

    def has_scripts(self):
        return True

    def has_data_files(self):
        return True


SETUPTOOLS_BUILD.mkdir(exist_ok=True)
setup(
    name=PACKAGE,
    version=project_version(),
    description="Merge driver and diff engine for Jupyter notebooks of pipeline components",
    long_description=(ROOT / "README.md").read_text(encoding="utf-8"),
    long_description_content_type="text/markdown",
    author="the qor_kelm_git developers",
    license="MIT",
    license_files=["LICENSE"],
    classifiers=[
        "License :: OSI Approved :: MIT License",
        "Operating System :: POSIX :: Linux",
        "Programming Language :: C++",
        "Programming Language :: Python :: 3",
        "Programming Language :: Python :: Implementation :: CPython",
        "Topic :: Software Development :: Version Control :: Git",
    ],
    python_requires=">=3.8",
    packages=[PACKAGE],
    package_dir={"": "python"},
    zip_safe=False,
    distclass=BinaryDistribution,
    cmdclass={"build_py": build_py, "build_scripts": build_scripts, "install_data": install_data,
              "bdist_wheel": bdist_wheel},
    options={"build": {"build_base": str(SETUPTOOLS_BUILD)},
             "egg_info": {"egg_base": str(SETUPTOOLS_BUILD)}},
)
