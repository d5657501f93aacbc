// The commands' option parser on a table of the shape a subcommand with every kind of option
// has: positional arguments, choices, repeatable options, flags and a yes/no pair.
#include "cli/options.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

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
        },
    .positionals = {{.dest = "paths", .metavar = "PATH", .min = 1, .max = Positional::kMany}},
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

TEST(Options, PrintsHelpAndVersion) {
  Outcome r = run({"resolve", "-h", "--bogus"});
  EXPECT_EQ(r.parsed.exit_status, 0);
  EXPECT_EQ(r.out, "usage: tool resolve [-h] PATH...\n\nhelp text\n");
  r = run({"--version"});
  EXPECT_EQ(r.out.rfind("tool ", 0), 0u);
}

}  // namespace
}  // namespace qor::cli
