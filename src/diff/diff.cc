// The non-template parts of the diff records (status checks, the wording of type errors), and
// the diff of json::Value documents, compiled once here.
#include "qor/diff.h"

#include "diff/diff-inl.h"

namespace qor::diff {

void check_status(std::string_view status) {
  if (status != kUnchanged && status != kAdded && status != kRemoved && status != kModified) {
    throw AssertionError();
  }
}

namespace detail {

void wrong_argument(const char* name, const char* expected, const char* given) {
  throw TypeError(argument_type_message(name, expected, given));
}

void wrong_stored(const char* expected, const char* given) {
  throw TypeError(std::string("Expected ") + expected + ", got " + given);
}

}  // namespace detail

template json::Value diff_documents<notebook::ValueTree>(json::Value*, json::Value*,
                                                         std::string_view, std::string_view);

}  // namespace qor::diff
