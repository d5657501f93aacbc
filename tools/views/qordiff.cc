// qordiff: the difference between two versions of a pipeline notebook, for people and for git.
//
//   qordiff [--format=json|text|html] [--color=auto|always|never] [--graph=changed|full]
//           [-o FILE] [--browser] PREV CURRENT
//   qordiff [<options>] REV [REV] -- [PATH...]
//   qordiff [<options>] --difftool LOCAL REMOTE MERGED
//   qordiff --textconv FILE
//   qordiff --version
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/options.h"
#include "platform/process.h"
#include "platform/temp_dir.h"
#include "qor/diff.h"
#include "qor/errors.h"
#include "qor/json.h"
#include "qor/notebook.h"
#include "qor/printable.h"
#include "qor/program.h"
#include "qor/version.h"
#include "views/versions.h"
#include "views/views.h"

extern char** environ;

namespace {

constexpr const char* kUsage =
    "usage: qordiff [-h] [--version] [--format {json,text,html}] [--color {auto,always,never}]\n"
    "               [--graph {changed,full}] [-o FILE] [--browser] PREV CURRENT\n"
    "       qordiff [<options>] REV [REV] -- [PATH...]\n"
    "       qordiff [<options>] --difftool LOCAL REMOTE MERGED\n"
    "       qordiff --textconv FILE\n";
constexpr const char* kHelp =
    "\n"
    "Shows what changed between two versions of a pipeline notebook: every code cell and canvas\n"
    "parameter with its diff status (added, removed, modified, unchanged) and what it was\n"
    "before.\n"
    "\n"
    "PREV and CURRENT are notebook files, or REV:PATH for the file a git revision holds\n"
    "(HEAD~1:nb.ipynb; :nb.ipynb for the staged one). With REV -- PATH..., every notebook that\n"
    "differs between REV and the work tree (with two REVs, between them) is shown in turn,\n"
    "headed by the versions it compares; a notebook missing at one side shows as added or\n"
    "removed. Without PATH, the whole tree; a REV alone (no file of that name) needs no \"--\".\n"
    "\n"
    "positional arguments:\n"
    "  PREV          the previous version's notebook file (or REV:PATH)\n"
    "  CURRENT       the current version's notebook file (or REV:PATH)\n"
    "  REV           a git revision: a commit, branch or tag, HEAD~1, ...\n"
    "  PATH          the notebooks, or directories of them, to compare at the revisions\n"
    "\n"
    "options:\n"
    "  -h, --help    show this help message and exit\n"
    "  --version     show program's version number and exit\n"
    "  --format {json,text,html}\n"
    "                json: the diff document as one line of JSON (the default when the output\n"
    "                is not a terminal; with revisions, one line per notebook naming its\n"
    "                versions); text: the changes for people (the default on a terminal);\n"
    "                html: one self-contained page with the pipeline drawn. A notebook that\n"
    "                is no pipeline shows in text and html as its --textconv lines' diff\n"
    "  --color {auto,always,never}\n"
    "                colour the text on a terminal (auto, the default, also honours NO_COLOR)\n"
    "  --graph {changed,full}\n"
    "                the HTML view's pipeline: changed (the default) draws the changed\n"
    "                components with their parents and children and folds the unchanged rest\n"
    "                into nodes that say how many they hold; full draws every component\n"
    "  -o FILE, --output FILE\n"
    "                write to FILE instead of standard output; html pages of several\n"
    "                notebooks go into the directory FILE (existing, or ending in /)\n"
    "  --browser     write each html page to a file of its own (in a new temporary directory)\n"
    "                and open it with $BROWSER, else xdg-open\n"
    "  --difftool    run as git difftool's tool: LOCAL and REMOTE are the two versions (a\n"
    "                missing one is /dev/null), MERGED the notebook's path; text by default\n"
    "                (git config difftool.qordiff.cmd, or `qorgit install --difftool`)\n"
    "  --textconv    print one notebook FILE as line-oriented text for git's textconv\n"
    "                (git config diff.qordiff.textconv 'qordiff --textconv')\n";

using qor::cli::Action;
using qor::cli::Complete;

const qor::cli::Command kCommand{
    .prog = "qordiff",
    .usage = kUsage,
    .help = kHelp,
    .options =
        {
            {.name = "--help", .short_name = "-h", .action = Action::kHelp},
            {.name = "--version", .action = Action::kVersion},
            {.name = "--format", .choices = {"json", "text", "html"}},
            {.name = "--color", .choices = {"auto", "always", "never"}},
            {.name = "--graph", .choices = {"changed", "full"}},
            {.name = "--output",
             .short_name = "-o",
             .metavar = "FILE",
             .complete = Complete::kFile},
            {.name = "--textconv", .action = Action::kFlag},
            {.name = "--browser", .action = Action::kFlag},
            {.name = "--difftool", .action = Action::kFlag},
        },
    .positionals = {{.dest = "files",
                     .metavar = "FILE",
                     .min = 0,
                     .max = qor::cli::Positional::kMany,
                     .complete = Complete::kRevisionOrNotebook}},
};

int usage_error(const std::string& message) {
  return qor::cli::report({&kCommand, message}, std::cerr);
}

struct Options {
  std::string format;  // empty: by the output
  std::string color = "auto";
  bool full_graph = false;  // --graph=full
  std::optional<std::string> output;
  bool textconv = false;
  bool browser = false;
  bool difftool = false;
  std::vector<std::string> files;
  // How many of `files` came before "--", when it was given.
  std::optional<std::size_t> before_separator;
};

// Writes `text` to `path`, or to standard output when there is none; false (with a message) on
// failure.
bool emit_to(const std::optional<std::string>& path, const std::string& text) {
  if (!path) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    std::cerr << "qordiff: error: cannot write the output: " << std::strerror(errno) << "\n";
    return false;
  }
  std::FILE* f = std::fopen(path->c_str(), "wb");
  if (!f) {
    std::cerr << "qordiff: error: cannot write " << qor::printable(*path) << ": "
              << std::strerror(errno) << "\n";
    return false;
  }
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (std::fclose(f) != 0 || !ok) {
    std::cerr << "qordiff: error: cannot write " << qor::printable(*path) << "\n";
    return false;
  }
  return true;
}

