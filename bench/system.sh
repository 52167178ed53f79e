#!/usr/bin/env bash
# tresmo-cli measured next to git, restic, borg and rdiff-backup, all in one run on the same
# generated data (the tables and the method: doc/system-benchmarks.md).
#   workload 1, tools/make-tree.py: 100,000 small files and three large ones (20-50 MB)
#     first save; refresh with nothing changed (next to find -printf and git status);
#     save after 1% of the files changed
#   workload 2, tools/make-history.py: 50 steps of edits over the text files of three Debian
#     packages; every tool stores every step: total time, archive size at the end (git also
#     after gc --aggressive, borg with zstd and with lz4), restore of the newest and oldest step
# Every run is timed from wait4 (wall, user + system CPU, peak RSS of the largest process).
# Repeated measures give the median, min and max; the slowest peer steps run once and the
# tables say so. Files get fixed modification times and every tool stores a minute after them
# at a given time (save --time, git's dates, restic --time, borg --timestamp, rdiff-backup
# --current-time), so no tool waits for the clock. The page cache is warm: the data was just
# written, so these are in-memory costs, not disk reads.
#
# Environment: BENCH_FILES (small files of workload 1, default 100000), BENCH_STEPS (default
# 50), BENCH_RUNS (quick measures, default 5), BENCH_HEAVY_RUNS (saves of workload 1 and the
# restores, default 3), BENCH_DATA (default build/system-bench).
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)

FILES=${BENCH_FILES:-100000}
STEPS=${BENCH_STEPS:-50}
RUNS=${BENCH_RUNS:-5}
HEAVY=${BENCH_HEAVY_RUNS:-3}
DATA=$(realpath -m "${BENCH_DATA:-build/system-bench}")
OUT=$DATA/results
CLI=$PWD/build/cli/archive_cli/tresmo-cli

tools/install-deps.sh system-bench
cmake --preset cli >/dev/null
cmake --build --preset cli -j 2 --target tresmo-cli

rm -rf "$DATA"
mkdir -p "$OUT" "$DATA/trash"
echo "build and tools: $(($(date +%s) - start)) s" >"$OUT/phases.txt"
# The load of the machine (other work included) every 30 seconds, for the report.
(while sleep 30; do cut -d' ' -f1 /proc/loadavg; done >>"$OUT/load.txt") &
sampler=$!
trap 'kill $sampler 2>/dev/null' EXIT
phase() { echo "$1: $(($(date +%s) - start)) s" >>"$OUT/phases.txt"; echo "== $1"; }

# No user or system configuration; fixed identities; caches inside each tool's state folder.
export TZ=UTC LC_ALL=C TRESMO_CONFIG_DIR=$DATA/config
export GIT_CONFIG_NOSYSTEM=1 GIT_CONFIG_GLOBAL=/dev/null
export GIT_AUTHOR_NAME=bench GIT_AUTHOR_EMAIL=bench@example.invalid
export GIT_COMMITTER_NAME=bench GIT_COMMITTER_EMAIL=bench@example.invalid
export RESTIC_PASSWORD=bench BORG_UNKNOWN_UNENCRYPTED_REPO_ACCESS_IS_OK=yes
export BORG_RELOCATED_REPO_ACCESS_IS_OK=yes

# once ID PREPARE COMMAND: PREPARE untimed, then COMMAND timed; one line "wall user sys rss_kib"
# appended to $OUT/ID.times (bench/timed.py). Both are bash command lines.
once() {
    bash -c "$2" >/dev/null
    python3 bench/timed.py "$OUT/$1.times" "$OUT/$1.err" bash -c "$3" || exit 1
}
# quick ID COMMAND: one warm-up and $RUNS timed runs
quick() {
    echo "== $1"
    bash -c "$2" >/dev/null 2>&1
    for ((i = 0; i < RUNS; i++)); do once "$1" true "$2"; done
}
aside() { echo "[ ! -e $1 ] || mv $1 \$(mktemp -d $DATA/trash/x.XXXXXX)"; }
stamp() { date -u -d "@$1" '+%Y-%m-%d %H:%M:%S'; }           # restic --time
isostamp() { date -u -d "@$1" '+%Y-%m-%dT%H:%M:%S'; }        # borg --timestamp
git_at() { echo "GIT_AUTHOR_DATE='@$1 +0000' GIT_COMMITTER_DATE='@$1 +0000'"; }

# Each peer keeps its repository and cache in a state folder S: restic S/repo with cache
# S/cache, borg S/repo with S/base (cache, keys and security folders), so copying S copies the
# whole state. Borg runs without encryption (its fastest setting); restic always encrypts.
restic_in() { echo "RESTIC_CACHE_DIR=$1/cache restic -q -r $1/repo"; }
borg_in() { echo "BORG_BASE_DIR=$1/base borg"; }
git_in() { echo "git -c gc.auto=0 --git-dir=$1 --work-tree=$2"; }

