// The qormerge command: option handling and the one call of the merge, shared by the native
// executable and the Python module qor_kelm_git.scripts.qormerge.
#ifndef QOR_DRIVER_QORMERGE_CLI_H_
#define QOR_DRIVER_QORMERGE_CLI_H_

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "qor/merge.h"
#include "qor/notebook.h"

namespace qor::cli {

// The parsed command line.
struct QormergeArgs {
  std::string current_file;
  std::string base_file;
  std::string incoming_file;
  std::optional<std::string> file_path;
  bool verbose = false;
  bool conflict_exit = false;
  bool notes = false;  // name MergeResult::notes on standard error
  notebook::Layout layout = notebook::Layout::kDefault;
  merge::Fallback fallback = merge::Fallback::kNone;
  merge::TextMergeOptions text;
};

// The outcome of parsing: arguments to run with, or an exit status (after the help, the version
// or a usage error, whose text has been written to `out` or `err`).
struct ParseResult {
  std::optional<QormergeArgs> args;
  int exit_status = 0;
};

// Parses `argv` (without the program name) with the usual long-option conventions: a value
// after "=" or as the next argument, unambiguous prefixes, the last of repeated options wins,
// -h/--help prints the help and --version prints "qormerge <version>", both on `out` and ending
// with 0; any error prints the usage and a message naming
// every missing option or the bad argument, and ends with 2.
ParseResult parse_qormerge_args(const std::vector<std::string>& argv, std::ostream& out,
                                std::ostream& err);

// Runs qormerge: parses `argv`, with --verbose prints the merge's debug records as
// "DEBUG:root:<record>" on `err`, merges with the labels taken from --file-path (or the current
// file's path when it is absent or empty), writes the merged file in the --layout form, and
// when conflicts remain in it prints one line naming them on `err` ("qormerge: <path>: 1
// conflict block (train), ..." with the label path). With --fallback=text, a file that is not
// a pipeline notebook is merged as git merges text, with one line on `err` saying so and why
// ("qormerge: <path>: cell 3 has no component id: merged as text"), and the status is 1 while
// conflicts remain in it, whatever --conflict-exit says. Returns the exit status: 0 when the
// merge succeeded (also with conflicts, unless --conflict-exit asks for 1 then), 1 with a one-line
// error on `err` when it failed (running out of memory included: the error names the notebook
// by that label), 2 for usage errors. Output that cannot be written (a closed standard error)
// is dropped and never ends the merge. Lets qor::interrupt::Interrupted pass. `exits_after`:
// the process ends right after this call, so the merge leaves its documents to the system
// instead of freeing them.
int qormerge_main(const std::vector<std::string>& argv, std::ostream& out, std::ostream& err,
                  bool exits_after = false);

}  // namespace qor::cli

#endif  // QOR_DRIVER_QORMERGE_CLI_H_
