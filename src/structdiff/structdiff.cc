// The structural difference in compact form, and its printed form.
//
// One recursive function computes the similarity of two values, whether they are equal and, when
// asked, their difference. Similarities are accumulated in the same order and with the same
// floating-point operations as the formula of `similarity` states them (left to right, halves
// added per shared key), so that ties between alignments come out the same; a difference is
// empty exactly when the values are equal, also where a similarity of unequal values rounds to
// 1. List alignments run within the budgets that Limits describes.
#include "qor/structdiff.h"

#include <algorithm>

#include "qor/errors.h"

#include "qor/interrupt.h"
#include "structdiff/align.h"

namespace qor::structdiff {

using json::Array;
using json::Object;
using json::Value;

// ---------------------------------------------------------------------------------------------
// Delta

Delta Delta::value(Value v) {
  Delta d;
  d.kind_ = Kind::kValue;
  d.value_ = std::move(v);
  return d;
}

Delta Delta::replace(Value object) {
  Delta d;
  d.kind_ = Kind::kReplace;
  d.value_ = std::move(object);
  return d;
}

Delta Delta::object(ObjectPart part) {
  Delta d;
  d.kind_ = Kind::kObject;
  d.object_ = std::make_unique<ObjectPart>(std::move(part));
  return d;
}

Delta Delta::list(ListPart part) {
  Delta d;
  d.kind_ = Kind::kList;
  d.list_ = std::make_unique<ListPart>(std::move(part));
  return d;
}

Delta::Delta(const Delta& other) : kind_(other.kind_), value_(other.value_) {
  if (other.object_) object_ = std::make_unique<ObjectPart>(*other.object_);
  if (other.list_) list_ = std::make_unique<ListPart>(*other.list_);
}

Delta& Delta::operator=(const Delta& other) {
  if (this != &other) *this = Delta(other);
  return *this;
}

const Delta* Delta::find(std::string_view key) const {
  if (kind_ != Kind::kObject) return nullptr;
  for (const auto& [k, d] : object_->entries) {
    if (k == key) return &d;
  }
  return nullptr;
}

bool Delta::erase(std::string_view key) {
  if (kind_ != Kind::kObject) return false;
  auto& entries = object_->entries;
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (it->first == key) {
      entries.erase(it);
      if (entries.empty() && object_->deleted.empty()) {
        object_.reset();
        kind_ = Kind::kEmpty;
      }
      return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// Difference

namespace {

using detail::Budget;

// Where a comparison runs: within the budget of an enclosing list alignment, or (budget null)
// outside any, where a list pair gets its own budget from the limits.
struct Scope {
  const Limits& limits;
  Budget* budget;
};

// The similarity of two values, and whether they are equal. Equality is exact even where the
// similarity rounds to 1.
struct Result {
  double s;
  bool equal;
};

Result compare(const Value& a, const Value& b, Delta* out, const Scope& scope);

Delta value_change(const Value& b) { return b.is_object() ? Delta::replace(b) : Delta::value(b); }

// Compares two objects. The members under the keys `left_out` (only diff_leaving_out() gives
// any) are not compared and give no entry: they count as present in the similarity, and the
// equality says nothing of them.
Result compare_objects(const Object& a, const Object& b, const Value& whole_b, Delta* out,
                       const Scope& scope, std::initializer_list<std::string_view> left_out = {}) {
  const auto is_left_out = [&](std::string_view key) {
    return left_out.size() != 0 &&
           std::find(left_out.begin(), left_out.end(), key) != left_out.end();
  };
  std::size_t removed = 0, matched = 0, added = 0, added_counted = 0;
  bool all_equal = true;
  double s_matched = 0.0;
  Delta::ObjectPart part;
  for (const auto& m : a) {
    const Value* w = b.find(m.name());
    if (w == nullptr) {
      ++removed;
      if (out != nullptr) part.deleted.emplace_back(m.name());
      continue;
    }
    ++matched;
    if (is_left_out(m.name())) {
      s_matched += 0.5;
      continue;
    }
    Delta child;
    const Result r = compare(m.value, *w, out != nullptr ? &child : nullptr, scope);
    if (!r.equal) {
      all_equal = false;
      if (out != nullptr) part.entries.emplace_back(std::string(m.name()), std::move(child));
    }
    s_matched += 0.5 + 0.5 * r.s;
  }
  for (const auto& m : b) {
    if (!a.contains(m.name())) {
      ++added;
      if (is_left_out(m.name())) continue;
      ++added_counted;
      if (out != nullptr) part.entries.emplace_back(std::string(m.name()), Delta::value(m.value));
    }
  }
  if (scope.budget != nullptr) scope.budget->spend(a.size() + b.size());
  const std::size_t total = removed + matched + added;
  const bool equal = all_equal && removed == 0 && added_counted == 0;
  const double s = total != 0 ? s_matched / static_cast<double>(total) : 1.0;
  if (out != nullptr) {
    // Nothing shared (then s is 0, and the objects differ): the new object replaces the old.
    if (matched == 0 && total != 0) {
      *out = Delta::replace(whole_b);
    } else if (equal) {
      *out = Delta();
    } else {
      *out = Delta::object(std::move(part));
    }
  }
  return {s, equal};
}

Result compare_lists_within(const Array& x, const Array& y, const Value& whole_y, Delta* out,
                            const Limits& limits, Budget& budget) {
  const std::vector<detail::Step> steps = detail::align(x, y, limits, budget);
  const Scope nested{limits, &budget};
  double total_s = 0.0;
  std::size_t inserted = 0;
  bool equal = x.size() == y.size();
  Delta::ListPart part;
  for (const detail::Step& step : steps) {
    switch (step.kind) {
      case detail::StepKind::kPair:
        if (!step.equal) {
          equal = false;
          if (out != nullptr) {
            Delta child;
            compare(x[step.i], y[step.j], &child, nested);
            part.changed.emplace_back(step.j, std::move(child));
          }
        }
        total_s += step.s;
        break;
      case detail::StepKind::kInsert:
        equal = false;
        ++inserted;
        if (out != nullptr) part.inserted.emplace_back(step.j, y[step.j]);
        break;
      case detail::StepKind::kDelete:
        equal = false;
        if (out != nullptr) part.deleted.push_back(step.i);
        break;
    }
  }
  std::reverse(part.deleted.begin(), part.deleted.end());
  const std::size_t total = x.size() + inserted;
  const double s = total == 0 ? 1.0 : total_s / static_cast<double>(total);
  if (out != nullptr) {
    if (equal) {
      *out = Delta();
    } else if (s == 0.0) {
      *out = Delta::value(whole_y);
    } else {
      *out = Delta::list(std::move(part));
    }
  }
  return {s, equal};
}

Result compare_lists(const Value& whole_x, const Value& whole_y, Delta* out, const Scope& scope) {
  const Array& x = whole_x.as_array();
  const Array& y = whole_y.as_array();
  if (scope.budget != nullptr) {
    return compare_lists_within(x, y, whole_y, out, scope.limits, *scope.budget);
  }
  if (whole_x == whole_y) {
    if (out != nullptr) *out = Delta();
    return {1.0, true};
  }
  const std::uint64_t units = detail::units_of(whole_x) + detail::units_of(whole_y);
  std::uint64_t work = 0;
  if (__builtin_mul_overflow(scope.limits.work_per_unit, units, &work) ||
      __builtin_add_overflow(work, scope.limits.base_work, &work)) {
    work = UINT64_MAX;
  }
  Budget own(work, scope.limits.table_memory);
  return compare_lists_within(x, y, whole_y, out, scope.limits, own);
}

// Similarity of `a` and `b` and whether they are equal; when `out` is given, also their
// difference, which is empty exactly when they are equal.
Result compare(const Value& a, const Value& b, Delta* out, const Scope& scope) {
  // A list or object still held as the text of its file (an output, an attachment) compares by
  // that text when both sides have it; walking it member by member would read it for nothing.
  // Inside a list's budget the walk is the work that is charged, so it stays.
  if (scope.budget == nullptr && (a.is_raw() || b.is_raw()) && a == b) {
    if (out != nullptr) *out = Delta();
    return {1.0, true};
  }
  if (a.is_object() && b.is_object()) {
    return compare_objects(a.as_object(), b.as_object(), b, out, scope);
  }
  if (a.is_array() && b.is_array()) return compare_lists(a, b, out, scope);
  if (scope.budget != nullptr) {
    scope.budget->spend(1 + (a.is_string() ? a.as_string().size() / 16 : 0));
  }
  if (a == b) {
    if (out != nullptr) *out = Delta();
    return {1.0, true};
  }
  if (out != nullptr) *out = value_change(b);
  return {0.0, false};
}

}  // namespace

namespace detail {

double similarity_within(const Value& a, const Value& b, const Limits& limits, Budget& budget) {
  return compare(a, b, nullptr, Scope{limits, &budget}).s;
}

}  // namespace detail

Delta diff(const Value& old_value, const Value& new_value, const Limits& limits) {
  interrupt::poll();
  // Most values a merge compares are equal: one plain comparison settles them.
  if (old_value == new_value) return Delta();
  Delta out;
  compare(old_value, new_value, &out, Scope{limits, nullptr});
  return out;
}

Delta diff_leaving_out(const Value& old_value, const Value& new_value,
                       std::initializer_list<std::string_view> left_out, const Limits& limits) {
  if (!old_value.is_object() || !new_value.is_object()) return diff(old_value, new_value, limits);
  interrupt::poll();
  Delta out;
  compare_objects(old_value.as_object(), new_value.as_object(), new_value, &out,
                  Scope{limits, nullptr}, left_out);
  return out;
}

bool differs_leaving_out(const Value& old_value, const Value& new_value,
                         std::initializer_list<std::string_view> left_out) {
  if (!old_value.is_object() || !new_value.is_object()) return !(old_value == new_value);
  interrupt::poll();
  const Object& a = old_value.as_object();
  const Object& b = new_value.as_object();
  const auto counted = [&](std::string_view key) {
    return std::find(left_out.begin(), left_out.end(), key) == left_out.end();
  };
  // As in compare_objects(): a lost key stays in the difference, and objects without a key in
  // common are replaced whole, whatever their keys.
  bool common = false;
  for (const auto& m : a) {
    const Value* other = b.find(m.name());
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

double similarity(const Value& a, const Value& b, const Limits& limits) {
  return compare(a, b, nullptr, Scope{limits, nullptr}).s;
}

// ---------------------------------------------------------------------------------------------
// Patch

Value apply(const Value& old_value, const Delta& d) {
  auto misfit = [] { return ValueError("the difference does not fit the value"); };
  switch (d.kind()) {
    case Delta::Kind::kEmpty:
      return old_value;
    case Delta::Kind::kValue:
    case Delta::Kind::kReplace:
      return d.new_value();
    case Delta::Kind::kObject: {
      if (!old_value.is_object()) throw misfit();
      // Member by member, so that a changed member is not copied before it is rebuilt.
      const auto& part = d.object_part();
      Object out;
      for (const auto& m : old_value.as_object()) {
        if (std::find(part.deleted.begin(), part.deleted.end(), m.name()) != part.deleted.end()) {
          continue;
        }
        const Delta* child = d.find(m.name());
        out.set(m.name(), child != nullptr ? apply(m.value, *child) : m.value);
      }
      for (const auto& [key, child] : part.entries) {
        if (!old_value.as_object().contains(key)) out.set(key, child.new_value());
      }
      return Value(std::move(out));
    }
    case Delta::Kind::kList: {
      if (!old_value.is_array()) throw misfit();
      const auto& part = d.list_part();
      Array out = old_value.as_array();
      for (std::size_t pos : part.deleted) {
        if (pos >= out.size()) throw misfit();
        out.erase(out.begin() + static_cast<std::ptrdiff_t>(pos));
      }
      for (const auto& [pos, item] : part.inserted) {
        if (pos > out.size()) throw misfit();
        out.insert(out.begin() + static_cast<std::ptrdiff_t>(pos), item);
      }
      for (const auto& [pos, child] : part.changed) {
        if (pos >= out.size()) throw misfit();
        out[pos] = apply(out[pos], child);
      }
      return Value(std::move(out));
    }
  }
  return Value();
}

// ---------------------------------------------------------------------------------------------
// Printed form

namespace {

// Appends "{<entries>}" where each entry is "<key>: <value>", written by the two callbacks.
template <class Items, class Key, class Val>
void append_entries(std::string& out, bool& first, const Items& items, Key key, Val value) {
  for (const auto& item : items) {
    if (!first) out += ", ";
    first = false;
    key(item);
    out += ": ";
    value(item);
  }
}

// Appends ", <marker>: [<item>, ...]" (without the comma when first), unless `items` is empty.
template <class Items, class Item>
void append_marker_list(std::string& out, bool& first, std::string_view marker, const Items& items,
                        Item item) {
  if (items.empty()) return;
  if (!first) out += ", ";
  first = false;
  out += marker;
  out += ": [";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) out += ", ";
    item(items[i]);
  }
  out += "]";
}

}  // namespace

void append_repr(const Delta& delta, std::string& out) {
  bool first = true;
  switch (delta.kind()) {
    case Delta::Kind::kEmpty:
      out += "{}";
      return;
    case Delta::Kind::kValue:
      json::append_py_repr(delta.new_value(), out);
      return;
    case Delta::Kind::kReplace:
      out += "{";
      out += kReplaceMarker;
      out += ": ";
      json::append_py_repr(delta.new_value(), out);
      out += "}";
      return;
    case Delta::Kind::kObject: {
      const auto& part = delta.object_part();
      out += "{";
      append_entries(
          out, first, part.entries, [&](const auto& e) { json::append_py_str_repr(e.first, out); },
          [&](const auto& e) { append_repr(e.second, out); });
      append_marker_list(out, first, kDeleteMarker, part.deleted,
                         [&](const std::string& key) { json::append_py_str_repr(key, out); });
      out += "}";
      return;
    }
    case Delta::Kind::kList: {
      const auto& part = delta.list_part();
      out += "{";
      append_entries(
          out, first, part.changed, [&](const auto& e) { out += std::to_string(e.first); },
          [&](const auto& e) { append_repr(e.second, out); });
      append_marker_list(out, first, kInsertMarker, part.inserted, [&](const auto& item) {
        out += '(';
        out += std::to_string(item.first);
        out += ", ";
        json::append_py_repr(item.second, out);
        out += ')';
      });
      append_marker_list(out, first, kDeleteMarker, part.deleted,
                         [&](std::size_t pos) { out += std::to_string(pos); });
      out += "}";
      return;
    }
  }
}

std::string repr(const Delta& delta) {
  std::string out;
  append_repr(delta, out);
  return out;
}

}  // namespace qor::structdiff