bool emit(const Options& options, const std::string& text) { return emit_to(options.output, text); }

bool use_color(const Options& options) {
  if (options.color == "always") return true;
  if (options.color == "never" || options.output) return false;
  const char* no_color = std::getenv("NO_COLOR");
  return !(no_color && *no_color) && isatty(STDOUT_FILENO);
}

// qordiff --textconv FILE: the notebook as lines; a file that is not a notebook (not JSON, or
// JSON of another shape) as the text it is.
int run_textconv(const Options& options) {
  if (options.files.size() != 1) {
    return usage_error("--textconv takes one file, got " + std::to_string(options.files.size()));
  }
  try {
    const qor::diff::Version version = qor::diff::operand_versions(options.files)[0];
    std::string text;
    bool handed_over = false;
    try {
      // The process ends once the text is out: the notebook is left for the system to take
      // back with the rest, not taken apart value by value (a tenth of the time on a
      // notebook of small cells); a static pointer keeps leak checkers content.
      static const qor::json::Value* notebook = nullptr;
      notebook = new qor::json::Value(qor::diff::read_version(version, ""));
      if (options.output) {
        qor::diff::textconv(*notebook, text);
      } else {
        // To standard output in pieces, never held whole.
        text.reserve(std::size_t{2} << 20);
        qor::diff::textconv(*notebook, text, [&](std::string& piece) {
          std::fwrite(piece.data(), 1, piece.size(), stdout);
          piece.clear();
          handed_over = true;
        });
      }
    } catch (const qor::IoError&) {
      throw;
    } catch (const qor::Error& e) {
      // A notebook whose reading succeeded does not fail later; if one did after some of its
      // text was out, the text of the file could not follow it.
      if (handed_over) throw;
      // Git stops the whole command (log -p, show) when a textconv fails: a file that is not
      // a notebook is shown as the text it is.
      text.clear();
      qor::diff::append_unreadable_text(version, e.what(), text);
    }
    return emit(options, text) ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << "qordiff: error: " << qor::printable_line(e.what()) << "\n";
    return 1;
  }
}

