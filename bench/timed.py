#!/usr/bin/env python3
"""Runs a command once and appends "wall_s user_s sys_s peak_rss_kib" to TIMES, as GNU time
-f '%e %U %S %M' would, but with microseconds where GNU time rounds to 10 ms (a refresh of a
few thousand files takes less). Times come from wait4: user and system time of the command and
of every process it waited for. The peak RSS (of the largest process) comes from GNU time run
in between: a process started from this interpreter would count the interpreter's own memory,
while GNU time's child starts from a small program. The command's output goes to /dev/null and
its errors to ERRORS; a failure prints them and exits 1.

  timed.py TIMES ERRORS COMMAND [ARG...]
"""
import os
import sys
import time

times, errors, command = sys.argv[1], sys.argv[2], sys.argv[3:]
null = os.open(os.devnull, os.O_WRONLY)
err = os.open(errors, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
actions = [(os.POSIX_SPAWN_DUP2, null, 1), (os.POSIX_SPAWN_DUP2, err, 2)]
start = time.perf_counter()
rss = errors + ".rss"
pid = os.posix_spawnp("/usr/bin/time", ["/usr/bin/time", "-f", "%M", "-o", rss] + command,
                      os.environ, file_actions=actions)
_, status, usage = os.wait4(pid, 0)
wall = time.perf_counter() - start
if os.waitstatus_to_exitcode(status) != 0:
    sys.stderr.write("timed.py: failed (%d): %s\n" % (os.waitstatus_to_exitcode(status),
                                                     " ".join(command)))
    sys.stderr.write(open(errors, errors="replace").read())
    sys.exit(1)
peak = int(open(rss).read().split()[-1])
with open(times, "a") as f:
    f.write("%.6f %.6f %.6f %d\n" % (wall, usage.ru_utime, usage.ru_stime, peak))
