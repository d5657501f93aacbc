// An insertion-ordered map from string keys (private to src/merge): the tables of the merge.
#ifndef QOR_MERGE_ORDERED_MAP_H_
#define QOR_MERGE_ORDERED_MAP_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qor::merge::detail {

// Keys in insertion order, as a dict keeps them: assigning to an existing key keeps its place,
// a new key goes last, removing a key closes the gap, and an entry can be inserted right after
// another one. Every entry also carries an order number that grows along the table, so that
// two entries can be compared by position in constant time. Entries are addressed by a stable
// handle (their slot), valid until they are erased.
template <class V>
class OrderedMap {
 public:
  using Handle = std::uint32_t;
  static constexpr Handle kNone = std::numeric_limits<Handle>::max();

  struct Entry {
    std::string key;
    V value;
    std::uint64_t order = 0;
    Handle prev = kNone;
    Handle next = kNone;
  };

  Handle find(std::string_view key) const {
    auto it = index_.find(std::string(key));
    return it == index_.end() ? kNone : it->second;
  }
  bool contains(std::string_view key) const { return find(key) != kNone; }
  Entry& at(Handle h) { return slots_[h]; }
  const Entry& at(Handle h) const { return slots_[h]; }
  std::size_t size() const { return index_.size(); }

  // Stores `value` under `key`: in place when the key is present, else as the new last entry.
  Handle assign(const std::string& key, V value) {
    const Handle h = find(key);
    if (h != kNone) {
      slots_[h].value = std::move(value);
      return h;
    }
    return link_after(tail_, key, std::move(value));
  }

  // Stores `value` under `key` right after the entry `after` (which must be present). A key
  // already present elsewhere keeps its place and takes the value.
  Handle insert_after(Handle after, const std::string& key, V value) {
    const Handle h = find(key);
    if (h != kNone) {
      slots_[h].value = std::move(value);
      return h;
    }
    return link_after(after, key, std::move(value));
  }

  void erase(Handle h) {
    Entry& e = slots_[h];
    (e.prev == kNone ? head_ : slots_[e.prev].next) = e.next;
    (e.next == kNone ? tail_ : slots_[e.next].prev) = e.prev;
    index_.erase(e.key);
    e = Entry();
  }

  // Changes whenever order numbers are reassigned (which keeps their relative order).
  std::uint64_t generation() const { return generation_; }

  Handle first() const { return head_; }
  Handle next(Handle h) const { return slots_[h].next; }

  // The handles in table order.
  std::vector<Handle> handles() const {
    std::vector<Handle> out;
    out.reserve(size());
    for (Handle h = head_; h != kNone; h = slots_[h].next) out.push_back(h);
    return out;
  }

 private:
  static constexpr std::uint64_t kGap = std::uint64_t{1} << 32;

  Handle link_after(Handle after, const std::string& key, V value) {
    const auto h = static_cast<Handle>(slots_.size());
    Entry e{key, std::move(value), 0, after, after == kNone ? head_ : slots_[after].next};
    slots_.push_back(std::move(e));
    Entry& n = slots_.back();
    (n.prev == kNone ? head_ : slots_[n.prev].next) = h;
    (n.next == kNone ? tail_ : slots_[n.next].prev) = h;
    index_.emplace(key, h);
    const std::uint64_t lo = n.prev == kNone ? 0 : slots_[n.prev].order;
    if (n.next == kNone) {
      n.order = lo + kGap;
    } else if (slots_[n.next].order - lo >= 2) {
      n.order = lo + (slots_[n.next].order - lo) / 2;
    } else {
      renumber();
    }
    return h;
  }

  void renumber() {
    ++generation_;
    std::uint64_t order = 0;
    for (Handle h = head_; h != kNone; h = slots_[h].next) slots_[h].order = order += kGap;
  }

  std::vector<Entry> slots_;
  std::unordered_map<std::string, Handle> index_;
  Handle head_ = kNone;
  Handle tail_ = kNone;
  std::uint64_t generation_ = 0;
};

}  // namespace qor::merge::detail

#endif  // QOR_MERGE_ORDERED_MAP_H_