# ---------------------------------------------------------------- workload 1
W=$DATA/w1
TREE=$DATA/tree
T0=1700000000   # first save; the tree's files are older (make-tree.py)
T1=1700003600   # modification time of the 1% change
S1=$((T1 + 60)) # its save
mkdir -p "$W"
phase "generating workload 1: $FILES small files and three large ones"
python3 tools/make-tree.py "$TREE" --files "$FILES"
du -sb "$TREE" | cut -f1 >"$OUT/w1.bytes"

R=$(restic_in "$W/restic") B=$(borg_in "$W/borg") G=$(git_in "$W/git" "$TREE")
phase "workload 1: first save ($HEAVY runs, rdiff-backup once)"
for ((i = 0; i < HEAVY; i++)); do
    once w1-first-tresmo "rm -f $W/a.trsm $W/a.sel && $CLI -q init $TREE $W/a.trsm" \
        "$CLI -q save $W/a.trsm --time $T0"
    once w1-first-restic "$(aside "$W/restic") && mkdir $W/restic && $R init" \
        "$R backup --time '$(stamp $T0)' $TREE"
    once w1-first-borg "$(aside "$W/borg") && mkdir $W/borg && $B init -e none $W/borg/repo" \
        "$B create --compression lz4 --timestamp $(isostamp $T0) $W/borg/repo::first $TREE"
    once w1-first-git "$(aside "$W/git") && git init -q --bare $W/git" \
        "$G add -A && $(git_at $T0) $G commit -q -m first"
done
once w1-first-rdiff true "rdiff-backup --current-time $T0 backup $TREE $W/rdiff"
cp "$W/a.trsm" "$W/base.trsm"
cp -a "$W/restic" "$W/restic-base"
cp -a "$W/borg" "$W/borg-base"
$G rev-parse HEAD >"$W/git.base"

phase "workload 1: refresh with nothing changed"
quick w1-refresh-tresmo "$CLI -q status $W/a.trsm"
quick w1-refresh-find "find $TREE -printf '%T@ %s %p\n'"
quick w1-refresh-git "$G status --porcelain"
# What restic and borg take to find that nothing changed: a whole backup run that stores
# nothing new.
for ((i = 0; i < HEAVY; i++)); do
    once w1-refresh-restic true "$R backup --time '$(stamp $T0)' $TREE"
    once w1-refresh-borg true \
        "$B create --compression lz4 --timestamp $(isostamp $T0) $W/borg/repo::nothing$i $TREE"
done

phase "workload 1: save after 1% of the files changed"
python3 tools/make-tree.py "$TREE" --files "$FILES" --change --time $T1
for ((i = 0; i < HEAVY; i++)); do
    once w1-change-tresmo "cp $W/base.trsm $W/a.trsm" "$CLI -q save $W/a.trsm --time $S1"
    once w1-change-restic "rm -rf $W/restic && cp -a $W/restic-base $W/restic" \
        "$R backup --time '$(stamp $S1)' $TREE"
    once w1-change-borg "rm -rf $W/borg && cp -a $W/borg-base $W/borg" \
        "$B create --compression lz4 --timestamp $(isostamp $S1) $W/borg/repo::change $TREE"
    once w1-change-git "$G reset -q --mixed $(cat "$W/git.base")" \
        "$G add -A && $(git_at $S1) $G commit -q -m change"
done
once w1-change-rdiff true "rdiff-backup --current-time $S1 backup $TREE $W/rdiff"

# ---------------------------------------------------------------- workload 2
W=$DATA/w2
HIST=$DATA/hist
H0=1710000000                  # step K's files get H0 + K hours; each tool stores a minute later
step_time() { echo $((H0 + $1 * 3600)); }
mkdir -p "$W"
R=$(restic_in "$W/restic") BZ=$(borg_in "$W/borg-zstd") BL=$(borg_in "$W/borg-lz4")
G=$(git_in "$W/git" "$HIST")
phase "workload 2: storing $STEPS steps with every tool"
for ((k = 0; k <= STEPS; k++)); do
    t=$(step_time "$k")
    s=$((t + 60))
    if [ "$k" = 0 ]; then
        python3 tools/make-history.py "$HIST" --init --time "$t"
        $CLI -q init "$HIST" "$W/a.trsm" >/dev/null
        git init -q --bare "$W/git"
        mkdir "$W/restic" "$W/borg-zstd" "$W/borg-lz4"
        bash -c "$R init && $BZ init -e none $W/borg-zstd/repo && $BL init -e none $W/borg-lz4/repo"
    else
        python3 tools/make-history.py "$HIST" --step "$k" --time "$t"
    fi
    du -sb "$HIST" | cut -f1 >>"$OUT/w2.bytes"
    once w2-store-tresmo true "$CLI -q save $W/a.trsm --time $s"
    once w2-store-git true "$G add -A && $(git_at $s) $G commit -q --allow-empty -m step$k"
    once w2-store-restic true "$R backup --time '$(stamp $s)' --tag step$k $HIST"
    once w2-store-borg-zstd true \
        "$BZ create --compression zstd --timestamp $(isostamp $s) $W/borg-zstd/repo::step$k $HIST"
    once w2-store-borg-lz4 true \
        "$BL create --compression lz4 --timestamp $(isostamp $s) $W/borg-lz4/repo::step$k $HIST"
    once w2-store-rdiff true "rdiff-backup --current-time $s backup $HIST $W/rdiff"
