"""The bash completion of the three commands, made by the build from their option tables: each
completion function driven as bash drives it (COMP_WORDS, COMP_CWORD, COMP_LINE, COMP_POINT set,
no interactive shell), with Debian's bash-completion loaded and without it, in a scratch
repository holding notebooks, another file, a directory, a branch and a tag."""
import os
import pathlib
import subprocess

import pytest

COMPLETIONS = pathlib.Path(os.environ["QOR_COMPLETION_DIR"])
BASH_COMPLETION = pathlib.Path("/usr/share/bash-completion/bash_completion")

# What a notebook path completes to from the top: directories (hidden ones too, as bash's own
# file name completion offers them) and notebooks.
NOTEBOOKS = {".git", "a.ipynb", "sub"}
SUBCOMMANDS = {"install", "uninstall", "check", "status", "resolve"}

# The words as bash splits the command line at the cursor (at "=" too), and what completes.
CASES = [
    (["qordiff", "--fo"], {"--format"}),
    (["qordiff", "--format", ""], {"json", "text", "html"}),
    (["qordiff", "--format", "=", "h"], {"html"}),
    (["qordiff", "--color", "=", ""], {"auto", "always", "never"}),
    (["qordiff", "--b"], {"--browser"}),
    (["qordiff", ""], NOTEBOOKS | {"HEAD", "main", "topic", "v1"}),
    (["qordiff", "t"], {"topic"}),
    (["qordiff", "HEAD", "--", ""], NOTEBOOKS),
    (["qordiff", "su"], {"sub"}),
    (["qordiff", "sub/"], {"sub/c.ipynb"}),
    (["qordiff", "-o", ""], NOTEBOOKS | {"b.txt"}),
    (["qordiff", "-o", "sub/"], {"sub/c.ipynb", "sub/d.json"}),
    (["qorgit", ""], SUBCOMMANDS),
    (["qorgit", "in"], {"install"}),
    (["qorgit", "-"], {"-h", "--help", "--version"}),
    (["qorgit", "install", "--d"], {"--difftool"}),
    (["qorgit", "install", "--layout", ""], {"default", "jupyter"}),
    (["qorgit", "install", "--difftool", "=", ""], {"text", "html"}),
    (["qorgit", "install", "--pattern", ""], set()),
    (["qorgit", "install", ""], set()),
    (["qorgit", "uninstall", "--g"], {"--global"}),
    (["qorgit", "check", ""], NOTEBOOKS),
    (["qorgit", "check", "-"], {"-h", "--help", "--json", "-q", "--quiet"}),
    (["qorgit", "resolve", "--take", ""], {"current", "incoming", "both"}),
    (["qorgit", "resolve", "--take", "current", "--component", ""], set()),
    (["qorgit", "resolve", ""], NOTEBOOKS),
    (["qorgit", "status", ""], set()),
    (["qormerge", "--current-file", ""], NOTEBOOKS),
    (["qormerge", "--current-file", "=", "a"], {"a.ipynb"}),
    (["qormerge", "--lay"], {"--layout"}),
    (["qormerge", "--fallback", ""], {"none", "text"}),
    (["qormerge", "--marker-size", ""], set()),
]


@pytest.fixture(scope="module")
def repo(tmp_path_factory):
    path = tmp_path_factory.mktemp("completion")
    env = dict(os.environ, GIT_CONFIG_GLOBAL="/dev/null", GIT_CONFIG_NOSYSTEM="1",
               GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@example.invalid",
               GIT_COMMITTER_NAME="t", GIT_COMMITTER_EMAIL="t@example.invalid")
    (path / "sub").mkdir()
    for name in ("a.ipynb", "b.txt", "sub/c.ipynb", "sub/d.json"):
        (path / name).write_text("{}")
    for args in (["init", "-q", "-b", "main"], ["add", "."], ["commit", "-qm", "one"],
                 ["branch", "topic"], ["tag", "v1"]):
        subprocess.run(["git", *args], cwd=path, env=env, check=True)
    return path


def complete(repo, words, with_bash_completion):
    """What the completion function of words[0] offers for the last word."""
    line = ""
    for i, word in enumerate(words):
        glued = word == "=" or (i > 0 and words[i - 1] == "=")
        line += ("" if i == 0 or glued else " ") + word
    script = "\n".join([
        ". %s" % BASH_COMPLETION if with_bash_completion else "",
        ". %s/%s" % (COMPLETIONS, words[0]),
        'COMP_WORDS=("$@")',
        "COMP_CWORD=$(($# - 1))",
        'COMP_LINE="$LINE"',
        "COMP_POINT=${#COMP_LINE}",
        '_%s "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"' % words[0],
        'printf "%s\\n" "${COMPREPLY[@]}"',
    ])
    got = subprocess.run(["bash", "--norc", "--noprofile", "-c", script, "bash", *words],
                         cwd=repo, env=dict(os.environ, LINE=line, HOME=str(repo)),
                         capture_output=True, text=True)
    assert got.returncode == 0 and got.stderr == "", got.stderr
    return {w for w in got.stdout.split("\n") if w}


@pytest.mark.parametrize("with_bash_completion", [True, False],
                         ids=["bash-completion", "plain bash"])
@pytest.mark.parametrize("words,expected", CASES, ids=[" ".join(w) for w, _ in CASES])
def test_completion(repo, words, expected, with_bash_completion):
    if with_bash_completion and not BASH_COMPLETION.exists():
        pytest.skip("bash-completion is not installed")
    assert complete(repo, words, with_bash_completion) == expected


def test_every_option_of_every_table_is_offered(repo):
    # The completion and the parser read the same table: every option the program describes.
    import json
    for program in ("qordiff", "qorgit", "qormerge"):
        path = os.environ["QOR" + program[3:].upper()]
        table = json.loads(subprocess.run([path], env=dict(os.environ, QOR_CLI_DESCRIBE="1"),
                                          capture_output=True, text=True, check=True).stdout)
        for command in [table] + table["subcommands"]:
            words = command["prog"].split(" ")
            names = {n for o in command["options"] for n in (o["name"], o["short_name"]) if n}
            assert complete(repo, words + ["-"], False) == names, command["prog"]
