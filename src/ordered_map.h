// The insertion-ordered map of the engines: the cell and parameter tables of the merge and the
// diff, keyed by text (component ids, parameter names as notebook::ValueTree::key spells them).
#ifndef QOR_ORDERED_MAP_H_
#define QOR_ORDERED_MAP_H_

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "keyed_hash.h"

namespace qor::detail {

// Keys in insertion order, as a dict keeps them: assigning to an existing key keeps its place
// and takes the new value, a new key goes last, removing a key closes the gap, and an entry can
// be inserted right after another one. Entries are addressed by a handle (their slot), valid
// until they are erased; the handles of other entries stay valid across every operation.
//
// Every entry also carries an order number that grows along the table, so that two entries can
// be compared by position in constant time. A new last entry leaves a gap of 2^32 after the one
// before it, and an insertion after an entry takes the middle of the gap that follows it: the
// numbers stay distinct as long as no gap is split more than 31 times, which insert_after's
// callers keep (each entry gets at most one entry inserted right after it).
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

  // The entry under `key`, or kNone.
  Handle find(std::string_view key) const {
    if (index_.empty()) return kNone;
    const auto hash = static_cast<std::uint32_t>(keyed_hash(key));
    const std::size_t mask = index_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const std::uint64_t slot = index_[i];
      if (slot == 0) return kNone;
      if (slot_hash(slot) == hash && slots_[slot_handle(slot)].key == key) {
        return slot_handle(slot);
      }
    }
  }
  bool contains(std::string_view key) const { return find(key) != kNone; }

  // Makes room for `n` entries in all, so that a table whose size is known never holds the
  // spare room (and, while growing, the old copy) of doubling.
  void reserve(std::size_t n) {
    slots_.reserve(n);
    if (n * 2 > index_.size()) grow_index(std::bit_ceil(n * 2));
  }
  // The value under `key`, or a value-initialised V (a null pointer or handle) when absent.
  V value_or_none(std::string_view key) const {
    const Handle h = find(key);
    return h == kNone ? V() : slots_[h].value;
  }
  Entry& at(Handle h) { return slots_[h]; }
  const Entry& at(Handle h) const { return slots_[h]; }
  std::size_t size() const { return count_; }

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
    unindex(h);
    e = Entry();
  }

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
    const std::uint64_t lo = n.prev == kNone ? 0 : slots_[n.prev].order;
    n.order = n.next == kNone ? lo + kGap : lo + (slots_[n.next].order - lo) / 2;
    if ((count_ + 1) * 2 > index_.size()) grow_index(std::max<std::size_t>(16, index_.size() * 2));
    place(h, static_cast<std::uint32_t>(keyed_hash(key)));
    ++count_;
    return h;
  }

  // The index: open addressing with linear probing over a power-of-two number of slots, at most
  // half of them used. A used slot holds the low 32 bits of its key's hash above the entry's
  // handle + 1; an empty slot is 0.
  static std::uint32_t slot_hash(std::uint64_t slot) {
    return static_cast<std::uint32_t>(slot >> 32);
  }
  static Handle slot_handle(std::uint64_t slot) { return static_cast<Handle>(slot) - 1; }

  void place(Handle h, std::uint32_t hash) {
    const std::size_t mask = index_.size() - 1;
    std::size_t i = hash & mask;
    while (index_[i] != 0) i = (i + 1) & mask;
    index_[i] = (std::uint64_t{hash} << 32) | (std::uint64_t{h} + 1);
  }

  // Rehashes the index into `slots` slots (a power of two, more than twice the entries).
  void grow_index(std::size_t slots) {
    std::vector<std::uint64_t> old(slots, 0);
    old.swap(index_);
    for (std::uint64_t slot : old) {
      if (slot != 0) place(slot_handle(slot), slot_hash(slot));
    }
  }

  // Removes entry `h` from the index, moving later slots of its probe run back so that every
  // key stays reachable from its home slot without gaps.
  void unindex(Handle h) {
    const std::size_t mask = index_.size() - 1;
    std::size_t i = static_cast<std::uint32_t>(keyed_hash(slots_[h].key)) & mask;
    while (slot_handle(index_[i]) != h) i = (i + 1) & mask;
    for (std::size_t j = (i + 1) & mask; index_[j] != 0; j = (j + 1) & mask) {
      const std::size_t home = slot_hash(index_[j]) & mask;
      if (((j - home) & mask) >= ((j - i) & mask)) {
        index_[i] = index_[j];
        i = j;
      }
    }
    index_[i] = 0;
    --count_;
  }

  std::vector<Entry> slots_;
  std::vector<std::uint64_t> index_;
  std::size_t count_ = 0;
  Handle head_ = kNone;
  Handle tail_ = kNone;
};

}  // namespace qor::detail

#endif  // QOR_ORDERED_MAP_H_
