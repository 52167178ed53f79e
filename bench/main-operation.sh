#!/usr/bin/env bash
# The main operation measured next to its peers, all in one run on the same generated trees:
#   first save of 100,000 small files and of three large files   vs tar | zstd -3, git add+commit
#   refresh with nothing changed (replay + scan)                  vs find -printf, git status
#   save of 1% changed files (with and without the syncs)         vs git add+commit of the change
#   restore of the newest and of the oldest version               (MB/s of output)
# Times are hyperfine medians of wall time, with the mean CPU time (user + system, children
# included) beside them: on a shared machine the CPU time is the steadier figure. Peak RSS
# comes from one extra run under /usr/bin/time -v. The page cache is warm throughout (the
# trees were just written), so these are the in-memory costs, not disk reads.
#
# Environment: BENCH_FILES (small files, default 100000), BENCH_RUNS (default 5),
# BENCH_HEAVY_RUNS (first saves and restores of the small files, default 3), BENCH_DATA
# (default build/bench-data), BENCH_RESUME=1 (keep the data and the results of an interrupted
# run and measure only what is missing).
set -euo pipefail
cd "$(dirname "$0")/.."

FILES=${BENCH_FILES:-100000}
RUNS=${BENCH_RUNS:-5}
HEAVY_RUNS=${BENCH_HEAVY_RUNS:-3}
DATA=$(realpath -m "${BENCH_DATA:-build/bench-data}")
TREE=$DATA/tree
OUT=$DATA/results
TOOL=$PWD/build/release/bench/tresmo_bench_tool
T0=1700000000  # first save; later operations at T0 + 100, + 200, ...

tools/install-deps.sh bench
cmake --preset release >/dev/null
cmake --build --preset release -j 2 --target tresmo_bench_tool

RESUME=${BENCH_RESUME:-0}
[ "$RESUME" = 1 ] || rm -rf "$DATA"
mkdir -p "$DATA" "$OUT"
# The load of the machine (other work included) every 30 seconds, for the report.
(while sleep 30; do cut -d' ' -f1 /proc/loadavg; done >>"$OUT/load.txt") &
sampler=$!
trap 'kill $sampler 2>/dev/null' EXIT
if [ ! -e "$DATA/generated" ]; then
    echo "== generating $FILES small files and the large files in $TREE"
    rm -rf "$TREE"
    python3 tools/make-tree.py "$TREE" --files "$FILES"
    touch "$DATA/generated"
fi
# Output folders of restores and git repositories are moved aside before each run (a rename, where deleting 100,000
# files would take minutes on a busy disk) and deleted at the end.
TRASH=$DATA/trash
mkdir -p "$TRASH"

# git in repositories outside the trees (the archive scan must not see a .git folder), with
# fixed identities and dates and no user or system configuration.
export GIT_CONFIG_NOSYSTEM=1 GIT_CONFIG_GLOBAL=/dev/null
export GIT_AUTHOR_NAME=bench GIT_AUTHOR_EMAIL=bench@example.invalid
export GIT_COMMITTER_NAME=bench GIT_COMMITTER_EMAIL=bench@example.invalid
export GIT_AUTHOR_DATE="@$T0 +0000" GIT_COMMITTER_DATE="@$T0 +0000"
git_in() {  # git_in PART: the git command line for the repository of tree part PART
    echo "git -c gc.auto=0 --git-dir=$DATA/git-$1/.git --work-tree=$TREE/$1"
}

# measure ID RUNS [hyperfine options...] COMMAND: hyperfine into $OUT/ID.json
measure() {
    local id=$1 runs=$2
    shift 2
    # hyperfine creates its file at the start: only a finished one holds a median.
    grep -qs '"median"' "$OUT/$id.json" && return 0
    echo "== $id"
    hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$OUT/$id.json" "$@"
}
# rss ID PREPARE COMMAND: peak RSS (KiB) of one run, into $OUT/ID.rss
rss() {
    [ -s "$OUT/$1.time" ] && return 0
    bash -c "$2" >/dev/null 2>&1
    /usr/bin/time -v bash -c "$3" 2>"$OUT/$1.time" >/dev/null
    awk -F': ' '/Maximum resident/ {print $2}' "$OUT/$1.time" >"$OUT/$1.rss"
}

