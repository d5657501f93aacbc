// A keyed hash of byte strings (SipHash-1-3 under a key drawn at random once per process), for
// every table whose keys an input can choose (component ids, parameter names, object keys,
// values in the list alignment): without the key, nobody can build many inputs that share one
// hash.
#ifndef QOR_KEYED_HASH_H_
#define QOR_KEYED_HASH_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qor::detail {

// Incremental SipHash-c-d under the key (k0, k1): feed bytes and words, then finish() once.
// The default is SipHash-1-3 under the process key.
class KeyedHasher {
 public:
  KeyedHasher();
  KeyedHasher(std::uint64_t k0, std::uint64_t k1, int compression_rounds, int final_rounds);

  void write(const void* data, std::size_t size);
  void write(std::string_view bytes) { write(bytes.data(), bytes.size()); }
  void write_u64(std::uint64_t word);
  std::uint64_t finish();

 private:
  void compress(std::uint64_t m);

  std::uint64_t v0_, v1_, v2_, v3_;
  int compression_rounds_ = 1;
  int final_rounds_ = 3;
  std::uint64_t tail_ = 0;     // bytes not yet compressed, little-endian
  std::size_t tail_size_ = 0;  // how many (0 to 7)
  std::uint64_t length_ = 0;   // all bytes written
};

// The hash of one byte string under the process key.
std::uint64_t keyed_hash(std::string_view bytes);

// keyed_hash() as the hash function of an unordered container of strings whose keys an input
// chooses (std::hash has no key: inputs can be built to share one bucket).
struct KeyedStringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return keyed_hash(s); }
};

}  // namespace qor::detail

#endif  // QOR_KEYED_HASH_H_
