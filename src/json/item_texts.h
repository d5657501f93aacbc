// A lazy read that also hands back where the items of one top-level list lie in the text
// (private to the core): the notebook reader's cell texts, by which a merge knows a cell that
// is its base cell's text unchanged without comparing it member by member.
#ifndef QOR_JSON_ITEM_TEXTS_H_
#define QOR_JSON_ITEM_TEXTS_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qor/json.h"

namespace qor::json::detail {

// parse_lazy() that, when `texts` is not null, gives it the texts (slices of `text`) of the
// items of the array that the top-level object holds under `key` (under its last such key), in
// order.
Value parse_lazy_with_item_texts(std::string_view text, const std::string& source,
                                 std::shared_ptr<const void> owner, const LazyOptions& options,
                                 std::string_view key, std::vector<std::string_view>* texts);

}  // namespace qor::json::detail

#endif  // QOR_JSON_ITEM_TEXTS_H_
