#!/usr/bin/python3
"""Start-up of a Qt program to its first shown window: median and peak RSS over N runs.

Usage:
  startup.py [--runs N] [--platform P] PROGRAM [ARGS...]
  startup.py [--runs N] [--platform P] --floor FLOOR_PROGRAM [--same SAME_PROGRAM]...
             PROGRAM [ARGS...]

Each program prints 'shown ...' on stdout once its first window is painted (the tool does
so with VELDIXMID_REPORT_SHOWN=1). With --floor, runs of PROGRAM and of FLOOR_PROGRAM (the
least a Qt Widgets program does to show a window: bench/minimal_qt) alternate, and one line
compares them: median start-up and peak RSS of each, and the ratios (target: the tool within
1.2 times the floor's time and 1.1 times its RSS), and the median processor time of each up
to that moment (all threads, from /proc: the work done, which a loaded machine's waits for
a processor do not inflate as they do the wall-clock time).

Each --same program (bench/same_panel_qt, bench/same_panel_qt_serial: the tool's first panel
rebuilt in plain Qt) joins the alternation and gets one more line: the tool against it (what
is the tool's own), it against the floor, and its share of the tool's gap above the floor
(the part of the gap a plain Qt program showing the same panel pays as well).

The tool gets a registry store of its own with the language already chosen, so its first
panel is the main panel, not the language choice (VELDIXMID_REGISTRY, unless already set).
--platform sets QT_QPA_PLATFORM (default: the environment's, else offscreen); under
xvfb-run use --platform xcb.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

TARGET_TIME = 1.2  # the tool's start-up within these ratios of the minimal program's
TARGET_RSS = 1.1

# The registry store of a tool that has been started before and told its language.
REGISTRY = ("; veldixmid registry store 1\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELDIX-MID v1.0\\Language]\n"
            "Language=sz:1\n"
            "; end\n")


def one_run(cmd, env):
    t0 = time.perf_counter()
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
    line = p.stdout.readline()
    elapsed = time.perf_counter() - t0
    # Peak memory of the started program up to its first shown window, read before it is
    # stopped.
    rss_kb = 0
    try:
        with open(f"/proc/{p.pid}/status") as f:
            for l in f:
                if l.startswith("VmHWM:"):
                    rss_kb = int(l.split()[1])
    except OSError:
        pass
    # Processor time of all its threads so far (ns, from the scheduler): the work done to
    # get there, which waiting for a processor on a loaded machine does not inflate.
    cpu_ns = 0
    try:
        for task in os.listdir(f"/proc/{p.pid}/task"):
            with open(f"/proc/{p.pid}/task/{task}/schedstat") as f:
                cpu_ns += int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        pass
    p.terminate()
    try:
        p.wait(timeout=10)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()
    if not line.startswith(b"shown"):
        sys.exit(f"{cmd[0]}: no 'shown' line (got {line!r})")
    return elapsed * 1000, rss_kb / 1024, line.decode(errors="replace").strip(), cpu_ns / 1e6


def summary(results):
    times = [r[0] for r in results]
    return statistics.median(times), min(times), max(times), max(r[1] for r in results)


def cpu(results):
    """Median processor time to the first shown window, ms."""
    return statistics.median(r[3] for r in results)


def first_panel(results):
    """The tool's report of its first panel ('shown <resource> <title>'), when all agree."""
    lines = {r[2] for r in results}
    return lines.pop() if len(lines) == 1 else " | ".join(sorted(lines))


