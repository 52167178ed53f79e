#!/usr/bin/env bash
# Archives that keep permission bits are read, verified and exported by tresmo-cli as it was
# built before it knew of them, every content intact. That program is built from its commit in
# a git worktree under the build folder (with ccache, a rebuild takes seconds).
#   old-reader-check.sh NEW_CLI SOURCE_DIR WORK_DIR
# Fails, saying why, when git or the commit is missing. A source tree without its history (a
# shallow clone, an unpacked tarball) cannot run it: it says so and exits 77, which ctest shows
# as skipped, never as passed.
set -euo pipefail
new=$1 src=$2 work=$3
before=ef6f1d6  # the last commit whose archives know contents only
fail() { echo "old-reader-check: $*" >&2; exit 1; }

command -v git >/dev/null || fail "git is missing: the older tresmo-cli cannot be built"
skip() { echo "old-reader-check: skipped: $*" >&2; exit 77; }
git -C "$src" rev-parse --git-dir >/dev/null 2>&1 || skip "$src is not a git checkout"
[ "$(git -C "$src" rev-parse --is-shallow-repository)" = false ] ||
    skip "$src is a shallow clone without commit $before"
want=$(git -C "$src" rev-parse -q --verify "$before^{commit}") ||
    fail "commit $before is not in $src (a shallow clone?): fetch the whole history"
mkdir -p "$work"
tree=$work/src
if [ ! -f "$tree/.git" ] || [ "$(git -C "$tree" rev-parse HEAD)" != "$want" ]; then
    rm -rf "$tree"
    git -C "$src" worktree prune
    git -C "$src" worktree add -f --detach "$tree" "$want" >"$work/worktree.log" 2>&1 ||
        fail "git worktree add failed: $(tail -3 "$work/worktree.log")"
fi
opts=(-DCMAKE_BUILD_TYPE=Release -DTRESMO_TESTS=OFF -DTRESMO_GUI=OFF -DTRESMO_BENCH=OFF)
command -v ninja >/dev/null && opts+=(-G Ninja)
command -v ccache >/dev/null && opts+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
export CCACHE_BASEDIR=$tree CCACHE_NOHASHDIR=1
{ cmake -S "$tree" -B "$work/build" "${opts[@]}" &&
    cmake --build "$work/build" --target tresmo-cli -j 2; } >"$work/build.log" 2>&1 ||
    fail "the tresmo-cli of $before does not build: $(tail -5 "$work/build.log")"
old=$work/build/archive_cli/tresmo-cli

d=$(mktemp -d "$work/run.XXXXXX")
trap 'rm -rf "$d"' EXIT
export TRESMO_CONFIG_DIR=$d/conf
w=$d/w
mkdir -p "$w/sub/priv" "$w/bin"
printf 'echo run\n' >"$w/bin/run.sh"
printf 'secret\n' >"$w/sub/priv/key"
seq 1 5000 >"$w/sub/numbers.txt"
printf 'notes\n' >"$w/notes.txt"
chmod 0755 "$w/bin/run.sh"
chmod 0700 "$w/sub/priv"
chmod 0600 "$w/sub/priv/key"
"$new" -q init "$w" "$d/a.trsm" >/dev/null
"$new" -q save "$d/a.trsm" >/dev/null || fail "today's save failed"
# The second transaction: a content change, a change of bits alone, a new file.
seq 1 5100 >"$w/sub/numbers.txt"
chmod 0700 "$w/bin/run.sh"
printf 'new\n' >"$w/new.txt"
"$new" -q save "$d/a.trsm" >/dev/null || fail "today's second save failed"
mkdir "$d/today" "$d/old1" "$d/old2" "$d/new1" "$d/new2"
"$new" -q export "$d/a.trsm" "$d/today" >/dev/null || fail "today's export failed"
[ "$(stat -c %a "$d/today/w/bin/run.sh")" = 700 ] ||
    fail "today's tresmo-cli did not keep permission bits: the archive is not one to check"

"$old" verify "$d/a.trsm" >"$d/verify.out" 2>&1 ||
    fail "the tresmo-cli of $before does not verify it: $(head -5 "$d/verify.out")"
"$old" log "$d/a.trsm" >/dev/null 2>&1 || fail "the tresmo-cli of $before cannot list it"
for at in 1 2; do
    "$old" export "$d/a.trsm" "$d/old$at" --at "$at" >/dev/null 2>&1 ||
        fail "the tresmo-cli of $before cannot export transaction $at"
    "$new" export "$d/a.trsm" "$d/new$at" --at "$at" >/dev/null 2>&1 ||
        fail "today's tresmo-cli cannot export transaction $at"
    diff -r "$d/old$at" "$d/new$at" >/dev/null ||
        fail "transaction $at exported by the tresmo-cli of $before differs in content"
done
diff -r "$w" "$d/old2/w" >/dev/null || fail "the last state exported differs from the folder"
echo "old-reader-check: the tresmo-cli of $before read, verified and exported it: 1 passed, 0 failed"
