#!/usr/bin/python3
"""Whether the subscribers keep up with a deep-queue publisher: kt-sim as fast as the ring
allows, kt-daqd with --queue-depth 64 and no registered subscriber, and in turn kt-sub
--no-ack, kt-sub --no-ack --verify and ktclient.Subscriber(ack=False), each receiving for a
window of seconds. Per run: frames/s received, frames/s published over the same time, the
frames kt-daqd dropped for the lagging subscriber, and the subscriber's CPU (user + system,
all threads, from /proc at 10 ms resolution) per frame received; medians and ranges over
alternating repetitions. Each run begins with a warm-up: until the loopback buffers between
kt-daqd and a slower subscriber are full, kt-daqd publishes faster than it is read.

Runs itself inside sim/ns-run (fixed endpoints):

    sim/ns-run /usr/bin/python3 bench/subscribers/sub_bench.py [--build build/release]
        [--reps 5] [--seconds 3] [--warmup 3] [--payload 64] [--only kt-sub,verify,python]
        [--other-sub PROGRAM] [--other-python DIR]
"""

import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "python", "tests"))
sys.path.insert(0, os.path.join(SOURCE, "python"))

from instrument import Instrument  # noqa: E402

# The Python subscriber, in a process of its own: a line a second with the frames so far,
# as kt-sub's live-rate line gives them.
PY_CONSUMER = """
import time, ktclient
with ktclient.Subscriber("all", ack=False) as sub:
    n, last = 0, time.monotonic()
    while True:
        if sub.receive(1) is not None:
            n += 1
        if time.monotonic() - last >= 1:
            last = time.monotonic()
            print("python: MB/s  frames", n, flush=True)
"""
TICK_S = 1 / os.sysconf("SC_CLK_TCK")


def consumer_command(kind, build, other):
    if kind.startswith("python"):
        return [sys.executable, "-c", PY_CONSUMER]
    program = other.sub if kind.endswith("-other") else os.path.join(build, "bin", "kt-sub")
    return [program, "--no-ack"] + (["--verify"] if kind.startswith("verify") else [])


def cpu_s(pid):
    """User and system time of every thread of process ``pid``."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * TICK_S


def frames_in(line):
    words = line.split()
    return int(words[words.index("frames", words.index("MB/s")) + 1])


def one_run(inst, kind, build, seconds, warmup, other):
    """One consumer from its start: after `warmup` rate lines, the loopback buffers between
    publisher and subscriber have filled and the publisher goes at the pace it can keep;
    then measured over `seconds` lines."""
    client = other.python if kind == "python-other" else os.path.join(SOURCE, "python")
    env = dict(os.environ, PYTHONPATH=client)
    proc = subprocess.Popen(consumer_command(kind, build, other), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env)
    lines = proc.stdout if kind.startswith("python") else proc.stderr
    marks = []
    try:
        for line in lines:
            if "MB/s" not in line:
                continue
            marks.append(line)
            if len(marks) == warmup:
                t0, frames0, cpu0, stats0 = (time.monotonic(), frames_in(line), cpu_s(proc.pid),
                                             inst.daqd_stats())
            if len(marks) == warmup + seconds:
                t1, frames1, cpu1, stats1 = (time.monotonic(), frames_in(line), cpu_s(proc.pid),
                                             inst.daqd_stats())
                break
        else:
            raise RuntimeError(f"{kind} ended: {proc.stderr.read()}")
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.communicate(timeout=10)
    wall, frames = t1 - t0, frames1 - frames0
    return {
        "received": frames / wall,
        "published": (stats1["published"] - stats0["published"]) / wall,
        "dropped": (stats1["dropped_for_lagging"] - stats0["dropped_for_lagging"]) / wall,
        "cpu_us": (cpu1 - cpu0) * 1e6 / max(frames, 1),
    }


def summary(values):
    return f"{statistics.median(values):9.0f} [{min(values):.0f}-{max(values):.0f}]"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(SOURCE, "build", "release"))
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--seconds", type=int, default=3)
    parser.add_argument("--warmup", type=int, default=3)
    parser.add_argument("--payload", default="64")
    parser.add_argument("--only", default="kt-sub,verify,python")
    # Another kt-sub and another Python client (the folder holding ktclient) to compare
    # with, measured in the same alternation as kinds kt-sub-other, verify-other and
    # python-other.
    parser.add_argument("--other-sub")
    parser.add_argument("--other-python")
    args = parser.parse_args()
    if os.environ.get("KT_SIM_NAMESPACE") != "1":
        sys.exit("sub_bench: run it through sim/ns-run (it binds the instrument's ports)")
    for name, path in (("KT_SIM", "bin/kt-sim"), ("KT_DAQD", "bin/kt-daqd"),
                       ("KT_SHIM", "lib/libktsim_shim.so")):
        os.environ[name] = os.path.join(args.build, path)
    kinds = args.only.split(",")
    other = argparse.Namespace(sub=args.other_sub, python=args.other_python)
    inst = Instrument("--sources", "1:1", "--payload", args.payload, "--rate", "0")
    results = {k: [] for k in kinds}
    try:
        inst.start_daqd("--queue-depth", "64", "--stats", "3600", "--json")
        for _ in range(args.reps):
            for kind in kinds:  # alternating, so that drifts of the machine hit all alike
                results[kind].append(one_run(inst, kind, args.build, args.seconds, args.warmup, other))
    finally:
        inst.daqd.send_signal(signal.SIGTERM)
        inst.close()
    print(f"payload {args.payload} B, {args.reps} runs of {args.seconds} s, median [min-max]")
    print(f"{'subscriber':12} {'received/s':>22} {'published/s':>22} {'dropped/s':>22} "
          f"{'CPU us/frame':>22}")
    for kind in kinds:
        r = results[kind]
        print(f"{kind:12} {summary([x['received'] for x in r]):>22} "
              f"{summary([x['published'] for x in r]):>22} "
              f"{summary([x['dropped'] for x in r]):>22} "
              f"{statistics.median(x['cpu_us'] for x in r):9.2f} "
              f"[{min(x['cpu_us'] for x in r):.2f}-{max(x['cpu_us'] for x in r):.2f}]")
    print(json.dumps(results), file=sys.stderr)


if __name__ == "__main__":
    main()
