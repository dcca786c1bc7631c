"""add_object_many against add_object in a Python loop, over the same objects.

Each mode runs in its own process so that its peak memory (ru_maxrss) is its
own. Usage: python bench/bulk_add.py [N]   (default 1,000,000)
"""

import json
import subprocess
import sys

CHILD = r"""
import random, resource, sys, time, json
from Vantorel import Index, Indexable

class Row(Indexable):
    pass

n, mode = int(sys.argv[1]), sys.argv[2]
rng = random.Random(12345)
letters = "abcdefghijklmnopqrstuvwxyz"
rows = [Row(age=rng.randint(0, 99), score=rng.random() * 100.0,
            city="city%02d" % rng.randint(0, 49),
            name="".join(rng.choice(letters) for _ in range(rng.randint(6, 12))),
            active=rng.random() < 0.5) for _ in range(n)]
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
idx = Index()
start = time.perf_counter()
if mode == "bulk":
    idx.add_object_many(rows)
else:
    add = idx.add_object
    for row in rows:
        add(row)
elapsed = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
assert len(idx.get_by_attribute(city="city07")) == sum(r.city == "city07" for r in rows)
print(json.dumps({"seconds": elapsed, "peak_kib": peak, "peak_before_kib": before}))
"""


def run(n, mode):
    out = subprocess.run([sys.executable, "-c", CHILD, str(n), mode], check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    results = {mode: run(n, mode) for mode in ("loop", "bulk")}
    loop, bulk = results["loop"], results["bulk"]
    print(f"{n:,} objects, five attributes (int, float, two str, bool)")
    for mode, r in results.items():
        grown = (r["peak_kib"] - r["peak_before_kib"]) / 1024
        print(f"  {mode:<5} {r['seconds'] * 1000:9.1f} ms   peak RSS {r['peak_kib'] / 1024:7.1f} MiB"
              f" (+{grown:.1f} MiB while adding)")
    print(f"  add_object_many is {loop['seconds'] / bulk['seconds']:.2f}x faster than the loop")


if __name__ == "__main__":
    main()
