#!/bin/sh
# Checks (or, with --fix, applies) the repository's .clang-format on the C++ sources.
set -eu
cd "$(dirname "$0")/.."
files=$(git ls-files '*.cc' '*.h')
if [ "${1:-}" = "--fix" ]; then
  # shellcheck disable=SC2086
  clang-format -i $files
  exit 0
fi
status=0
for f in $files; do
  if ! clang-format "$f" | cmp -s - "$f"; then
    echo "not formatted: $f"
    status=1
  fi
done
exit $status
