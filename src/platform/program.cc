// Process-level set-up for a program that runs one operation and exits.
#include <malloc.h>
#include <sys/resource.h>

#include <string>

#include "platform/file.h"
#include "qor/errors.h"
#include "qor/program.h"

namespace qor::program {

void grow_heaps_in_large_steps() {
  // Under a limit on the address space or the data size, or with strict accounting of committed
  // memory, the reserve would count as used: an allocation could then fail that fits.
  for (int resource : {RLIMIT_AS, RLIMIT_DATA}) {
    struct rlimit limit;
    if (::getrlimit(resource, &limit) != 0 || limit.rlim_cur != RLIM_INFINITY) return;
  }
  std::string overcommit;
  try {
    overcommit = platform::read_file("/proc/sys/vm/overcommit_memory");
  } catch (const IoError&) {
    return;
  }
  if (overcommit.empty() || overcommit[0] == '2') return;
  ::mallopt(M_TOP_PAD, 64 << 20);
}

}  // namespace qor::program
