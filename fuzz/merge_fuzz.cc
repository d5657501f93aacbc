// Fuzz target: the whole three-way merge in memory. The input is read as a JSON list whose first
// three items are the base, current and incoming documents. The merge either fails with a core
// error or leaves a current document that writes and reads back. Source merges run through a
// runner that reports conflicts without running git. The same merge over documents read lazily
// (from a level the input chooses) gives the same error or the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <typeinfo>

#include "fuzz_input.h"
#include "merge/merge_documents.h"
#include "qor/errors.h"
#include "qor/json.h"
#include "qor/merge.h"

namespace {

class NoGit : public qor::merge::GitRunner {
 public:
  qor::merge::MergeFileStatus merge_file(const std::vector<std::string>&) override {
    return {1, ""};
  }
};

// Merges the documents of `value` (a list of at least three); the merged text, or the error.
std::string merge(qor::json::Value& value) {
  qor::json::Array& docs = value.as_array();
  NoGit git;
  int ids = 0;
  qor::merge::MergeOptions options;
  options.git = &git;
  options.new_id = [&ids] { return "copy-" + std::to_string(++ids); };
  try {
    qor::merge::merge_documents({docs[1], docs[0], docs[2]}, "fuzz.ipynb", options);
  } catch (const qor::Error& e) {
    return std::string("error ") + typeid(e).name() + ": " + e.what();
  }
  const std::string written = qor::json::write(docs[1]);
  if (!(qor::json::parse(written) == docs[1])) std::abort();
  return written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::optional<qor::json::Value> input = qor::fuzz::list_input(data, size, 3);
  if (!input) return 0;
  auto text = std::make_shared<const std::string>(reinterpret_cast<const char*>(data), size);
  qor::json::Value lazy =
      qor::json::parse_lazy(*text, "", text, {static_cast<std::size_t>(1 + data[0] % 4), {}});
  if (merge(*input) != merge(lazy)) std::abort();
  return 0;
}
