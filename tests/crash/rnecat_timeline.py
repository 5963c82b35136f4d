#!/usr/bin/env python3
"""rnecat over the logs of a two-thread crash: the probe's main thread and a
worker log "turn" events by turns, then main faults while the worker waits,
leaving main's dump and the worker's live log (timed through main's dump).
--trace-event must be one JSON document with one track per thread, each in
time order and at the times the text output shows; --merge must put the
turns in the order they were taken; a damaged or missing file among good
ones must give one error line, the good files' output, and status 1.

Usage: rnecat_timeline.py PROBE RNECAT"""
import datetime, decimal, json, os, subprocess, sys, tempfile

probe, rnecat = sys.argv[1:3]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def run(*args):
    return subprocess.run([rnecat, *args], capture_output=True, text=True)


def micros(line):  # the time a text line starts with
    t = datetime.datetime.strptime(line[:26], "%Y-%m-%d %H:%M:%S.%f")
    return (t - datetime.datetime(1970, 1, 1)) // datetime.timedelta(microseconds=1)


def event_lines(out):
    return [line for line in out.splitlines() if line[:1].isdigit() or line[:1] == "{" or line.startswith("counter ")]


def trace(out):  # the document and its instant events, exact times kept
    doc = json.loads(out, parse_float=decimal.Decimal)
    return doc, [e for e in doc["traceEvents"] if e["ph"] == "i"]


with tempfile.TemporaryDirectory() as tmp:
    dump = os.path.join(tmp, "rne")
    env = dict(os.environ, ZEP_RNE_DUMP_PATH=dump, ZEP_ZOLTA_LOG_SIZE="64K",
               ASAN_OPTIONS="handle_segv=0:detect_leaks=0:allocator_may_return_null=1")
    env.pop("ZEP_ZOLTA_NO_MAP_LOGS", None)
    crashed = subprocess.run([probe, "threads"], env=env, capture_output=True, text=True)
    report = dict(line.split() for line in crashed.stdout.splitlines())
    pid, main, worker = int(report["pid"]), int(report["tid"]), int(report["worker_tid"])
    names = [f"{pid}_{main}.rne", f"{pid}_{worker}_map.rne"]
    main_file, worker_file = (os.path.join(dump, n) for n in names)
    if crashed.returncode != 1 or sorted(os.listdir(dump)) != sorted(names):
        sys.exit(f"the probe left {os.listdir(dump)}, status {crashed.returncode}: {crashed.stderr}")

    plain = run(dump)
    check(plain.returncode == 0 and sum(line.startswith("file:") for line in plain.stdout.splitlines()) == 2,
          "rnecat DIR reads both files")
    out = run("--trace-event", dump)
    doc, events = trace(out.stdout)
    check(out.returncode == 0 and doc["displayTimeUnit"] == "ms", "a JSON Object Format document " + out.stderr)
    check({(e["pid"], e["tid"]) for e in events} == {(pid, main), (pid, worker)}, "one track per thread")
    meta = {(e["name"], e["tid"]): e["args"]["name"] for e in doc["traceEvents"] if e["ph"] == "M" and e["pid"] == pid}
    check({k: v for k, v in meta.items() if k[0] == "thread_name"} == {("thread_name", t): f"probe {t}" for t in (main, worker)}
          and any(k[0] == "process_name" for k in meta), f"process and thread names {meta}")
    for t in (main, worker):
        check([e["ts"] for e in events if e["tid"] == t] == sorted(e["ts"] for e in events if e["tid"] == t), f"{t} in time order")
    main_text = [(micros(line), line.split()[3]) for line in event_lines(run(main_file).stdout)]
    check([(int(e["ts"]), e["name"]) for e in events if e["tid"] == main] == main_text, "trace times are the text output's")
    check(all(e["pid"] == pid for e in trace(run("--trace-event", worker_file).stdout)[1]), "a live log's pid from its name")
    order = [(i, (main, worker)[i % 2]) for i in range(6)]
    turns = sorted((e["ts"], e["args"]["value"], e["tid"]) for e in events if e["name"] == "turn")
    check([(v, t) for _, v, t in turns] == order, f"turns {turns}")

    merge = run("--merge", main_file, worker_file)
    lines = event_lines(merge.stdout)
    check(merge.returncode == 0 and len(lines) == len(events), "--merge prints every event")
    check([micros(line) for line in lines] == sorted(micros(line) for line in lines), "--merge in time order")
    fields = [line[27:].split() for line in lines]
    check([(int(f[3]), int(f[0])) for f in fields if f[2] == "turn"] == order, "--merge: the turns in order")

    good, bad = open(main_file, "rb").read(), os.path.join(tmp, "bad.rne")
    for what, content, error in [("missing", None, "cannot open the file"), ("cut in the data", good[:-8], ""),
                                 ("not a log", bytes([good[0] ^ 0x5A]) + good[1:], "not an event log (bad format bytes)"),
                                 ("cut short", good[:100], "shorter than a log header")]:
        if content is not None:
            open(bad, "wb").write(content)
        for mode in ([], ["--json"], ["--merge"], ["--trace-event"]):
            clean, damaged = run(*mode, main_file, worker_file), run(*mode, main_file, bad, worker_file)
            if mode == ["--trace-event"]:
                want, kept = ({json.dumps(e, sort_keys=True, default=str) for e in trace(r.stdout)[1]} for r in (clean, damaged))
            else:
                want, kept = set(event_lines(clean.stdout)), set(damaged.stdout.splitlines())
            check(damaged.returncode == 1 and damaged.stderr.count("\n") == 1 and want and want <= kept and
                  damaged.stderr.startswith(f"rnecat: {bad}: ") and damaged.stderr.endswith(error + "\n"),
                  f"{what}, {mode}: status {damaged.returncode}, {damaged.stderr!r}")
    for args, status in [([], 2), (["--bogus", main_file], 2), (["--json", "--merge", main_file], 2), (["--help"], 0)]:
        check(run(*args).returncode == status, f"usage {args}")
    check("SYNOPSIS" in run("--help").stdout, "the manual")

for f in failures:
    print("FAILED:", f)
sys.exit(1 if failures else 0)
