#!/bin/sh
# Fails when any tracked C++ source differs from the project's clang-format
# settings, naming the files; `clang-format -i FILE` mends one.
set -e
cd "$(dirname "$0")/.."
files=$(git ls-files '*.cpp' '*.h')
bad=""
for f in $files; do
  clang-format-14 --dry-run --Werror "$f" >/dev/null 2>&1 || bad="$bad $f"
done
if [ -n "$bad" ]; then
  echo "format-check: not formatted with .clang-format:$bad" >&2
  exit 1
fi
echo "format-check: $(echo "$files" | wc -l) files formatted"
