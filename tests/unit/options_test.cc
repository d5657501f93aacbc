// The commands' option parser on a table of the shape a subcommand with every kind of option
// has: positional arguments, choices, repeatable options, flags, a yes/no pair and an option
// whose value may be left out; the table as the build reads it (describe).
#include "cli/options.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "qor/json.h"

namespace qor::cli {
namespace {

const Command kResolve{
    .prog = "tool resolve",
    .usage = "usage: tool resolve [-h] PATH...\n",
    .help = "\nhelp text\n",
    .options =
        {
            {.name = "--help", .short_name = "-h", .action = Action::kHelp},
            {.name = "--take", .choices = {"current", "incoming"}},
            {.name = "--component", .action = Action::kAppend, .metavar = "NAME_OR_ID"},
            {.name = "--list", .action = Action::kFlag},
            {.name = "--json", .action = Action::kFlag},
            {.name = "--no-add", .action = Action::kFlag, .dest = "add", .value = "false"},
            {.name = "--size", .type = Type::kInt},
            {.name = "--open",
             .action = Action::kOptional,
             .value = "text",
             .choices = {"text", "html"},
             .complete = Complete::kNothing},
            {.name = "--output", .short_name = "-o", .complete = Complete::kFile},
        },
    .positionals = {{.dest = "paths",
                     .metavar = "PATH",
                     .min = 1,
                     .max = Positional::kMany,
                     .complete = Complete::kNotebook}},
};

const Command kTool{
    .prog = "tool",
    .usage = "usage: tool <command>\n",
    .help = "\ncommands\n",
    .options = {{.name = "--version", .action = Action::kVersion}},
    .subcommands = {&kResolve},
};

struct Outcome {
  Parsed parsed;
  std::string out, err;
};

Outcome run(const std::vector<std::string>& argv) {
  std::ostringstream out, err;
  Parsed parsed = parse(kTool, argv, out, err);
  return {std::move(parsed), out.str(), err.str()};
}

TEST(Options, ReadsEveryKindOfOption) {
  const Outcome r = run({"resolve", "a.ipynb", "--take=incoming", "--comp", "train", "--component",
                         "c-2", "--list", "--no-add", "--size", "1_0", "--", "-b.ipynb"});
  ASSERT_TRUE(r.parsed.args) << r.err;
  const Args& args = *r.parsed.args;
  EXPECT_EQ(args.subcommand(), &kResolve);
  EXPECT_EQ(args.all("paths"), (std::vector<std::string>{"a.ipynb", "-b.ipynb"}));
  EXPECT_EQ(args.get("take"), "incoming");
  EXPECT_EQ(args.all("component"), (std::vector<std::string>{"train", "c-2"}));
  EXPECT_TRUE(args.flag("list"));
  EXPECT_FALSE(args.flag("json"));
  EXPECT_TRUE(args.has("add"));
  EXPECT_FALSE(args.flag("add"));
  EXPECT_EQ(args.get("size"), "10");
}

TEST(Options, ReportsUsageErrorsAsArgparseDoes) {
  const struct {
    std::vector<std::string> argv;
    std::string message;
  } cases[] = {
      {{}, "tool: error: a command is required"},
      {{"merge"}, "tool: error: unknown command: merge"},
      {{"resolve"}, "tool resolve: error: the following arguments are required: PATH"},
      {{"resolve", "a", "--take", "both"},
       "tool resolve: error: argument --take: invalid choice: 'both' (choose from 'current', "
       "'incoming')"},
      {{"resolve", "a", "--component"},
       "tool resolve: error: argument --component: expected one argument"},
      {{"resolve", "a", "--size=x"},
       "tool resolve: error: argument --size: invalid int value: 'x'"},
      {{"resolve", "a", "--bogus", "--js=1"},
       "tool resolve: error: argument --json: ignored explicit argument '1'"},
      {{"resolve", "a", "--bogus"}, "tool resolve: error: unrecognized arguments: --bogus"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.argv));
    const Outcome r = run(c.argv);
    EXPECT_FALSE(r.parsed.args);
    EXPECT_EQ(r.parsed.exit_status, 2);
    ASSERT_NE(r.err.rfind('\n', r.err.size() - 2), std::string::npos);
    EXPECT_EQ(r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1), c.message + "\n");
  }
}

