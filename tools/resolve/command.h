// `qorgit resolve`: what the command does once its options are read. The notebooks are those
// named, else every notebook git holds as unmerged, else (under git mergetool) the one merged
// file with the three versions git passes. With --list the conflicts are listed; with --take
// the decisions are taken from the shell and the notebooks written when nothing is left;
// otherwise the page is served.
#ifndef QOR_TOOLS_RESOLVE_COMMAND_H_
#define QOR_TOOLS_RESOLVE_COMMAND_H_

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "resolve/resolution.h"

namespace qor::resolve {

struct CommandOptions {
  std::vector<std::string> paths;
  // One --take and the selectors after it (none: every conflict not decided before).
  struct TakeGroup {
    Take take = Take::kCurrent;
    std::vector<std::string> components, parameters;
  };
  std::vector<TakeGroup> takes;
  bool list = false;
  bool json = false;
  bool open_browser = true;
  bool add = true;  // stage each written notebook (never under git mergetool)
  // git mergetool's $BASE, $LOCAL, $REMOTE and $MERGED.
  std::optional<std::vector<std::string>> mergetool;
  std::chrono::milliseconds idle_timeout{std::chrono::minutes(10)};
};

// Runs the command, printing to `out` (listings, the page's URL, what was written) and `err`
// (what is left); returns the exit status: 0 when every notebook was written (or, for --list,
// nothing is left), 1 otherwise. Throws for errors (a notebook that cannot be read, git failing).
int run_command(const CommandOptions& options, std::ostream& out, std::ostream& err);

}  // namespace qor::resolve

#endif  // QOR_TOOLS_RESOLVE_COMMAND_H_
