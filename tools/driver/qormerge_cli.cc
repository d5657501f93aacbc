// qormerge: the option handling of a conventional long-option parser, then one merge.
//
// Arguments are first classified (option-like or not, with unambiguous prefixes resolved), then
// consumed in order; errors that concern one argument stop at once, missing options and
// unrecognized arguments are reported after the whole command line was read.
#include "driver/qormerge_cli.h"

#include <cctype>
#include <cerrno>
#include <exception>
#include <iterator>
#include <limits>
#include <new>

#include "qor/errors.h"
#include "qor/interrupt.h"
#include "qor/log.h"
#include "qor/merge.h"
#include "qor/printable.h"
#include "qor/version.h"

namespace qor::cli {
namespace {

constexpr const char* kProg = "qormerge";
constexpr const char* kUsage =
    "usage: qormerge [-h] --current-file CURRENT_FILE --base-file BASE_FILE\n"
    "                --incoming-file INCOMING_FILE [--file-path FILE_PATH] [-v]\n"
    "                [--conflict-exit] [--layout {default,jupyter}]\n"
    "                [--fallback {none,text}] [--marker-size MARKER_SIZE]\n"
    "                [--ancestor-label ANCESTOR_LABEL] [--ours-label OURS_LABEL]\n"
    "                [--theirs-label THEIRS_LABEL] [--version]\n";
constexpr const char* kHelp =
    "\n"
    "Incorporates changers that lead from the <base-file> to <incoming-file> into\n"
    "<current-file>.\n"
    "\n"
    "options:\n"
    "  -h, --help            show this help message and exit\n"
    "  --current-file CURRENT_FILE\n"
    "  --base-file BASE_FILE\n"
    "  --incoming-file INCOMING_FILE\n"
    "  --file-path FILE_PATH\n"
    "  -v, --verbose\n"
    "  --conflict-exit       exit with 1 when conflicts remain (after writing the\n"
    "                        merged notebook), so that git records the file as\n"
    "                        conflicted\n"
    "  --layout {default,jupyter}\n"
    "                        the merged file's form: default (one line of ASCII\n"
    "                        JSON) or jupyter (what Jupyter writes)\n"
    "  --fallback {none,text}\n"
    "                        what to do when a version is not a pipeline notebook\n"
    "                        (a cell without a component id, not JSON, ...): fail\n"
    "                        (none, the default) or merge the file as git merges\n"
    "                        text, exiting with 1 when conflicts remain (text)\n"
    "  --marker-size MARKER_SIZE\n"
    "                        length of the conflict markers of a text merge\n"
    "                        (default 7; git passes it as %L)\n"
    "  --ancestor-label ANCESTOR_LABEL\n"
    "                        label of a text merge's base section (default: the\n"
    "                        file path followed by -base; git passes it as %S)\n"
    "  --ours-label OURS_LABEL\n"
    "                        label of a text merge's current side (default: the\n"
    "                        file path followed by -current; git passes it as %X)\n"
    "  --theirs-label THEIRS_LABEL\n"
    "                        label of a text merge's incoming side (default: the\n"
    "                        file path followed by -incoming; git passes it as %Y)\n"
    "  --version             show program's version number and exit\n";

enum class Opt {
  kCurrent,
  kBase,
  kIncoming,
  kFilePath,
  kVerbose,
  kHelp,
  kConflictExit,
  kLayout,
  kFallback,
  kMarkerSize,
  kAncestorLabel,
  kOursLabel,
  kTheirsLabel,
  kVersion
};

struct OptionDecl {
  Opt opt;
  const char* long_name;
  const char* short_name;  // nullptr when none
  bool takes_value;
  bool required;
};

constexpr OptionDecl kOptions[] = {
    {Opt::kHelp, "--help", "-h", false, false},
    {Opt::kCurrent, "--current-file", nullptr, true, true},
    {Opt::kBase, "--base-file", nullptr, true, true},
    {Opt::kIncoming, "--incoming-file", nullptr, true, true},
    {Opt::kFilePath, "--file-path", nullptr, true, false},
    {Opt::kVerbose, "--verbose", "-v", false, false},
    {Opt::kConflictExit, "--conflict-exit", nullptr, false, false},
    {Opt::kLayout, "--layout", nullptr, true, false},
    {Opt::kFallback, "--fallback", nullptr, true, false},
    {Opt::kMarkerSize, "--marker-size", nullptr, true, false},
    {Opt::kAncestorLabel, "--ancestor-label", nullptr, true, false},
    {Opt::kOursLabel, "--ours-label", nullptr, true, false},
    {Opt::kTheirsLabel, "--theirs-label", nullptr, true, false},
    {Opt::kVersion, "--version", nullptr, false, false},
};

// How an option is named in messages: "-v/--verbose", "--current-file".
std::string display_name(const OptionDecl& s) {
  return s.short_name != nullptr ? std::string(s.short_name) + "/" + s.long_name : s.long_name;
}

struct UsageError {
  std::string message;
};

// One argument as the parser sees it.
struct Classified {
  bool option = false;                        // option-like
  const OptionDecl* decl = nullptr;           // the option it names, when known
  std::optional<std::string> explicit_value;  // text after "=" (or after a short flag)
  std::string used_name;                      // the option string as matched
};

// All option strings, for exact and prefix matching.
std::vector<std::pair<std::string, const OptionDecl*>> option_strings() {
  std::vector<std::pair<std::string, const OptionDecl*>> all;
  for (const OptionDecl& s : kOptions) {
    if (s.short_name != nullptr) all.emplace_back(s.short_name, &s);
    all.emplace_back(s.long_name, &s);
  }
  return all;
}

// "-12" or "-1.5" or "-.5": such arguments are values, since no option looks like a number.
bool looks_negative_number(const std::string& arg) {
  std::size_t i = 1, digits = 0;
  while (i < arg.size() && std::isdigit(static_cast<unsigned char>(arg[i]))) ++i, ++digits;
  if (i == arg.size()) return digits > 0;
  if (arg[i] != '.') return false;
  std::size_t fraction = 0;
  for (++i; i < arg.size() && std::isdigit(static_cast<unsigned char>(arg[i])); ++i) ++fraction;
  return i == arg.size() && fraction > 0;
}

Classified classify(const std::string& arg) {
  Classified c;
  if (arg.empty() || arg[0] != '-') return c;
  const auto all = option_strings();
  for (const auto& [name, decl] : all) {
    if (arg == name) return {true, decl, std::nullopt, name};
  }
  if (arg.size() == 1) return c;
  const auto eq = arg.find('=');
  if (eq != std::string::npos) {
    const std::string head = arg.substr(0, eq);
    for (const auto& [name, decl] : all) {
      if (head == name) return {true, decl, arg.substr(eq + 1), name};
    }
  }
  std::vector<Classified> matches;
  std::vector<std::string> names;
  if (arg.size() > 1 && arg[1] == '-') {
    const std::string prefix = eq == std::string::npos ? arg : arg.substr(0, eq);
    std::optional<std::string> value;
    if (eq != std::string::npos) value = arg.substr(eq + 1);
    for (const auto& [name, decl] : all) {
      if (name.rfind(prefix, 0) == 0) {
        matches.push_back({true, decl, value, name});
        names.push_back(name);
      }
    }
  } else {
    const std::string short_prefix = arg.substr(0, 2);
    for (const auto& [name, decl] : all) {
      if (name == short_prefix) {
        matches.push_back({true, decl, arg.substr(2), name});
        names.push_back(name);
      } else if (name.rfind(arg, 0) == 0) {
        matches.push_back({true, decl, std::nullopt, name});
        names.push_back(name);
      }
    }
  }
  if (matches.size() > 1) {
    std::string list;
    for (const auto& n : names) list += (list.empty() ? "" : ", ") + n;
    throw UsageError{"ambiguous option: " + (eq == std::string::npos ? arg : arg.substr(0, eq)) +
                     " could match " + list};
  }
  if (matches.size() == 1) return matches[0];
  if (looks_negative_number(arg)) return c;
  if (arg.find(' ') != std::string::npos) return c;
  c.option = true;  // an option nobody declared
  return c;
}

// `text` read as Python's int() reads a decimal: blanks around, a sign, digits with single
// underscores between them; nothing when it is not one (or does not fit an int).
std::optional<int> python_int(const std::string& text) {
  std::size_t i = 0, end = text.size();
  while (i < end && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  while (end > i && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  bool negative = false;
  if (i < end && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  bool digit_before = false;
  for (; i < end; ++i) {
    const char c = text[i];
    if (c == '_' && digit_before && i + 1 < end &&
        std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
      continue;
    }
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    digit_before = true;
    value = value * 10 + (c - '0');
    if (value > std::numeric_limits<int>::max()) return std::nullopt;
  }
  if (!digit_before) return std::nullopt;
  return static_cast<int>(negative ? -value : value);
}

void store(QormergeArgs& args, Opt opt, const std::string& value) {
  switch (opt) {
    case Opt::kCurrent:
      args.current_file = value;
      break;
    case Opt::kBase:
      args.base_file = value;
      break;
    case Opt::kIncoming:
      args.incoming_file = value;
      break;
    case Opt::kFilePath:
      args.file_path = value;
      break;
    case Opt::kLayout:
      if (value == "default") {
        args.layout = notebook::Layout::kDefault;
      } else if (value == "jupyter") {
        args.layout = notebook::Layout::kJupyter;
      } else {
        throw UsageError{invalid_choice_message("--layout", value, {"default", "jupyter"})};
      }
      break;
    case Opt::kFallback:
      if (value == "none") {
        args.fallback = merge::Fallback::kNone;
      } else if (value == "text") {
        args.fallback = merge::Fallback::kText;
      } else {
        throw UsageError{invalid_choice_message("--fallback", value, {"none", "text"})};
      }
      break;
    case Opt::kMarkerSize: {
      const std::optional<int> size = python_int(value);
      if (!size) throw UsageError{"argument --marker-size: invalid int value: " + py_quote(value)};
      args.text.marker_size = *size;
      break;
    }
    case Opt::kAncestorLabel:
      args.text.base_label = value;
      break;
    case Opt::kOursLabel:
      args.text.current_label = value;
      break;
    case Opt::kTheirsLabel:
      args.text.incoming_label = value;
      break;
    default:
      break;
  }
}

// Parses; returns nullopt when the help or the version was printed.
std::optional<QormergeArgs> parse(const std::vector<std::string>& argv, std::ostream& out) {
  std::vector<Classified> kinds;
  bool rest_positional = false;
  for (const std::string& arg : argv) {
    if (rest_positional) {
      kinds.push_back({});
    } else if (arg == "--") {
      rest_positional = true;
      kinds.push_back({});
    } else {
      kinds.push_back(classify(arg));
    }
  }
  QormergeArgs args;
  bool seen[std::size(kOptions)] = {};
  std::vector<std::string> extras;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const Classified& c = kinds[i];
    if (argv[i] == "--" && (i == 0 || !(kinds[i - 1].decl && kinds[i - 1].decl->takes_value))) {
      continue;  // the separator itself
    }
    if (!c.option) {
      extras.push_back(argv[i]);
      continue;
    }
    if (c.decl == nullptr) {
      extras.push_back(argv[i]);
      continue;
    }
    const OptionDecl& s = *c.decl;
    if (!s.takes_value) {
      // Flags: "-vh" is "-v -h"; any other text after a flag is an error.
      std::vector<const OptionDecl*> flags{&s};
      if (c.explicit_value && !c.explicit_value->empty()) {
        const bool single_dash = c.used_name.size() > 1 && c.used_name[1] != '-';
        std::string tail = *c.explicit_value;
        while (!tail.empty()) {
          const OptionDecl* next = nullptr;
          if (single_dash) {
            for (const OptionDecl& o : kOptions) {
              if (o.short_name != nullptr && o.short_name[1] == tail[0]) next = &o;
            }
          }
          if (next == nullptr || next->takes_value) {
            throw UsageError{"argument " + display_name(*flags.back()) +
                             ": ignored explicit argument '" + tail + "'"};
          }
          flags.push_back(next);
          tail.erase(0, 1);
        }
      } else if (c.explicit_value) {
        throw UsageError{"argument " + display_name(s) + ": ignored explicit argument ''"};
      }
      for (const OptionDecl* f : flags) {
        seen[static_cast<int>(f->opt)] = true;
        if (f->opt == Opt::kHelp) {
          out << kUsage << kHelp;
          return std::nullopt;
        }
        if (f->opt == Opt::kVersion) {
          out << kProg << " " << kVersion << "\n";
          return std::nullopt;
        }
        if (f->opt == Opt::kVerbose) args.verbose = true;
        if (f->opt == Opt::kConflictExit) args.conflict_exit = true;
      }
      continue;
    }
    std::string value;
    if (c.explicit_value) {
      value = *c.explicit_value;
    } else {
      std::size_t next = i + 1;
      if (next < argv.size() && argv[next] == "--") ++next;
      if (next >= argv.size() || (kinds[next].option && argv[next] != "--")) {
        throw UsageError{"argument " + display_name(s) + ": expected one argument"};
      }
      value = argv[next];
      i = next;
    }
    store(args, s.opt, value);
    seen[static_cast<int>(s.opt)] = true;
  }
  std::string missing;
  for (const OptionDecl& s : kOptions) {
    if (s.required && !seen[static_cast<int>(s.opt)]) {
      missing += (missing.empty() ? "" : ", ") + std::string(s.long_name);
    }
  }
  if (!missing.empty()) throw UsageError{"the following arguments are required: " + missing};
  if (!extras.empty()) {
    std::string list;
    for (const auto& e : extras) list += (list.empty() ? "" : " ") + e;
    throw UsageError{"unrecognized arguments: " + list};
  }
  return args;
}

std::string out_of_memory(const std::string& notebook) {
  return notebook + ": out of memory (merging these notebooks needs more memory than the " +
         "process may use)";
}

}  // namespace

ParseResult parse_qormerge_args(const std::vector<std::string>& argv, std::ostream& out,
                                std::ostream& err) {
  try {
    std::optional<QormergeArgs> args = parse(argv, out);
    if (!args) return {std::nullopt, 0};
    return {std::move(args), 0};
  } catch (const UsageError& e) {
    err << kUsage << kProg << ": error: " << printable_line(e.message) << "\n";
    return {std::nullopt, 2};
  }
}

int qormerge_main(const std::vector<std::string>& argv, std::ostream& out, std::ostream& err,
                  bool exits_after) {
  ParseResult parsed = parse_qormerge_args(argv, out, err);
  if (!parsed.args) return parsed.exit_status;
  const QormergeArgs& args = *parsed.args;
  // The debug sink writes to `err`: it goes when this call ends, however it ends.
  struct SinkReset {
    ~SinkReset() { log::set_debug_sink({}); }
  } sink_reset;
  if (args.verbose) {
    log::set_debug_sink({{}, [&err](std::string_view record) {
                           err << "DEBUG:root:" << printable_line(record) << "\n";
                           err.flush();
                         }});
  }
  const std::string destination =
      args.file_path && !args.file_path->empty() ? *args.file_path : args.current_file;
  merge::MergeOptions options;
  if (args.file_path && !args.file_path->empty()) options.notebook_name = *args.file_path;
  options.layout = args.layout;
  options.fallback = args.fallback;
  options.text = args.text;
  options.free_documents = !exits_after;
  const auto fail = [&err](const std::string& message) {
    err << kProg << ": error: " << printable_line(message) << "\n";
    return 1;
  };
  merge::MergeResult result;
  try {
    result = merge::merge_files(args.base_file, args.current_file, args.incoming_file, destination,
                                options);
  } catch (const interrupt::Interrupted&) {
    throw;  // not a failure of the merge: the caller stops
  } catch (const std::bad_alloc&) {
    return fail(out_of_memory(destination));
  } catch (const std::exception& e) {
    const auto* io = dynamic_cast<const IoError*>(&e);
    if (io != nullptr && io->error_code() == ENOMEM) return fail(out_of_memory(destination));
    return fail(e.what());
  }
  // Git shows a driver's standard error in its merge output: one line per notebook merged as
  // text, and one per notebook that still holds conflicts, so that neither goes unnoticed.
  if (result.text_merge_reason) {
    err << kProg << ": " << printable_line(*result.text_merge_reason) << ": merged as text"
        << (result.binary ? " (binary: the current version is kept, as git keeps it)" : "") << "\n";
    err.flush();
    // git's own text merge records the file as unmerged while conflicts remain.
    return result.text_conflicts == 0 ? 0 : 1;
  }
  if (result.conflicts.empty()) return 0;
  err << kProg << ": "
      << printable(destination + ": " + notebook::conflict_summary(result.conflicts)) << "\n";
  err.flush();
  return args.conflict_exit ? 1 : 0;
}

}  // namespace qor::cli
