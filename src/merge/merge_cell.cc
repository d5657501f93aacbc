// Merge sides and the cell difference. The difference drops "execution_count" at the top level
// (re-running a cell is not a change) and is logged at debug level, built only when wanted.
#include "qor/merge_cell.h"

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

bool cell_changed_beyond_outputs(const MergeCell& older, const MergeCell& newer,
                                 bool with_outputs) {
  if (log::debug_enabled()) {
    structdiff::Delta d = cell_changed(older, newer);
    if (!with_outputs) d.erase("outputs");
    return !d.empty();
  }
  strip_parent_names(older);
  strip_parent_names(newer);
  if (with_outputs) {
    return structdiff::differs_leaving_out(*older.data(), *newer.data(), {"execution_count"});
  }
  return structdiff::differs_leaving_out(*older.data(), *newer.data(),
                                         {"execution_count", "outputs"});
}

}  // namespace qor::merge