done

phase "workload 2: sizes (git gc --aggressive once)"
{
    echo "tresmo $(stat -c %s "$W/a.trsm")"
    echo "git-loose $(du -sb "$W/git/objects" | cut -f1)"
    once w2-git-gc true "git --git-dir=$W/git gc -q --aggressive --prune=now"
    echo "git-packed $(du -sb "$W/git/objects" | cut -f1)"
    echo "restic $(du -sb "$W/restic/repo" | cut -f1)"
    echo "borg-zstd $(du -sb "$W/borg-zstd/repo" | cut -f1)"
    echo "borg-lz4 $(du -sb "$W/borg-lz4/repo" | cut -f1)"
    echo "rdiff $(du -sb "$W/rdiff" | cut -f1)"
} >"$OUT/w2.sizes"

phase "workload 2: the archive rewritten whole, against storing its steps"
once w2-rewrite-tresmo "rm -f $W/r.trsm $W/r.sel" "$CLI -q rewrite $W/a.trsm $W/r.trsm"
# An intact archive without empty transactions is written again byte for byte.
cmp -s "$W/a.trsm" "$W/r.trsm" || { echo "system.sh: the rewrite differs from the archive" >&2; exit 1; }
rm -f "$W/r.trsm" "$W/r.sel"

phase "workload 2: restore of the newest and the oldest step ($HEAVY runs, rdiff-backup once)"
oldest_git=$(git --git-dir="$W/git" rev-list --max-parents=0 HEAD)
D=$DATA/restore
for which in newest oldest; do
    if [ $which = newest ]; then at=$((STEPS + 1)) rev=HEAD k=$STEPS; else at=1 rev=$oldest_git k=0; fi
    snap=$(bash -c "$R snapshots --tag step$k --json" |
        python3 -c 'import json, sys; print(json.load(sys.stdin)[0]["id"])')
    fresh="rm -rf $D $D.idx && mkdir -p $D"
    for ((i = 0; i < HEAVY; i++)); do
        once "w2-$which-tresmo" "$fresh" "$CLI -q export $W/a.trsm $D --at $at"
        once "w2-$which-git" "$fresh" \
            "GIT_INDEX_FILE=$D.idx git --git-dir=$W/git --work-tree=$D checkout -q -f $rev -- ."
        once "w2-$which-restic" "$fresh" "$R restore $snap --target $D"
        once "w2-$which-borg-zstd" "$fresh" "cd $D && $BZ extract $W/borg-zstd/repo::step$k"
    done
    once "w2-$which-rdiff" "$fresh" \
        "rdiff-backup restore --at $(($(step_time $k) + 60)) $W/rdiff $D/hist"
    # The restored trees must agree: tresmo's against rdiff-backup's (the last one restored),
    # empty folders, links and permission bits too (the archive keeps file metadata).
    rm -rf "$D.check" && mkdir -p "$D.check"
    $CLI -q export "$W/a.trsm" "$D.check" --at "$at"
    diff -r --no-dereference "$D.check/hist" "$D/hist" >/dev/null || { echo "system.sh: $which restores differ" >&2; exit 1; }
    [ "$(cd "$D.check/hist" && find . -printf '%p %m\n' | sort)" = "$(cd "$D/hist" && find . -printf '%p %m\n' | sort)" ] ||
        { echo "system.sh: $which restores differ in their permission bits" >&2; exit 1; }
done
rm -rf "$D" "$D.idx" "$D.check"

phase "removing the data"
rm -rf "$DATA/trash" "$TREE" "$DATA/w1"
phase "done"
echo "== load average (1 min) during the run: $(sort -n "$OUT/load.txt" | awk '{a[NR]=$1}
    END {printf "median %s, min %s, max %s", a[int((NR+1)/2)], a[1], a[NR]}') on $(nproc) cores"
python3 bench/system-table.py "$OUT" "$FILES" "$STEPS"
echo "make bench-system took $(($(date +%s) - start)) s"
