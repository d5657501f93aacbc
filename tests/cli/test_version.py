"""--version of every command and the package's __version__: one version, the project's."""
import os
import pathlib
import subprocess
import sys

import pytest

import qor_kelm_git

VERSION = os.environ["QOR_VERSION"]
PROGRAMS = os.environ["QOR_PROGRAMS"].split(":")


def test_the_package_reports_the_project_version():
    assert qor_kelm_git.__version__ == VERSION


def test_every_program_is_tested():
    assert {pathlib.Path(p).name for p in PROGRAMS} >= {"qormerge", "qordiff"}


@pytest.mark.parametrize("program", PROGRAMS, ids=[pathlib.Path(p).name for p in PROGRAMS])
def test_version_prints_name_and_version_and_exits_0(program, tmp_path):
    got = subprocess.run([program, "--version"], capture_output=True, text=True, cwd=tmp_path)
    name = pathlib.Path(program).name
    assert (got.returncode, got.stdout, got.stderr) == (0, "%s %s\n" % (name, VERSION), "")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("program", PROGRAMS, ids=[pathlib.Path(p).name for p in PROGRAMS])
def test_help_lists_version(program):
    got = subprocess.run([program, "--help"], capture_output=True, text=True)
    assert got.returncode == 0 and "--version" in got.stdout


def test_module_version_is_that_of_the_command():
    got = subprocess.run([sys.executable, "-m", "qor_kelm_git.scripts.qormerge", "--version"],
                         capture_output=True, text=True)
    assert (got.returncode, got.stdout, got.stderr) == (0, "qormerge %s\n" % VERSION, "")
