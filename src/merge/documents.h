// Access to the parts of notebook documents that the merge requires, with errors that name the
// document and the place (private to src/merge).
#ifndef QOR_MERGE_DOCUMENTS_H_
#define QOR_MERGE_DOCUMENTS_H_

#include <cstddef>
#include <string>

#include "qor/json.h"

namespace qor::merge::detail {

// The "cells" list of `doc`. KeyError or TypeError naming `doc_name`.
json::Array& cells_of(json::Value& doc, const std::string& doc_name);

// The component id ("metadata" -> "canvas" -> "id") of cell `index` of `doc_name`.
std::string component_id(json::Value& cell, const std::string& doc_name, std::size_t index);

// The "metadata" -> "canvas" -> "parameters" list of `doc`.
json::Array& parameters_of(json::Value& doc, const std::string& doc_name);

// `value[key]` of an object found at `where` in `doc_name`; KeyError or TypeError naming both.
json::Value& require(json::Value& value, const char* key, const std::string& doc_name,
                     const std::string& where);

}  // namespace qor::merge::detail

#endif  // QOR_MERGE_DOCUMENTS_H_
