#!/bin/sh
# Fails if any C++ source of the project departs from .clang-format. Works
# without .git (a release tarball), so it lists the project's own folders
# rather than asking git; build trees are never among them.
# Usage: check_format.sh CLANG_FORMAT SOURCE_DIR
set -eu
fmt="$1"
cd "$2"
dirs=""
for d in src ui tests tools fuzz benchmarks; do
  [ -d "$d" ] && dirs="$dirs $d"
done
# shellcheck disable=SC2086  # one word per folder
files=$(find $dirs -name '*.cpp' -o -name '*.h' | sort)
[ -n "$files" ] || { echo "no C++ sources found under $2" >&2; exit 1; }
# shellcheck disable=SC2086  # one word per file
"$fmt" --dry-run --Werror $files
echo "all $(echo "$files" | wc -w) C++ files follow .clang-format"
