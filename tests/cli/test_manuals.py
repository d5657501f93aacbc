"""The manual pages the build made from the programs' option tables and man/*.txt: each page
renders without a warning from groff or man, has the sections a reader looks for, and names
every option and subcommand the program's parser reads; the generator stops when the hand-written
text and the table disagree."""
import gzip
import json
import os
import pathlib
import subprocess
import sys

import pytest

MANUALS = pathlib.Path(os.environ["QOR_MANUAL_DIR"])
ROOT = pathlib.Path(__file__).resolve().parents[2]
PROGRAMS = {name: os.environ["QOR" + name[3:].upper()] for name in ("qordiff", "qorgit", "qormerge")}


def table(program):
    return json.loads(subprocess.run([PROGRAMS[program]], env=dict(os.environ, QOR_CLI_DESCRIBE="1"),
                                     capture_output=True, text=True, check=True).stdout)


def pages():
    found = []
    for program in PROGRAMS:
        found.append((program, program))
        for sub in table(program)["subcommands"]:
            found.append((program, sub["prog"].replace(" ", "-")))
    return found


def rendered(name):
    """The page as man shows it on a terminal of 80 columns, with man's and groff's warnings."""
    got = subprocess.run(["man", "--warnings", "-l", str(MANUALS / (name + ".1.gz"))],
                         env=dict(os.environ, MANWIDTH="80", MAN_KEEP_FORMATTING="", LC_ALL="C.UTF-8"),
                         capture_output=True, text=True)
    assert got.returncode == 0 and got.stderr == "", got.stderr
    return got.stdout


@pytest.mark.parametrize("program,name", pages(), ids=[n for _, n in pages()])
def test_each_page_renders_cleanly_with_the_sections_a_reader_looks_for(program, name):
    text = rendered(name)
    source = gzip.decompress((MANUALS / (name + ".1.gz")).read_bytes()).decode()
    assert source.startswith('.TH %s 1 "" "qor_kelm_git %s"'
                             % (name.upper().replace("-", "\\-"), os.environ["QOR_VERSION"]))
    sections = [line for line in text.splitlines() if line and not line[0].isspace()][1:-1]
    if name == program:
        assert sections[:3] == ["NAME", "SYNOPSIS", "DESCRIPTION"]
        for wanted in ("OPTIONS", "EXIT STATUS", "ENVIRONMENT", "FILES", "EXAMPLES", "SEE ALSO"):
            assert wanted in sections
        assert ("COMMANDS" in sections) == (program == "qorgit")
    else:
        assert sections == ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS",
                            "SEE ALSO"]
    # The whatis line lintian and apropos read.
    assert "\n.SH NAME\n%s \\- " % name in source


def section_text(text, title):
    lines, inside = [], False
    for line in text.splitlines():
        if line and not line[0].isspace():
            inside = line == title
        elif inside:
            lines.append(line)
    return "\n".join(lines)


@pytest.mark.parametrize("program", PROGRAMS)
def test_every_option_and_subcommand_of_the_table_is_described(program):
    described = table(program)
    text = rendered(program)
    # The synopsis is the usage the parser prints.
    usage = [line.strip() for line in described["usage"].replace("usage: ", "").splitlines()]
    assert [line.strip() for line in section_text(text, "SYNOPSIS").splitlines()] == usage
    for command in [described] + described["subcommands"]:
        page = rendered(command["prog"].replace(" ", "-")) if command is not described else text
        for option in command["options"]:
            for name in (option["name"], option["short_name"]):
                assert not name or "\n       " + name in page or ", " + name in page, (
                    command["prog"], name)
            for choice in option["choices"]:
                assert choice in page
        if command is not described:
            assert "   " + command["prog"] in section_text(text, "COMMANDS").splitlines()


@pytest.mark.parametrize("change,message", [
    (lambda s: s.replace("--browser\n", "--no-such-option\n  Nothing.\n--browser\n"),
     "qordiff: the manual's source describes --no-such-option, which the table does not have"),
    (lambda s: s.replace("--textconv\n  Print one notebook", "  Print one notebook"),
     "qordiff: --textconv has no description in the manual's source"),
])
def test_the_build_stops_when_the_text_and_the_table_disagree(tmp_path, change, message):
    source = tmp_path / "qordiff.txt"
    source.write_text(change((ROOT / "man" / "qordiff.txt").read_text()))
    got = subprocess.run([sys.executable, ROOT / "cmake" / "cli_docs.py", "man", PROGRAMS["qordiff"],
                          source, "0", tmp_path], capture_output=True, text=True)
    assert (got.returncode, got.stderr) == (1, "cli_docs.py: %s\n" % message)
