#!/bin/sh
# Fails if any C++ source in the repository departs from .clang-format.
set -eu
cd "$1"
files=$(git ls-files '*.cpp' '*.h')
# shellcheck disable=SC2086  # one word per file
clang-format --dry-run --Werror $files
echo "all $(echo "$files" | wc -w) C++ files follow .clang-format"
