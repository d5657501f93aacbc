#!/usr/bin/env python3
"""The manual pages and the bash completion of a command, made from its option table.

The program itself gives its table (options, values, choices, what a shell completes,
subcommands, usage lines) as JSON when QOR_CLI_DESCRIBE is set (cli/options.h); the hand-written
parts of a page (description, what each option does, exit status, files, environment, examples,
see also) come from man/<program>.txt. The build stops when the two disagree: an option without
a description, or a description of an option the table does not have.

  cli_docs.py man PROGRAM SOURCE VERSION OUTDIR   writes OUTDIR/<program>.1.gz and, for a
                                                  command with subcommands, one
                                                  OUTDIR/<program>-<sub>.1.gz each
  cli_docs.py completion PROGRAM OUTFILE          writes the bash completion of PROGRAM

The source's lines: "@summary TEXT" (the page's one line; after "@command NAME", that
subcommand's), "@section TITLE" (a section of its own), "@command NAME" (the subcommand's section
within COMMANDS, up to the next @command or @section), "@options" (the options of the command,
or subcommand, above it: each entry is a line holding an option's long name, or a positional
argument's metavariable, and the indented lines below it describe it). Text: paragraphs apart by
blank lines, "- " items (their further lines indented or not), lines indented by four spaces
kept as they are (examples); `code` is set in bold, *NAME* in italics.
"""
import glob
import gzip
import json
import os
import re
import subprocess
import sys


def describe(program):
    env = dict(os.environ, QOR_CLI_DESCRIBE="1")
    out = subprocess.run([program], env=env, capture_output=True, text=True, check=True).stdout
    return json.loads(out)


# ---- the source ----------------------------------------------------------------------------

class Block:
    """A part of the page: its summary, its text lines and its option descriptions."""

    def __init__(self, name):
        self.name = name
        self.summary = ""
        self.lines = []
        self.options = None  # {entry: [lines]} after @options


def read_source(path):
    """Returns (summary, sections, commands): sections and commands as ordered lists of Blocks;
    commands sit where the COMMANDS section goes (the first @command)."""
    top = Block("")
    sections, commands = [], []
    current = top
    entry = None
    with open(path, encoding="utf-8") as f:
        for raw in f:
            line = raw.rstrip("\n")
            if line.startswith("@summary "):
                current.summary = line[len("@summary "):]
            elif line.startswith("@section "):
                current = Block(line[len("@section "):])
                sections.append(current)
                entry = None
            elif line.startswith("@command "):
                current = Block(line[len("@command "):])
                if not commands:
                    sections.append(Block("COMMANDS"))
                commands.append(current)
                entry = None
            elif line == "@options":
                current.options = {}
                entry = None
            elif current.options is not None and line and not line[0].isspace():
                entry = line.strip()
                current.options[entry] = []
            elif current.options is not None and entry is not None:
                current.options[entry].append(line.strip())
            else:
                current.lines.append(line)
    if any(line.strip() for line in top.lines):
        sys.exit("cli_docs.py: %s: text before the first @section" % path)
    return top.summary, sections, commands


# ---- roff ----------------------------------------------------------------------------------

def escape(text):
    """Plain text for roff: backslashes, and minus signs where they start a word (options) or
    follow one."""
    text = text.replace("\\", "\\e")
    return re.sub(r"(?<![A-Za-z0-9])-|(?<=-)-", r"\\-", text)


def inline(text):
    """`code` in bold, *NAME* in italics, the rest escaped."""
    out = []
    for part in re.split(r"(`[^`]*`|\*[A-Za-z_.\-]+\*)", text):
        if part.startswith("`") and part.endswith("`") and len(part) > 1:
            out.append("\\fB\\%" + part[1:-1].replace("\\", "\\e").replace("-", "\\-") + "\\fR")
        elif part.startswith("*") and part.endswith("*") and len(part) > 2:
            out.append("\\fI" + escape(part[1:-1]) + "\\fR")
        else:
            out.append(escape(part))
    return "".join(out)


def line_safe(text):
    """A text line that roff takes as text, never as a request."""
    return "\\&" + text if text.startswith((".", "'")) else text


