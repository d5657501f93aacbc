// qordiff: the difference between two versions of a pipeline notebook, for people and for git.
//
//   qordiff [--format=json|text|html] [--color=auto|always|never] [--graph=changed|full]
//           [-o FILE] PREV CURRENT
//   qordiff --textconv FILE
//   qordiff --version
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/options.h"
#include "qor/diff.h"
#include "qor/errors.h"
#include "qor/json.h"
#include "qor/notebook.h"
#include "qor/printable.h"
#include "qor/program.h"
#include "qor/version.h"
#include "views/views.h"

namespace {

constexpr const char* kUsage =
    "usage: qordiff [-h] [--version] [--format {json,text,html}] [--color {auto,always,never}]\n"
    "               [--graph {changed,full}] [-o FILE] PREV CURRENT\n"
    "       qordiff --textconv FILE\n";
constexpr const char* kHelp =
    "\n"
    "Shows what changed between two versions of a pipeline notebook: every code cell and canvas\n"
    "parameter with its diff status (added, removed, modified, unchanged) and what it was\n"
    "before.\n"
    "\n"
    "positional arguments:\n"
    "  PREV          the previous version's notebook file\n"
    "  CURRENT       the current version's notebook file\n"
    "\n"
    "options:\n"
    "  -h, --help    show this help message and exit\n"
    "  --version     show program's version number and exit\n"
    "  --format {json,text,html}\n"
    "                json: the diff document as one line of JSON (the default when the output\n"
    "                is not a terminal); text: the changes for people (the default on a\n"
    "                terminal); html: one self-contained page with the pipeline drawn\n"
    "  --color {auto,always,never}\n"
    "                colour the text on a terminal (auto, the default, also honours NO_COLOR)\n"
    "  --graph {changed,full}\n"
    "                the HTML view's pipeline: changed (the default) draws the changed\n"
    "                components with their parents and children and folds the unchanged rest\n"
    "                into nodes that say how many they hold; full draws every component\n"
    "  -o FILE, --output FILE\n"
    "                write to FILE instead of standard output\n"
    "  --textconv    print one notebook FILE as line-oriented text for git's textconv\n"
    "                (git config diff.qordiff.textconv 'qordiff --textconv')\n";

using qor::cli::Action;

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
            {.name = "--output", .short_name = "-o", .metavar = "FILE"},
            {.name = "--textconv", .action = Action::kFlag},
        },
    .positionals =
        {{.dest = "files", .metavar = "FILE", .min = 0, .max = qor::cli::Positional::kMany}},
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
  std::vector<std::string> files;
};

// Writes `text` to the output file or standard output; false (with a message) on failure.
bool emit(const Options& options, const std::string& text) {
  if (!options.output) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout);
  }
  std::FILE* f = std::fopen(options.output->c_str(), "wb");
  if (!f) {
    std::cerr << "qordiff: error: cannot write " << qor::printable(*options.output) << ": "
              << std::strerror(errno) << "\n";
    return false;
  }
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (std::fclose(f) != 0 || !ok) {
    std::cerr << "qordiff: error: cannot write " << qor::printable(*options.output) << "\n";
    return false;
  }
  return true;
}

bool use_color(const Options& options) {
  if (options.color == "always") return true;
  if (options.color == "never" || options.output) return false;
  const char* no_color = std::getenv("NO_COLOR");
  return !(no_color && *no_color) && isatty(STDOUT_FILENO);
}

// qordiff --textconv FILE: the notebook as lines; a file that is not a notebook as the text it
// is.
int run_textconv(const Options& options) {
  if (options.files.size() != 1) {
    return usage_error("--textconv takes one file, got " + std::to_string(options.files.size()));
  }
  const std::string& path = options.files[0];
  try {
    std::string text;
    try {
      qor::diff::textconv(qor::notebook::read_notebook(path), text);
    } catch (const qor::IoError&) {
      throw;
    } catch (const qor::Error& e) {
      // Git stops the whole command (log -p, show) when a textconv fails: a file that is not
      // a notebook is shown as the text it is.
      std::string problem = e.what();
      if (problem.starts_with(path + ": ")) problem.erase(0, path.size() + 2);
      std::ifstream in(path, std::ios::binary);
      if (!in.is_open()) throw qor::IoError(errno, path);
      const std::string bytes{std::istreambuf_iterator<char>(in), {}};
      text.clear();
      qor::diff::textconv_unreadable(bytes, problem, text);
    }
    return emit(options, text) ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << "qordiff: error: " << qor::printable_line(e.what()) << "\n";
    return 1;
  }
}

// qordiff PREV CURRENT: the diff document, or one of its views.
int run_diff(const Options& options) {
  if (options.files.size() != 2) {
    return usage_error("expected 2 files, PREV and CURRENT, got " +
                       std::to_string(options.files.size()));
  }
  std::string format = options.format;
  if (format.empty()) format = !options.output && isatty(STDOUT_FILENO) ? "text" : "json";
  try {
    const std::string prev_name = qor::notebook::version_name(options.files[0], "previous");
    const std::string current_name = qor::notebook::version_name(options.files[1], "current");
    qor::json::Value prev = qor::notebook::read_notebook(options.files[0], prev_name);
    qor::json::Value current = qor::notebook::read_notebook(options.files[1], current_name);
    std::string out;
    if (format == "json") {
      qor::json::write(qor::diff::diff_documents<qor::notebook::ValueTree>(&prev, &current,
                                                                           prev_name, current_name),
                       out);
      out += '\n';
    } else if (format == "text") {
      qor::diff::TextViewOptions text_options;
      text_options.prev_name = prev_name;
      text_options.current_name = current_name;
      text_options.color = use_color(options);
      out = qor::diff::text_view(prev, current, text_options);
    } else {
      qor::diff::HtmlViewOptions html_options;
      html_options.prev_name = prev_name;
      html_options.current_name = current_name;
      html_options.prev_label = options.files[0];
      html_options.current_label = options.files[1];
      html_options.full_graph = options.full_graph;
      out = qor::diff::html_view(prev, current, html_options);
    }
    return emit(options, out) ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << "qordiff: error: " << qor::printable_line(e.what()) << "\n";
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything opens a file: a closed standard descriptor must not become one of ours.
  qor::program::open_standard_descriptors();
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
  options.files = args.all("files");
  return options.textconv ? run_textconv(options) : run_diff(options);
}
