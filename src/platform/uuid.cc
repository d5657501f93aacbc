// Random bytes from getrandom(2), and version-4 UUIDs made of them: 122 random bits, the
// version and variant bits set.
#include "platform/uuid.h"

#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <random>

namespace qor::platform {

void random_bytes(void* out, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(out);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::getrandom(bytes + got, size - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      // No kernel source: the C++ library's, mixed with the clock.
      std::random_device rd;
      auto t =
          static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
      for (std::size_t i = got; i < size; ++i) {
        t = t * 0x9E3779B97F4A7C15ULL + rd();
        bytes[i] = static_cast<unsigned char>(t >> 56);
      }
      return;
    }
    got += static_cast<std::size_t>(n);
  }
}

std::string uuid4() {
  unsigned char b[16];
  random_bytes(b, sizeof b);
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kHex[b[i] >> 4];
    out += kHex[b[i] & 0xF];
  }
  return out;
}

std::string random_name(std::size_t length) {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string random(length, '\0');
  random_bytes(random.data(), length);
  for (char& c : random) c = kLetters[static_cast<unsigned char>(c) % (sizeof kLetters - 1)];
  return random;
}

}  // namespace qor::platform