def paragraphs(lines):
    """The text lines as roff: paragraphs, items and kept lines."""
    out = []
    mode = None  # "text", "item" or "kept"
    for line in lines + [""]:
        if line.startswith("    ") and line.strip():
            if mode != "kept":
                out += [".PP", ".RS 4", ".nf"]
                mode = "kept"
            out.append(line_safe(escape(line[4:])))
            continue
        if mode == "kept":
            out += [".fi", ".RE"]
            mode = None
        if not line.strip():
            mode = None
        elif line.startswith("- "):
            out += [".IP \\(bu 2", line_safe(inline(line[2:]))]
            mode = "item"
        elif mode in ("text", "item"):
            out.append(line_safe(inline(line.strip())))
        else:
            out += [".PP", line_safe(inline(line))]
            mode = "text"
    return out


def option_heading(option):
    """The option as an entry heading: "-o, --output FILE", "--format {json,text,html}",
    "--difftool[={text,html}]"."""
    names = [n for n in (option["short_name"], option["name"]) if n]
    heading = ", ".join("\\fB" + n.replace("-", "\\-") + "\\fR" for n in names)
    value = option["metavar"] or ("{" + ",".join(option["choices"]) + "}" if option["choices"]
                                  else option["key"].upper().replace("-", "_"))
    if option["action"] in ("store", "append"):
        heading += " \\fI" + escape(value) + "\\fR"
    elif option["action"] == "optional":
        heading += "[=\\fI" + escape(value) + "\\fR]"
    return heading


def option_entries(table, descriptions, where):
    """The options and positional arguments of `table`, each with its description; stops the
    build when the table and the descriptions disagree."""
    entries = []
    known = set()
    for positional in table["positionals"]:
        key = positional["metavar"]
        known.add(key)
        if key in descriptions:
            entries.append(("\\fI" + escape(key) + "\\fR", descriptions[key]))
    for option in table["options"]:
        key = option["name"] or option["short_name"]
        known.add(key)
        text = descriptions.get(key)
        if text is None and option["action"] == "help":
            text = ["show the help message and exit"]
        if text is None and option["action"] == "version":
            text = ["print the program's name and version and exit"]
        if text is None:
            sys.exit("cli_docs.py: %s: %s has no description in the manual's source" % (where, key))
        entries.append((option_heading(option), text))
    unknown = set(descriptions) - known
    if unknown:
        sys.exit("cli_docs.py: %s: the manual's source describes %s, which the table does not have"
                 % (where, ", ".join(sorted(unknown))))
    out = []
    for heading, text in entries:
        out += [".TP", heading] + [line_safe(inline(t)) for t in text if t]
    return out


def synopsis(usage):
    """The usage lines of the table as a synopsis, lines kept as the table breaks them, the
    command (and subcommand) of each form in bold."""
    out = [".nf"]
    for line in usage.splitlines():
        line = line[len("usage: "):] if line.startswith("usage: ") else line[len("       "):]
        form = re.match(r"(\s*)(qor[a-z]+(?: [a-z]+\b(?!-))?)(.*)", line)
        if form:
            out.append(escape(form.group(1)) + "\\fB" + escape(form.group(2)) + "\\fR" +
                       escape(form.group(3)))
        else:
            out.append(escape(line))
    return out + [".fi"]


def page(name, summary, version, parts):
    title = name.upper().replace("-", "\\-")
    return "\n".join([
        '.TH %s 1 "" "qor_kelm_git %s" "User Commands"' % (title, version),
        ".SH NAME",
        "%s \\- %s" % (escape(name), escape(summary)),
    ] + parts) + "\n"


def write_page(outdir, name, text):
    """Writes OUTDIR/<name>.1.gz, compressed as `gzip -9n` does (no name, no time)."""
    with open(os.path.join(outdir, name + ".1.gz"), "wb") as raw:
        with gzip.GzipFile(filename="", mode="wb", compresslevel=9, fileobj=raw, mtime=0) as f:
            f.write(text.encode("utf-8"))


def subcommand(table, name):
    for sub in table["subcommands"]:
        if sub["prog"].split(" ")[-1] == name:
            return sub
    sys.exit("cli_docs.py: the manual's source has a command %s that the table does not" % name)