// One report: two versions of one notebook and how they are named.
struct Report {
  qor::diff::Version prev, current;
  std::string path;  // the notebook's path in the repository; empty for two files
  // The views name the versions: the text above the changes, the JSON around the diff
  // document (as for revisions and git difftool, where the files' names tell nothing).
  bool named = false;
};

std::string shown_label(const qor::diff::Version& v) {
  return v.absent ? v.label + " (absent)" : v.label;
}

// `view()` (a view for people), or for a report whose versions are no pipeline notebooks (the
// view throws KeyError or TypeError: what it found missing or malformed), `lines(before, after,
// why)` of their textconv texts, as git diff shows them, rather than nothing. The versions are
// read again: the view annotated what it read.
template <class View, class Lines>
std::string or_lines(const Report& report, View view, Lines lines) {
  std::string why;
  try {
    return view();
  } catch (const qor::KeyError& e) {
    why = e.what();
  } catch (const qor::TypeError& e) {
    why = e.what();
  }
  return lines(qor::diff::version_text(report.prev), qor::diff::version_text(report.current), why);
}

// The report as `format` shows it.
std::string render(const Report& report, const std::string& format, bool color, bool full_graph) {
  const std::string prev_name = qor::notebook::version_name(report.prev.label, "previous");
  const std::string current_name = qor::notebook::version_name(report.current.label, "current");
  std::optional<qor::json::Value> prev, current;
  if (!report.prev.absent) prev = qor::diff::read_version(report.prev, prev_name);
  if (!report.current.absent) current = qor::diff::read_version(report.current, current_name);
  if (!prev && current) prev = qor::diff::hollow_notebook(*current);
  if (!current && prev) current = qor::diff::hollow_notebook(*prev);
  if (!prev) prev = current = qor::json::Value(qor::json::Object{});
  if (format == "json") {
    qor::json::Value doc = qor::diff::diff_documents<qor::notebook::ValueTree>(
        &*prev, &*current, prev_name, current_name);
    if (!report.named) return qor::json::write(doc) + "\n";
    qor::json::Object entry;
    entry.set("path", report.path);
    entry.set("status", report.prev.absent      ? "added"
                        : report.current.absent ? "removed"
                                                : "modified");
    entry.set("prev",
              report.prev.absent ? qor::json::Value() : qor::json::Value(report.prev.label));
    entry.set("current",
              report.current.absent ? qor::json::Value() : qor::json::Value(report.current.label));
    entry.set("diff", std::move(doc));
    return qor::json::write(qor::json::Value(std::move(entry))) + "\n";
  }
  if (format == "text") {
    qor::diff::TextViewOptions text_options;
    text_options.prev_name = prev_name;
    text_options.current_name = current_name;
    text_options.color = color;
    std::string out;
    if (report.named) {
      const char* bold = color ? "\x1b[1m" : "";
      const char* plain = color ? "\x1b[0m" : "";
      out += bold + ("--- " + qor::printable(shown_label(report.prev))) + plain + "\n";
      out += bold + ("+++ " + qor::printable(shown_label(report.current))) + plain + "\n";
    }
    return out +
           or_lines(
               report, [&] { return qor::diff::text_view(*prev, *current, text_options); },
               [&](const std::string& before, const std::string& after, const std::string& why) {
                 return qor::diff::text_lines_view(before, after, why, text_options);
               });
  }
  qor::diff::HtmlViewOptions html_options;
  html_options.prev_name = prev_name;
  html_options.current_name = current_name;
  html_options.prev_label = shown_label(report.prev);
  html_options.current_label = shown_label(report.current);
  html_options.full_graph = full_graph;
  return or_lines(
      report, [&] { return qor::diff::html_view(*prev, *current, html_options); },
      [&](const std::string& before, const std::string& after, const std::string& why) {
        return qor::diff::html_lines_view(before, after, why, html_options);
      });
}

