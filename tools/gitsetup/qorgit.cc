// qorgit: git set-up for the notebook drivers and the conflict check, in one command.
//
//   qorgit install [--local | --global | --system] [--conflict-exit] [--hook] [--layout=jupyter]
//                  [--mergetool] [--difftool[={text,html}]]
//   qorgit uninstall [--local | --global | --system]
//   qorgit check [--json] [-q] [PATH...]
//   qorgit status
//   qorgit resolve [PATH...] [--list [--json]] [--take SIDE [--component C]...]...
//
// Options are read by the commands' option parser (cli/options.h); the work is done by the
// git set-up (gitsetup/gitsetup.h), the core's conflict scan (qor/conflicts.h) and, for
// resolve, the resolve tool (resolve/command.h).
#include <chrono>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "cli/options.h"
#include "gitsetup/gitsetup.h"
#include "qor/conflicts.h"
#include "qor/json.h"
#include "qor/printable.h"
#include "qor/program.h"
#include "qor/version.h"
#include "resolve/command.h"

namespace {

using qor::gitsetup::CheckedNotebook;
using qor::gitsetup::Scope;

constexpr const char* kUsage =
    "usage: qorgit [-h] [--version] <command> [<options>]\n"
    "       qorgit install [--local | --global | --system] [--conflict-exit] [--hook]\n"
    "                      [--layout=jupyter] [--mergetool] [--difftool[={text,html}]]\n"
    "       qorgit uninstall [--local | --global | --system]\n"
    "       qorgit check [--json] [-q] [PATH...]\n"
    "       qorgit status\n"
    "       qorgit resolve [PATH...] [--list [--json]] [--take SIDE [--component NAME_OR_ID]...\n"
    "                      [--parameter NAME]...]... [--no-browser] [--no-add]\n";

constexpr const char* kHelp =
    "\n"
    "Sets git up to merge pipeline notebooks with qormerge and to show their differences\n"
    "through qordiff, and finds the conflicts a merge left in notebooks.\n"
    "\n"
    "commands:\n"
    "  install     register the merge and diff drivers and the *.ipynb attribute\n"
    "  uninstall   remove exactly what install wrote\n"
    "  check       list unresolved conflicts in notebooks (exit 1 when any is left)\n"
    "  status      show what is installed where, and which qormerge git will run\n"
    "  resolve     resolve a notebook's conflicts component by component, on a page in the\n"
    "              browser or from the shell\n"
    "\n"
    "options:\n"
    "  -h, --help  show this help message (or a command's, after the command) and exit\n"
    "  --version   print the version and exit\n";

constexpr const char* kInstallUsage =
    "usage: qorgit install [-h] [--local | --global | --system] [--no-conflict-exit]\n"
    "                      [--hook | --no-hook] [--layout={default,jupyter}]\n"
    "                      [--pattern GLOB]... [--shared | --no-shared] [--force]\n"
    "                      [--mergetool] [--difftool[={text,html}]]\n";
constexpr const char* kInstallHelp =
    "\n"
    "Registers qormerge as git's merge driver and qordiff as its diff driver for notebooks:\n"
    "  merge.qormerge.name, merge.qormerge.driver (the absolute path of qormerge with\n"
    "    --base-file=%O --current-file=%A --incoming-file=%B --file-path=%P\n"
    "    --fallback=text --marker-size=%L --notes --conflict-exit),\n"
    "    merge.qormerge.recursive = binary;\n"
    "  diff.qordiff.textconv ('<qordiff>' --textconv), diff.qordiff.cachetextconv = true;\n"
    "  one line 'GLOB merge=qormerge diff=qordiff' per pattern in the scope's attributes\n"
    "    file: the repository's .git/info/attributes (nothing to commit), the file\n"
    "    core.attributesFile names (else ~/.config/git/attributes), or the system\n"
    "    gitattributes (beside the system configuration file).\n"
    "Notebooks that are not pipeline notebooks (a cell without a component id) are merged as\n"
    "git merges text. A merge, rebase, cherry-pick or stash pop stops at conflicts left in a\n"
    "notebook, as it does for any file. An attribute the scope already sets for a pattern\n"
    "(an LFS rule, binary, -diff) is left as it is unless --force. qormerge and qordiff are the\n"
    "programs in qorgit's own directory, else the first found on PATH. Files install creates\n"
    "and values it replaces are recorded in a [qorgit] section of the same configuration, for\n"
    "uninstall; so are the choices made, which a later install keeps unless given new ones.\n"
    "Running install again changes nothing; it prints each change it makes.\n"
    "\n"
    "options:\n"
    "  -h, --help          show this help message and exit\n"
    "  --local             the current repository (the default)\n"
    "  --global            the user's configuration\n"
    "  --system            the machine's configuration\n"
    "  --no-conflict-exit  the driver exits with 0 also when conflicts remain, so that git\n"
    "                      takes the merged notebook as resolved (--conflict-exit: the\n"
    "                      default, git marks the notebook as unmerged until `git add`)\n"
    "  --hook              also pre-commit and pre-merge-commit hooks that run `qorgit check`\n"
    "                      on the staged notebooks (core.hooksPath honoured; with --global or\n"
    "                      --system, the core.hooksPath of that configuration); an existing\n"
    "                      hook is kept as <hook>.qorgit-chained and run first\n"
    "  --no-hook           remove the hooks an earlier install put there\n"
    "  --layout={default,jupyter}\n"
    "                      merged notebooks are written as Jupyter writes them (indented,\n"
    "                      sorted keys, UTF-8) or as one line of ASCII JSON (default)\n"
    "  --pattern GLOB      the files the drivers take (repeatable; default *.ipynb)\n"
    "  --shared            the attribute lines go to the repository's .gitattributes, to be\n"
    "                      committed (a clone without the drivers merges notebooks as text)\n"
    "  --no-shared         back to .git/info/attributes\n"
    "  --force             also for patterns whose merge or diff attribute is already set\n"
    "  --mergetool         also register `qorgit resolve` as git mergetool's tool qor\n"
    "                      (mergetool.qor.cmd, mergetool.qor.trustExitCode = true, and\n"
    "                      merge.tool = qor where git has no merge.tool yet)\n"
    "  --difftool[={text,html}]\n"
    "                      also register qordiff as git difftool's tool qordiff\n"
    "                      (difftool.qordiff.cmd; `git difftool --tool=qordiff`): the\n"
    "                      changes as text in the terminal (the default), or each\n"
    "                      notebook's page opened in the browser (html)\n";

constexpr const char* kUninstallUsage =
    "usage: qorgit uninstall [-h] [--local | --global | --system]\n";
constexpr const char* kUninstallHelp =
    "\n"
    "Removes what `qorgit install` wrote in the scope: the driver settings (values they had\n"
    "before come back), the attribute line, the core.attributesFile it set, the hook (the hook\n"
    "it ran first comes back) and the files and directories it created. Nothing else.\n"
    "\n"
    "options:\n"
    "  -h, --help  show this help message and exit\n"
    "  --local     the current repository (the default)\n"
    "  --global    the user's configuration\n"
    "  --system    the machine's configuration\n";

constexpr const char* kCheckUsage = "usage: qorgit check [-h] [--json] [-q] [PATH...]\n";
constexpr const char* kCheckHelp =
    "\n"
    "Lists every unresolved conflict by notebook and component: conflict blocks in cell\n"
    "sources with their line numbers (in markdown and raw cells only those a merge wrote),\n"
    "cells and canvas parameters whose names carry \"<<< \" or \">>> \", parent records that\n"
    "name no component, and notebooks git still holds as unmerged. Without PATH, checks the\n"
    "notebooks git lists as staged (their staged content, which a commit records; symbolic\n"
    "links left out) or as unmerged (the work tree file).\n"
    "Also lists the copies of old content (<name>.qor-backup) that an interrupted in-place\n"
    "write left beside a PATH, or, without PATH, anywhere in the work tree.\n"
    "Exit status: 0 when nothing is left, 1 when a conflict or such a copy is left or a\n"
    "notebook cannot be read, 2 on bad usage.\n"
    "\n"
    "positional arguments:\n"
    "  PATH         notebook files to check; a directory stands for the notebooks below it\n"
    "               (outside .git and .ipynb_checkpoints)\n"
    "\n"
    "options:\n"
    "  -h, --help   show this help message and exit\n"
    "  --json       print the findings as one JSON document, for tools\n"
    "  -q, --quiet  print nothing when nothing is left\n";

constexpr const char* kStatusUsage = "usage: qorgit status [-h]\n";
constexpr const char* kStatusHelp =
    "\n"
    "Shows what qorgit installed in the local, global and system configurations, which merge\n"
    "and textconv commands git will run (and whether their programs exist), the attributes a\n"
    "notebook gets in this repository and its pre-commit hook.\n"
    "\n"
    "options:\n"
    "  -h, --help  show this help message and exit\n";

constexpr const char* kResolveUsage =
    "usage: qorgit resolve [-h] [PATH...] [--list [--json]]\n"
    "                      [--take {current,incoming,both} [--component NAME_OR_ID]...\n"
    "                       [--parameter NAME]...]... [--no-browser] [--no-add]\n"
    "                      [--idle-timeout SECONDS]\n"
    "       qorgit resolve --mergetool BASE LOCAL REMOTE MERGED [<options>]\n";
constexpr const char* kResolveHelp =
    "\n"
    "Resolves the conflicts a merge left in notebooks, component by component: conflict\n"
    "blocks in sources, components and parameters marked \"<<< \" / \">>> \" (two versions of\n"
    "a component, one kept against a deletion, names that collide) and parent records that name\n"
    "no component. It starts from each file as it is (hand edits kept) and reads the base,\n"
    "current and incoming versions from git's index. A notebook is written only when nothing is\n"
    "left and its result passes the checks: no markers or marked names, unique component ids,\n"
    "every parent a component, no cycle among parents. It is written atomically, in the layout\n"
    "`qorgit install` recorded, then staged (git add). Keeping the incoming version of a\n"
    "component keeps the component id its children name; a parameter goes back to its place.\n"
    "\n"
    "Without --list or --take, one page is served on 127.0.0.1 and opened with $BROWSER (else\n"
    "the desktop's opener); its URL is always printed. Keys: n / p next and previous conflict,\n"
    "1 current, 2 incoming, 3 both, e edit (Ctrl+Enter applies), u withdraw, s save, ? keys.\n"
    "The page needs the URL's one-time token; closing it without saving leaves the files as\n"
    "they were.\n"
    "Exit status: 0 when every notebook was written, 1 when something is left (the shell\n"
    "names it) or the page closed unsaved, 2 on bad usage. With --list: 0 when nothing is left.\n"
    "\n"
    "positional arguments:\n"
    "  PATH                 notebooks to resolve (default: every notebook git holds as\n"
    "                       unmerged)\n"
    "\n"
    "options:\n"
    "  -h, --help           show this help message and exit\n"
    "  --list               list the conflicts and what the merge settled worth a look\n"
    "  --json               with --list: one JSON document, for tools\n"
    "  --take SIDE          take current, incoming or both for the conflicts selected after\n"
    "                       it (none selected: every conflict not decided before); repeatable\n"
    "  --component NAME_OR_ID\n"
    "                       the conflicts of a component (after --take; repeatable)\n"
    "  --parameter NAME     the conflict of a canvas parameter (after --take; repeatable)\n"
    "  --no-browser         print the page's URL without opening it\n"
    "  --no-add             write the notebooks without staging them\n"
    "  --idle-timeout SECONDS\n"
    "                       end the page's server after this long without the page (600)\n"
    "  --mergetool BASE LOCAL REMOTE MERGED\n"
    "                       run as git mergetool's tool: the three versions from these files,\n"
    "                       the result into MERGED (git stages it when the exit status is 0)\n";

using qor::cli::Action;
using qor::cli::Command;
using qor::cli::Complete;

const qor::cli::Option kHelpOption{.name = "--help", .short_name = "-h", .action = Action::kHelp};

// --local, --global, --system: the configuration scope, one of them.
const qor::cli::Option kScopes[] = {
    {.name = "--local", .action = Action::kFlag, .dest = "scope", .value = "local"},
    {.name = "--global", .action = Action::kFlag, .dest = "scope", .value = "global"},
    {.name = "--system", .action = Action::kFlag, .dest = "scope", .value = "system"},
};
const qor::cli::Exclusive kOneScope{{"--local", "--global", "--system"},
                                    "choose one of --local, --global and --system"};

const Command kInstall{
    .prog = "qorgit install",
    .usage = kInstallUsage,
    .help = kInstallHelp,
    .options =
        {
            kHelpOption,
            kScopes[0],
            kScopes[1],
            kScopes[2],
            {.name = "--conflict-exit", .action = Action::kFlag},
            {.name = "--no-conflict-exit",
             .action = Action::kFlag,
             .dest = "conflict-exit",
             .value = "false"},
            {.name = "--hook", .action = Action::kFlag},
            {.name = "--no-hook", .action = Action::kFlag, .dest = "hook", .value = "false"},
            {.name = "--layout",
             .choices = {"default", "jupyter"},
             .invalid_choice = "argument --layout: expected --layout=jupyter or --layout=default"},
            {.name = "--pattern", .action = Action::kAppend, .metavar = "GLOB"},
            {.name = "--shared", .action = Action::kFlag},
            {.name = "--no-shared", .action = Action::kFlag, .dest = "shared", .value = "false"},
            {.name = "--force", .action = Action::kFlag},
            {.name = "--mergetool", .action = Action::kFlag},
            {.name = "--difftool",
             .action = Action::kOptional,
             .value = "text",
             .choices = {"text", "html"}},
        },
    .exclusive = {kOneScope},
    .first_unrecognized_only = true,
};

const Command kUninstall{
    .prog = "qorgit uninstall",
    .usage = kUninstallUsage,
    .help = kUninstallHelp,
    .options = {kHelpOption, kScopes[0], kScopes[1], kScopes[2]},
    .exclusive = {kOneScope},
    .first_unrecognized_only = true,
};

// The notebooks (or directories of them) that check and resolve work on.
const qor::cli::Positional kNotebookPaths{.dest = "paths",
                                          .metavar = "PATH",
                                          .min = 0,
                                          .max = qor::cli::Positional::kMany,
                                          .complete = Complete::kNotebook};

const Command kCheck{
    .prog = "qorgit check",
    .usage = kCheckUsage,
    .help = kCheckHelp,
    .options =
        {
            kHelpOption,
            {.name = "--json", .action = Action::kFlag},
            {.name = "--quiet", .short_name = "-q", .action = Action::kFlag},
        },
    .positionals = {kNotebookPaths},
    .first_unrecognized_only = true,
};

const Command kStatus{
    .prog = "qorgit status",
    .usage = kStatusUsage,
    .help = kStatusHelp,
    .options = {kHelpOption},
    .first_unrecognized_only = true,
};

const Command kResolve{
    .prog = "qorgit resolve",
    .usage = kResolveUsage,
    .help = kResolveHelp,
    .options =
        {
            kHelpOption,
            {.name = "--list", .action = Action::kFlag},
            {.name = "--json", .action = Action::kFlag},
            // --take and the selectors after it are read in the order given (Args::given()).
            {.name = "--take",
             .action = Action::kAppend,
             .choices = {"current", "incoming", "both"},
             .metavar = "SIDE"},
            {.name = "--component", .action = Action::kAppend, .metavar = "NAME_OR_ID"},
            {.name = "--parameter", .action = Action::kAppend, .metavar = "NAME"},
            {.name = "--no-browser", .action = Action::kFlag},
            {.name = "--no-add", .action = Action::kFlag},
            {.name = "--idle-timeout", .metavar = "SECONDS"},
            // With it, the paths are git mergetool's BASE, LOCAL, REMOTE and MERGED.
            {.name = "--mergetool", .action = Action::kFlag},
        },
    .positionals = {kNotebookPaths},
    .first_unrecognized_only = true,
};

const Command kQorgit{
    .prog = "qorgit",
    .usage = kUsage,
    .help = kHelp,
    .options = {kHelpOption, {.name = "--version", .action = Action::kVersion}},
    .subcommands = {&kInstall, &kUninstall, &kCheck, &kStatus, &kResolve},
};

Scope scope_of(const qor::cli::Args& args) {
  const std::string scope = args.get("scope", "local");
  return scope == "global" ? Scope::kGlobal : scope == "system" ? Scope::kSystem : Scope::kLocal;
}

// An optional yes or no: given as "true" or "false", or not at all.
std::optional<bool> choice(const qor::cli::Args& args, std::string_view key) {
  if (!args.has(key)) return std::nullopt;
  return args.flag(key);
}

int print_lines(const std::vector<std::string>& lines, const std::string& when_empty) {
  if (lines.empty()) std::cout << "qorgit: " << when_empty << "\n";
  for (const std::string& line : lines) std::cout << qor::printable(line) << "\n";
  std::cout.flush();
  return std::cout ? 0 : 1;
}

std::string scope_text(Scope scope) {
  return "the " + std::string(qor::gitsetup::scope_name(scope)) + " configuration";
}

int run_install(const qor::cli::Args& args) {
  qor::gitsetup::InstallOptions install;
  install.scope = scope_of(args);
  install.conflict_exit = choice(args, "conflict-exit");
  install.hook = choice(args, "hook");
  install.shared = choice(args, "shared");
  install.force = args.flag("force");
  install.mergetool = choice(args, "mergetool");
  if (args.has("difftool")) install.difftool = args.get("difftool");
  if (args.has("layout")) {
    install.layout = args.get("layout") == "jupyter" ? qor::notebook::Layout::kJupyter
                                                     : qor::notebook::Layout::kDefault;
  }
  for (const std::string& pattern : args.all("pattern")) {
    // An attribute line is a pattern and attributes separated by blanks.
    if (pattern.empty() || pattern.find_first_of(" \t\r\n") != std::string::npos ||
        pattern.starts_with('#') || pattern.starts_with('!')) {
      throw qor::cli::UsageError{
          &kInstall,
          "argument --pattern: not a pattern git's attribute files can hold: " + pattern};
    }
    install.patterns.push_back(pattern);
  }
  install.qormerge = qor::gitsetup::locate_program("qormerge");
  install.qordiff = qor::gitsetup::locate_program("qordiff");
  install.qorgit = qor::gitsetup::locate_program("qorgit");
  return print_lines(qor::gitsetup::install(install),
                     "already installed in " + scope_text(install.scope) + "; nothing changed");
}

int run_uninstall(const qor::cli::Args& args) {
  const Scope s = scope_of(args);
  return print_lines(qor::gitsetup::uninstall(s),
                     "nothing installed by qorgit in " + scope_text(s) + "; nothing changed");
}

std::string lines_text(std::size_t first, std::size_t last) {
  return first == last ? "source line " + std::to_string(first)
                       : "source lines " + std::to_string(first) + "-" + std::to_string(last);
}

std::string cell_text(std::size_t index, const std::string& name) {
  return "cell " + std::to_string(index) + (name.empty() ? "" : " (" + name + ")");
}

void print_text(const std::vector<CheckedNotebook>& checked, bool quiet) {
  std::size_t with_conflicts = 0, unreadable = 0;
  for (const CheckedNotebook& nb : checked) {
    std::string label = nb.path;
    if (nb.version != "file") label += " (" + nb.version + ")";
    if (!nb.conflicts) {
      ++unreadable;
      std::cout << qor::printable(label + ": cannot be read: ") << qor::printable_line(nb.error)
                << "\n";
      if (nb.unmerged) {
        std::cout << qor::printable(label) << ": git still holds the notebook as unmerged\n";
      }
      continue;
    }
    const qor::notebook::Conflicts& c = *nb.conflicts;
    if (nb.unresolved()) ++with_conflicts;
    for (const auto& b : c.blocks) {
      std::cout << qor::printable(label + ": " + cell_text(b.cell, b.name)) << ": conflict block, "
                << lines_text(b.first_line, b.last_line) << "\n";
    }
    for (const auto& m : c.components) {
      std::cout << qor::printable(label + ": " + cell_text(m.index, m.name))
                << ": component in conflict\n";
    }
    for (const auto& m : c.parameters) {
      std::cout << qor::printable(label) << ": parameter " << m.index << " ("
                << qor::printable(m.name) << "): parameter in conflict\n";
    }
    for (const auto& d : c.dangling_parents) {
      std::cout << qor::printable(label + ": " + cell_text(d.cell, d.name) + ": parent " +
                                  d.parent_id)
                << " names no component of the notebook\n";
    }
    if (nb.unmerged) {
      std::cout << qor::printable(label)
                << ": git still holds the notebook as unmerged: resolve what is left, then stage "
                   "it (git add)\n";
    }
  }
  const std::size_t n = checked.size();
  const std::string notebooks = std::to_string(n) + (n == 1 ? " notebook" : " notebooks");
  if (with_conflicts == 0 && unreadable == 0) {
    if (!quiet) {
      std::cout << "qorgit check: "
                << (n == 0 ? "no notebooks to check" : "no unresolved conflicts in " + notebooks)
                << "\n";
    }
    return;
  }
  std::cout << "qorgit check: unresolved conflicts in " << with_conflicts << " of " << notebooks;
  if (unreadable != 0) std::cout << ", " << unreadable << " unreadable";
  std::cout << "\n";
}

qor::json::Value names_json(const std::vector<qor::notebook::MarkedName>& names, bool cells) {
  qor::json::Array list;
  for (const auto& m : names) {
    qor::json::Object entry;
    entry.set(cells ? "cell" : "index", static_cast<long long>(m.index));
    entry.set("name", m.name);
    if (cells) entry.set("component_id", m.component_id);
    list.emplace_back(std::move(entry));
  }
  return qor::json::Value(std::move(list));
}

// One line for each copy of old content that an interrupted in-place write left.
void print_interrupted(const std::vector<qor::gitsetup::InterruptedWrite>& interrupted) {
  for (const auto& w : interrupted) {
    const std::string file = w.file.empty() ? "a file" : w.file;
    const std::string which = w.file.empty() ? "that file" : w.file;
    std::cout << qor::printable(w.backup + ": an interrupted write of " + file +
                                " left its old content here; " + which +
                                " may hold neither version: put this copy back or remove it")
              << "\n";
  }
}

void print_json(const std::vector<CheckedNotebook>& checked,
                const std::vector<qor::gitsetup::InterruptedWrite>& interrupted) {
  qor::json::Array notebooks;
  std::size_t conflicts = 0, unreadable = 0, unmerged = 0;
  for (const CheckedNotebook& nb : checked) {
    if (nb.unmerged) ++unmerged;
    qor::json::Object entry;
    entry.set("path", nb.path);
    entry.set("version", nb.version);
    entry.set("unmerged", nb.unmerged);
    if (!nb.conflicts) {
      ++unreadable;
      entry.set("error", nb.error);
      notebooks.emplace_back(std::move(entry));
      continue;
    }
    const qor::notebook::Conflicts& c = *nb.conflicts;
    conflicts += c.count();
    qor::json::Array blocks;
    for (const auto& b : c.blocks) {
      qor::json::Object block;
      block.set("cell", static_cast<long long>(b.cell));
      block.set("name", b.name);
      block.set("component_id", b.component_id);
      block.set("first_line", static_cast<long long>(b.first_line));
      block.set("last_line", static_cast<long long>(b.last_line));
      blocks.emplace_back(std::move(block));
    }
    entry.set("conflict_blocks", qor::json::Value(std::move(blocks)));
    entry.set("components", names_json(c.components, true));
    entry.set("parameters", names_json(c.parameters, false));
    qor::json::Array dangling;
    for (const auto& d : c.dangling_parents) {
      qor::json::Object parent;
      parent.set("cell", static_cast<long long>(d.cell));
      parent.set("name", d.name);
      parent.set("component_id", d.component_id);
      parent.set("parent_id", d.parent_id);
      dangling.emplace_back(std::move(parent));
    }
    entry.set("dangling_parents", qor::json::Value(std::move(dangling)));
    entry.set("summary", qor::notebook::conflict_summary(c));
    notebooks.emplace_back(std::move(entry));
  }
  qor::json::Object doc;
  doc.set("notebooks", qor::json::Value(std::move(notebooks)));
  doc.set("conflicts", static_cast<long long>(conflicts));
  doc.set("unreadable", static_cast<long long>(unreadable));
  doc.set("unmerged", static_cast<long long>(unmerged));
  qor::json::Array writes;
  for (const auto& w : interrupted) {
    qor::json::Object entry;
    entry.set("file", w.file);
    entry.set("backup", w.backup);
    writes.emplace_back(std::move(entry));
  }
  doc.set("interrupted_writes", qor::json::Value(std::move(writes)));
  std::cout << qor::json::write(qor::json::Value(std::move(doc))) << "\n";
}

int run_check(const qor::cli::Args& args) {
  const bool json = args.flag("json"), quiet = args.flag("quiet");
  const std::vector<std::string>& paths = args.all("paths");
  if (paths.empty() && !qor::gitsetup::inside_work_tree()) {
    throw qor::cli::UsageError{&kCheck, "not inside a git work tree: name the notebooks to check"};
  }
  const std::vector<CheckedNotebook> checked =
      paths.empty() ? qor::gitsetup::check_repository() : qor::gitsetup::check_files(paths);
  // Copies of old content lie beside the notebooks checked (those below a directory named
  // included), or anywhere in the work tree when no path was named.
  std::vector<std::string> checked_paths;
  for (const CheckedNotebook& nb : checked) checked_paths.push_back(nb.path);
  const auto interrupted =
      paths.empty() || !checked_paths.empty()
          ? qor::gitsetup::interrupted_writes(paths.empty() ? paths : checked_paths)
          : std::vector<qor::gitsetup::InterruptedWrite>();
  if (json) {
    print_json(checked, interrupted);
  } else {
    print_interrupted(interrupted);
    print_text(checked, quiet);
  }
  std::cout.flush();
  if (!std::cout || !interrupted.empty()) return 1;
  for (const CheckedNotebook& nb : checked) {
    if (nb.unresolved()) return 1;
  }
  return 0;
}

int run_status(const qor::cli::Args&) { return print_lines(qor::gitsetup::status(), ""); }

int run_resolve(const qor::cli::Args& args) {
  const auto refuse = [](std::string message) {
    throw qor::cli::UsageError{&kResolve, std::move(message)};
  };
  qor::resolve::CommandOptions resolve;
  resolve.paths = args.all("paths");
  resolve.list = args.flag("list");
  resolve.json = args.flag("json");
  resolve.open_browser = !args.flag("no-browser");
  resolve.add = !args.flag("no-add");
  for (const auto& [key, value] : args.given()) {
    if (key == "take") {
      resolve.takes.push_back({*qor::resolve::take_from_name(value), {}, {}});
    } else if (key == "component" || key == "parameter") {
      if (resolve.takes.empty()) {
        refuse("argument --" + key + ": comes after the --take it selects for");
      }
      auto& group = resolve.takes.back();
      (key == "component" ? group.components : group.parameters).push_back(value);
    }
  }
  if (args.has("idle-timeout")) {
    const std::string text = args.get("idle-timeout");
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(seconds > 0)) {
      refuse("argument --idle-timeout: a number of seconds above 0 expected: " + text);
    }
    resolve.idle_timeout = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
  }
  if (args.flag("mergetool")) {
    if (resolve.paths.size() != 4) {
      refuse("argument --mergetool: expected four files (BASE LOCAL REMOTE MERGED)");
    }
    resolve.mergetool = resolve.paths;
    resolve.paths.clear();
  }
  if (resolve.json && !resolve.list) refuse("--json goes with --list");
  if (resolve.list && !resolve.takes.empty()) refuse("choose one of --list and --take");
  if (!resolve.mergetool && resolve.paths.empty() && !qor::gitsetup::inside_work_tree()) {
    refuse("not inside a git work tree: name the notebooks to resolve");
  }
  const int status = qor::resolve::run_command(resolve, std::cout, std::cerr);
  std::cout.flush();
  return std::cout ? status : 1;
}

// Runs the subcommand that `args` chose.
int run(const qor::cli::Args& args) {
  const Command* command = args.subcommand();
  if (command == &kInstall) return run_install(args);
  if (command == &kUninstall) return run_uninstall(args);
  if (command == &kCheck) return run_check(args);
  if (command == &kResolve) return run_resolve(args);
  return run_status(args);
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything opens a file: a closed standard descriptor must not become one of ours.
  qor::program::open_standard_descriptors();
  // SIGINT, SIGTERM, SIGHUP remove a configuration file being written and end us by the same
  // signal; a closed output is a write error.
  qor::program::install_signal_cleanup();
  std::ios::sync_with_stdio(false);
  const qor::cli::Parsed parsed =
      qor::cli::parse(kQorgit, {argv + 1, argv + argc}, std::cout, std::cerr);
  if (!parsed.args) return parsed.exit_status;
  try {
    return run(*parsed.args);
  } catch (const qor::cli::UsageError& e) {
    return qor::cli::report(e, std::cerr);
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << parsed.args->subcommand()->prog << ": error: " << qor::printable_line(e.what())
              << "\n";
    return 1;
  }
}
