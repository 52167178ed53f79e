#!/usr/bin/env bash
# Prints the size of the tests against the size of the program: non-blank lines of the tracked
# .h/.cpp files in tests/ and archive_gui/tests/ against archive/, archive_cli/ and archive_gui/
# (its tests not counted). Our rule is a quarter to a third, at most 35%; with --check the
# script fails outside 25-35%.
set -euo pipefail
cd "$(dirname "$0")/.."

lines() { grep -E '\.(h|cpp)$' | xargs -r cat | grep -c -v -E '^\s*$' || true; }
tests=$(git ls-files -- tests archive_gui/tests | lines)
code=$(git ls-files -- archive archive_cli archive_gui | grep -v '^archive_gui/tests/' | lines)
pct=$((100 * tests / code))
echo "tests ${tests} lines, program ${code} lines: ${pct}%"
if [ "${1:-}" = --check ] && { [ "$pct" -lt 25 ] || [ "$pct" -gt 35 ]; }; then
    echo "test-ratio: tests should be 25-35% of the program" >&2
    exit 1
fi
