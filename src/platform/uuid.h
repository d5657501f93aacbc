// Random bytes and identifiers (private to the core).
#ifndef QOR_PLATFORM_UUID_H_
#define QOR_PLATFORM_UUID_H_

#include <cstddef>
#include <string>

namespace qor::platform {

// Fills `size` bytes at `out` from the kernel's random source, or, when that fails, from
// std::random_device mixed with the clock.
void random_bytes(void* out, std::size_t size);

// A random version-4 UUID in canonical form: 36 lower-case characters, groups of 8-4-4-4-12,
// from random_bytes().
std::string uuid4();

// `length` random letters and digits (A-Z, a-z, 0-9), as mkstemp puts in a temporary name.
std::string random_name(std::size_t length);

}  // namespace qor::platform

#endif  // QOR_PLATFORM_UUID_H_
