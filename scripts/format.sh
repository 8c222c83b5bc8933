#!/usr/bin/env bash
# Formats the C++ tree with the pinned clang-format, or with --check fails on unformatted files.
set -euo pipefail
cd "$(dirname "$0")/.."
clang_format=${CLANG_FORMAT:-clang-format-14}
command -v "$clang_format" >/dev/null || clang_format=clang-format
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.cc' '*.hpp')
if [ "${1:-}" = "--check" ]; then
  "$clang_format" --dry-run -Werror "${files[@]}"
else
  "$clang_format" -i "${files[@]}"
fi
