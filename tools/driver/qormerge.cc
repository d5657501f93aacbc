// The qormerge executable: git's merge driver for pipeline notebooks.
#include <iostream>
#include <string>
#include <vector>

#include "driver/qormerge_cli.h"
#include "qor/program.h"

int main(int argc, char** argv) {
  // Before anything opens a file: a closed standard descriptor must not become one of ours.
  qor::program::open_standard_descriptors();
  // SIGINT, SIGTERM, SIGHUP remove our temporary files and end us by the same signal; a closed
  // output and a file-size limit are write errors.
  qor::program::install_signal_cleanup();
  qor::program::grow_heaps_in_large_steps();
  // The versions are read through mappings of git's temporary files; should one shrink
  // meanwhile, the merge fails as for a file that cannot be read.
  qor::program::guard_mapped_inputs("qormerge: error: ");
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> args(argv + 1, argv + argc);
  return qor::cli::qormerge_main(args, std::cout, std::cerr, /*exits_after=*/true);
}
