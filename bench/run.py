#!/usr/bin/env python3
"""make bench: symkeep against the physical floor and GNU objcopy.

Builds (once, into BUILD/bench-data) genuine million-symbol ET_EXEC inputs
with the real assembler and linker, the floor program and keep lists, then
times the commands pair by pair: every round runs the floor, symkeep and
objcopy on the same input and keep list back to back, and the ratio of each
round is taken before the median, so that machine noise hits both sides of
a ratio alike.  Prints a table of medians, paired ratios and peak RSS, and
says which targets are met.

usage: run.py BUILD_DIR SHARED_BENCH_DIR [--rounds N] [--quick]
"""
import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import time

TARGET_RATIO_1M = 2.0        # symkeep / floor, 1M symbols
TARGET_RATIO_10K = 1.5       # symkeep / floor, 10k symbols (start-up budget)
TARGET_OBJCOPY = 10.0        # objcopy / symkeep
TARGET_KEEP_SCALING = 1.3    # many names / one name
TARGET_RSS_MIB = 64

# Linux caps the whole argument list at 6 MiB whatever the stack limit, so
# this many long mangled names is the most one command line can carry; the
# 100,000-name cost is measured in-process by bench_reduce.
MAX_CLI_NAMES = 40000


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def build_inputs(data, shared):
    inputs = []
    for n, arch in ((1000000, "x86_64"), (1000000, "ppc"), (10000, "x86_64")):
        exe = os.path.join(data, f"{arch}-{n}.exe")
        if not os.path.exists(exe):
            log(f"building {exe} (about 20 s for a million symbols)")
            subprocess.run(["bash", os.path.join(shared, "mkinput.sh"), str(n), arch, data],
                           check=True, stdout=subprocess.DEVNULL)
        inputs.append((f"{n // 1000}k" if n < 1000000 else "1M", arch, exe))
    return inputs


def keep_list(exe, count, shared):
    path = exe[:-4] + f".keep{count}"
    if not os.path.exists(path):
        subprocess.run(["bash", os.path.join(shared, "mkkeep.sh"), exe, str(count), path],
                       check=True, stdout=subprocess.DEVNULL)
    with open(path) as f:
        return [line.strip() for line in f if line.strip()]


def roomy_stack():
    # The kernel sizes the argument list allowed to execve from the stack
    # limit (a quarter of it, at most 6 MiB).
    hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
    want = 64 << 20 if hard == resource.RLIM_INFINITY else min(64 << 20, hard)
    resource.setrlimit(resource.RLIMIT_STACK, (want, hard))


def peak_rss_kib(cmd):
    out = subprocess.run(["/usr/bin/time", "-f", "%M"] + cmd, check=True, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True, preexec_fn=roomy_stack).stderr.strip().splitlines()[-1]
    return int(out)


