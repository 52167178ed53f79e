#!/usr/bin/env python3
"""Prints the table of bench/main-operation.sh from its results folder (hyperfine JSON files,
/usr/bin/time -v output): medians of wall time, mean CPU time, MB/s, the ratio against each
peer, peak RSS and the target where there is one.

  main-operation-table.py RESULTS TREE FILES
"""
import json, os, sys

out, tree, files = sys.argv[1], sys.argv[2], int(sys.argv[3])

def res(i):
    r = json.load(open(os.path.join(out, i + ".json")))["results"][0]
    return r["median"], r["user"] + r["system"]

def rss(i):
    p = os.path.join(out, i + ".rss")
    return int(open(p).read()) / 1024 if os.path.exists(p) and open(p).read().strip() else None

def size(part):  # bytes of the part's files now (the newest state)
    total = 0
    for d, _, fs in os.walk(os.path.join(tree, part)):
        total += sum(os.path.getsize(os.path.join(d, f)) for f in fs)
    return total

def run_text(i):
    return open(os.path.join(out, i + ".time")).read()

def first_bytes(part):  # what the first save read, from its reported statistics
    return int(run_text("save-first-" + part).split(" bytes read")[0].split(", ")[-1])

rows = []
def row(what, i, peer=None, mb=None, target=None):
    w, c = res(i)
    line = "| %-34s | %8.3f | %8.3f |" % (what, w, c)
    if mb is not None:
        line += " %7.1f | %7.1f |" % (mb / w, mb / c)
    else:
        line += " %7s | %7s |" % ("", "")
    if peer:
        pw, pc = res(peer)
        line += " %-18s | %5.2f | %5.2f |" % (peer, w / pw, c / pc)
    else:
        line += " %-18s | %5s | %5s |" % ("", "", "")
    r = rss(i)
    line += " %7s | %s |" % ("%.0f" % r if r else "", target or "")
    rows.append(line)

MB = 1e6
sb, lb = first_bytes("small") / MB, first_bytes("large") / MB
nb = size("large") / MB
print()
print("small tree: %d files, %.1f MB; large tree: 3 files, %.1f MB (%.1f MB after the change)"
      % (files, sb, lb, nb))
print("| %-34s | %8s | %8s | %7s | %7s | %-18s | %5s | %5s | %7s | %s |" % (
    "operation", "wall s", "cpu s", "MB/s w", "MB/s c", "peer", "x w", "x c", "RSS MiB",
    "target"))
print("|" + "---|" * 10)
for part, mb in (("small", sb), ("large", lb)):
    row("first save, %s" % part, "save-first-" + part, "git-first-" + part, mb,
        "<= 1.0x git add+commit")
    row("  tar | zstd -3, %s" % part, "tar-zstd-" + part, None, mb)
    row("  git add -A && commit, %s" % part, "git-first-" + part, None, mb)
row("first save vs tar|zstd, small", "save-first-small", "tar-zstd-small", sb)
row("first save vs tar|zstd, large", "save-first-large", "tar-zstd-large", lb)
row("refresh, nothing changed, small", "refresh-small", "find-small", None, "<= 1.5x find")
row("  find -printf", "find-small", None)
row("  git status", "git-status-small", None)
row("refresh vs git status", "refresh-small", "git-status-small")
for part in ("small", "large"):
    row("save of the change, %s" % part, "save-change-" + part, "git-change-" + part)
    row("  same without syncs", "save-change-%s-nosync" % part, None)
    row("  git add -A && commit of it", "git-change-" + part, None)
for part, newest, oldest in (("small", size("small") / MB, sb), ("large", nb, lb)):
    for which in ("newest", "oldest"):
        mb = (newest if which == "newest" else oldest)
        row("restore %s, %s" % (which, part), "restore-%s-%s" % (which, part),
            "untar-zstd-" + part, mb, ">= 100 MB/s" if part == "large" else None)
    row("  zstd -d | tar -x, %s" % part, "untar-zstd-" + part, None, oldest)
for r in rows:
    print(r)
print()
for part in ("small", "large"):
    for kind in ("first", "change"):
        txt = run_text("save-%s-%s" % (kind, part))
        sync = [l for l in txt.splitlines() if l.startswith(("syncs:", "saved"))]
        print("%s save, %s: %s" % (kind, part, "; ".join(sync)))
