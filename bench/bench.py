"""Vantorel against the usual ways of querying a list of Python objects.

    make bench                      # 1,000,000 objects, 5 repetitions per query
    make bench BENCH_ARGS=--quick   # 100,000 objects, 3 repetitions

The values are generated once; two lists of objects hold them: `Item(Indexable)` objects,
which Vantorel indexes, and objects of an ordinary class (attributes in a `__dict__`),
which the scan, the hand-written index and the library peers index, as a user who picks
one of them would have. Every engine runs in its own forked process over its list (so
build times and memory are measured on a fresh heap, and no engine sees another one's
updates). Vantorel's build runs on the calling thread. Every answer is compared, position
by position, with an independent scan; a mismatch is printed and the run exits non-zero.

Besides the workloads, the run reports the memory of the objects themselves (Indexable,
plain and `__slots__` objects holding the same values, each list created in a fresh
forked process), the cost of one assignment in the update loop, and the cost of reading
and storing an attribute in a hot loop on this CPython. Results go to bench/results/
(latest.json, latest.md, latest.png).
"""

import argparse
import collections
import ctypes
import datetime
import gc
import json
import os
import platform
import random
import statistics
import sys
import time
import timeit
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import engines as engines_mod  # noqa: E402
import report  # noqa: E402

import Vantorel  # noqa: E402
from Vantorel import Index, Indexable  # noqa: E402

# The threads a bulk call may use when the operation figures allow more than one.
THREADS = max(2, os.cpu_count() or 1)
ENGINE_ORDER = ["vantorel", "scan", "hand-index", "sqlite", "pandas", "polars", "duckdb"]
BATCH_SECONDS = 0.002
QUERY_WORKLOADS = ["eq_age", "eq_name", "range_score", "city_age", "prefix", "substring",
                   "tag", "owner"]
WORKLOADS = ["build"] + QUERY_WORKLOADS + ["update"]

CITIES = [f"city-{i:02d}" for i in range(50)]
TAGS = [f"tag-{i:02d}" for i in range(20)]
LETTERS = "abcdefghijklmnopqrstuvwxyz"
N_OWNERS = 1000


class Item(Indexable):
    pass


class Owner(Indexable):
    pass


class PlainItem:
    """The objects of a program that does not use Vantorel."""

    def __init__(self, age, score, city, name, active, tags, owner=None):
        self.age = age
        self.score = score
        self.city = city
        self.name = name
        self.active = active
        self.tags = tags
        if owner is not None:  # like an Item, only the objects with an owner have one
            self.owner = owner


class PlainOwner:
    def __init__(self, name):
        self.name = name


class SlotItem:
    __slots__ = ("age", "score", "city", "name", "active", "tags", "owner")
    __init__ = PlainItem.__init__


class SlotOwner:
    __slots__ = ("name",)
    __init__ = PlainOwner.__init__


# The classes of the objects and of their owners, by kind of object.
KINDS = {"indexable": (Item, Owner), "plain": (PlainItem, PlainOwner),
         "slots": (SlotItem, SlotOwner)}


def generate_values(n, seed):
    """Deterministic values of n objects, made per object as a program makes them (each
    name and tag is a str of its own; cities come from a small shared list); 10% of the
    objects have an owner, an index into a pool of N_OWNERS."""
    rng = random.Random(seed)
    lens = rng.choices(range(6, 13), k=n)
    letters = "".join(rng.choices(LETTERS, k=sum(lens)))
    names, at = [], 0
    for ln in lens:
        names.append(letters[at:at + ln])
        at += ln
    del letters
    ages = rng.choices(range(100), k=n)
    cities = rng.choices(CITIES, k=n)
    ntags = rng.choices(range(4), k=n)
    scores, actives, tags, owners = [], [], [], []
    for i in range(n):
        scores.append(rng.random() * 100.0)
        actives.append(rng.random() < 0.5)
        tags.append([f"tag-{t:02d}" for t in rng.sample(range(len(TAGS)), ntags[i])])
        owners.append(rng.randrange(N_OWNERS) if rng.random() < 0.1 else None)
    return {"age": ages, "score": scores, "city": cities, "name": names, "active": actives,
            "tags": tags, "owner": owners,
            "owner_names": [f"owner-{i:04d}" for i in range(N_OWNERS)]}


