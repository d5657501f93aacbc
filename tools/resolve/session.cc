// Files and git for the resolution. A notebook's file is pinned when it is read and replaced
// through the same ReplaceTarget a merge uses; before it is replaced, its content is compared
// with what was read, so that edits made meanwhile (in an editor, by another resolve) are never
// overwritten.
#include "resolve/session.h"

#include <cstdio>
#include <filesystem>

#include "gitsetup/git.h"
#include "notebook/notebook_file.h"
#include "platform/file.h"
#include "qor/conflicts.h"
#include "qor/errors.h"

namespace qor::resolve {
namespace {

namespace git = gitsetup::detail;

// The notebook a side that did not have the file stands for.
json::Value empty_notebook() {
  json::Object canvas{{"parameters", json::Value(json::Array{})}};
  json::Object metadata{{"canvas", json::Value(std::move(canvas))}};
  return json::Value(json::Object{{"cells", json::Value(json::Array{})},
                                  {"metadata", json::Value(std::move(metadata))}});
}

json::Value parse_version(std::string_view text, const std::string& shown, const char* version) {
  if (text.empty()) return empty_notebook();
  return json::parse(text, notebook::version_name(shown, version));
}

std::string top_of_work_tree() { return git::chomp(git::git_ok({"rev-parse", "--show-toplevel"})); }

}  // namespace

NotebookFile::NotebookFile(std::string shown, std::string file, Stages stages)
    : shown_(std::move(shown)), file_(std::move(file)) {
  target_ = std::make_unique<platform::ReplaceTarget>(file_);
  {
    platform::FileBuffer bytes =
        notebook::naming_io_errors(shown_, file_, [&] { return target_->read(); });
    text_ = std::string(bytes.view());
  }
  json::Value working;
  try {
    working = json::parse(text_, shown_);
  } catch (const Error&) {
    if (!notebook::has_text_conflict_block(text_)) throw;
    // Said also under git mergetool, whose tool this may be: another tool or an editor it is.
    throw ValueError(shown_ +
                     ": git's conflict markers are in the file's text (git merged it as text); "
                     "qorgit resolve takes notebooks merged component by component: resolve "
                     "this one in an editor, or with another of git mergetool's tools (--tool)");
  }
  resolution_ = std::make_unique<Resolution>(std::move(working), std::move(stages), shown_);
}

NotebookFile::~NotebookFile() = default;

void NotebookFile::save(notebook::Layout layout) {
  const std::vector<std::string> left = resolution_->problems();
  if (!left.empty()) {
    std::string message = shown_ + ": not written: " + left.front();
    if (left.size() > 1) message += " (and " + std::to_string(left.size() - 1) + " more)";
    throw ValueError(message);
  }
  notebook::naming_io_errors(shown_, file_, [&] {
    if (target_->read().view() != text_) {
      throw IoError(0, file_,
                    "the file changed since resolve read it: nothing written (run resolve again)");
    }
    target_->replace_with(notebook::notebook_text(resolution_->result(), layout));
  });
  saved_ = true;
}

std::optional<Stages> stages_from_index(const std::string& file, const std::string& shown) {
  const git::GitResult inside = git::run_git({"rev-parse", "--is-inside-work-tree"});
  if (inside.status != 0 || git::chomp(inside.out) != "true") return std::nullopt;
  const std::string top = top_of_work_tree();
  const std::string absolute = git::absolute_path(file);
  if (!absolute.starts_with(top + "/")) return std::nullopt;
  const std::string relative = absolute.substr(top.size() + 1);
  // Entries read "<mode> <object> <stage>\t<path>", NUL-terminated.
  const std::string out = git::git_ok({"ls-files", "-u", "-z", "--", ":(top,literal)" + relative});
  if (out.empty()) return std::nullopt;
  std::optional<std::string> blobs[3];
  std::size_t start = 0;
  while (start < out.size()) {
    std::size_t end = out.find('\0', start);
    if (end == std::string::npos) end = out.size();
    const std::string entry = out.substr(start, end - start);
    start = end + 1;
    char object[128] = {};
    int stage = 0;
    if (std::sscanf(entry.c_str(), "%*s %127s %d", object, &stage) == 2 && stage >= 1 &&
        stage <= 3) {
      blobs[stage - 1] = git::git_ok({"cat-file", "blob", object});
    }
  }
  // A notebook that one side deleted while the other changed it is a conflict about the file,
  // which git leaves to git add or git rm; there is nothing to decide inside it.
  if (blobs[1].has_value() != blobs[2].has_value()) {
    const char* gone = blobs[1] ? "incoming" : "current";
    const char* kept = blobs[1] ? "current" : "incoming";
    throw ValueError(shown + ": " + (blobs[0] ? "deleted" : "absent") + " on the " + gone +
                     " side, " + (blobs[0] ? "changed" : "added") + " on the " + kept +
                     " side: keep the notebook with git add, or delete it with git rm");
  }
  Stages stages;
  stages.base = parse_version(blobs[0].value_or(""), shown, "base");
  stages.current = parse_version(blobs[1].value_or(""), shown, "current");
  stages.incoming = parse_version(blobs[2].value_or(""), shown, "incoming");
  return stages;
}

Stages stages_from_files(const std::string& base, const std::string& current,
                         const std::string& incoming, const std::string& shown) {
  const auto read = [&](const std::string& path, const char* version) {
    std::string text;
    try {
      text = platform::read_file(path);
    } catch (const IoError&) {
      // git mergetool passes an empty or missing file for a side without the notebook
    }
    return parse_version(text, shown, version);
  };
  Stages stages;
  stages.base = read(base, "base");
  stages.current = read(current, "current");
  stages.incoming = read(incoming, "incoming");
  return stages;
}

std::vector<std::pair<std::string, std::string>> unmerged_notebooks() {
  const std::string top = top_of_work_tree();
  const std::string out = git::git_ok(
      {"diff", "--name-only", "--no-relative", "-z", "--diff-filter=U", "--", ":(top)*.ipynb"});
  std::vector<std::pair<std::string, std::string>> found;
  std::size_t start = 0;
  while (start < out.size()) {
    std::size_t end = out.find('\0', start);
    if (end == std::string::npos) end = out.size();
    if (end > start) {
      const std::string path = out.substr(start, end - start);
      found.emplace_back(path, top + "/" + path);
    }
    start = end + 1;
  }
  return found;
}

notebook::Layout recorded_layout() {
  const git::GitResult r = git::run_git({"config", "--get", "qorgit.layout"});
  return r.status == 0 && git::chomp(r.out) == "jupyter" ? notebook::Layout::kJupyter
                                                         : notebook::Layout::kDefault;
}

bool in_work_tree(const std::string& file) {
  const std::string directory = std::filesystem::path(git::absolute_path(file)).parent_path();
  const git::GitResult r = git::run_git({"-C", directory, "rev-parse", "--is-inside-work-tree"});
  return r.status == 0 && git::chomp(r.out) == "true";
}

void stage(const std::string& file) { git::git_ok({"add", "--", file}); }

}  // namespace qor::resolve
