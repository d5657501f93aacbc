// The structural difference in compact form, and its printed form.
//
// One recursive function computes both the similarity of two values and, when asked, their
// difference; equal members and items are recognised by a comparison and cost nothing more.
// Similarities are accumulated in the same order and with the same floating-point operations as
// the formula of `similarity` states them (left to right, halves added per shared key), so that
// ties between alignments come out the same.
#include "qor/structdiff.h"

#include <algorithm>

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

double compare(const Value& a, const Value& b, Delta* out);

Delta value_change(const Value& b) { return b.is_object() ? Delta::replace(b) : Delta::value(b); }

double compare_objects(const Object& a, const Object& b, const Value& whole_b, Delta* out) {
  std::size_t removed = 0, matched = 0, added = 0;
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
    double s = 1.0;
    if (!(m.value == *w)) {
      Delta child;
      s = compare(m.value, *w, out != nullptr ? &child : nullptr);
      if (out != nullptr && s < 1.0)
        part.entries.emplace_back(std::string(m.name()), std::move(child));
    }
    s_matched += 0.5 + 0.5 * s;
  }
  for (const auto& m : b) {
    if (!a.contains(m.name())) {
      ++added;
      if (out != nullptr) part.entries.emplace_back(std::string(m.name()), Delta::value(m.value));
    }
  }
  const std::size_t total = removed + matched + added;
  const double s = total != 0 ? s_matched / static_cast<double>(total) : 1.0;
  if (out != nullptr) {
    if (s == 0.0) {
      *out = Delta::replace(whole_b);
    } else if (s == 1.0) {
      *out = Delta();
    } else {
      *out = Delta::object(std::move(part));
    }
  }
  return s;
}

double compare_lists(const Array& x, const Array& y, const Value& whole_y, Delta* out) {
  const detail::Similarity sim = [](const Value& p, const Value& q) {
    return compare(p, q, nullptr);
  };
  const std::vector<detail::Step> steps = detail::align(x, y, sim);
  double total_s = 0.0;
  std::size_t inserted = 0;
  Delta::ListPart part;
  for (const detail::Step& step : steps) {
    switch (step.kind) {
      case detail::StepKind::kPair:
        if (out != nullptr && step.s < 1.0) {
          Delta child;
          compare(x[step.i], y[step.j], &child);
          part.changed.emplace_back(step.j, std::move(child));
        }
        total_s += step.s;
        break;
      case detail::StepKind::kInsert:
        ++inserted;
        if (out != nullptr) part.inserted.emplace_back(step.j, y[step.j]);
        break;
      case detail::StepKind::kDelete:
        if (out != nullptr) part.deleted.push_back(step.i);
        break;
    }
  }
  std::reverse(part.deleted.begin(), part.deleted.end());
  const std::size_t total = x.size() + inserted;
  const double s = total == 0 ? 1.0 : total_s / static_cast<double>(total);
  if (out != nullptr) {
    if (s == 0.0) {
      *out = Delta::value(whole_y);
    } else if (s == 1.0) {
      *out = Delta();
    } else {
      *out = Delta::list(std::move(part));
    }
  }
  return s;
}

// Similarity of `a` and `b`; when `out` is given, also their difference.
double compare(const Value& a, const Value& b, Delta* out) {
  if (a.is_object() && b.is_object()) return compare_objects(a.as_object(), b.as_object(), b, out);
  if (a.is_array() && b.is_array()) return compare_lists(a.as_array(), b.as_array(), b, out);
  if (a == b) {
    if (out != nullptr) *out = Delta();
    return 1.0;
  }
  if (out != nullptr) *out = value_change(b);
  return 0.0;
}

}  // namespace

Delta diff(const Value& old_value, const Value& new_value) {
  Delta out;
  compare(old_value, new_value, &out);
  return out;
}

double similarity(const Value& a, const Value& b) { return compare(a, b, nullptr); }

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