def make_objects(kind, values):
    """The list of objects of one kind holding `values`, with owners of the same kind."""
    item_cls, owner_cls = KINDS[kind]
    owners = [owner_cls(name=nm) for nm in values["owner_names"]]
    objs = []
    cols = [values[k] for k in ("age", "score", "city", "name", "active", "tags", "owner")]
    for age, score, city, name, active, tags, w in zip(*cols):
        kw = dict(age=age, score=score, city=city, name=name, active=active, tags=tags)
        if w is not None:
            kw["owner"] = owners[w]
        objs.append(item_cls(**kw))
    return objs


def choose_params(objs):
    n = len(objs)
    owner = next(o.owner.name for o in objs[n // 2:] if getattr(o, "owner", None) is not None)
    return {
        "age": 42,
        "name": objs[n // 3].name,
        "score_lo": 37.0,
        "score_hi": 38.0,
        "city": CITIES[7],
        "age_gt": 50,
        "prefix": objs[n // 5].name[:2],
        "substring": objs[n // 7].name[1:4],
        "tag": TAGS[5],
        "owner": owner,
    }


def describe(params):
    p = params
    return {
        "build": "build the index from the list of objects",
        "eq_age": f"age == {p['age']}",
        "eq_name": f"name == {p['name']!r}",
        "range_score": f"{p['score_lo']} <= score <= {p['score_hi']}  (1%)",
        "city_age": f"city == {p['city']!r} and age > {p['age_gt']}",
        "prefix": f"name starts with {p['prefix']!r}",
        "substring": f"{p['substring']!r} in name",
        "tag": f"{p['tag']!r} in tags",
        "owner": f"owner.name == {p['owner']!r}",
        "update": f"age := random on 10% of the objects, then age == {p['age']}",
    }


def call(engine, wl, p):
    if wl == "eq_age":
        return engine.eq_age(p["age"])
    if wl == "eq_name":
        return engine.eq_name(p["name"])
    if wl == "range_score":
        return engine.range_score(p["score_lo"], p["score_hi"])
    if wl == "city_age":
        return engine.city_age(p["city"], p["age_gt"])
    if wl == "prefix":
        return engine.prefix(p["prefix"])
    if wl == "substring":
        return engine.substring(p["substring"])
    if wl == "tag":
        return engine.tag(p["tag"])
    if wl == "owner":
        return engine.owner(p["owner"])
    raise ValueError(wl)


def update_rounds(n, reps, seed, ages0, age_q):
    """Per round: positions, new values, and the ids expected afterwards (rounds accumulate)."""
    rng = random.Random(seed + 1)
    ages = list(ages0)
    rounds = []
    for _ in range(reps):
        pos = rng.sample(range(n), n // 10)
        vals = rng.choices(range(100), k=len(pos))
        for p, v in zip(pos, vals):
            ages[p] = v
        expected = frozenset(i for i, a in enumerate(ages) if a == age_q)
        rounds.append((pos, vals, expected))
    return rounds


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def settled_rss_bytes():
    """RSS after a full collection and after glibc hands its free heap back to the system."""
    gc.collect()
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):  # not glibc
        pass
    return rss_bytes()


def obj_summary(o, i):
    return (f"#{i} age={o.age} score={o.score!r} city={o.city!r} name={o.name!r} "
            f"tags={list(o.tags)} owner={engines_mod.owner_name(o)!r}")


def compare(objs, got, expected_pos, engine, wl, query, rep):
    """None when `got` holds exactly the objects at expected_pos, else a mismatch record."""
    got_ids = [id(o) for o in got]
    got_set = set(got_ids)
    exp_ids = {id(objs[i]): i for i in expected_pos}
    if got_set == exp_ids.keys():
        if len(got_ids) != len(got_set):
            return {"engine": engine, "workload": wl, "query": query, "rep": rep,
                    "kind": "duplicates", "returned": len(got_ids), "distinct": len(got_set)}
        return None
    where = {id(o): i for i, o in enumerate(objs)}
    missing = [exp_ids[k] for k in exp_ids.keys() - got_set]
    extra = [where.get(k) for k in got_set - exp_ids.keys()]
    return {
        "engine": engine, "workload": wl, "query": query, "rep": rep, "kind": "mismatch",
        "expected": len(exp_ids), "returned": len(got_ids),
        "missing": len(missing), "extra": len(extra),
        "missing_examples": [obj_summary(objs[i], i) for i in sorted(missing)[:3]],
        "extra_examples": [obj_summary(objs[i], i) if i is not None else "<not in the list>"
                           for i in sorted(extra, key=lambda x: -1 if x is None else x)[:3]],
    }


def run_engine(name, objs, params, refs, rounds, cfg):
    """Runs every workload for one engine over its own list of objects; meant to run in a
    forked child."""
    n = len(objs)
    queries = describe(params)
    cls = engines_mod.ENGINES[name]
    out = {"engine": name, "workloads": {}, "mismatches": []}
    try:
        engine = cls.create(objs)
    except ImportError as ex:
        return {"engine": name, "skipped": f"import failed: {ex}"}

    # Warm-up on a small slice: loads lazily imported code before the memory baseline.
    warm = cls.create(objs[:2000])
    warm.build()
    for wl in QUERY_WORKLOADS:
        call(warm, wl, params)
    warm.drop()
    del warm

    # Build: time and memory of the first build, time of the others.
    base = settled_rss_bytes()
    t0 = time.perf_counter()
    engine.build()
    t1 = time.perf_counter()
    grown = settled_rss_bytes() - base
    builds = [(t1 - t0) * 1e3]
    out["memory"] = {"rss_growth_bytes": grown, "bytes_per_object": grown / n,
                     "self_reported_bytes": engine.self_reported_bytes()}
    for _ in range(cfg["build_reps"] - 1):
        engine.drop()
        t0 = time.perf_counter()
        engine.build()
        builds.append((time.perf_counter() - t0) * 1e3)
    out["workloads"]["build"] = {"samples_ms": builds, "median_ms": statistics.median(builds),
                                 "min_ms": min(builds)}
    print(f"    {name}: built in {statistics.median(builds):.1f} ms, "
          f"{grown / n:.0f} B/object", flush=True)

    for wl in QUERY_WORKLOADS:
        samples, count = [], None
        # A single call of a sub-millisecond query measures mostly cold caches and timer
        # noise: each repetition times a batch of calls sized to take about 2 ms.
        t0 = time.perf_counter()
        got = call(engine, wl, params)
        first = time.perf_counter() - t0
        del got
        batch = max(1, min(1000, int(BATCH_SECONDS / max(first, 1e-7))))
        for rep in range(cfg["reps"]):
            t0 = time.perf_counter()
            for _ in range(batch):
                got = call(engine, wl, params)
            samples.append((time.perf_counter() - t0) * 1e3 / batch)
            count = len(got)
            bad = compare(objs, got, refs[wl], name, wl, queries[wl], rep)
            if bad:
                out["mismatches"].append(bad)
            del got
        out["workloads"][wl] = {"samples_ms": samples, "median_ms": statistics.median(samples),
                                "min_ms": min(samples), "count": count, "batch": batch,
                                "first_ms": first * 1e3}

    samples, upd_only, count = [], [], None
    for rep, (pos, vals, expected) in enumerate(rounds):
        batch = engine.prepare_update(pos, vals)
        t0 = time.perf_counter()
        engine.update_age(batch)
        t1 = time.perf_counter()
        del batch
        got = engine.eq_age(params["age"])
        t2 = time.perf_counter()
        samples.append((t2 - t0) * 1e3)
        upd_only.append((t1 - t0) * 1e3)
        count = len(got)
        bad = compare(objs, got, expected, name, "update", queries["update"], rep)
        if bad:
            out["mismatches"].append(bad)
        del got
    assignments = len(rounds[0][0]) if rounds else 0
    out["workloads"]["update"] = {"samples_ms": samples, "median_ms": statistics.median(samples),
                                  "min_ms": min(samples), "count": count}
    out["workloads"]["assign"] = {"samples_ms": upd_only, "median_ms": statistics.median(upd_only),
                                  "min_ms": min(upd_only), "assignments": assignments,
                                  "ns_per_assignment":
                                      statistics.median(upd_only) * 1e6 / max(1, assignments)}
    return out


def median_ms(fn, reps):
    """Median time of one call in ms; sub-millisecond calls are timed in batches of ~2 ms."""
    t0 = time.perf_counter()
    fn()
    batch = max(1, min(1000, int(BATCH_SECONDS / max(time.perf_counter() - t0, 1e-7))))
    samples = []
    for _ in range(reps):
        t0 = time.perf_counter()
        for _ in range(batch):
            fn()
        samples.append((time.perf_counter() - t0) * 1e3 / batch)
    return statistics.median(samples)


REMOVED = 1000


def set_threads(threads):
    """Vantorel.set_threads(threads), where the module has it (a build from before it existed
    uses its own helper threads)."""
    if hasattr(Vantorel, "set_threads"):
        Vantorel.set_threads(threads)


def removal_child(engine, objs, size, reps, seed, threads=1):
    """Median time to remove REMOVED random objects (a fresh sample each repetition) from an
    index of the first `size` objects, by Vantorel (its bulk calls using up to `threads`
    threads) or by the hand-written pure-Python index."""
    sub = objs[:size]
    rng = random.Random(seed)
    set_threads(threads)
    if engine == "vantorel":
        index = Index()
        index.add_object_many(sub)
    else:
        hand = engines_mod.HandIndexEngine(sub)
        hand.build()
    left = list(range(size))
    samples, wrong = [], []
    for _ in range(reps):
        rng.shuffle(left)
        chosen, left = left[:REMOVED], left[REMOVED:]
        if engine == "vantorel":
            gone = [sub[p] for p in chosen]
            t0 = time.perf_counter()
            index.remove_object_many(gone)
            samples.append((time.perf_counter() - t0) * 1e3)
            wrong += [o.name for o in gone[:20] if o in index.get_by_attribute(name=o.name)]
        else:
            t0 = time.perf_counter()
            hand.remove(chosen)
            samples.append((time.perf_counter() - t0) * 1e3)
            wrong += [sub[p].name for p in chosen[:20] if p in hand.name.get(sub[p].name, ())]
    if engine == "vantorel" and index.count() != len(left):
        wrong.append(f"count {index.count()} != {len(left)}")
    return {"median_ms": statistics.median(samples), "samples_ms": samples, "wrong": wrong}


def build_child(objs, reps, threads):
    """Median time of `add_object_many(objs)` into a new index, its bulk calls using up to
    `threads` threads."""
    set_threads(threads)
    samples, wrong = [], []
    for _ in range(reps):
        index = Index()
        t0 = time.perf_counter()
        index.add_object_many(objs)
        samples.append((time.perf_counter() - t0) * 1e3)
        if index.count() != len(objs):
            wrong.append(f"count {index.count()} != {len(objs)}")
        del index
        gc.collect()
    return {"median_ms": statistics.median(samples), "samples_ms": samples, "wrong": wrong}


def whole_set_child(objs, params, reps):
    """value_counts and sorted_by against what a user does with collect()."""
    index = Index()
    index.add_object_many(objs)
    view = index.reduced()  # a view of every object
    in_city = index.reduced(city=params["city"])
    out = {}

    def top_scores():
        return sorted(in_city.collect(), key=lambda o: o.score, reverse=True)[:10]

    cases = {
        "value_counts": (lambda: view.value_counts("city"),
                         lambda: collections.Counter(o.city for o in view.collect()),
                         lambda got, ref: dict(got) == ref),
        "top10": (lambda: in_city.sorted_by("score", descending=True, limit=10), top_scores,
                  lambda got, ref: got == ref),
    }
    for name, (ours, python, same) in cases.items():
        out[name] = {"vantorel_ms": median_ms(ours, reps), "python_ms": median_ms(python, reps),
                     "wrong": [] if same(ours(), python()) else [name]}
    return out


def run_operations(objs, plain, params, cfg):
    """The removal, facet and ordering figures over `objs` (the hand-written index removes
    from `plain`, the same values in plain objects); each index is built in its own child."""
    n, reps = len(objs), cfg["reps"]
    ops = {"removal": {}, "sizes": [n // 10, n], "threads": THREADS, "build": {}}
    runs = [("vantorel", 1), ("vantorel", THREADS), ("hand-index", 1)]
    for size in ops["sizes"]:
        for engine, threads in runs:
            key = removal_key(engine, size, threads)
            print(f"  removing {REMOVED:,} of {size:,} objects: {key}...", flush=True)
            own = objs if engine == "vantorel" else plain
            ops["removal"][key] = in_child(removal_child, engine, own, size, reps, cfg["seed"],
                                           threads)
    for threads in (1, THREADS):
        print(f"  add_object_many of {n:,} objects, {threads} thread(s)...", flush=True)
        ops["build"][str(threads)] = in_child(build_child, objs, cfg["build_reps"], threads)
    print(f"  value_counts and sorted_by over {n:,} objects...", flush=True)
    ops.update(in_child(whole_set_child, objs, params, reps))
    return ops


def removal_key(engine, size, threads):
    return f"{engine}@{size}" + (f"/{threads}" if threads > 1 else "")


def in_child(fn, *args):
    """Runs fn(*args) in a forked process and returns its JSON-able result."""
    sys.stdout.flush()
    sys.stderr.flush()
    rd, wr = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(rd)
        code = 0
        try:
            res = fn(*args)
        except BaseException:  # report anything, including Vantorel.InternalError
            res = {"error": traceback.format_exc()}
            code = 1
        try:
            data = json.dumps(res).encode()
            with os.fdopen(wr, "wb") as f:
                f.write(data)
        finally:
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(code)
    os.close(wr)
    with os.fdopen(rd, "rb") as f:
        data = f.read()
    _, status = os.waitpid(pid, 0)
    if data:
        return json.loads(data)
    if os.WIFSIGNALED(status):
        return {"error": f"process killed by signal {os.WTERMSIG(status)}"}
    return {"error": f"process exited with status {os.WEXITSTATUS(status)} and no result"}


def objects_memory_child(kind, n, seed):
    """RSS growth per object across making the values and the list of n objects of `kind`."""
    base = settled_rss_bytes()
    objs = make_objects(kind, generate_values(n, seed))
    grown = settled_rss_bytes() - base
    return {"objects": len(objs), "rss_growth_bytes": grown, "bytes_per_object": grown / n}


def attribute_costs(items, plain, m):
    """ns per attribute read or store in a hot loop, an Indexable against a plain object:
    the same object read again and again, m objects read in turn, and stores into an object
    that is in no index. Each figure is the best of several timings; `loop` is the cost of
    the same loop with nothing in it."""
    def best_ns(stmt, objs, number, per):
        # The setup runs in the timed function, so `o` and `objs` are its local variables.
        t = min(timeit.repeat(stmt, setup="o = first; objs = given", number=number, repeat=7,
                              globals={"first": objs[0], "given": objs}))
        return t * 1e9 / (number * per)

    one = 200_000
    cases = {
        "read_one": ("read one object", "o.age", one, 1, "pass"),
        "read_many": (f"read {m:,} objects in turn", "for o in objs: o.age", 1, m,
                      "for o in objs: pass"),
        "store_one": ("store into one object", "o.age = 7", one, 1, "pass"),
    }
    out = {}
    for key, (what, stmt, number, per, empty) in cases.items():
        row = {"what": what, "objects": per}
        for kind, objs in (("indexable", items[:m]), ("plain", plain[:m])):
            row[kind] = best_ns(stmt, objs, number, per)
        row["loop"] = best_ns(empty, items[:m], number, per)
        row["ratio"] = row["indexable"] / row["plain"]
        out[key] = row
    return out


LIVE_ROUNDS = 31


def live_costs(items, seed):
    """ns per assignment of the update loop (a tenth of the objects get a new `age`) on an
    Index of `items`: alone, with one live result over `age == 42` open, and the same loops
    over `score`, which the live result does not read. The four loops take turns, round after
    round; the best round of each counts. A round is short (10,000 assignments), so many
    rounds are cheap and let the best escape a shared machine's noise."""
    if not hasattr(Index, "watch"):  # a build from before live results
        return None
    index = Index()
    index.add_object_many(items)
    rng = random.Random(seed + 2)
    picks = rng.sample(items, len(items) // 10)
    best = collections.defaultdict(lambda: float("inf"))
    members = 0

    def timed(key, attr):
        values = [rng.randrange(100) for _ in picks]
        start = time.perf_counter()
        for o, v in zip(picks, values):
            setattr(o, attr, v)
        best[key] = min(best[key], (time.perf_counter() - start) * 1e9 / len(picks))

    for _ in range(LIVE_ROUNDS):
        timed("alone", "age")
        timed("other_alone", "score")
        with index.watch(Vantorel.PyQueryExpr.eq("age", 42)) as live:
            timed("live", "age")
            timed("other_live", "score")
            members = len(live)
    return {"objects": len(items), "assignments": len(picks), "members": members, **best}


def versions():
    out = {"python": platform.python_version()}
    for mod in ("pandas", "polars", "duckdb", "numpy", "matplotlib"):
        try:
            out[mod] = __import__(mod).__version__
        except Exception:  # absent or broken: the engine was skipped
            out[mod] = None
    import sqlite3

    out["sqlite"] = sqlite3.sqlite_version
    return out


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "?"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="100,000 objects, 3 repetitions")
    ap.add_argument("-n", "--objects", type=int, help="number of objects")
    ap.add_argument("--reps", type=int, help="repetitions per query (median reported)")
    ap.add_argument("--build-reps", type=int, default=3, help="repetitions of each build")
    ap.add_argument("--engines", help="comma-separated subset of " + ",".join(ENGINE_ORDER))
    ap.add_argument("--ops-objects", type=int, default=1_000_000,
                    help="objects for the removal, value_counts and sorted_by figures "
                         "(removal also at a tenth of them); 0 skips them")
    ap.add_argument("--seed", type=int, default=20240601)
    ap.add_argument("--out", default=os.path.join(HERE, "results"), help="output directory")
    args = ap.parse_args(argv)

    n = args.objects or (100_000 if args.quick else 1_000_000)
    reps = args.reps or (3 if args.quick else 5)
    names = ENGINE_ORDER if not args.engines else [e.strip() for e in args.engines.split(",")]
    for e in names:
        if e not in engines_mod.ENGINES:
            ap.error(f"unknown engine {e!r}")
    names = [e for e in ENGINE_ORDER if e in names]
    cfg = {"objects": n, "ops_objects": args.ops_objects, "reps": reps, "build_reps": args.build_reps, "seed": args.seed,
           "quick": args.quick,
           "vantorel_threads": "on the calling thread (set_threads(1))"
           if hasattr(Vantorel, "set_threads") else "with its default threads (no set_threads)"}

    print(f"Generating {max(n, args.ops_objects):,} objects (seed {args.seed})...", flush=True)
    t0 = time.perf_counter()
    values = generate_values(max(n, args.ops_objects), args.seed)
    # Vantorel indexes the Indexables; every other engine the plain objects, same values.
    all_items = make_objects("indexable", values)
    all_plain = make_objects("plain", values)
    del values
    items, plain = all_items[:n], all_plain[:n]
    params = choose_params(items)
    queries = describe(params)
    print(f"  done in {time.perf_counter() - t0:.1f} s", flush=True)

    # Reference answers: positions from a plain scan (untimed).
    scan = engines_mod.ScanEngine(plain)
    refs = {}
    for wl in QUERY_WORKLOADS:
        ids = {id(o) for o in call(scan, wl, params)}
        refs[wl] = frozenset(i for i, o in enumerate(plain) if id(o) in ids)
    rounds = update_rounds(n, reps, args.seed, [o.age for o in plain], params["age"])
    del scan
    gc.collect()
    gc.freeze()  # the children never scan (nor copy) the shared objects in their collections

    results, notes, mismatches, failed = {}, [], [], False
    for name in names:
        print(f"  running {name}...", flush=True)
        own = items if name == "vantorel" else plain
        res = in_child(run_engine, name, own, params, refs, rounds, cfg)
        if "skipped" in res:
            notes.append(f"{name} skipped: {res['skipped']}")
            print(f"    {name} skipped: {res['skipped']}", flush=True)
            failed |= name == "vantorel"
            continue
        if "error" in res:
            notes.append(f"{name} failed: {res['error'].strip().splitlines()[-1]}")
            print(f"    {name} FAILED:\n{res['error']}", flush=True)
            failed = True
            continue
        results[name] = res
        mismatches.extend(res["mismatches"])

    print(f"  objects of each kind, {n:,} of them...", flush=True)
    objects_memory = {kind: in_child(objects_memory_child, kind, n, args.seed) for kind in KINDS}
    for kind, res in objects_memory.items():
        if "error" in res:
            notes.append(f"objects memory of {kind} failed: "
                         f"{res['error'].strip().splitlines()[-1]}")
            failed = True

    ops = None
    if "vantorel" in names and args.ops_objects:
        ops = run_operations(all_items[:args.ops_objects], all_plain[:args.ops_objects], params,
                             cfg)
    gc.unfreeze()
    costs = attribute_costs(items, plain, min(n, 100_000))
    live = live_costs(items[:min(n, 100_000)], args.seed)
    meta = {
        "date": datetime.datetime.now().isoformat(timespec="seconds"),
        "config": cfg,
        "params": params,
        "queries": queries,
        "machine": {"cpus": os.cpu_count(), "cpu": cpu_model(), "platform": platform.platform()},
        "versions": versions(),
        "attribute_costs": costs,
        "live_costs": live,
        "memory_method": "RSS growth (/proc/self/statm) across the first build, in a fresh "
                         "forked process per engine, after a warm-up build on 2,000 objects; "
                         "both readings after gc.collect() and malloc_trim(0)",
        "objects_memory_method": "RSS growth across generating the values and creating the "
                                 "list of objects (and their 1,000 owners) in a fresh forked "
                                 "process per kind, both readings after gc.collect() and "
                                 "malloc_trim(0)",
        "peers_index": "Vantorel indexes Item(Indexable) objects; the scan, the hand-written "
                       "index and the library peers index objects of an ordinary class with "
                       "the same values",
        "notes": notes,
    }
    doc = {"meta": meta, "engines": [e for e in names if e in results], "workloads": WORKLOADS,
           "results": results, "mismatches": mismatches, "operations": ops,
           "objects_memory": objects_memory}

    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "latest.json"), "w") as f:
        json.dump(doc, f, indent=1)
    md = report.markdown(doc)
    with open(os.path.join(args.out, "latest.md"), "w") as f:
        f.write(md)
    print()
    print(report.text_table(doc))
    if ops:
        print()
        print("\n".join(report.operations_table(ops)))
        print()
        print("\n".join(report.threads_table(ops)))
        if report.operations_wrong(ops):
            print("WRONG OPERATION ANSWERS:", report.operations_wrong(ops))
            failed = True
    for table in (report.memory_table(doc), report.assignment_table(doc),
                  report.attribute_table(doc), report.live_table(doc)):
        if table:
            print()
            print("\n".join(table))
    png = os.path.join(args.out, "latest.png")
    chart_note = report.chart(doc, png)
    print(chart_note)
    print(f"Results written to {args.out}/latest.{{json,md,png}}")
    for note in notes:
        print("note:", note)

    if mismatches:
        print(f"\n{len(mismatches)} WRONG ANSWER(S):")
        for m in mismatches:
            print(json.dumps(m, indent=1))
        failed |= any(m["kind"] == "mismatch" for m in mismatches)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
