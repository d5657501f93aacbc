// The one option parser of the commands (qormerge, qordiff, qorgit and its subcommands), with
// the conventions and the wording of Python's argparse: a value after "=" or as the next
// argument, unambiguous prefixes of long options, short flags run together ("-vh"), "--" before
// arguments that are not options, the last of repeated options winning, every missing option
// and unrecognized argument reported after the whole command line was read.
//
// A command declares its options as a table (Command), which stays readable by other code
// (names, values, choices, metavariables, what a shell completes): the help and usage texts are
// the command's own. describe() gives the table as JSON, from which the build makes the manual
// pages and the shell completion, so that neither can drift from what the parser reads.
#ifndef QOR_CLI_OPTIONS_H_
#define QOR_CLI_OPTIONS_H_

#include <cstddef>
#include <limits>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qor::cli {

// What an option does when it is given.
enum class Action {
  kStore,   // takes one value; the last one given counts
  kAppend,  // takes one value; every one given counts, in order
  kFlag,    // takes none; stores Option::value
  // Takes a value when one follows (after "=", or as the next argument when that is not an
  // option), else stores Option::value: argparse's nargs='?' with const.
  kOptional,
  kHelp,     // prints the usage and the help, and ends with 0
  kVersion,  // prints "<program> <version>", and ends with 0
};

// What a value must be.
enum class Type { kString, kInt };  // kInt: a decimal as Python's int() reads it

// What a shell completes for a value or an argument.
enum class Complete {
  kNothing,   // nothing to offer (a name, a number, a pattern)
  kFile,      // any file
  kNotebook,  // notebook files (*.ipynb) and directories
  // A notebook file or, before "--", a git revision (and after "--", notebook paths).
  kRevisionOrNotebook,
};

struct Option {
  std::string_view name = {};  // the long name, "--layout"; empty when there is only a short one
  std::string_view short_name = {};  // "-o", or empty
  Action action = Action::kStore;
  // The key the value is stored under; empty: the long name without its dashes ("file-path").
  // Flags that set one setting share a key (--hook and --no-hook store "hook").
  std::string_view dest = {};
  std::string_view value = "true";  // what kFlag stores, and kOptional when given no value
  std::vector<std::string_view> choices = {};
  Type type = Type::kString;
  std::string_view metavar = {};  // the value's name in the usage ("FILE")
  bool required = false;
  // The message for a value outside `choices`; empty: argparse's "invalid choice" message.
  std::string_view invalid_choice = {};
  Complete complete = Complete::kNothing;  // for a value: choices are offered in any case

  std::string key() const;
  // How messages name the option: "-o/--output", "--layout".
  std::string display_name() const;
};

// Arguments that are not options, taken in order.
struct Positional {
  std::string_view dest = {};
  std::string_view metavar = {};
  std::size_t min = 1;
  std::size_t max = 1;  // kMany: as many as given
  Complete complete = Complete::kNothing;
  static constexpr std::size_t kMany = std::numeric_limits<std::size_t>::max();
};

// Options of which at most one may be given (the same one more than once is fine).
struct Exclusive {
  std::vector<std::string_view> names = {};  // long names
  std::string_view message = {};             // the error when two of them are given
};

struct Command {
  std::string_view prog = {};   // "qormerge", "qorgit install": the start of every error line
  std::string_view usage = {};  // the usage lines, each ending in "\n"
  std::string_view help = {};   // what -h prints after the usage
  std::vector<Option> options = {};
  std::vector<Positional> positionals = {};
  std::vector<Exclusive> exclusive = {};
  // Names the first unrecognized argument alone ("unrecognized argument: X") instead of all of
  // them ("unrecognized arguments: X Y"): qorgit's subcommands word it so.
  bool first_unrecognized_only = false;
  // Commands named by the first argument ("qorgit install ..."); this command's own options
  // then come before it.
  std::vector<const Command*> subcommands = {};
};

// The parsed arguments: the values stored under each key, in the order given.
class Args {
 public:
  bool has(std::string_view key) const;
  // The last value stored under `key`, or `fallback` when none was.
  std::string get(std::string_view key, std::string_view fallback = {}) const;
  // Every value stored under `key` (options given several times, positional arguments).
  const std::vector<std::string>& all(std::string_view key) const;
  // Whether the last value under `key` is "true" (false when none was stored).
  bool flag(std::string_view key) const;
  // Every value stored, with its key, in the order the command line gave them: for options
  // whose meaning depends on the ones before them ("--take X --component Y").
  const std::vector<std::pair<std::string, std::string>>& given() const { return given_; }
  // The subcommand chosen, for a command that has them; else null.
  const Command* subcommand() const { return subcommand_; }
  // When "--" separated the arguments that are not options: how many of them came before it
  // ("qordiff REV -- PATH" tells revisions from paths by it). Nothing when no "--" was given.
  std::optional<std::size_t> before_separator() const { return before_separator_; }

  void add(std::string_view key, std::string value);
  void set_subcommand(const Command* command) { subcommand_ = command; }
  void set_before_separator(std::size_t count) { before_separator_ = count; }

 private:
  std::map<std::string, std::vector<std::string>, std::less<>> values_;
  std::vector<std::pair<std::string, std::string>> given_;
  const Command* subcommand_ = nullptr;
  std::optional<std::size_t> before_separator_;
};

// A usage error found after parsing (a wrong number of files, a value the command refuses):
// reported as parse() reports its own, with the usage of `command`.
struct UsageError {
  const Command* command;
  std::string message;
};

// The outcome of parse(): arguments to run with, or the exit status to end with (0 after the
// help or the version, 2 after a usage error).
struct Parsed {
  std::optional<Args> args;
  int exit_status = 0;
};

// The environment variable that makes parse() print describe() of its command, and nothing else,
// then end with 0: the build asks each program for its table so.
inline constexpr const char* kDescribeVariable = "QOR_CLI_DESCRIBE";

// Parses `argv` (without the program name) by `command`'s table. Prints the help and the
// version on `out`; a usage error as the usage of the command (or subcommand) concerned and one
// line "<prog>: error: <message>" on `err`, its text made printable. With kDescribeVariable set
// and not empty, prints describe(command) on `out` instead of parsing.
Parsed parse(const Command& command, const std::vector<std::string>& argv, std::ostream& out,
             std::ostream& err);

// `command`'s table as one JSON document, for the build's manual pages and shell completion:
//   {"prog", "usage", "options": [{"name", "short_name", "action" ("store", "append", "flag",
//    "optional", "help", "version"), "key", "metavar", "choices", "required", "complete"
//    ("nothing", "file", "notebook", "revision-or-notebook")}], "positionals": [{"key",
//    "metavar", "min", "max" (null: as many as given), "complete"}], "exclusive": [[names]],
//   "subcommands": [the same for each]}
std::string describe(const Command& command);

// Prints `error` as parse() prints its own; returns 2, the status of a usage error.
int report(const UsageError& error, std::ostream& err);

// argparse's message for a value outside the choices of `option`: "argument --layout: invalid
// choice: 'x' (choose from 'default', 'jupyter')".
std::string invalid_choice_message(std::string_view option, const std::string& value,
                                   const std::vector<std::string_view>& choices);

}  // namespace qor::cli

#endif  // QOR_CLI_OPTIONS_H_
