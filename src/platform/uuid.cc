// Version-4 UUIDs from getrandom(2): 122 random bits, the version and variant bits set.
#include "platform/uuid.h"

#include <sys/random.h>

#include <cerrno>
#include <random>

namespace qor::platform {

std::string uuid4() {
  unsigned char b[16];
  std::size_t got = 0;
  while (got < sizeof b) {
    const ssize_t n = ::getrandom(b + got, sizeof b - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::random_device rd;
      for (auto& byte : b) byte = static_cast<unsigned char>(rd());
      got = sizeof b;
      break;
    }
    got += static_cast<std::size_t>(n);
  }
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

}  // namespace qor::platform