def write_manuals(program_path, source, version, outdir):
    table = describe(program_path)
    program = table["prog"]
    summary, sections, commands = read_source(source)
    described = {c.name for c in commands}
    missing = [s["prog"] for s in table["subcommands"] if s["prog"].split(" ")[-1] not in described]
    if missing:
        sys.exit("cli_docs.py: %s: no manual text for %s" % (source, ", ".join(missing)))
    parts = [".SH SYNOPSIS"] + synopsis(table["usage"])
    see_also = []
    for section in sections:
        if section.name == "SEE ALSO":
            see_also = section.lines
            continue
        parts.append(".SH " + escape(section.name))
        if section.name == "COMMANDS":
            for command in commands:
                sub = subcommand(table, command.name)
                parts += [".SS " + escape(sub["prog"])] + synopsis(sub["usage"])
                parts += paragraphs(command.lines)
                parts += option_entries(sub, command.options or {}, sub["prog"])
            continue
        parts += paragraphs(section.lines)
        if section.options is not None:
            parts += option_entries(table, section.options, program)
    subpages = ["%s-%s" % (program, c.name) for c in commands]
    os.makedirs(outdir, exist_ok=True)
    for old in glob.glob(os.path.join(outdir, program + ".1.gz")) + glob.glob(
            os.path.join(outdir, program + "-*.1.gz")):
        os.remove(old)  # pages of subcommands that are no more
    own_see_also = [".SH SEE ALSO"] + paragraphs(see_also)
    write_page(outdir, program, page(program, summary, version, parts + own_see_also))
    # A page of its own for each subcommand, as git has them: its section of the main page.
    exit_status = next((s for s in sections if s.name == "EXIT STATUS"), None)
    for command, name in zip(commands, subpages):
        sub = subcommand(table, command.name)
        sub_parts = [".SH SYNOPSIS"] + synopsis(sub["usage"]) + [".SH DESCRIPTION"]
        sub_parts += paragraphs(command.lines)
        sub_parts += [".SH OPTIONS"] + option_entries(sub, command.options or {}, sub["prog"])
        if exit_status is not None:
            sub_parts += [".SH EXIT STATUS"] + paragraphs(exit_status.lines)
        sub_parts += [".SH SEE ALSO", "\\fB%s\\fR(1)" % escape(program)]
        write_page(outdir, name, page(name, command.summary or summary, version, sub_parts))


# ---- bash completion -----------------------------------------------------------------------

def words_of(options):
    names = []
    for o in options:
        names += [n for n in (o["name"], o["short_name"]) if n]
    return " ".join(names)


def value_cases(options):
    """Lines of a bash `case` on the option before the word: what its value completes to."""
    lines = []
    for o in options:
        if o["action"] not in ("store", "append", "optional"):
            continue
        names = "|".join(n for n in (o["name"], o["short_name"]) if n)
        if o["choices"]:
            action = '_qor_words "%s"' % " ".join(o["choices"])
        elif o["complete"] == "file":
            action = "_qor_files"
        elif o["complete"] == "notebook":
            action = "_qor_notebooks"
        else:
            action = ":"  # a name or a number: nothing to offer
        if o["action"] == "optional":  # a value only after "="
            lines.append("      %s) if [[ $split == true ]]; then %s; return 0; fi ;;"
                         % (names, action))
        else:
            lines.append("      %s) %s; return 0 ;;" % (names, action))
    return lines


def positional_action(table):
    kinds = [p["complete"] for p in table["positionals"]]
    if "revision-or-notebook" in kinds:
        return "_qor_notebooks; _qor_before_separator && _qor_revisions"
    if "notebook" in kinds:
        return "_qor_notebooks"
    if "file" in kinds:
        return "_qor_files"
    return ":"


def command_function(name, table):
    """The completion of one command (or subcommand) as a bash function."""
    cases = value_cases(table["options"])
    values = ["  if [[ $prev == -* ]]; then", "    case $prev in"] + cases + ["    esac", "  fi"]
    return "\n".join(["%s() {" % name] + (values if cases else []) + [
        "  if [[ $cur == -* ]]; then",
        '    _qor_words "%s"' % words_of(table["options"]),
        "  else",
        "    %s" % positional_action(table),
        "  fi",
        "}",
    ])


