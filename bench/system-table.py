#!/usr/bin/env python3
"""Prints the tables of bench/system.sh from its results folder and ends with the ratio
lines. Each ID.times file holds one line per run: wall seconds, user seconds, system seconds,
peak RSS in KiB (GNU time's %e %U %S %M).

  system-table.py RESULTS FILES STEPS
"""
import os
import statistics
import sys

out, files, steps = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
MB = 1e6


def runs(i):
    """[(wall, cpu, rss MiB)] of every run of one measure; [] when it did not run."""
    try:
        with open(os.path.join(out, i + ".times")) as f:
            rows = [l.split() for l in f if l.strip()]
    except OSError:
        return []
    return [(float(w), float(u) + float(s), int(m) / 1024) for w, u, s, m in rows]


def med(i):
    r = runs(i)
    return statistics.median(w for w, _, _ in r) if r else float("nan")


def spread(r):
    """'median (min-max)' of wall times, or 'x (single run)'."""
    walls = sorted(w for w, _, _ in r)
    if len(walls) == 1:
        return "%.2f (single run)" % walls[0]
    return "%.2f (%.2f-%.2f)" % (statistics.median(walls), walls[0], walls[-1])


TOOLS = (("tresmo", "tresmo-cli"), ("restic", "restic"), ("borg", "borg lz4"),
         ("borg-zstd", "borg zstd"), ("borg-lz4", "borg lz4"), ("git", "git"),
         ("rdiff", "rdiff-backup"), ("find", "find -printf"))


def table(title, groups):
    """groups: [(operation, prefix)]; one row per tool that ran, ratio to tresmo-cli's median."""
    print()
    print(title)
    print("| operation | tool | wall s: median (min-max) | cpu s (median) | peak RSS MiB "
          "| x tresmo-cli (wall) |")
    print("|---|---|---|---|---|---|")
    for what, prefix in groups:
        base = med(prefix + "tresmo")
        for key, name in TOOLS:
            r = runs(prefix + key)
            if not r:
                continue
            cpu = statistics.median(c for _, c, _ in r)
            rss = max(m for _, _, m in r)
            ratio = statistics.median(w for w, _, _ in r) / base
            print("| %s | %s | %s | %.2f | %.0f | %.2f |" % (what, name, spread(r), cpu, rss, ratio))


def sizes():
    try:
        with open(os.path.join(out, "w2.sizes")) as f:
            return {k: int(v) for k, v in (l.split() for l in f if l.strip())}
    except OSError:
        return {}


def tree_bytes(name):
    try:
        with open(os.path.join(out, name)) as f:
            return [int(l) for l in f if l.strip()]
    except OSError:
        return [0]


w1 = tree_bytes("w1.bytes")[0]
table("Workload 1: %d small files and 3 large ones, %.1f MB (1%% change: %d files and local "
      "edits in the large ones)" % (files, w1 / MB, max(1, files // 100)),
      (("first save", "w1-first-"), ("refresh, nothing changed", "w1-refresh-"),
       ("save after 1% changed", "w1-change-")))

hist = tree_bytes("w2.bytes")
sz = sizes()
STORE = (("tresmo", "tresmo-cli", "tresmo"), ("git", "git", "git-loose"),
         ("restic", "restic", "restic"), ("borg-zstd", "borg zstd", "borg-zstd"),
         ("borg-lz4", "borg lz4", "borg-lz4"), ("rdiff", "rdiff-backup", "rdiff"))
print()
print("Workload 2: %d steps of edits after the first; tree %.1f MB at step 0, %.1f MB at the "
      "end, %.1f MB summed over all %d states" % (steps, hist[0] / MB, hist[-1] / MB,
                                                   sum(hist) / MB, len(hist)))
print("| tool | store all steps: wall s | cpu s | first step wall s | later steps: median "
      "(min-max) s | peak RSS MiB (max over steps) | size at end MB | restore newest s "
      "| restore oldest s |")
print("|---|---|---|---|---|---|---|---|---|")
for key, name, size_key in STORE:
    r = runs("w2-store-" + key)
    if not r:
        continue
    later = r[1:] or r
    cells = [name, "%.2f" % sum(w for w, _, _ in r), "%.2f" % sum(c for _, c, _ in r),
             "%.2f" % r[0][0], spread(later).replace(" (single run)", ""),
             "%.0f" % max(m for _, _, m in r),
             "%.2f" % (sz.get(size_key, 0) / MB)]
    for which in ("newest", "oldest"):
        rr = runs("w2-%s-%s" % (which, key))
        cells.append(spread(rr) if rr else "")
    print("| " + " | ".join(cells) + " |")
gc = runs("w2-git-gc")
if "git-packed" in sz:
    print("| git after gc --aggressive | | | | | %s | %.2f | | |"
          % ("%.0f" % gc[0][2] if gc else "", sz["git-packed"] / MB))
if gc:
    print("(git gc --aggressive: %s s wall, single run)" % spread(gc).split()[0])

print()
print("Per step: wall s / peak RSS MiB of each tool's store")
names = [(k, n) for k, n, _ in STORE if runs("w2-store-" + k)]
print("| step | tree MB | " + " | ".join(n for _, n in names) + " |")
print("|---|---|" + "---|" * len(names))
all_runs = {k: runs("w2-store-" + k) for k, _ in names}
for s in range(len(hist)):
    cells = ["%d" % s, "%.1f" % (hist[s] / MB)]
    for k, _ in names:
        r = all_runs[k]
        cells.append("%.2f / %.0f" % (r[s][0], r[s][2]) if s < len(r) else "")
    print("| " + " | ".join(cells) + " |")


def total(key):
    r = runs("w2-store-" + key)
    return sum(w for w, _, _ in r) if r else float("nan")


restore = min(med("w2-%s-git" % w) / med("w2-%s-tresmo" % w) for w in ("newest", "oldest"))
print()
print("refresh/find ratio: %.2f" % (med("w1-refresh-tresmo") / med("w1-refresh-find")))
print("first-save speed vs restic: %.2f" % (med("w1-first-restic") / med("w1-first-tresmo")))
print("history store speed vs restic: %.2f" % (total("restic") / total("tresmo")))
print("restore speed vs git: %.2f" % restore)
print("history size vs git packed: %.2f" % (sz.get("tresmo", 0) / max(1, sz.get("git-packed", 0))))
# tresmo-cli's time over git's: lower is better.
print("refresh vs git: %.2f" % (med("w1-refresh-tresmo") / med("w1-refresh-git")))
print("save after 1%% vs git: %.2f" % (med("w1-change-tresmo") / med("w1-change-git")))
# Peak resident memory of every tresmo-cli operation (the largest run of each), one line each.
PEAKS = (("first save", "w1-first-tresmo"), ("refresh", "w1-refresh-tresmo"),
         ("save after 1%", "w1-change-tresmo"), ("history store", "w2-store-tresmo"),
         ("history rewrite", "w2-rewrite-tresmo"), ("restore newest", "w2-newest-tresmo"),
         ("restore oldest", "w2-oldest-tresmo"))
for what, i in PEAKS:
    r = runs(i)
    if r:
        print("tresmo-cli peak RSS, %s: %.0f MiB (limit 64)" % (what, max(m for _, _, m in r)))
if runs("w2-rewrite-tresmo"):
    print("history rewrite time vs storing its steps: %.2f (%.2f s against %.2f s, same bytes)"
          % (med("w2-rewrite-tresmo") / total("tresmo"), med("w2-rewrite-tresmo"), total("tresmo")))
