// The non-template parts of the diff records: status checks and the wording of type errors.
#include "qor/diff.h"

namespace qor::diff {

void check_status(std::string_view status) {
  if (status != kUnchanged && status != kAdded && status != kRemoved && status != kModified) {
    throw AssertionError();
  }
}

namespace detail {

void wrong_argument(const char* name, const char* expected, const char* given) {
  throw TypeError(std::string("Argument '") + name + "' has incorrect type (expected " + expected +
                  ", got " + given + ")");
}

void wrong_stored(const char* key, const char* expected, const char* given) {
  (void)key;
  throw TypeError(std::string("Expected ") + expected + ", got " + given);
}

}  // namespace detail
}  // namespace qor::diff
