// Random identifiers (private to the core).
#ifndef QOR_PLATFORM_UUID_H_
#define QOR_PLATFORM_UUID_H_

#include <string>

namespace qor::platform {

// A random version-4 UUID in canonical form: 36 lower-case characters, groups of 8-4-4-4-12,
// from the kernel's random source (std::random_device when that fails).
std::string uuid4();

}  // namespace qor::platform

#endif  // QOR_PLATFORM_UUID_H_
