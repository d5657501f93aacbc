// qormerge: its options read by the commands' option parser (argparse's conventions), then one
// merge.
#include "driver/qormerge_cli.h"

#include <cerrno>
#include <exception>
#include <new>

#include "cli/options.h"
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
    "                [--conflict-exit] [--notes] [--layout {default,jupyter}]\n"
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
    "  --notes               name on standard error, for review, what the merge\n"
    "                        decided that no conflict mark shows (a cell without a\n"
    "                        name kept against a deletion, an incoming change not\n"
    "                        taken, ...)\n"
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

// The table of qormerge's options, in the order of its usage.
const Command kCommand{
    .prog = kProg,
    .usage = kUsage,
    .help = kHelp,
    .options =
        {
            {.name = "--help", .short_name = "-h", .action = Action::kHelp},
            {.name = "--current-file", .required = true, .complete = Complete::kNotebook},
            {.name = "--base-file", .required = true, .complete = Complete::kNotebook},
            {.name = "--incoming-file", .required = true, .complete = Complete::kNotebook},
            {.name = "--file-path", .complete = Complete::kNotebook},
            {.name = "--verbose", .short_name = "-v", .action = Action::kFlag},
            {.name = "--conflict-exit", .action = Action::kFlag},
            {.name = "--notes", .action = Action::kFlag},
            {.name = "--layout", .choices = {"default", "jupyter"}},
            {.name = "--fallback", .choices = {"none", "text"}},
            {.name = "--marker-size", .type = Type::kInt},
            {.name = "--ancestor-label"},
            {.name = "--ours-label"},
            {.name = "--theirs-label"},
            {.name = "--version", .action = Action::kVersion},
        },
};

QormergeArgs qormerge_args(const Args& parsed) {
  QormergeArgs args;
  args.current_file = parsed.get("current-file");
  args.base_file = parsed.get("base-file");
  args.incoming_file = parsed.get("incoming-file");
  if (parsed.has("file-path")) args.file_path = parsed.get("file-path");
  args.verbose = parsed.flag("verbose");
  args.conflict_exit = parsed.flag("conflict-exit");
  args.notes = parsed.flag("notes");
  if (parsed.get("layout") == "jupyter") args.layout = notebook::Layout::kJupyter;
  if (parsed.get("fallback") == "text") args.fallback = merge::Fallback::kText;
  if (parsed.has("marker-size")) args.text.marker_size = std::stoi(parsed.get("marker-size"));
  args.text.base_label = parsed.get("ancestor-label");
  args.text.current_label = parsed.get("ours-label");
  args.text.incoming_label = parsed.get("theirs-label");
  return args;
}

std::string out_of_memory(const std::string& notebook) {
  return notebook + ": out of memory (merging these notebooks needs more memory than the " +
         "process may use)";
}

}  // namespace

ParseResult parse_qormerge_args(const std::vector<std::string>& argv, std::ostream& out,
                                std::ostream& err) {
  Parsed parsed = parse(kCommand, argv, out, err);
  if (!parsed.args) return {std::nullopt, parsed.exit_status};
  return {qormerge_args(*parsed.args), 0};
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
  // With --notes, the notes, but never a flood of them: a notebook built to make many gets a
  // count.
  constexpr std::size_t kShownNotes = 20;
  const std::size_t notes = args.notes ? result.notes.size() : 0;
  for (std::size_t i = 0; i < notes && i < kShownNotes; ++i) {
    err << kProg << ": " << printable(destination + ": to review: " + result.notes[i]) << "\n";
  }
  if (notes > kShownNotes) {
    err << kProg << ": " << printable(destination) << ": to review: " << notes - kShownNotes
        << " more\n";
  }
  err.flush();
  if (result.conflicts.empty()) return 0;
  err << kProg << ": "
      << printable(destination + ": " + notebook::conflict_summary(result.conflicts)) << "\n";
  err.flush();
  return args.conflict_exit ? 1 : 0;
}

}  // namespace qor::cli
