// The option parser of the commands, as Python's argparse parses: arguments are first
// classified (option-like or not, unambiguous prefixes resolved), then consumed in order; an
// error that concerns one argument stops at once, missing options and unrecognized arguments
// are reported after the whole command line was read.
#include "cli/options.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

#include "qor/errors.h"
#include "qor/printable.h"
#include "qor/version.h"

namespace qor::cli {
namespace {

// A usage error found while parsing, for the command being parsed.
struct Failure {
  std::string message;
};

bool takes_value(const Option& o) {
  return o.action == Action::kStore || o.action == Action::kAppend;
}

// One argument as the parser sees it.
struct Classified {
  bool option = false;                        // option-like
  const Option* decl = nullptr;               // the option it names, when known
  std::optional<std::string> explicit_value;  // text after "=" (or after a short flag)
  std::string used_name;                      // the option string as matched
};

// All option strings, for exact and prefix matching.
std::vector<std::pair<std::string, const Option*>> option_strings(const Command& command) {
  std::vector<std::pair<std::string, const Option*>> all;
  for (const Option& o : command.options) {
    if (!o.short_name.empty()) all.emplace_back(o.short_name, &o);
    if (!o.name.empty()) all.emplace_back(o.name, &o);
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

Classified classify(const Command& command, const std::string& arg) {
  Classified c;
  if (arg.empty() || arg[0] != '-') return c;
  const auto all = option_strings(command);
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
    throw Failure{"ambiguous option: " + (eq == std::string::npos ? arg : arg.substr(0, eq)) +
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

// `value` checked against the option's type and choices, as it is stored.
std::string checked_value(const Option& o, const std::string& value) {
  std::string stored = value;
  if (o.type == Type::kInt) {
    const std::optional<int> number = python_int(value);
    if (!number) {
      throw Failure{"argument " + o.display_name() + ": invalid int value: " + py_quote(value)};
    }
    stored = std::to_string(*number);
  }
  if (!o.choices.empty()) {
    bool known = false;
    for (const std::string_view choice : o.choices) known = known || choice == value;
    if (!known) {
      throw Failure{o.invalid_choice.empty()
                        ? invalid_choice_message(o.display_name(), value, o.choices)
                        : std::string(o.invalid_choice)};
    }
  }
  return stored;
}

// The flags a flag argument names: "-vh" is "-v -h"; any other text after a flag is an error.
std::vector<const Option*> flags_of(const Command& command, const Classified& c) {
  std::vector<const Option*> flags{c.decl};
  if (!c.explicit_value) return flags;
  if (c.explicit_value->empty()) {
    throw Failure{"argument " + c.decl->display_name() + ": ignored explicit argument ''"};
  }
  const bool single_dash = c.used_name.size() > 1 && c.used_name[1] != '-';
  std::string tail = *c.explicit_value;
  while (!tail.empty()) {
    const Option* next = nullptr;
    if (single_dash) {
      for (const Option& o : command.options) {
        if (o.short_name.size() > 1 && o.short_name[1] == tail[0]) next = &o;
      }
    }
    if (next == nullptr || takes_value(*next)) {
      throw Failure{"argument " + flags.back()->display_name() + ": ignored explicit argument '" +
                    tail + "'"};
    }
    flags.push_back(next);
    tail.erase(0, 1);
  }
  return flags;
}

// One parse of `argv` by `command`'s own table, as argparse consumes a command line.
class Parser {
 public:
  Parser(const Command& command, const std::vector<std::string>& argv, std::ostream& out)
      : command_(command), argv_(argv), out_(out) {}

  // The arguments; nothing when the help or the version was printed.
  std::optional<Args> parse() {
    classify_all();
    for (std::size_t i = 0; i < argv_.size(); ++i) {
      const Classified& c = kinds_[i];
      // "--" is the separator unless it is the value of the option before it (one whose value
      // was not given with it, as in --format=text).
      if (argv_[i] == "--" && (i == 0 || !(kinds_[i - 1].decl && takes_value(*kinds_[i - 1].decl) &&
                                           !kinds_[i - 1].explicit_value))) {
        if (!args_.before_separator()) args_.set_before_separator(rest_.size());
        continue;  // the separator itself
      }
      if (!c.option || c.decl == nullptr) {
        rest_.emplace_back(argv_[i], c.option);
      } else if (c.decl->action == Action::kOptional) {
        take_optional_value(c, i);
      } else if (!takes_value(*c.decl)) {
        if (!take_flags(c)) return std::nullopt;
      } else {
        take_value(c, i);
      }
    }
    const std::vector<std::string> extras = take_positionals();
    check_required();
    if (!extras.empty() && command_.first_unrecognized_only) {
      throw Failure{"unrecognized argument: " + extras[0]};
    }
    if (!extras.empty()) {
      std::string list;
      for (const auto& e : extras) list += (list.empty() ? "" : " ") + e;
      throw Failure{"unrecognized arguments: " + list};
    }
    return std::move(args_);
  }

 private:
  // Every argument classified up front; those after "--" are never options.
  void classify_all() {
    bool rest_positional = false;
    for (const std::string& arg : argv_) {
      if (rest_positional) {
        kinds_.push_back({});
      } else if (arg == "--") {
        rest_positional = true;
        kinds_.push_back({});
      } else {
        kinds_.push_back(classify(command_, arg));
      }
    }
  }

  // The flags of `c`; false when one of them printed the help or the version.
  bool take_flags(const Classified& c) {
    for (const Option* f : flags_of(command_, c)) {
      mark_seen(f);
      if (f->action == Action::kHelp) {
        out_ << command_.usage << command_.help;
        return false;
      }
      if (f->action == Action::kVersion) {
        out_ << command_.prog << " " << kVersion << "\n";
        return false;
      }
      args_.add(f->key(), std::string(f->value));
    }
    return true;
  }

  // The value of the option `c` at `i`: after "=" or attached, else the next argument (which
  // `i` then moves to).
  void take_value(const Classified& c, std::size_t& i) {
    const Option& o = *c.decl;
    std::string value;
    if (c.explicit_value) {
      value = *c.explicit_value;
    } else {
      std::size_t next = i + 1;
      if (next < argv_.size() && argv_[next] == "--") ++next;
      if (next >= argv_.size() || (kinds_[next].option && argv_[next] != "--")) {
        throw Failure{"argument " + o.display_name() + ": expected one argument"};
      }
      value = argv_[next];
      i = next;
    }
    args_.add(o.key(), checked_value(o, value));
    mark_seen(&o);
  }

  // The value of the option `c` at `i` that may go without one: after "=", else the next
  // argument when it is not an option (`i` then moves to it), else the option's own value.
  void take_optional_value(const Classified& c, std::size_t& i) {
    const Option& o = *c.decl;
    std::string value(o.value);
    if (c.explicit_value) {
      value = checked_value(o, *c.explicit_value);
    } else if (i + 1 < argv_.size() && !kinds_[i + 1].option && argv_[i + 1] != "--") {
      value = checked_value(o, argv_[++i]);
    }
    args_.add(o.key(), std::move(value));
    mark_seen(&o);
  }

  // Records that `o` was given; a second option of an exclusive group is an error.
  void mark_seen(const Option* o) {
    for (const Exclusive& group : command_.exclusive) {
      bool in_group = false;
      for (const std::string_view name : group.names) in_group = in_group || name == o->name;
      if (!in_group) continue;
      for (const Option* before : seen_) {
        if (before == o) continue;
        for (const std::string_view name : group.names) {
          if (name == before->name) throw Failure{std::string(group.message)};
        }
      }
    }
    seen_.push_back(o);
  }

  // Positional arguments take the arguments that are not options in order, each as many as it
  // may; returns what none takes, which is unrecognized.
  std::vector<std::string> take_positionals() {
    std::vector<std::string> extras;
    std::size_t next_positional = 0, taken = 0;
    for (auto& [arg, unknown_option] : rest_) {
      while (!unknown_option && next_positional < command_.positionals.size() &&
             taken == command_.positionals[next_positional].max) {
        ++next_positional;
        taken = 0;
      }
      if (unknown_option || next_positional == command_.positionals.size()) {
        extras.push_back(std::move(arg));
        continue;
      }
      args_.add(command_.positionals[next_positional].dest, std::move(arg));
      ++taken;
    }
    return extras;
  }

  // Every required option and positional argument not given, in one error.
  void check_required() const {
    std::string missing;
    for (const Option& o : command_.options) {
      bool given = false;
      for (const Option* s : seen_) given = given || s == &o;
      if (o.required && !given) missing += (missing.empty() ? "" : ", ") + std::string(o.name);
    }
    for (const Positional& p : command_.positionals) {
      if (args_.all(p.dest).size() < p.min) {
        missing += (missing.empty() ? "" : ", ") + std::string(p.metavar);
      }
    }
    if (!missing.empty()) throw Failure{"the following arguments are required: " + missing};
  }

  const Command& command_;
  const std::vector<std::string>& argv_;
  std::ostream& out_;
  std::vector<Classified> kinds_;
  Args args_;
  std::vector<const Option*> seen_;
  // Arguments that are not options (true: an option nobody declared), in order.
  std::vector<std::pair<std::string, bool>> rest_;
};

// Parses `argv` by `command`'s own table; nothing when the help or the version was printed.
std::optional<Args> parse_options(const Command& command, const std::vector<std::string>& argv,
                                  std::ostream& out) {
  return Parser(command, argv, out).parse();
}

const std::vector<std::string> kNone;

// `text` as a JSON string (the tables hold ASCII text; other bytes are copied as they are).
std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

const char* action_name(Action action) {
  switch (action) {
    case Action::kStore:
      return "store";
    case Action::kAppend:
      return "append";
    case Action::kFlag:
      return "flag";
    case Action::kOptional:
      return "optional";
    case Action::kHelp:
      return "help";
    case Action::kVersion:
      break;
  }
  return "version";
}

const char* complete_name(Complete complete) {
  switch (complete) {
    case Complete::kNothing:
      return "nothing";
    case Complete::kFile:
      return "file";
    case Complete::kNotebook:
      return "notebook";
    case Complete::kRevisionOrNotebook:
      break;
  }
  return "revision-or-notebook";
}

template <class List, class Write>
std::string json_list(const List& items, Write write) {
  std::string out = "[";
  for (const auto& item : items) out += (out.size() > 1 ? ", " : "") + write(item);
  return out + "]";
}

std::string describe_option(const Option& o) {
  return "{\"name\": " + json_string(o.name) + ", \"short_name\": " + json_string(o.short_name) +
         ", \"action\": " + json_string(action_name(o.action)) +
         ", \"key\": " + json_string(o.key()) + ", \"metavar\": " + json_string(o.metavar) +
         ", \"choices\": " + json_list(o.choices, json_string) +
         ", \"required\": " + (o.required ? "true" : "false") +
         ", \"complete\": " + json_string(complete_name(o.complete)) + "}";
}

std::string describe_positional(const Positional& p) {
  return "{\"key\": " + json_string(p.dest) + ", \"metavar\": " + json_string(p.metavar) +
         ", \"min\": " + std::to_string(p.min) + ", \"max\": " +
         (p.max == Positional::kMany ? std::string("null") : std::to_string(p.max)) +
         ", \"complete\": " + json_string(complete_name(p.complete)) + "}";
}

}  // namespace

std::string Option::key() const {
  if (!dest.empty()) return std::string(dest);
  std::string_view n = name.empty() ? short_name : name;
  while (n.starts_with('-')) n.remove_prefix(1);
  return std::string(n);
}

std::string Option::display_name() const {
  if (short_name.empty()) return std::string(name);
  if (name.empty()) return std::string(short_name);
  return std::string(short_name) + "/" + std::string(name);
}

bool Args::has(std::string_view key) const { return values_.find(key) != values_.end(); }

std::string Args::get(std::string_view key, std::string_view fallback) const {
  const auto it = values_.find(key);
  return it == values_.end() ? std::string(fallback) : it->second.back();
}

const std::vector<std::string>& Args::all(std::string_view key) const {
  const auto it = values_.find(key);
  return it == values_.end() ? kNone : it->second;
}

bool Args::flag(std::string_view key) const { return get(key) == "true"; }

void Args::add(std::string_view key, std::string value) {
  given_.emplace_back(std::string(key), value);
  auto it = values_.find(key);
  if (it == values_.end()) it = values_.emplace(std::string(key), std::vector<std::string>{}).first;
  it->second.push_back(std::move(value));
}

Parsed parse(const Command& command, const std::vector<std::string>& argv, std::ostream& out,
             std::ostream& err) {
  if (const char* describing = std::getenv(kDescribeVariable); describing && *describing) {
    out << describe(command) << "\n";
    return {std::nullopt, 0};
  }
  const Command* current = &command;
  try {
    if (command.subcommands.empty()) {
      std::optional<Args> args = parse_options(command, argv, out);
      return {std::move(args), 0};
    }
    // The command's own options (help, version) come alone, before any subcommand.
    if (argv.empty()) throw Failure{"a command is required"};
    for (const Option& o : command.options) {
      if (argv[0] == o.name || argv[0] == o.short_name) {
        return {parse_options(command, {argv[0]}, out), 0};
      }
    }
    for (const Command* sub : command.subcommands) {
      if (sub->prog == std::string(command.prog) + " " + argv[0]) {
        current = sub;
        std::optional<Args> args =
            parse_options(*sub, std::vector<std::string>(argv.begin() + 1, argv.end()), out);
        if (args) args->set_subcommand(sub);
        return {std::move(args), 0};
      }
    }
    throw Failure{"unknown command: " + argv[0]};
  } catch (const Failure& f) {
    return {std::nullopt, report(UsageError{current, f.message}, err)};
  }
}

std::string describe(const Command& command) {
  return "{\"prog\": " + json_string(command.prog) + ", \"usage\": " + json_string(command.usage) +
         ", \"options\": " + json_list(command.options, describe_option) +
         ", \"positionals\": " + json_list(command.positionals, describe_positional) +
         ", \"exclusive\": " +
         json_list(command.exclusive,
                   [](const Exclusive& e) { return json_list(e.names, json_string); }) +
         ", \"subcommands\": " +
         json_list(command.subcommands, [](const Command* sub) { return describe(*sub); }) + "}";
}

int report(const UsageError& error, std::ostream& err) {
  err << error.command->usage << error.command->prog << ": error: " << printable_line(error.message)
      << "\n";
  return 2;
}

std::string invalid_choice_message(std::string_view option, const std::string& value,
                                   const std::vector<std::string_view>& choices) {
  std::string text =
      "argument " + std::string(option) + ": invalid choice: " + py_quote(value) + " (choose from ";
  const char* separator = "";
  for (const std::string_view choice : choices) {
    text += separator + py_quote(std::string(choice));
    separator = ", ";
  }
  return text + ")";
}

}  // namespace qor::cli
