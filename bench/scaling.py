"""Scaling with the GIL off: how much a read slows down from 1 to 2 threads.

    PYTHON_GIL=0 python3.14t bench/scaling.py [--trials N] [--ops N] [--json PATH]

Runs on a free-threaded interpreter with the GIL off (`make bench-scaling`
runs it on .venv-ft, the interpreter that PYTHON_FT names). For every case, each
variant reads one attribute in a loop on 1 thread and then on 2 threads at
once (started together at a barrier); the figure is the wall time per read
per thread, and the slowdown is its 2-thread value over its 1-thread value.
The variants of a case are measured in turn within each trial, so drift of
the machine hits them alike; slowdowns are medians over the trials, and the
ratio is ours/peer of the per-trial slowdowns (median). Ratio <= 1: ours
scales no worse than its peer. A measurement, not a test: the exit status
does not depend on the targets.
"""

from __future__ import annotations

import argparse
import dataclasses
import functools
import json
import os
import pathlib
import platform
import statistics
import sys
import threading
import time

from tovren._libs import properties

UNROLL = 10


class Manager:
    def __init__(self):
        self.axes = ["index", "columns"]


class Owner:
    """One owner class for every variant, so that all of them take the same
    instance layout."""

    @properties.cache_readonly
    def ours_cached(self):
        return 42

    @functools.cached_property
    def functools_cached(self):
        return 42

    ours_axis = properties.AxisProperty(1, "columns")
    property_axis = property(lambda self: self._mgr.axes[1])

    def __init__(self):
        self._mgr = Manager()


@dataclasses.dataclass(frozen=True)
class Case:
    key: str
    title: str
    shared: bool  # True: all threads read one owner; False: one owner each
    ours: tuple[str, str]  # (label, attribute)
    peer: tuple[str, str]


CASES = (
    Case("cache_hit_separate", "cache_readonly hit, one owner per thread", False,
         ("cache_readonly", "ours_cached"), ("functools.cached_property", "functools_cached")),
    Case("cache_hit_shared", "cache_readonly hit, one owner shared by the threads", True,
         ("cache_readonly", "ours_cached"), ("functools.cached_property", "functools_cached")),
    Case("axis_shared", "AxisProperty read, one owner shared by the threads", True,
         ("AxisProperty", "ours_axis"), ("property(lambda self: self._mgr.axes[1])", "property_axis")),
)


def reader(attribute: str):
    """A function that reads `owner.<attribute>` `loops * UNROLL` times."""
    body = "; ".join([f"owner.{attribute}"] * UNROLL)
    namespace: dict = {}
    exec(f"def read(owner, loops):\n    for _ in range(loops):\n        {body}\n", namespace)
    return namespace["read"]


def owners_for(threads: int, shared: bool, attribute: str) -> list[Owner]:
    made = [Owner()] if shared else [Owner() for _ in range(threads)]
    for owner in made:
        getattr(owner, attribute)  # fill the cache before timing
    return made if not shared else made * threads


def seconds_per_read(attribute: str, threads: int, shared: bool, loops: int) -> float:
    """Wall time per read per thread, `threads` threads reading at once."""
    read = reader(attribute)
    owners = owners_for(threads, shared, attribute)
    read(owners[0], 100)  # warm up (specialisation, caches)
    barrier = threading.Barrier(threads + 1)

    def run(owner):
        barrier.wait()
        read(owner, loops)

    workers = [threading.Thread(target=run, args=(owner,)) for owner in owners]
    for worker in workers:
        worker.start()
    barrier.wait()
    start = time.perf_counter()
    for worker in workers:
        worker.join()
    return (time.perf_counter() - start) / (loops * UNROLL)


def measure(case: Case, trials: int, loops: int) -> dict:
    slowdowns = {"ours": [], "peer": []}
    times = {(who, n): [] for who in ("ours", "peer") for n in (1, 2)}
    for trial in range(trials):
        order = [("ours", case.ours), ("peer", case.peer)]
        if trial % 2:
            order.reverse()
        for who, (_, attribute) in order:
            one = seconds_per_read(attribute, 1, case.shared, loops)
            two = seconds_per_read(attribute, 2, case.shared, loops)
            times[(who, 1)].append(one)
            times[(who, 2)].append(two)
            slowdowns[who].append(two / one)
    ratios = [o / p for o, p in zip(slowdowns["ours"], slowdowns["peer"])]
    return {
        "title": case.title,
        "labels": {"ours": case.ours[0], "peer": case.peer[0]},
        "ns": {f"{who} {n}": statistics.median(v) * 1e9 for (who, n), v in times.items()},
        "slowdown": {who: statistics.median(v) for who, v in slowdowns.items()},
        "ratio": statistics.median(ratios),
        "target": "PASS" if statistics.median(ratios) <= 1.0 else "MISS",
    }


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trials", type=int, default=7, help="trials per case (median taken)")
    parser.add_argument("--ops", type=int, default=2_000_000, help="reads per thread per measurement")
    parser.add_argument("--cases", help="comma-separated case keys: " + ", ".join(c.key for c in CASES))
    parser.add_argument("--json", type=pathlib.Path, help="also write the figures to this file")
    args = parser.parse_args(argv)
    if args.trials < 1 or args.ops < UNROLL:
        parser.error("--trials must be positive and --ops at least %d" % UNROLL)
    if not hasattr(sys, "_is_gil_enabled") or sys._is_gil_enabled():
        print("bench/scaling.py: needs a free-threaded interpreter running with the GIL off "
              "(PYTHON_GIL=0 python3.14t)", file=sys.stderr)
        return 2
    keys = args.cases.split(",") if args.cases else [c.key for c in CASES]
    unknown = set(keys) - {c.key for c in CASES}
    if unknown:
        parser.error(f"unknown case(s): {', '.join(sorted(unknown))}")

    loops = args.ops // UNROLL
    print(f"scaling 1 -> 2 threads, GIL off; Python {platform.python_version()} "
          f"{platform.platform()}, {os.cpu_count()} CPUs")
    print(f"module: {properties.__file__}")
    print(f"figures: wall ns per read per thread, medians of {args.trials} trials of "
          f"{loops * UNROLL} reads per thread; slowdown = 2 threads / 1 thread; "
          "ratio = median of per-trial slowdown ours/peer")
    report = {"python": sys.version, "module": properties.__file__, "trials": args.trials, "reads": loops * UNROLL, "cases": {}}
    for case in CASES:
        if case.key not in keys:
            continue
        figures = measure(case, args.trials, loops)
        report["cases"][case.key] = figures
        print(f"\n{case.title}")
        print(f"  {'variant':<45} {'1 thread':>9} {'2 threads':>9} {'slowdown':>9}")
        for who in ("ours", "peer"):
            print(f"  {figures['labels'][who]:<45} {figures['ns'][who + ' 1']:9.1f} "
                  f"{figures['ns'][who + ' 2']:9.1f} {figures['slowdown'][who]:9.2f}")
        print(f"  [{figures['target']}] scales no worse than its peer: ratio {figures['ratio']:.2f} (limit 1.00)")
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(report, indent=2) + "\n")
        print(f"figures written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
