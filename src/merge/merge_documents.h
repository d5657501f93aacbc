// The merge of three documents in memory, which merge_files() runs on the files it read, and
// its parameter merge (private to the core; the tests and the fuzz target call it directly).
#ifndef QOR_MERGE_MERGE_DOCUMENTS_H_
#define QOR_MERGE_MERGE_DOCUMENTS_H_

#include <span>
#include <string>
#include <string_view>

#include "qor/json.h"
#include "qor/merge.h"

namespace qor::merge {

// The three documents of a merge and their names in error messages (for example
// "analysis/churn.ipynb (incoming version)"). The documents are referenced, not copied: they
// must outlive the merge_documents or merge_parameters call that receives them.
struct MergeInput {
  json::Value& current;
  json::Value& base;
  json::Value& incoming;
  std::string current_name = "current";
  std::string base_name = "base";
  std::string incoming_name = "incoming";
  // The texts each document's cells were read from, in order, when known (else empty; they
  // must stay alive through the merge). A cell whose text is its base cell's text is then
  // known to be unchanged without being compared member by member.
  std::span<const std::string_view> current_texts{}, base_texts{}, incoming_texts{};
};

// Merges the canvas parameter lists of the three documents ("metadata" -> "canvas" ->
// "parameters") by "name" and returns the merged list. Parameters that stay in conflict come
// last, renamed "<<< name" (the current side's) and ">>> name" (the incoming side's). Marks the
// parameter objects of `current` and `incoming` in place. Throws KeyError or TypeError naming
// the document and the key path when a list or a name is missing or malformed.
json::Array merge_parameters(const MergeInput& docs);

// Merges `docs` component by component into `docs.current`, which then holds the merged
// notebook: its "cells" and canvas "parameters" replaced, every other key kept. Conflict
// copies get ids from `options.new_id`; source merges run through `options.git` and label their
// conflict blocks `file_path` + "-current" / "-incoming". Also changes `docs.base` and
// `docs.incoming` (parent names removed, marks on shared objects). Throws KeyError or TypeError
// naming the document, the cell and the key path for missing or malformed keys, and whatever
// the source merge throws.
void merge_documents(const MergeInput& docs, const std::string& file_path,
                     const MergeOptions& options = {});

}  // namespace qor::merge

#endif  // QOR_MERGE_MERGE_DOCUMENTS_H_
