// Reading and writing notebook files, for the merge that pins the current file (private to the
// core).
#ifndef QOR_NOTEBOOK_NOTEBOOK_FILE_H_
#define QOR_NOTEBOOK_NOTEBOOK_FILE_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"
#include "qor/errors.h"
#include "qor/json.h"
#include "qor/notebook.h"

namespace qor::notebook {

// The texts a notebook's cells were read from, in order, and the bytes they lie in.
struct CellTexts {
  std::vector<std::string_view> texts;
  std::shared_ptr<const void> bytes;
};

// How much of each cell a read builds.
enum class CellReading {
  // The cell's members and its metadata (what every user of a cell looks into).
  kMembers,
  // Nothing of a cell in written form, which stays text until looked into (json::find_path() finds
  // one member without reading it): for versions whose cells are mostly known by their texts.
  kNone,
};

// Parses the notebook in `bytes`, named `name` in errors; the document keeps the bytes, which
// its values still held as text refer to. With `cell_texts`, also gives the texts of the cells.
// Throws what json::parse throws.
json::Value parse_notebook(platform::FileBuffer bytes, const std::string& name,
                           CellTexts* cell_texts = nullptr,
                           CellReading reading = CellReading::kMembers);

// The producer of a notebook file's text: `doc` in `layout`.
platform::Produce notebook_text(const json::Value& doc, Layout layout);

// The message of `error` (an IoError on a file the operation names `name`), as
// naming_io_errors() gives it: `name` and ": " in front, unless `name` is empty.
inline std::string named_io_message(const std::string& name, const IoError& error) {
  return name.empty() ? std::string(error.what()) : name + ": " + error.what();
}

// The line a program prints should the file at `path`, named `name`, shrink while it is mapped
// (platform::FileBuffer::read_unchanging()): the error of a file that cannot be read.
std::string lost_file_message(const std::string& name, const std::string& path);

// The bytes of the notebook file at `path`, which is only read: mapped where the program guards
// mappings (platform::FileBuffer::read_unchanging()). An IoError names the file by `name`, as
// naming_io_errors() does.
platform::FileBuffer read_file_bytes(const std::string& path, const std::string& name);

// Runs `work` (a read or write of the file at `path`); an IoError it throws gets `name` and
// ": " in front of its message, unless `name` is empty. Returns what `work` returns.
template <class Work>
auto naming_io_errors(const std::string& name, const std::string& path, Work work)
    -> decltype(work()) {
  try {
    return work();
  } catch (const IoError& e) {
    if (name.empty()) throw;
    throw IoError(e.error_code(), path, named_io_message(name, e));
  }
}

}  // namespace qor::notebook

#endif  // QOR_NOTEBOOK_NOTEBOOK_FILE_H_
