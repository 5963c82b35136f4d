#!/usr/bin/env python3
"""rnecat over the logs of a two-thread crash: the probe's main thread and a
worker log "turn" events by turns, then main faults while the worker waits,
leaving main's dump and the worker's live log (timed through main's dump).

--trace-event must be one JSON document with one track per thread, each in
time order and at the times the text output shows; --merge must put the
turns in the order they were taken; and a damaged or missing file among good
ones must give one error line, the good files' output, and status 1.

Usage: rnecat_timeline.py CRASH_PROBE RNECAT"""
import datetime
import decimal
import json
import os
import subprocess
import sys
import tempfile

probe, rnecat = sys.argv[1:3]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def run(*args):
    return subprocess.run([rnecat, *args], capture_output=True, text=True)


EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)


def micros(text):
    t = datetime.datetime.strptime(text, "%Y-%m-%d %H:%M:%S.%f").replace(tzinfo=datetime.timezone.utc)
    return (t - EPOCH) // datetime.timedelta(microseconds=1)


def event_lines(out):
    return [line for line in out.splitlines() if line[:1].isdigit() or line.startswith("counter ")]


def instants(out):
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
    main_file = os.path.join(dump, f"{pid}_{main}.rne")
    worker_file = os.path.join(dump, f"{pid}_{worker}_map.rne")
    if crashed.returncode != 1 or sorted(os.listdir(dump)) != sorted(map(os.path.basename, [main_file, worker_file])):
        sys.exit(f"the probe left {os.listdir(dump)}, status {crashed.returncode}: {crashed.stderr}")

    # The text output of main's dump: (microseconds, name) per event.
    plain = run(dump)
    check(plain.returncode == 0 and sum(line.startswith("file:") for line in plain.stdout.splitlines()) == 2,
          "rnecat DIR reads both files")
    main_text = [(micros(line[:26]), line.split()[3]) for line in event_lines(run(main_file).stdout)]

    trace = run("--trace-event", dump)
    check(trace.returncode == 0, "--trace-event status " + trace.stderr)
    doc, events = instants(trace.stdout)
    check(doc["displayTimeUnit"] == "ms", "a JSON Object Format document")
    tracks = {}
    for e in events:
        tracks.setdefault((e["pid"], e["tid"]), []).append(e)
    check(sorted(tracks) == sorted([(pid, main), (pid, worker)]), f"one track per thread: {sorted(tracks)}")
    names = {(e["pid"], e["tid"]): e["args"]["name"] for e in doc["traceEvents"] if e["name"] == "thread_name"}
    check(names == {(pid, t): f"probe {t}" for t in (main, worker)}, f"thread names {names}")
    check(any(e["name"] == "process_name" and e["pid"] == pid for e in doc["traceEvents"]), "process name")
    for track, evs in tracks.items():
        check([e["ts"] for e in evs] == sorted(e["ts"] for e in evs), f"track {track} in time order")
    alone = instants(run("--trace-event", worker_file).stdout)[1]
    check(alone and all(e["pid"] == pid for e in alone), "the process id in a live log's file name")
    main_trace = [(int(e["ts"]), e["name"]) for e in tracks.get((pid, main), [])]
    check(main_trace == main_text, "trace times are the text output's")
    turns = sorted((e["ts"], e["args"]["value"], e["tid"]) for e in events if e["name"] == "turn")
    check([(v, t) for _, v, t in turns] == [(i, (main, worker)[i % 2]) for i in range(6)], f"turns {turns}")

    merge = run("--merge", main_file, worker_file)
    lines = event_lines(merge.stdout)
    check(merge.returncode == 0 and len(lines) == len(events), "--merge prints every event")
    times = [micros(line[:26]) for line in lines]
    check(times == sorted(times), "--merge in time order")
    merged_turns = [(int(f[3]), int(f[0])) for f in (line[27:].split() for line in lines) if f[2] == "turn"]
    check(merged_turns == [(i, (main, worker)[i % 2]) for i in range(6)], f"merged turns {merged_turns}")

    # A damaged file between the good ones.
    good = open(main_file, "rb").read()
    bad = os.path.join(tmp, "bad.rne")
    damages = [("missing", None, "cannot open the file"),
               ("not a log", bytes([good[0] ^ 0x5A]) + good[1:], "not an event log (bad format bytes)"),
               ("cut short", good[:100], "shorter than a log header"),
               ("cut in the data", good[:-8], None)]
    for what, content, error in damages:
        if os.path.exists(bad):
            os.remove(bad)
        if content is not None:
            open(bad, "wb").write(content)
        for mode in ([], ["--json"], ["--merge"], ["--trace-event"]):
            clean, damaged = run(*mode, main_file, worker_file), run(*mode, main_file, bad, worker_file)
            label = f"{what}, {mode}"
            check(damaged.returncode == 1, f"{label}: status {damaged.returncode}")
            err = damaged.stderr.splitlines()
            check(len(err) == 1 and err[0].startswith(f"rnecat: {bad}: ") and (error is None or err[0].endswith(error)),
                  f"{label}: stderr {damaged.stderr!r}")
            if mode == ["--trace-event"]:
                kept = {json.dumps(e, sort_keys=True, default=str) for e in instants(damaged.stdout)[1]}
                check(all(json.dumps(e, sort_keys=True, default=str) in kept for e in instants(clean.stdout)[1]), f"{label}: events")
            else:
                kept = set(damaged.stdout.splitlines())
                check(all(line in kept for line in event_lines(clean.stdout)), f"{label}: events")

for f in failures:
    print("FAILED:", f)
sys.exit(1 if failures else 0)
