// Required parts of notebook documents, with errors that say which document and which place.
#include "merge/documents.h"

#include "qor/errors.h"

namespace qor::merge::detail {
namespace {

std::string place(const std::string& doc_name, const std::string& where) {
  return where.empty() ? doc_name : doc_name + ": " + where;
}

}  // namespace

json::Value& require(json::Value& value, const char* key, const std::string& doc_name,
                     const std::string& where) {
  if (!value.is_object()) {
    throw TypeError(place(doc_name, where.empty() ? "the document" : where) +
                    " must be a dict, not " + value.type_name());
  }
  json::Value* found = value.find(key);
  if (found == nullptr) {
    throw KeyError(key, place(doc_name, where) + ": missing key " + py_quote(key));
  }
  return *found;
}

json::Array& cells_of(json::Value& doc, const std::string& doc_name) {
  json::Value& cells = require(doc, "cells", doc_name, "");
  if (!cells.is_array()) {
    throw TypeError(doc_name + ": 'cells' must be a list, not " + std::string(cells.type_name()));
  }
  return cells.as_array();
}

std::string component_id(json::Value& cell, const std::string& doc_name, std::size_t index) {
  const std::string where = "cells[" + std::to_string(index) + "]";
  json::Value& metadata = require(cell, "metadata", doc_name, where);
  json::Value& canvas = require(metadata, "canvas", doc_name, where + ".metadata");
  json::Value& id = require(canvas, "id", doc_name, where + ".metadata.canvas");
  if (!id.is_string()) {
    throw TypeError(doc_name + ": " + where + ".metadata.canvas.id must be a str, not " +
                    id.type_name());
  }
  return std::string(id.as_string());
}

json::Array& parameters_of(json::Value& doc, const std::string& doc_name) {
  json::Value& metadata = require(doc, "metadata", doc_name, "");
  json::Value& canvas = require(metadata, "canvas", doc_name, "metadata");
  json::Value& parameters = require(canvas, "parameters", doc_name, "metadata.canvas");
  if (!parameters.is_array()) {
    throw TypeError(doc_name + ": metadata.canvas.parameters must be a list, not " +
                    std::string(parameters.type_name()));
  }
  return parameters.as_array();
}

}  // namespace qor::merge::detail
