// Fuzz target: the whole three-way merge in memory. The input is read as a JSON list whose first
// three items are the base, current and incoming documents. The merge either fails with a core
// error or leaves a current document that writes and reads back. Source merges run through a
// runner that reports conflicts without running git.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "qor/errors.h"
#include "qor/json.h"
#include "qor/merge.h"

namespace {

class NoGit : public qor::merge::GitRunner {
 public:
  void merge_file(const std::vector<std::string>&) override {
    throw qor::GitCommandError("git merge-file", 1, "");
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::optional<qor::json::Value> input = qor::fuzz::list_input(data, size, 3);
  if (!input) return 0;
  qor::json::Value& value = *input;
  qor::json::Array& docs = value.as_array();
  NoGit git;
  int ids = 0;
  qor::merge::MergeOptions options;
  options.git = &git;
  options.new_id = [&ids] { return "copy-" + std::to_string(++ids); };
  try {
    qor::merge::merge_documents({docs[1], docs[0], docs[2]}, "fuzz.ipynb", options);
  } catch (const qor::Error&) {
    return 0;
  }
  const std::string written = qor::json::write(docs[1]);
  if (!(qor::json::parse(written) == docs[1])) std::abort();
  return 0;
}
