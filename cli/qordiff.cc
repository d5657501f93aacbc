// qordiff: the diff document of two versions of a pipeline notebook, for users outside Python
// (for instance to see what changed between two commits).
//
//   qordiff PREV CURRENT
//   qordiff --version
#include <cstring>
#include <iostream>
#include <string>

#include "qor/diff.h"
#include "qor/errors.h"
#include "qor/json.h"
#include "qor/notebook.h"
#include "qor/version.h"

namespace {

constexpr const char* kUsage = "usage: qordiff [-h] [--version] PREV CURRENT\n";
constexpr const char* kHelp =
    "\n"
    "Prints the diff document of two versions of a notebook: every code cell and canvas\n"
    "parameter with its diff status (added, removed, modified, unchanged) and what it was\n"
    "before, as one line of JSON.\n"
    "\n"
    "positional arguments:\n"
    "  PREV        the previous version's notebook file\n"
    "  CURRENT     the current version's notebook file\n"
    "\n"
    "options:\n"
    "  -h, --help  show this help message and exit\n"
    "  --version   show program's version number and exit\n";

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::cout << kUsage << kHelp;
      return 0;
    }
    if (arg == "--version") {
      std::cout << "qordiff " << qor::kVersion << "\n";
      return 0;
    }
    if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
      std::cerr << kUsage << "qordiff: error: unrecognized arguments: " << arg << "\n";
      return 2;
    }
    if (arg != "--") files.push_back(arg);
  }
  if (files.size() != 2) {
    std::cerr << kUsage << "qordiff: error: expected 2 files, PREV and CURRENT, got "
              << files.size() << "\n";
    return 2;
  }
  try {
    qor::json::Value prev = qor::notebook::read_notebook(files[0]);
    qor::json::Value current = qor::notebook::read_notebook(files[1]);
    qor::json::Value diff;
    try {
      diff = qor::diff::diff_documents<qor::notebook::ValueTree>(&prev, &current);
    } catch (const qor::KeyError& e) {
      std::cerr << "qordiff: error: comparing " << files[0] << " with " << files[1]
                << ": missing key " << e.what() << "\n";
      return 1;
    } catch (const qor::TypeError& e) {
      std::cerr << "qordiff: error: comparing " << files[0] << " with " << files[1] << ": "
                << e.what() << "\n";
      return 1;
    }
    std::string out;
    qor::json::write(diff, out);
    out += '\n';
    std::cout << out;
    std::cout.flush();
    return std::cout ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << "qordiff: error: " << e.what() << "\n";
    return 1;
  }
}