def run_case(build, data, floor, exe, names, rounds, with_objcopy):
    out = os.path.join(data, "out")
    keepargs = [a for n in names for a in ("-keep", n)]
    cmds = {
        "floor": [floor, "-s", exe, out + ".floor"] + keepargs,
        "symkeep": [os.path.join(build, "symkeep")] + keepargs + ["-o", out + ".symkeep", exe],
    }
    if with_objcopy:
        cmds["objcopy"] = ["objcopy", "--extract-symbol", "--strip-all"] + \
            [a for n in names for a in ("-K", n)] + [exe, out + ".objcopy"]
    for cmd in cmds.values():  # warm the page cache and the binaries
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=roomy_stack)
    times = {k: [] for k in cmds}
    for _ in range(rounds):
        for k, cmd in cmds.items():
            t0 = time.perf_counter()
            subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=roomy_stack)
            times[k].append(time.perf_counter() - t0)
    result = {k: statistics.median(v) for k, v in times.items()}
    result["ratio"] = statistics.median(s / f for s, f in zip(times["symkeep"], times["floor"]))
    if with_objcopy:
        result["objcopy_ratio"] = statistics.median(o / s for o, s in zip(times["objcopy"], times["symkeep"]))
    result["rss_mib"] = peak_rss_kib(cmds["symkeep"]) / 1024
    if with_objcopy:
        result["objcopy_rss_mib"] = peak_rss_kib(cmds["objcopy"]) / 1024
    return result


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("shared")
    ap.add_argument("--rounds", type=int, default=11)
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    data = os.path.join(build, "bench-data")
    os.makedirs(data, exist_ok=True)

    floor = os.path.join(data, "floor")
    if not os.path.exists(floor):
        subprocess.run(["gcc", "-O2", "-o", floor, os.path.join(args.shared, "floor.c")], check=True)
    have_objcopy = shutil.which("objcopy") is not None

    rows = []
    for size, arch, exe in build_inputs(data, args.shared):
        counts = (1, 1000) if size == "10k" else (1, 1000, MAX_CLI_NAMES)
        for count in counts:
            names = keep_list(exe, count, args.shared)
            log(f"timing {arch} {size}, keep {count}")
            r = run_case(build, data, floor, exe, names, args.rounds, have_objcopy and count <= 1000)
            rows.append((size, arch, count, r))

    print()
    print(f"| input | keep | floor | symkeep | symkeep / floor | objcopy / symkeep | symkeep RSS | objcopy RSS |")
    print(f"|---|---|---|---|---|---|---|---|")
    for size, arch, count, r in rows:
        oc = f"{r['objcopy_ratio']:.1f}x" if "objcopy_ratio" in r else "-"
        orss = f"{r['objcopy_rss_mib']:.0f} MiB" if "objcopy_rss_mib" in r else "-"
        print(f"| {arch} {size} | {count} | {r['floor'] * 1000:.1f} ms | {r['symkeep'] * 1000:.1f} ms | "
              f"{r['ratio']:.2f}x | {oc} | {r['rss_mib']:.1f} MiB | {orss} |")

    print()
    ok = True

    def check(label, value, limit, higher_is_better=False):
        nonlocal ok
        met = value >= limit if higher_is_better else value <= limit
        ok = ok and met
        print(f"{'met   ' if met else 'MISSED'} {label}: {value:.2f} (target {'>=' if higher_is_better else '<='} {limit})")

    for size, arch, count, r in rows:
        limit = TARGET_RATIO_10K if size == "10k" else TARGET_RATIO_1M
        check(f"{arch} {size} keep {count}: symkeep/floor", r["ratio"], limit)
        if size == "1M" and "objcopy_ratio" in r:
            check(f"{arch} {size} keep {count}: objcopy/symkeep", r["objcopy_ratio"], TARGET_OBJCOPY, True)
        if size == "1M":
            check(f"{arch} {size} keep {count}: peak RSS MiB", r["rss_mib"], TARGET_RSS_MIB)
    for arch in ("x86_64", "ppc"):
        one = next(r for s, a, c, r in rows if s == "1M" and a == arch and c == 1)
        many = next(r for s, a, c, r in rows if s == "1M" and a == arch and c == MAX_CLI_NAMES)
        check(f"{arch} 1M: {MAX_CLI_NAMES} names / 1 name (command line)", many["symkeep"] / one["symkeep"],
              TARGET_KEEP_SCALING)
    # A hundred thousand names, in-process (see bench_reduce.cpp).
    reducer = os.path.join(build, "bench_reduce")
    for size, arch, exe in build_inputs(data, args.shared):
        if size != "1M":
            continue
        keep_list(exe, 100000, args.shared)
        median = {}
        for count in (1, 100000):
            path = exe[:-4] + f".keep{count}"
            out = subprocess.run([reducer, exe, path, str(args.rounds)], check=True, capture_output=True,
                                 text=True, cwd=data).stdout
            median[count] = float(out.strip())
        print(f"       {arch} 1M in-process: 1 name {median[1]:.1f} ms, 100000 names {median[100000]:.1f} ms")
        check(f"{arch} 1M: 100000 names / 1 name (in-process)", median[100000] / median[1], TARGET_KEEP_SCALING)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
