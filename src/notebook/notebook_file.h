// Parsing a notebook from the bytes of its file (private to the core).
#ifndef QOR_NOTEBOOK_NOTEBOOK_FILE_H_
#define QOR_NOTEBOOK_NOTEBOOK_FILE_H_

#include <string>

#include "platform/file.h"
#include "qor/json.h"

namespace qor::notebook {

// Parses the notebook in `bytes`, the content of the file named `path` in errors, giving the
// parsed part of the bytes back to the system as the document grows. Throws what json::parse
// throws.
json::Value parse_notebook(platform::FileBuffer bytes, const std::string& path);

}  // namespace qor::notebook

#endif  // QOR_NOTEBOOK_NOTEBOOK_FILE_H_
