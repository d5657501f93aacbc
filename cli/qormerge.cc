// The qormerge executable: git's merge driver for pipeline notebooks.
#include <iostream>
#include <string>
#include <vector>

#include "qormerge_cli.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> args(argv + 1, argv + argc);
  return qor::cli::qormerge_main(args, std::cout, std::cerr, /*exits_after=*/true);
}
