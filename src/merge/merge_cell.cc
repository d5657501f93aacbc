// Merge sides and the cell difference. The difference drops "execution_count" at the top level
// (re-running a cell is not a change) and is logged at debug level, built only when wanted.
#include "qor/merge_cell.h"

#include <algorithm>
#include <initializer_list>

#include "qor/interrupt.h"
#include "qor/log.h"

namespace qor::merge {

Side side_from_name(std::string_view name) {
  if (name == kBaseName) return Side::kBase;
  if (name == kCurrentName) return Side::kCurrent;
  if (name == kIncomingName) return Side::kIncoming;
  throw AssertionError();
}

std::string_view side_name(Side side) {
  switch (side) {
    case Side::kCurrent:
      return kCurrentName;
    case Side::kIncoming:
      return kIncomingName;
    case Side::kBase:
      break;
  }
  return kBaseName;
}

std::string_view mark_of(Side side) {
  switch (side) {
    case Side::kCurrent:
      return kCurrentMark;
    case Side::kIncoming:
      return kIncomingMark;
    case Side::kBase:
      break;
  }
  return {};
}

structdiff::Delta cell_difference(const json::Value& older, const json::Value& newer) {
  structdiff::Delta delta = structdiff::diff(older, newer);
  delta.erase("execution_count");
  log::debug_lazy([&] { return structdiff::repr(delta); });
  return delta;
}

structdiff::Delta cell_changed(const MergeCell& older, const MergeCell& newer) {
  strip_parent_names(older);
  strip_parent_names(newer);
  return cell_difference(*older.data(), *newer.data());
}

structdiff::Delta cell_changed_leaving_outputs(const MergeCell& older, const MergeCell& newer) {
  if (log::debug_enabled()) {
    structdiff::Delta d = cell_changed(older, newer);
    d.erase("outputs");
    return d;
  }
  strip_parent_names(older);
  strip_parent_names(newer);
  return structdiff::diff_leaving_out(*older.data(), *newer.data(), {"execution_count", "outputs"});
}

namespace {

// Whether the structural difference of two objects is non-empty once the entries of the
// top-level keys `left_out` are erased from it. Erasing touches only the entries of keys changed
// or added: a key the newer object lost stays in the difference, and objects without a key in
// common differ as a whole (the difference replaces the object), whatever their keys.
bool objects_differ_beyond(const json::Object& a, const json::Object& b,
                           std::initializer_list<std::string_view> left_out) {
  const auto counted = [&](std::string_view key) {
    return std::find(left_out.begin(), left_out.end(), key) == left_out.end();
  };
  bool common = false;
  for (const auto& m : a) {
    const json::Value* other = b.find(m.name());
    if (other == nullptr) return true;
    common = true;
    if (counted(m.name()) && !(m.value == *other)) return true;
  }
  if (!common) return a.size() + b.size() != 0;
  for (const auto& m : b) {
    if (counted(m.name()) && !a.contains(m.name())) return true;
  }
  return false;
}

}  // namespace

bool cell_changed_beyond_outputs(const MergeCell& older, const MergeCell& newer,
                                 bool with_outputs) {
  const json::Value& a = *older.data();
  const json::Value& b = *newer.data();
  if (log::debug_enabled() || !a.is_object() || !b.is_object()) {
    structdiff::Delta d = cell_changed(older, newer);
    if (!with_outputs) d.erase("outputs");
    return !d.empty();
  }
  interrupt::poll();
  strip_parent_names(older);
  strip_parent_names(newer);
  if (with_outputs) return objects_differ_beyond(a.as_object(), b.as_object(), {"execution_count"});
  return objects_differ_beyond(a.as_object(), b.as_object(), {"execution_count", "outputs"});
}

}  // namespace qor::merge