for part in small large; do
    A=$DATA/$part.trsm
    G=$(git_in "$part")
    measure "save-first-$part" "$HEAVY_RUNS" --prepare "rm -f $A" \
        "$TOOL save $TREE/$part $A $T0"
    # The extra run for the peak RSS also times the syncs one by one.
    rss "save-first-$part" "rm -f $A" "$TOOL --sync-stats save $TREE/$part $A $T0"
    [ -e "$DATA/$part-base.trsm" ] || cp "$A" "$DATA/$part-base.trsm"
    measure "tar-zstd-$part" "$HEAVY_RUNS" \
        "tar -cf - -C $TREE $part | zstd -3 -q -f -o $DATA/$part.tar.zst"
    aside="[ ! -e $DATA/git-$part ] || mv $DATA/git-$part \$(mktemp -d $TRASH/g.XXXXXX)"
    measure "git-first-$part" "$HEAVY_RUNS" --prepare "{ $aside; } && git init -q $DATA/git-$part" \
        "$G add -A && $G commit -q -m first"
    [ -e "$DATA/git-$part.base" ] || $G rev-parse HEAD >"$DATA/git-$part.base"
done

A=$DATA/small-base.trsm
G=$(git_in small)
measure refresh-small "$RUNS" "$TOOL refresh $TREE/small $A $((T0 + 100))"
rss refresh-small true "$TOOL refresh $TREE/small $A $((T0 + 100))"
measure find-small "$RUNS" "find $TREE/small -printf '%T@ %s %p\n' >/dev/null"
rss find-small true "find $TREE/small -printf '%T@ %s %p\n' >/dev/null"
measure git-status-small "$RUNS" "$G status --porcelain >/dev/null"
rss git-status-small true "$G status --porcelain >/dev/null"

if [ ! -e "$DATA/changed" ]; then
    echo "== changing 1% of the small files and each large file in a few places"
    python3 tools/make-tree.py "$TREE" --files "$FILES" --change
    touch "$DATA/changed"
fi
export GIT_AUTHOR_DATE="@$((T0 + 200)) +0000" GIT_COMMITTER_DATE="@$((T0 + 200)) +0000"

for part in small large; do
    W=$DATA/$part.trsm
    G=$(git_in "$part")
    prep="cp $DATA/$part-base.trsm $W"
    measure "save-change-$part" "$RUNS" --prepare "$prep" "$TOOL save $TREE/$part $W $((T0 + 200))"
    measure "save-change-$part-nosync" "$RUNS" --prepare "$prep" \
        "$TOOL --nosync save $TREE/$part $W $((T0 + 200))"
    # This run leaves the archive of two versions that the restores read.
    rss "save-change-$part" "$prep" "$TOOL --sync-stats save $TREE/$part $W $((T0 + 200))"
    measure "git-change-$part" "$RUNS" --prepare "$G reset -q --mixed $(cat "$DATA/git-$part.base")" \
        "$G add -A && $G commit -q -m change"
    rruns=$RUNS
    [ "$part" = small ] && rruns=$HEAVY_RUNS  # 100,000 files created per run
    D=$DATA/restore-$part
    fresh="mkdir -p $D && mv $D \$(mktemp -d $TRASH/r.XXXXXX) && mkdir $D"
    for which in newest oldest; do
        measure "restore-$which-$part" "$rruns" --prepare "$fresh" "$TOOL restore $W $D $which"
        rss "restore-$which-$part" "$fresh" "$TOOL restore $W $D $which"
    done
    measure "untar-zstd-$part" "$rruns" --prepare "$fresh" \
        "zstd -dc -q $DATA/$part.tar.zst | tar -xf - -C $D"
done

echo "== load average (1 min) during the run: $(sort -n "$OUT/load.txt" | awk '{a[NR]=$1}
    END {printf "median %s, min %s, max %s", a[int((NR+1)/2)], a[1], a[NR]}') on $(nproc) cores"
python3 bench/main-operation-table.py "$OUT" "$TREE" "$FILES"
# Last, as it takes long: the restored copies.
rm -rf "$TRASH"
