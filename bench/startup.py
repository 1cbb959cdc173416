#!/usr/bin/python3
"""Start-up of a Qt program to its first shown window: median and peak RSS over N runs.
Usage: startup.py [--runs N] PROGRAM [ARGS...]. The program prints 'shown ...' on stdout once
its first window is painted (the tool does so with VELDIXMID_REPORT_SHOWN=1)."""
import os
import statistics
import subprocess
import sys
import time


def one_run(cmd):
    env = dict(os.environ, VELDIXMID_REPORT_SHOWN="1")
    env.setdefault("QT_QPA_PLATFORM", "offscreen")
    t0 = time.perf_counter()
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
    line = p.stdout.readline()
    elapsed = time.perf_counter() - t0
    # Peak memory of the started program, read before it is stopped.
    rss_kb = 0
    try:
        with open(f"/proc/{p.pid}/status") as f:
            for l in f:
                if l.startswith("VmHWM:"):
                    rss_kb = int(l.split()[1])
    except OSError:
        pass
    p.terminate()
    p.wait(timeout=10)
    if not line.startswith(b"shown"):
        sys.exit(f"{cmd[0]}: no 'shown' line (got {line!r})")
    return elapsed, rss_kb


def main():
    args = sys.argv[1:]
    runs = 10
    if args[:1] == ["--runs"]:
        runs, args = int(args[1]), args[2:]
    one_run(args)  # warm the file cache
    results = [one_run(args) for _ in range(runs)]
    times = [r[0] * 1000 for r in results]
    rss = max(r[1] for r in results)
    print(f"{os.path.basename(args[0])}: start-up to first shown window median "
          f"{statistics.median(times):.1f} ms (min {min(times):.1f}, max {max(times):.1f}, "
          f"{runs} runs), peak RSS {rss / 1024:.1f} MiB")


if __name__ == "__main__":
    main()
