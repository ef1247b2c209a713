#!/usr/bin/env python3
"""Chooses the chaos seeds of the test command's smaller sets (chaos_gate.h).

Runs the console and rescue chaos of seeds FROM to TO in a native build, reads
what each run printed (the kinds of action and fault it acted out, and the
kinds of fault that fired: fault lines, errors the manners gave, the ways a
signal met a thread), then, for each build named, takes seeds one at a time,
each time the one that adds the most kinds not yet covered (a greedy cover),
from the seeds no earlier build took, until every kind is covered or the set
has COUNT seeds. The native build's set begins with seeds 1 to NATIVE and
takes, the same way, as many more as it needs to cover every kind. It prints
each set with what each seed added and what no seed of the set covers.

Usage: tests/scenario/chaos_choose_seeds.py [--build build/host] [--from 1] [--to 120]
           [--jobs 2] [--native 20] [--count 6] [--builds tsan,asan,mipsel] [--cache FILE]
"""
import argparse
import concurrent.futures
import json
import os
import subprocess
import sys

FILTERS = {"console": "Seeds/ConsoleChaos.*/0", "rescue": "Seeds/Chaos.*/0"}
PREFIX = {"console": "console chaos: ", "rescue": "chaos: "}


def run_seed(binary, chaos, seed):
    env = dict(os.environ, BOXSIM_CHAOS_SEED=str(seed), GLIBC_TUNABLES="glibc.malloc.hugetlb=1")
    out = subprocess.run([binary, "--gtest_filter=" + FILTERS[chaos]], env=env, capture_output=True, text=True,
                         timeout=300).stdout
    kinds = set()
    for line in out.splitlines():
        for what in ("acted", "fired"):
            head = PREFIX[chaos] + what + ": "
            if line.startswith(head):
                kinds |= {k for k in line[len(head):].split("; ") if k}
    return {"passed": "[  PASSED  ] 1 test" in out, "kinds": sorted(kinds)}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build/host")
    ap.add_argument("--from", dest="first", type=int, default=1)
    ap.add_argument("--to", dest="last", type=int, default=120)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--native", type=int, default=20)
    ap.add_argument("--count", type=int, default=6)
    ap.add_argument("--builds", default="tsan,asan,mipsel")
    ap.add_argument("--cache", default="")
    args = ap.parse_args()

    runs = {}
    if args.cache and os.path.exists(args.cache):
        runs = json.load(open(args.cache))
    binary = os.path.join(args.build, "tests", "test_scenario")
    todo = [(c, s) for c in FILTERS for s in range(args.first, args.last + 1) if f"{c}/{s}" not in runs]
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        for (c, s), r in zip(todo, pool.map(lambda cs: run_seed(binary, *cs), todo)):
            runs[f"{c}/{s}"] = r
            if not r["passed"]:
                print(f"{c} seed {s} failed", file=sys.stderr)
    if args.cache:
        json.dump(runs, open(args.cache, "w"))

    for chaos in FILTERS:
        seeds = {s: set(runs[f"{chaos}/{s}"]["kinds"]) for s in range(args.first, args.last + 1)}
        every = set().union(*seeds.values())
        rare = sorted(k for k in every if sum(k in v for v in seeds.values()) <= 2)
        print(f"{chaos}: {len(every)} kinds in seeds {args.first} to {args.last}; "
              f"in at most two seeds: {'; '.join(rare) or 'none'}")
        # The native set: seeds 1 to NATIVE, and what they leave.
        native = [s for s in range(1, args.native + 1) if s in seeds]
        covered = set().union(*(seeds[s] for s in native))
        while covered != every:
            best = max(seeds, key=lambda s: (len(seeds[s] - covered), -s))
            print(f"  native: seed {best} adds {'; '.join(sorted(seeds[best] - covered))}")
            covered |= seeds[best]
            native.append(best)
        print(f"{chaos} native: {sorted(native)}")
        taken = set()
        for build in args.builds.split(","):
            covered, chosen = set(), []
            while len(chosen) < args.count:
                free = [s for s in seeds if s not in taken]
                best = max(free, key=lambda s: (len(seeds[s] - covered), -s))
                gain = seeds[best] - covered
                if not gain:
                    break
                chosen.append(best)
                taken.add(best)
                covered |= gain
                print(f"  {build}: seed {best} adds {len(gain)}: {'; '.join(sorted(gain))[:300]}")
            print(f"{chaos} {build}: {sorted(chosen)} cover {len(covered)} of {len(every)}; "
                  f"not covered: {'; '.join(sorted(every - covered)) or 'none'}")


if __name__ == "__main__":
    main()