TEST(Options, TakesAValueThatMayBeLeftOut) {
  const struct {
    std::vector<std::string> argv;
    std::optional<std::string> open;  // nothing: not stored
    std::vector<std::string> paths;
  } cases[] = {
      {{"a"}, std::nullopt, {"a"}},
      {{"--open", "a"}, std::nullopt, {}},  // an invalid choice, as argparse takes it
      {{"a", "--open"}, "text", {"a"}},
      {{"a", "--open=html"}, "html", {"a"}},
      {{"--open", "html", "a"}, "html", {"a"}},
      {{"--ope", "--list", "a"}, "text", {"a"}},
      {{"--open", "--", "a"}, "text", {"a"}},
      {{"--open=html", "a", "--open"}, "text", {"a"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{"resolve"};
    argv.insert(argv.end(), c.argv.begin(), c.argv.end());
    SCOPED_TRACE(testing::PrintToString(argv));
    const Outcome r = run(argv);
    if (c.paths.empty()) {
      EXPECT_EQ(r.parsed.exit_status, 2);
      EXPECT_NE(r.err.find("argument --open: invalid choice: 'a' (choose from 'text', 'html')"),
                std::string::npos);
      continue;
    }
    ASSERT_TRUE(r.parsed.args) << r.err;
    EXPECT_EQ(r.parsed.args->has("open"), c.open.has_value());
    if (c.open) {
      EXPECT_EQ(r.parsed.args->get("open"), *c.open);
    }
    EXPECT_EQ(r.parsed.args->all("paths"), c.paths);
  }
}

TEST(Options, TellsHowManyArgumentsCameBeforeTheSeparator) {
  const struct {
    std::vector<std::string> argv;
    std::optional<std::size_t> before;
  } cases[] = {
      {{"a", "b"}, std::nullopt},
      {{"a", "--", "b", "c"}, 1},
      {{"--", "a", "b"}, 0},
      {{"a", "b", "--list", "--"}, 2},
      {{"a", "--", "b", "--", "c"}, 1},                 // the first one counts
      {{"a", "--component", "--", "x"}, std::nullopt},  // a value, not a separator
      {{"a", "--component=c", "--", "x"}, 1},           // the option had its value already
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{"resolve"};
    argv.insert(argv.end(), c.argv.begin(), c.argv.end());
    SCOPED_TRACE(testing::PrintToString(argv));
    const Outcome r = run(argv);
    ASSERT_TRUE(r.parsed.args) << r.err;
    EXPECT_EQ(r.parsed.args->before_separator(), c.before);
  }
}

TEST(Options, DescribesTheTableAsTheBuildReadsIt) {
  const json::Value doc = json::parse(describe(kTool));
  EXPECT_EQ(doc.find("prog")->as_string(), "tool");
  const json::Value& resolve = doc.find("subcommands")->as_array().at(0);
  EXPECT_EQ(resolve.find("prog")->as_string(), "tool resolve");
  EXPECT_EQ(resolve.find("usage")->as_string(), "usage: tool resolve [-h] PATH...\n");
  const json::Array& options = resolve.find("options")->as_array();
  ASSERT_EQ(options.size(), kResolve.options.size());
  const json::Value& open = options.at(7);
  EXPECT_EQ(json::write(open),
            "{\"name\": \"--open\", \"short_name\": \"\", \"action\": \"optional\", \"key\": "
            "\"open\", \"metavar\": \"\", \"choices\": [\"text\", \"html\"], \"required\": false, "
            "\"complete\": \"nothing\"}");
  EXPECT_EQ(options.at(8).find("short_name")->as_string(), "-o");
  EXPECT_EQ(options.at(8).find("complete")->as_string(), "file");
  EXPECT_EQ(options.at(5).find("key")->as_string(), "add");
  EXPECT_EQ(json::write(resolve.find("positionals")->as_array().at(0)),
            "{\"key\": \"paths\", \"metavar\": \"PATH\", \"min\": 1, \"max\": null, "
            "\"complete\": \"notebook\"}");

  // Asked through the environment, the parse prints the description and parses nothing.
  ::setenv(kDescribeVariable, "1", 1);
  const Outcome r = run({"--bogus"});
  ::unsetenv(kDescribeVariable);
  EXPECT_EQ(r.parsed.exit_status, 0);
  EXPECT_FALSE(r.parsed.args);
  EXPECT_EQ(r.out, describe(kTool) + "\n");
  EXPECT_EQ(r.err, "");
}

TEST(Options, PrintsHelpAndVersion) {
  Outcome r = run({"resolve", "-h", "--bogus"});
  EXPECT_EQ(r.parsed.exit_status, 0);
  EXPECT_EQ(r.out, "usage: tool resolve [-h] PATH...\n\nhelp text\n");
  r = run({"--version"});
  EXPECT_EQ(r.out.rfind("tool ", 0), 0u);
}

}  // namespace
}  // namespace qor::cli
