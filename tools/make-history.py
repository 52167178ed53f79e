#!/usr/bin/env python3
"""Builds the edit history the system benchmark stores, one step at a time, in place.

  make-history.py DIR --init --time T      step 0: the text files of libc6-dev, linux-libc-dev
                                           and libstdc++-12-dev (as `dpkg -L` lists them, sorted
                                           by path) copied to DIR, every file with mtime T
  make-history.py DIR --step K --time T    step K (1, 2, ...): edits a few percent of the files
                                           the way source code changes, writes with mtime T

The packages are the ones a C++ build installs anyway, so the same Debian release gives the
same tree (Debian 12: 2,218 files, 20 MB). Each step picks 2-5% of the files and, seeded
by the step number alone, changes lines in the middle of most of them (insertions, deletions,
changed lines, in one to four places), appends to some, and renames, deletes and adds a few.
Steps must be applied in order: a step's choices depend on the tree the steps before left.
Folders whose entries changed get the step's time too, so nothing in the tree is newer than T.
Option: --seed S, --packages P,P,...
"""
import argparse
import os
import random
import subprocess
import sys

PACKAGES = "libc6-dev,linux-libc-dev,libstdc++-12-dev"


def package_files(packages):
    """Regular text files (no NUL byte, valid UTF-8) of the packages, sorted by path. A path
    that differs only in case from an earlier one (a few Linux netfilter headers) is left out:
    the archive compares names without regard to case, so it would skip the file while the
    other tools stored it."""
    out = subprocess.run(["dpkg", "-L"] + packages, check=True, capture_output=True,
                         text=True).stdout
    files = []
    seen = set()
    for path in sorted(set(out.split("\n"))):
        if not path or not os.path.isfile(path) or os.path.islink(path):
            continue
        if path.lower() in seen:
            continue
        seen.add(path.lower())
        with open(path, "rb") as f:
            data = f.read()
        if b"\0" in data:
            continue
        try:
            data.decode("utf-8")
        except UnicodeDecodeError:
            continue
        files.append((path.lstrip("/"), data))
    return files


def write(root, rel, data, mtime, touched):
    path = os.path.join(root, rel)
    folder = os.path.dirname(path)
    if not os.path.isdir(folder):
        os.makedirs(folder)
        touched.add(os.path.dirname(folder))
    if not os.path.exists(path):
        touched.add(folder)
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (mtime, mtime))


def tree_files(root):
    """Relative paths of every file under root, sorted, so the choices are the same anywhere."""
    out = []
    for d, dirs, fs in os.walk(root):
        dirs.sort()
        out.extend(os.path.relpath(os.path.join(d, f), root) for f in fs)
    return sorted(out)


def mutate_line(rnd, line):
    """A changed line: a word replaced, a token added or removed, or the indentation moved."""
    words = line.split(b" ")
    kind = rnd.random()
    if kind < 0.4 and len(words) > 1:
        i = rnd.randrange(len(words))
        words[i] = rnd.choice((b"value", b"count", b"result", b"buffer", b"size_t", b"index",
                               b"next", b"const", b"flags", b"offset")) + b"%d" % rnd.randint(0, 9)
    elif kind < 0.7:
        words.insert(rnd.randint(0, len(words)), rnd.choice((b"/* checked */", b"const",
                                                             b"&&", b"0", b"(void)", b"+ 1")))
    elif kind < 0.85 and len(words) > 2:
        del words[rnd.randrange(len(words))]
    else:
        return b"  " + line
    return b" ".join(words)


def edit_middle(rnd, lines):
    """One to four hunks of inserted, deleted or changed lines, away from the ends."""
    for _ in range(rnd.randint(1, 4)):
        n = len(lines)
        pos = rnd.randint(n // 10, max(n // 10, n - n // 10)) if n else 0
        kind = rnd.random()
        if kind < 0.4 or n < 4:
            # New lines made from others of the same file, changed a little, as code grows.
            new = [mutate_line(rnd, rnd.choice(lines)) if lines else b"/* new */"
                   for _ in range(rnd.randint(1, 12))]
            lines[pos:pos] = new
        elif kind < 0.65:
            del lines[pos:pos + rnd.randint(1, 8)]
        else:
            for i in range(pos, min(n, pos + rnd.randint(1, 5))):
                lines[i] = mutate_line(rnd, lines[i])
    return lines


def new_name(rnd, rel, existing):
    folder, name = os.path.split(rel)
    stem, ext = os.path.splitext(name)
    for _ in range(100):
        cand = os.path.join(folder, "%s_%s%d%s" % (stem, rnd.choice(("v", "new", "impl", "old")),
                                                     rnd.randint(2, 99), ext))
        if cand.lower() not in existing:
            return cand
    return None


def step(root, k, mtime, seed):
    rnd = random.Random("%d-%d" % (seed, k))
    files = tree_files(root)
    existing = {f.lower() for f in files}  # compared without regard to case, as above
    picked = rnd.sample(files, max(1, int(len(files) * rnd.uniform(0.02, 0.05))))
    touched = set()
    for rel in picked:
        path = os.path.join(root, rel)
        kind = rnd.random()
        if kind < 0.06:  # deleted
            os.remove(path)
            existing.discard(rel.lower())
            touched.add(os.path.dirname(path))
            continue
        if kind < 0.14:  # renamed, unchanged (a rename writes no data: the mtime stays)
            target = new_name(rnd, rel, existing)
            if target:
                os.rename(path, os.path.join(root, target))
                existing.discard(rel.lower())
                existing.add(target.lower())
                touched.add(os.path.dirname(path))
            continue
        with open(path, "rb") as f:
            lines = f.read().split(b"\n")
        if kind < 0.22:  # added: a new file started from this one, beside it
            target = new_name(rnd, rel, existing)
            if target:
                start = rnd.randint(0, len(lines))
                body = edit_middle(rnd, lines[start:start + rnd.randint(20, 400)])
                write(root, target, b"\n".join(body) + b"\n", mtime, touched)
                existing.add(target.lower())
            continue
        if kind < 0.32:  # appended
            ends_line = lines[-1] == b""
            if ends_line:
                lines.pop()
            lines += [mutate_line(rnd, rnd.choice(lines or [b""])) for _ in range(rnd.randint(1, 30))]
            if ends_line:
                lines.append(b"")
        else:
            lines = edit_middle(rnd, lines)
        write(root, rel, b"\n".join(lines), mtime, touched)
    for folder in touched:
        if os.path.isdir(folder):
            os.utime(folder, (mtime, mtime))


def init(root, mtime, packages):
    if os.path.exists(root) and os.listdir(root):
        sys.exit("make-history.py: %s is not empty" % root)
    files = package_files(packages)
    if not files:
        sys.exit("make-history.py: no text files in %s (installed?)" % ",".join(packages))
    for rel, data in files:
        write(root, rel, data, mtime, set())
    for d, _, _ in os.walk(root):
        os.utime(d, (mtime, mtime))
    print("make-history.py: %d files, %d bytes" % (len(files), sum(len(d) for _, d in files)))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("dir")
    g = p.add_mutually_exclusive_group(required=True)
    g.add_argument("--init", action="store_true")
    g.add_argument("--step", type=int)
    p.add_argument("--time", type=int, required=True)
    p.add_argument("--seed", type=int, default=21)
    p.add_argument("--packages", default=PACKAGES)
    args = p.parse_args()
    if args.init:
        init(args.dir, args.time, args.packages.split(","))
    else:
        step(args.dir, args.step, args.time, args.seed)


if __name__ == "__main__":
    main()
