// SipHash-1-3 (one compression round per word, three finalisation rounds) under a 128-bit key
// read from the kernel's random source on first use.
#include "keyed_hash.h"

#include <bit>
#include <cstring>

#include "platform/uuid.h"

namespace qor::detail {
namespace {

struct Key {
  std::uint64_t k0, k1;
};

Key draw_key() {
  std::uint64_t words[2] = {0, 0};
  platform::random_bytes(words, sizeof words);
  return {words[0], words[1]};
}

const Key& process_key() {
  static const Key key = draw_key();
  return key;
}

inline void sip_round(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2, std::uint64_t& v3) {
  v0 += v1;
  v1 = std::rotl(v1, 13);
  v1 ^= v0;
  v0 = std::rotl(v0, 32);
  v2 += v3;
  v3 = std::rotl(v3, 16);
  v3 ^= v2;
  v0 += v3;
  v3 = std::rotl(v3, 21);
  v3 ^= v0;
  v2 += v1;
  v1 = std::rotl(v1, 17);
  v1 ^= v2;
  v2 = std::rotl(v2, 32);
}

inline std::uint64_t load_le64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

}  // namespace

KeyedHasher::KeyedHasher() : KeyedHasher(process_key().k0, process_key().k1, 1, 3) {}

KeyedHasher::KeyedHasher(std::uint64_t k0, std::uint64_t k1, int compression_rounds,
                         int final_rounds)
    : v0_(k0 ^ 0x736f6d6570736575ULL),
      v1_(k1 ^ 0x646f72616e646f6dULL),
      v2_(k0 ^ 0x6c7967656e657261ULL),
      v3_(k1 ^ 0x7465646279746573ULL),
      compression_rounds_(compression_rounds),
      final_rounds_(final_rounds) {}

void KeyedHasher::compress(std::uint64_t m) {
  v3_ ^= m;
  for (int i = 0; i < compression_rounds_; ++i) sip_round(v0_, v1_, v2_, v3_);
  v0_ ^= m;
}

void KeyedHasher::write(const void* data, std::size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  length_ += size;
  while (tail_size_ != 0 && size != 0) {
    tail_ |= std::uint64_t{*p++} << (8 * tail_size_);
    --size;
    if (++tail_size_ == 8) {
      compress(tail_);
      tail_ = 0;
      tail_size_ = 0;
    }
  }
  for (; size >= 8; p += 8, size -= 8) compress(load_le64(p));
  for (; size != 0; --size) tail_ |= std::uint64_t{*p++} << (8 * tail_size_++);
}

void KeyedHasher::write_u64(std::uint64_t word) {
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(word >> (8 * i));
  write(bytes, sizeof bytes);
}

std::uint64_t KeyedHasher::finish() {
  const std::uint64_t last = (length_ << 56) | tail_;
  compress(last);
  v2_ ^= 0xff;
  for (int i = 0; i < final_rounds_; ++i) sip_round(v0_, v1_, v2_, v3_);
  return v0_ ^ v1_ ^ v2_ ^ v3_;
}

std::uint64_t keyed_hash(std::string_view bytes) {
  KeyedHasher h;
  h.write(bytes);
  return h.finish();
}

}  // namespace qor::detail