// The name of a report's page file: the notebook's path (or the current file's name) + ".html".
std::string page_name(const Report& report) {
  if (!report.path.empty()) return report.path + ".html";
  std::string name = report.current.label;
  if (const auto colon = name.rfind(':'); colon != std::string::npos) name.erase(0, colon + 1);
  name = std::filesystem::path(name).filename().string();
  return (name.empty() || name == "." || name == ".." ? "notebook" : name) + ".html";
}

// A new directory for pages that outlive this program (the browser reads them after it ended):
// "qordiff-XXXXXX", readable only by its owner, in the first temporary place that takes one.
std::string new_page_directory() {
  for (const std::string& location : qor::platform::temp_locations()) {
    std::string dir = location + "/qordiff-XXXXXX";
    if (::mkdtemp(dir.data()) != nullptr) return dir;
  }
  throw qor::IoError(errno, "qordiff-XXXXXX", "no temporary directory takes the pages");
}

// Writes `text` to `dir`/`name`, making the directories `name` leads through.
std::string write_page(const std::string& dir, const std::string& name, const std::string& text) {
  const std::filesystem::path file = std::filesystem::path(dir) / name;
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  if (ec) throw qor::IoError(ec.value(), file.parent_path().string());
  if (!emit_to(file.string(), text)) throw qor::IoError(EIO, file.string(), "");
  return file.string();
}

// Opens `file` with $BROWSER (a shell command, given the file as its argument), else xdg-open,
// and waits for it: a browser in the terminal keeps it until it ends. Throws CommandError when it
// cannot be started or fails.
void open_in_browser(const std::string& file) {
  std::vector<std::string> argv = qor::platform::browser_command(file);
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = 0;
  if (const int failed = ::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ)) {
    throw qor::CommandError("cannot start " + argv[0] + " to open " + file + ": " +
                            std::strerror(failed) + " (set BROWSER)");
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw qor::CommandError((argv[0] == "xdg-open" ? "xdg-open" : "$BROWSER") +
                            std::string(" did not open ") + file);
  }
}

