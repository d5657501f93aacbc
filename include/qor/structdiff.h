// The structural difference of two JSON values in compact form.
//
// Unchanged values give nothing. Two objects give per-key differences, the new keys with their
// values and one deletion-marker entry listing the removed keys, or one replacement-marker entry
// holding the new object when they share no key. Two lists are aligned by a weighted longest
// common subsequence and give the new list when nothing pairs up, otherwise position-keyed
// differences plus insertion and deletion entries. Where several alignments are optimal, the one
// taken is the one found by walking back from the ends of both lists, preferring a pair, then an
// insertion. Any other change gives the new value (a new object under the replacement marker).
#ifndef QOR_STRUCTDIFF_H_
#define QOR_STRUCTDIFF_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qor/json.h"

namespace qor::structdiff {

// The three markers, as their printed forms.
inline constexpr std::string_view kInsertMarker = "$insert";
inline constexpr std::string_view kDeleteMarker = "$delete";
inline constexpr std::string_view kReplaceMarker = "$replace";

// One difference. Owns copies of the values it shows.
class Delta {
 public:
  enum class Kind {
    kEmpty,    // no difference: {}
    kValue,    // the new value itself (a scalar, a list, or the value of an added key)
    kReplace,  // {replace: new object}
    kObject,   // per-key entries and removed keys
    kList,     // per-position entries, insertions and deletions
  };
  struct ObjectPart {
    // Changed keys in the old object's order, then added keys (as kValue) in the new one's.
    std::vector<std::pair<std::string, Delta>> entries;
    std::vector<std::string> deleted;  // removed keys, in the old object's order
  };
  struct ListPart {
    std::vector<std::pair<std::size_t, Delta>> changed;         // new positions, increasing
    std::vector<std::pair<std::size_t, json::Value>> inserted;  // new positions, increasing
    std::vector<std::size_t> deleted;                           // old positions, decreasing
  };

  Delta() = default;
  static Delta value(json::Value v);
  static Delta replace(json::Value object);
  static Delta object(ObjectPart part);
  static Delta list(ListPart part);

  Delta(const Delta& other);
  Delta(Delta&&) noexcept = default;
  Delta& operator=(const Delta& other);
  Delta& operator=(Delta&&) noexcept = default;

  Kind kind() const { return kind_; }
  bool empty() const { return kind_ == Kind::kEmpty; }
  // The value of a kValue or kReplace delta (null for the other kinds).
  const json::Value& new_value() const { return value_; }
  // The parts of a kObject and of a kList delta. Precondition: kind() is that kind; any other
  // kind has no part to return (the call dereferences a null pointer).
  const ObjectPart& object_part() const { return *object_; }
  ObjectPart& object_part() { return *object_; }
  const ListPart& list_part() const { return *list_; }

  // The entry under `key` of a kObject delta; nullptr for other kinds or an absent key.
  const Delta* find(std::string_view key) const;
  // Removes the entry under `key` of a kObject delta; a delta left without entries and
  // deletions becomes empty. Returns whether an entry was removed.
  bool erase(std::string_view key);

 private:
  Kind kind_ = Kind::kEmpty;
  json::Value value_;
  std::unique_ptr<ObjectPart> object_;
  std::unique_ptr<ListPart> list_;
};

// The bounds of the work of a difference. Every pair of lists reached from the top through
// objects alone is aligned within its own budget of base_work + work_per_unit * (size of the two
// lists) units of work and table_memory bytes of tables, shared with every comparison and
// alignment nested in it. A list's size counts one unit per value and per object member and one
// per sixteen bytes of its strings and keys; a unit of work is about one table cell or one value
// visited. The total work of a difference is thus linear in the size of its values, and the
// difference of such a list pair depends on that pair alone, never on what else the values hold.
// Within the budget the result is the weighted alignment described above; once it is spent,
// lists pair equal items only (unequal items weigh nothing). Either way a difference is empty
// exactly when the values are equal, and an object difference holds exactly the keys whose
// values changed or were added.
struct Limits {
  std::uint64_t base_work = std::uint64_t{1} << 13;
  std::uint64_t work_per_unit = 64;
  std::size_t table_memory = std::size_t{32} << 20;
};

// The difference from `old_value` to `new_value`. Polls qor::interrupt while it works.
Delta diff(const json::Value& old_value, const json::Value& new_value, const Limits& limits = {});

// diff() of two objects with the entries of the top-level keys `left_out` erased from it (as
// Delta::erase() does: a key the newer object lost stays, and objects without a key in common
// are replaced whole), without comparing what those keys hold. Values that are not both objects
// get the whole diff().
Delta diff_leaving_out(const json::Value& old_value, const json::Value& new_value,
                       std::initializer_list<std::string_view> left_out, const Limits& limits = {});

// Whether diff_leaving_out(old_value, new_value, left_out) is non-empty, told by the first
// difference found, without building it.
bool differs_leaving_out(const json::Value& old_value, const json::Value& new_value,
                         std::initializer_list<std::string_view> left_out);

// How alike two values are, from 0 (nothing in common) to 1 (equal), as the alignment weighs
// them: objects by (sum over shared keys of (1 + s_key) / 2) / (number of keys in either); lists
// by (sum of paired similarities) / (old length + number of inserted items); unequal scalars 0.
double similarity(const json::Value& a, const json::Value& b, const Limits& limits = {});

// The value that `delta`, a difference from `old_value`, leads to (the patch of the compact
// form): in an object difference, removed keys go, changed keys get their new values and added
// keys come last; in a list difference, the deleted positions (old) go first, then the
// insertions take their (new) positions, then the items at changed positions change. Throws
// ValueError when `delta` does not fit `old_value` (a position out of range, a kind that does
// not match).
json::Value apply(const json::Value& old_value, const Delta& delta);

// Appends the printed form of `delta`, as Python prints the same difference: markers as
// `$insert`, `$delete`, `$replace`, insertions as (position, item) tuples.
void append_repr(const Delta& delta, std::string& out);
std::string repr(const Delta& delta);

}  // namespace qor::structdiff

#endif  // QOR_STRUCTDIFF_H_