COMMON = r'''
# What the functions below share: the word being completed ($cur), the one before it ($prev),
# with "--opt=value" split as bash-completion splits it ($split), and the words before ($words).
_qor_init() {
  if declare -F _init_completion >/dev/null; then
    _init_completion -s -n : || return 1
  else
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    split=false
    # Without bash-completion, "--opt=value" reaches us as "--opt" "=" "value".
    if [[ $cur == = ]]; then
      prev=${COMP_WORDS[COMP_CWORD-1]} cur= split=true
    elif [[ $prev == = ]]; then
      prev=${COMP_WORDS[COMP_CWORD-2]} split=true
    elif [[ $cur == --*=* ]]; then
      prev=${cur%%=*} cur=${cur#*=} split=true
    fi
  fi
  return 0
}

_qor_words() {
  local IFS=$' \t\n'
  COMPREPLY+=($(compgen -W "$1" -- "$cur"))
}

# Notebook files (*.ipynb) and directories.
_qor_notebooks() {
  if declare -F _filedir >/dev/null; then
    _filedir ipynb
  else
    compopt -o filenames 2>/dev/null
    local IFS=$'\n'
    COMPREPLY+=($(compgen -d -- "$cur") $(compgen -f -X '!*.ipynb' -- "$cur"))
  fi
}

_qor_files() {
  if declare -F _filedir >/dev/null; then
    _filedir
  else
    compopt -o filenames 2>/dev/null
    local IFS=$'\n'
    COMPREPLY+=($(compgen -f -- "$cur"))
  fi
}

# Whether no "--" comes before the word: revisions go there, paths after it.
_qor_before_separator() {
  local i
  for ((i = 1; i < cword; i++)); do
    [[ ${words[i]} == -- ]] && return 1
  done
  return 0
}

# The repository's branches, tags and HEAD, where the word is no path.
_qor_revisions() {
  [[ $cur == */* || $cur == .* || $cur == *:* ]] && return 0
  local IFS=$' \t\n'  # ref names hold no blanks
  COMPREPLY+=($(compgen -W "HEAD $(git for-each-ref --format='%(refname:short)' \
    refs/heads refs/tags refs/remotes 2>/dev/null)" -- "$cur"))
}
'''


def write_completion(program_path, outfile):
    table = describe(program_path)
    program = table["prog"]
    prefix = "_" + program
    functions = [] if table["subcommands"] else [command_function(prefix + "_main", table)]
    dispatch = ""
    if table["subcommands"]:
        names = [s["prog"].split(" ")[-1] for s in table["subcommands"]]
        for sub, name in zip(table["subcommands"], names):
            functions.append(command_function("%s_%s" % (prefix, name), sub))
        dispatch = "\n".join([
            "  # The subcommand: the first word after the command that is no option.",
            "  local i command=",
            "  for ((i = 1; i < cword; i++)); do",
            "    [[ ${words[i]} != -* ]] && { command=${words[i]}; break; }",
            "  done",
            "  if [[ -z $command ]]; then",
            "    if [[ $cur == -* ]]; then",
            '      _qor_words "%s"' % words_of(table["options"]),
            "    else",
            '      _qor_words "%s"' % " ".join(names),
            "    fi",
            "    return 0",
            "  fi",
            "  case $command in",
        ] + ["    %s) %s_%s ;;" % (n, prefix, n) for n in names] + [
            "  esac",
            "  return 0",
        ])
    body = dispatch or "  %s_main" % prefix
    text = "\n".join([
        "# bash completion for %s: its subcommands, options, their choices, notebook paths and,"
        % program,
        "# where revisions go, git's. Made by the build from the command's option table.",
        COMMON.strip("\n"),
        "",
    ] + functions + [
        "",
        "%s() {" % prefix,
        "  local cur prev words cword split",
        "  COMPREPLY=()",
        "  _qor_init || return 0",
        body,
        "}",
        "complete -F %s %s" % (prefix, program),
        "",
    ])
    os.makedirs(os.path.dirname(outfile) or ".", exist_ok=True)
    with open(outfile, "w", encoding="utf-8") as f:
        f.write(text)


def main(argv):
    if len(argv) == 6 and argv[1] == "man":
        write_manuals(argv[2], argv[3], argv[4], argv[5])
    elif len(argv) == 4 and argv[1] == "completion":
        write_completion(argv[2], argv[3])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