// Whether `path` names a directory for pages: one that exists, or any path ending in "/".
bool names_directory(const std::string& path) {
  struct stat st;
  return path.ends_with('/') || (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

// Shows `reports` in `format`: one after the other on the output, or each page in a file of its
// own (a directory given with -o, or a new one opened in the browser).
int show(const Options& options, const std::vector<Report>& reports, const std::string& format) {
  const bool color = format == "text" && use_color(options);
  const bool page_files =
      format == "html" && (options.browser || reports.size() > 1 ||
                           (options.output && names_directory(*options.output)));
  // A notebook that cannot be shown is an error of its own; the others are still shown.
  int status = 0;
  const auto rendered = [&](const Report& report, bool colored) -> std::optional<std::string> {
    try {
      return render(report, format, colored, options.full_graph);
    } catch (const qor::Error& e) {
      std::cerr << "qordiff: error: " << qor::printable_line(e.what()) << "\n";
      status = 1;
      return std::nullopt;
    }
  };
  if (!page_files) {
    std::string out;
    for (const Report& report : reports) {
      const std::optional<std::string> text = rendered(report, color);
      if (!text) continue;
      if (!out.empty() && format == "text") out += "\n";
      out += *text;
    }
    return emit(options, out) ? status : 1;
  }
  if (!options.browser && !options.output) {
    return usage_error(
        std::to_string(reports.size()) +
        " notebooks differ and html shows one notebook a page: name a directory for the "
        "pages with -o DIR/, or open them with --browser");
  }
  const std::string dir = options.browser ? new_page_directory() : *options.output;
  for (const Report& report : reports) {
    const std::optional<std::string> page = rendered(report, false);
    if (!page) continue;
    const std::string file = write_page(dir, page_name(report), *page);
    if (options.browser) {
      std::cout << "qordiff: the page of "
                << qor::printable(report.path.empty() ? report.current.label : report.path) << ": "
                << qor::printable(file) << std::endl;
      open_in_browser(file);
    }
  }
  return status;
}

// The reports the operands ask for: two files (or REV:PATH), the notebooks that differ between
// revisions, or git difftool's files; nothing after a usage error, which `status` then holds.
std::optional<std::vector<Report>> reports_for(const Options& options, int& status) {
  const std::vector<std::string>& files = options.files;
  if (options.difftool) {
    if (files.size() != 3) {
      status = usage_error("--difftool takes LOCAL, REMOTE and MERGED, got " +
                           std::to_string(files.size()) + " arguments");
      return std::nullopt;
    }
    // git passes /dev/null for the side where the notebook is missing.
    Report r{{"a/" + files[2], files[0] == "/dev/null", std::nullopt, files[0]},
             {"b/" + files[2], files[1] == "/dev/null", std::nullopt, files[1]},
             files[2],
             true};
    return std::vector<Report>{r};
  }
  std::vector<std::string> revisions, paths;
  if (options.before_separator && *options.before_separator > 0) {
    revisions.assign(files.begin(), files.begin() + *options.before_separator);
    paths.assign(files.begin() + *options.before_separator, files.end());
  } else if (!options.before_separator && !files.empty() && files.size() <= 2) {
    // Without "--", operands that are no files and no REV:PATH may be revisions.
    bool all_revisions = true;
    for (const std::string& f : files) {
      struct stat st;
      all_revisions = all_revisions && ::stat(f.c_str(), &st) != 0 &&
                      f.find(':') == std::string::npos && qor::diff::is_revision(f);
    }
    if (all_revisions) revisions = files;
  }
  if (revisions.size() > 2) {
    status = usage_error("expected one or two revisions before --, got " +
                         std::to_string(revisions.size()));
    return std::nullopt;
  }
  std::vector<Report> reports;
  if (!revisions.empty()) {
    for (qor::diff::NotebookPair& pair : qor::diff::revision_pairs(revisions, paths)) {
      reports.push_back({std::move(pair.prev), std::move(pair.current), pair.path, true});
    }
    return reports;
  }
  if (files.size() != 2) {
    status = usage_error("expected 2 files, PREV and CURRENT, got " + std::to_string(files.size()));
    return std::nullopt;
  }
  std::vector<qor::diff::Version> versions = qor::diff::operand_versions(files);
  reports.push_back({std::move(versions[0]), std::move(versions[1]), {}, false});
  return reports;
}

// qordiff PREV CURRENT, qordiff REV [REV] -- PATH..., qordiff --difftool: the diff documents, or
// their views.
int run_diff(const Options& options) {
  std::string format = options.format;
  if (options.browser) {
    if (!format.empty() && format != "html") {
      return usage_error("--browser shows the html page: leave out --format or give html");
    }
    if (options.output) return usage_error("choose one of --browser and -o");
    format = "html";
  }
  if (format.empty() && options.difftool) format = "text";
  if (format.empty()) format = !options.output && isatty(STDOUT_FILENO) ? "text" : "json";
  try {
    int status = 0;
    const std::optional<std::vector<Report>> reports = reports_for(options, status);
    if (!reports) return status;
    return show(options, *reports, format);
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "qordiff: error: " << qor::printable_line(e.what()) << "\n";
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything opens a file: a closed standard descriptor must not become one of ours.
  qor::program::open_standard_descriptors();
  // Notebook files are read through read-only mappings; should one shrink meanwhile, the
  // command fails as for a file that cannot be read.
  qor::program::guard_mapped_inputs("qordiff: error: ");
  const qor::cli::Parsed parsed =
      qor::cli::parse(kCommand, {argv + 1, argv + argc}, std::cout, std::cerr);
  if (!parsed.args) return parsed.exit_status;
  const qor::cli::Args& args = *parsed.args;
  Options options;
  options.format = args.get("format");
  options.color = args.get("color", "auto");
  options.full_graph = args.get("graph", "changed") == "full";
  if (args.has("output")) options.output = args.get("output");
  options.textconv = args.flag("textconv");
  options.browser = args.flag("browser");
  options.difftool = args.flag("difftool");
  options.files = args.all("files");
  options.before_separator = args.before_separator();
  return options.textconv ? run_textconv(options) : run_diff(options);
}