def main():
    args = sys.argv[1:]
    runs, floor, platform, same = 10, None, None, []
    while args and args[0].startswith("--"):
        if args[0] == "--runs" and len(args) > 1:
            runs, args = int(args[1]), args[2:]
        elif args[0] == "--floor" and len(args) > 1:
            floor, args = args[1], args[2:]
        elif args[0] == "--same" and len(args) > 1:
            same, args = same + [args[1]], args[2:]
        elif args[0] == "--platform" and len(args) > 1:
            platform, args = args[1], args[2:]
        else:
            sys.exit(__doc__)
    if not args or (same and not floor):
        sys.exit(__doc__)

    load_before = os.getloadavg()[0]
    env = dict(os.environ, VELDIXMID_REPORT_SHOWN="1")
    if platform:
        env["QT_QPA_PLATFORM"] = platform
    env.setdefault("QT_QPA_PLATFORM", "offscreen")
    with tempfile.TemporaryDirectory(prefix="veldix-startup-") as tmp:
        registry = os.path.join(tmp, "registry")
        if "VELDIXMID_REGISTRY" not in env:
            env["VELDIXMID_REGISTRY"] = registry
        # Each run starts from the same store (written fresh, in case a run changed it).
        def fresh_store():
            if env["VELDIXMID_REGISTRY"] == registry:
                with open(registry, "w") as f:
                    f.write(REGISTRY)

        programs = [args] + ([[floor]] if floor else []) + [[p] for p in same]
        for cmd in programs:  # warm the file cache
            fresh_store()
            one_run(cmd, env)
        results = [[] for _ in programs]
        for _ in range(runs):
            for k, cmd in enumerate(programs):
                fresh_store()
                results[k].append(one_run(cmd, env))

    # A shared machine's load spoils start-up figures: compare runs taken at a similar load.
    load = f"load {load_before:.2f} before, {os.getloadavg()[0]:.2f} after"
    name = os.path.basename(args[0])
    med, lo, hi, rss = summary(results[0])
    if not floor:
        print(f"{name}: start-up to first shown window median {med:.1f} ms (min {lo:.1f}, "
              f"max {hi:.1f}, {runs} runs), peak RSS {rss:.1f} MiB; {load}")
        return
    fmed, flo, fhi, frss = summary(results[1])
    tr, mr = med / fmed, rss / frss
    verdict = lambda r, t: "met" if r <= t else "NOT met"
    print(f"start-up to first shown window, {name} vs {os.path.basename(floor)} "
          f"({env['QT_QPA_PLATFORM']}, {runs} runs each, {load}): {name} ('{first_panel(results[0])}') "
          f"median {med:.1f} ms "
          f"(min {lo:.1f}, max {hi:.1f}), peak RSS {rss:.1f} MiB; {os.path.basename(floor)} "
          f"median {fmed:.1f} ms (min {flo:.1f}, max {fhi:.1f}), peak RSS {frss:.1f} MiB; "
          f"ratio time {tr:.2f}x (target <= {TARGET_TIME}: {verdict(tr, TARGET_TIME)}), "
          f"RSS {mr:.2f}x (target <= {TARGET_RSS}: {verdict(mr, TARGET_RSS)}); processor time "
          f"{cpu(results[0]):.1f} ms vs {cpu(results[1]):.1f} ms, {cpu(results[0]) / cpu(results[1]):.2f}x")
    fname = os.path.basename(floor)
    for k, prog in enumerate(same, start=2):
        smed, slo, shi, srss = summary(results[k])
        sname = os.path.basename(prog)
        share = lambda t, s, f: f"{100 * (s - f) / (t - f):.0f} %" if t != f else "n/a"
        print(f"  {sname}: median {smed:.1f} ms (min {slo:.1f}, max {shi:.1f}), peak RSS "
              f"{srss:.1f} MiB; {name}/{sname} time {med / smed:.2f}x, RSS {rss / srss:.2f}x "
              f"(the tool's own); {sname}/{fname} time {smed / fmed:.2f}x, RSS "
              f"{srss / frss:.2f}x (Qt's, same panel); its share of the gap above {fname}: "
              f"time {share(med, smed, fmed)}, RSS {share(rss, srss, frss)}; processor time "
              f"{cpu(results[k]):.1f} ms, {name}/{sname} {cpu(results[0]) / cpu(results[k]):.2f}x")


if __name__ == "__main__":
    main()
