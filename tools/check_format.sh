#!/bin/sh
# Every tracked C++ file follows the committed .clang-format. Lists the files that do
# not (and how to mend them) and exits 1; exits 0 when all do.
set -eu
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "clang-format is not installed"; exit 1; }
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  files=$(git ls-files '*.cpp' '*.h')
else
  files=$(find . -path ./build\* -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
fi
# One clang-format process per batch of files, not per file: starting it costs more than
# checking a file. Each violation is reported as "FILE:LINE:COL: error: ...".
bad=$(printf '%s\n' $files | while read -r f; do [ -f "$f" ] && printf '%s\n' "$f"; done |
  xargs -r -n 64 clang-format --dry-run --Werror 2>&1 >/dev/null |
  sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: error: .*/\1/p' | sort -u || true)
if [ -n "$bad" ]; then
  echo "not in the committed style (clang-format -i FILE mends it):"
  for f in $bad; do echo "  $f"; done
  exit 1
fi
echo "all C++ files follow the committed style"
