"""Profiles Vantorel on one bench workload with `perf record` (call graphs included).

    PYTHONPATH=build .venv/bin/python bench/profile.py --quick tag update build

For each workload, perf is attached to this process only while the workload runs (the
data generation stays out of the profile), then `perf report` prints the top symbols.
Profiles are kept as bench/results/perf-<workload>.data.
"""

import argparse
import os
import random
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import bench  # noqa: E402
import engines  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("workloads", nargs="+", choices=bench.WORKLOADS)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("-n", "--objects", type=int)
    ap.add_argument("--seconds", type=float, default=3.0, help="time spent per workload")
    ap.add_argument("--top", type=int, default=25)
    args = ap.parse_args()
    n = args.objects or (100_000 if args.quick else 1_000_000)
    objs = bench.make_objects("indexable", bench.generate_values(n, 20240601))
    params = bench.choose_params(objs)
    eng = engines.VantorelEngine.create(objs)
    eng.build()
    out = os.path.join(HERE, "results")
    os.makedirs(out, exist_ok=True)
    for wl in args.workloads:
        data = os.path.join(out, f"perf-{wl}.data")
        perf = subprocess.Popen(["perf", "record", "-g", "-q", "-o", data, "-p", str(os.getpid())])
        time.sleep(0.5)  # let perf attach
        end = time.perf_counter() + args.seconds
        runs = 0
        while time.perf_counter() < end:
            if wl == "build":
                eng.drop()
                eng.build()
            elif wl == "update":
                rng = random.Random(runs)
                pos = rng.sample(range(n), n // 10)
                vals = rng.choices(range(100), k=len(pos))
                eng.update_age(eng.prepare_update(pos, vals))
                eng.eq_age(params["age"])
            else:
                bench.call(eng, wl, params)
            runs += 1
        perf.send_signal(signal.SIGINT)
        perf.wait()
        print(f"== {wl}: {runs} runs in {args.seconds:.1f} s ({args.seconds * 1e3 / runs:.2f} ms each)")
        rep = subprocess.run(
            ["perf", "report", "-i", data, "--no-children", "--stdio", "-g", "none",
             "--percent-limit", "0.5", "--sort", "dso,symbol"],
            capture_output=True, text=True)
        lines = [" ".join(ln.split()[:1] + ln.split()[1:]).replace("  -      -", "")[:150]
                 for ln in rep.stdout.splitlines() if ln.strip() and not ln.startswith("#")]
        lines = [ln.rstrip(" -") for ln in lines]
        print("\n".join(lines[: args.top]))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
