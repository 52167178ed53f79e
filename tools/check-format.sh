#!/usr/bin/env bash
# Fails when a tracked C++ file is not formatted as .clang-format says (`make format` fixes it).
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files -- '*.h' '*.cpp')
[ -z "$files" ] && exit 0
if ! echo "$files" | xargs clang-format --dry-run --Werror 2>/tmp/tresmo-format.$$; then
  grep 'warning\|error' /tmp/tresmo-format.$$ | head -20 >&2
  rm -f /tmp/tresmo-format.$$
  echo "check-format: run 'make format'" >&2
  exit 1
fi
rm -f /tmp/tresmo-format.$$
