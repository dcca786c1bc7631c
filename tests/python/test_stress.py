"""Thread stress: five threads assign, add, bulk-add, union, reduce, rebase and query over
shared indexes and shared objects for a few seconds; the final state must then equal a
sequential replay of every logged operation and a direct Python evaluation.

Why the final state is defined despite the interleaving: each object (and so each of its
attributes) is written by one owner thread only; the indexes only grow, except `R`, which
is reduced by `keep=True`, a marker fixed before the threads start, and into which only
`keep` objects are added; unions come from `F`, whose members never change. While running,
each thread checks queries over its own objects exactly (nobody else changes their values)
and the rest for plausibility: no duplicates, and every single-condition hit held a
matching value at some point. A deadlock fails the join timeout, or the faulthandler
watchdog if it holds the interpreter lock; an exception in a thread fails the test.
"""

import random
import threading
import time

import pytest

from conftest import SANITIZED, Item, eq_leaf, is_num, leaves, run_threads
from Vantorel import Index, Indexable, PyQueryExpr as Q

DURATION = 1.5 if SANITIZED else 3.0
MAX_OPS = 3000 if SANITIZED else 12000  # per thread: bounds the replay
THREADS, H, KIDS = 5, 200, 30  # holder keys 0..H-1, kid keys H..H+KIDS-1; owner = key % THREADS
JOIN_TIMEOUT = DURATION + 30
ALL = range(H + KIDS)
KEEPERS = [k for k in range(H) if k % 4]
INTS = [-(2**40), -7, -1, 0, 1, 2, 3, 5, 42, 2**40]
FLOATS = [-1.25, -0.0, 0.5, 1.0, 2.5, 1e10]
STRS = ["", "a", "ab", "abc", "b", "é", "éa", "aé", "日本", "日本語", "語", "b語", "Ωmega", "x" * 9]
ATTRS = ["n", "f", "s", "flag", "tags", "owner"]
# Exact checks in the threads use the attributes only their owner thread writes (not
# owner.name).
OWN_PATHS = ("n", "f", "s", "flag", "tags")


VALUES = {"n": lambda r: r.choice(INTS), "f": lambda r: r.choice(FLOATS),
          "s": lambda r: r.choice(STRS), "name": lambda r: r.choice(STRS),
          "flag": lambda r: r.random() < 0.5,
          "tags": lambda r: [r.choice(STRS + INTS) for _ in range(r.randint(0, 3))],
          "owner": lambda r: r.randrange(H, H + KIDS)}  # a kid's key, resolved by the world


class World:
    """The objects by key, and the indexes S0, S1, R (reduced by keep), K (kids), F (fixed)."""

    def __init__(self, seed):
        rng = random.Random(seed)
        self.objs = {k: Item(key=k, th=k % THREADS, name=VALUES["name"](rng))
                     for k in range(H, H + KIDS)}
        for k in range(H):
            attrs = {a: VALUES[a](rng) for a in ATTRS}
            attrs["owner"] = self.objs[attrs["owner"]]
            self.objs[k] = Item(key=k, th=k % THREADS, grp=k % 3, keep=k % 4 != 0, **attrs)
        holders = [self.objs[k] for k in range(H)]
        self.ix = [Index() for _ in range(4)]
        self.ix[0].add_object_many(holders[::2])
        for o in holders[::3]:
            self.ix[1].add_object(o)
        self.ix[2].add_object_many(holders)
        self.ix[3].add_object_many([self.objs[k] for k in range(H, H + KIDS)])
        self.F = Index()
        self.F.add_object_many([self.objs[k] for k in KEEPERS])

    def apply(self, op):
        kind, ix, arg = op
        if kind == "set":
            key, attr, value = arg
            setattr(self.objs[key], attr, self.objs[value] if attr == "owner" else value)
        elif kind == "add":
            self.ix[ix].add_object(self.objs[arg])
        elif kind == "many":
            self.ix[ix].add_object_many([self.objs[k] for k in arg])
        elif kind == "union":
            self.ix[ix].union_with(self.F if arg is None else self.F.reduced(grp=arg).rebase())
        elif kind == "reduce":
            self.ix[2].reduce(keep=True)


def added_keys(op):
    """The keys an operation adds to its index."""
    kind, _, arg = op
    if kind == "union":
        return [k for k in KEEPERS if arg is None or k % 3 == arg]
    return {"add": [arg], "many": arg}.get(kind, [])


def keys(found):
    got = {o.key for o in found}
    assert len(got) == len(found), "duplicates in a result"
    return got


# ---- queries: a small tuple form, compiled to PyQueryExpr or evaluated in Python ----

def path_leaves(obj, path):
    head, _, rest = path.partition(".")
    try:
        value = getattr(obj, head)
    except AttributeError:
        return []
    if not rest:
        return list(leaves(value))
    return [x for v in leaves(value) if isinstance(v, Indexable) for x in path_leaves(v, rest)]


LEAF = {
    "eq": eq_leaf,
    "in_": lambda x, v: any(eq_leaf(x, y) for y in v),
    "gt": lambda x, v: is_num(x) and x > v, "ge": lambda x, v: is_num(x) and x >= v,
    "lt": lambda x, v: is_num(x) and x < v, "le": lambda x, v: is_num(x) and x <= v,
    "bt": lambda x, v: is_num(x) and v[0] <= x <= v[1],
    "starts_with": lambda x, v: type(x) is str and x.startswith(v),
    "ends_with": lambda x, v: type(x) is str and x.endswith(v),
    "contains": lambda x, v: type(x) is str and v in x,
}


def holds(obj, q):
    op = q[0]
    if op in ("and_", "or_"):
        return (all if op == "and_" else any)(holds(obj, p) for p in q[1:])
    if op in ("not_", "ne"):
        return not holds(obj, q[1] if op == "not_" else ("eq",) + q[1:])
    return any(LEAF[op](x, q[2]) for x in path_leaves(obj, q[1]))


def to_expr(q):
    op = q[0]
    if op in ("and_", "or_"):
        return getattr(Q, op)(*map(to_expr, q[1:]))
    if op == "not_":
        return Q.not_(to_expr(q[1]))
    return Q.bt(q[1], *q[2]) if op == "bt" else getattr(Q, op)(q[1], q[2])


def leaf(rng, paths):
    path = rng.choice(paths)
    if path == "flag":
        return (rng.choice(["eq", "ne"]), path, rng.random() < 0.5)
    numeric = path in ("n", "f")
    pool = INTS + FLOATS if numeric else STRS + INTS if path == "tags" else STRS
    op = rng.choice(["eq", "ne", "in_"] + (["gt", "ge", "lt", "le", "bt"] if numeric else
                                           ["starts_with", "ends_with", "contains"]))
    if op == "bt":
        return (op, path, tuple(sorted(rng.sample(pool, 2))))
    if op == "in_":
        return (op, path, [rng.choice(pool) for _ in range(rng.randint(0, 3))])
    if op in ("starts_with", "ends_with", "contains"):
        s = rng.choice(STRS)
        i, j = sorted((rng.randint(0, len(s)), rng.randint(0, len(s))))
        return (op, path, {"starts_with": s[:j], "ends_with": s[i:], "contains": s[i:j]}[op])
    return (op, path, rng.choice(pool))


def query(rng, paths=("n", "f", "s", "tags", "flag", "owner.name"), depth=0):
    r = rng.random()
    if depth >= 2 or r < 0.5:
        return leaf(rng, paths)
    if r < 0.85:
        parts = [query(rng, paths, depth + 1) for _ in range(rng.randint(1, 3))]
        return (rng.choice(["and_", "or_"]), *parts)
    return ("not_", query(rng, paths, depth + 1))


FIXED = [("eq", "n", 1), ("eq", "n", 1.0), ("eq", "s", "日本"), ("eq", "tags", "é"),
         ("eq", "tags", 42), ("eq", "f", 0.0), ("eq", "flag", True), ("ge", "n", 2),
         ("bt", "f", (-1.25, 1.0)), ("lt", "tags", 0), ("starts_with", "s", "日"),
         ("starts_with", "s", "a"), ("ends_with", "s", "é"), ("contains", "tags", "本"),
         ("eq", "owner.name", "語"), ("starts_with", "owner.name", "日本"), ("ne", "s", "a"),
         ("and_", ("ge", "n", 0), ("eq", "flag", False)), ("not_", ("in_", "n", [0, 1, 2])),
         ("or_", ("eq", "s", "ab"), ("eq", "owner.name", "b"))]


# ---- the run ----

def worker(world, t, rng, deadline, log, records):
    mine = [k for k in ALL if k % THREADS == t]
    own_holders, own_kids = [k for k in mine if k < H], [k for k in mine if k >= H]
    known = [{k for k in own_holders if k % 2 == 0}, {k for k in own_holders if k % 3 == 0},
             {k for k in own_holders if k % 4}, set(own_kids)]  # surely in S0, S1, R, K
    while time.monotonic() < deadline and len(log) < MAX_OPS:
        r, ix = rng.random(), rng.randrange(3)
        pool = KEEPERS if ix == 2 else ALL
        if r < 0.3:
            attr = rng.choice(ATTRS)
            op = ("set", None, (rng.choice(own_holders), attr, VALUES[attr](rng)))
        elif r < 0.38:
            op = ("set", None, (rng.choice(own_kids), "name", VALUES["name"](rng)))
        elif r < 0.5:
            op = ("add", ix, rng.choice(pool))
        elif r < 0.57:
            op = ("many", ix, [rng.choice(pool) for _ in range(rng.randint(0, 25))])
        elif r < 0.6:
            op = ("union", ix, rng.choice([None, 0, 1, 2]))
        elif r < 0.62:
            op = ("reduce", 2, None)
        else:
            check_query(world, t, rng, known, records)
            continue
        world.apply(op)
        log.append(op)
        known[ix] |= {k for k in added_keys(op) if k % THREADS == t}


def check_query(world, t, rng, known, records):
    ix = rng.randrange(4)
    index = world.ix[ix]
    if rng.random() < 0.5:  # exact, over this thread's own objects
        q = query(rng, OWN_PATHS)
        expr, mine = to_expr(q), to_expr(("and_", ("eq", "th", t), q))
        ways = [lambda: index.reduced_query(mine).collect(),
                lambda: index.reduced(th=t).reduced_query(expr).collect(),
                lambda: index.reduced_query(mine).rebase().collect(),
                lambda: index.reduced_query(expr).reduced(th=t).collect()]
        if q[0] == "eq":
            ways.append(lambda: index.get_by_attribute(th=t, **{q[1]: q[2]}))
        how = rng.randrange(len(ways))
        got = keys(ways[how]())
        match = {k for k in ALL if k % THREADS == t and holds(world.objs[k], q)}
        assert got <= match and known[ix] & match <= got, (t, ix, how, q, got, match)
    else:  # plausible, over everyone's objects; single conditions are checked after the join
        q = query(rng)
        found = index.reduced_query(to_expr(q)).collect() if rng.random() < 0.7 else \
            index.reduced_query(to_expr(q)).rebase().reduced_query(to_expr(q)).collect()
        got = keys(found)
        assert got <= set(ALL)
        if q[0] in LEAF and "." not in q[1]:
            records.append((q, got))


def expected_members(ops):
    members = [set(range(0, H, 2)), set(range(0, H, 3)), set(range(H)), set(range(H, H + KIDS))]
    for op in ops:
        members[op[1] or 0] |= set(added_keys(op))
        if op[0] == "reduce":
            members[2] &= set(KEEPERS)
    return members


WATCHDOG_SECONDS = JOIN_TIMEOUT + 30
pytestmark = pytest.mark.usefixtures("watchdog")


def while_running(step, check, seconds=1.0):
    """Calls `step` over and over on one thread while `check` runs over and over on another
    for `seconds`; an exception on either fails the test."""
    stop = threading.Event()

    def background():
        while not stop.is_set():
            step()

    def foreground():
        try:
            deadline = time.monotonic() + seconds
            while time.monotonic() < deadline:
                check()
        finally:
            stop.set()

    run_threads(background, foreground, timeout=seconds + JOIN_TIMEOUT)


def shown(value):
    return ("kid", value.key) if isinstance(value, Indexable) else repr(value)


@pytest.mark.parametrize("seed", [1, 2])
def test_concurrent_operations_match_a_sequential_replay(seed):
    live = World(seed)
    logs, records = [[] for _ in range(THREADS)], []
    barrier = threading.Barrier(THREADS, timeout=JOIN_TIMEOUT)

    def body(t):
        barrier.wait()
        deadline = time.monotonic() + DURATION
        worker(live, t, random.Random(seed * 100 + t), deadline, logs[t], records)

    run_threads(*[lambda t=t: body(t) for t in range(THREADS)], timeout=JOIN_TIMEOUT)

    replay = World(seed)
    history = {(k, a): [getattr(o, a)] for k, o in replay.objs.items()
               for a in ATTRS + ["name"] if hasattr(o, a)}
    ops = [op for log in logs for op in log]
    for op in ops:
        replay.apply(op)
        if op[0] == "set":
            history[op[2][:2]].append(op[2][2])
    assert {op[0] for op in ops} == {"set", "add", "many", "union", "reduce"}
    for q, got in records:  # every hit held a matching value at some point
        for k in got:
            held = [x for v in history.get((k, q[1]), []) for x in leaves(v)]
            assert any(LEAF[q[0]](x, q[2]) for x in held), (q, k)
    for k, a in history:  # the stored values agree
        assert shown(getattr(live.objs[k], a)) == shown(getattr(replay.objs[k], a)), (k, a)
    queries = FIXED + [query(random.Random(seed * 7 + i)) for i in range(40)]
    for ix, members in enumerate(expected_members(ops)):
        for world in (live, replay):
            index = world.ix[ix]
            assert keys(index.collect()) == members, ix
            for q in queries:
                expected = {k for k in members if holds(world.objs[k], q)}
                assert keys(index.reduced_query(to_expr(q)).collect()) == expected, (ix, q)
                if q[0] == "eq":
                    assert keys(index.get_by_attribute(**{q[1]: q[2]})) == expected, (ix, q)


@pytest.mark.parametrize("how", ["add_object", "add_object_many", "assign_same_values"])
def test_readding_an_object_keeps_its_list_elements_visible(how):
    kid = Item(name="日本")
    o = Item(tags=["é", kid], s="é", owner=kid)
    index = Index()
    index.add_object(o)

    def readd():
        if how == "add_object":
            index.add_object(o)
        elif how == "add_object_many":
            index.add_object_many([o])
        else:
            o.tags = ["é", kid]
            o.s = "é"
            o.owner = kid

    def check():
        assert index.get_by_attribute(s="é") == [o]  # scalars stay visible
        assert index.get_by_attribute(tags="é") == [o]
        assert index.get_by_attribute(**{"tags.name": "日本"}) == [o]
        assert index.get_by_attribute(**{"owner.name": "日本"}) == [o]

    while_running(readd, check)


@pytest.mark.parametrize("how", ["add_object", "add_object_many"])
def test_objects_appear_with_all_their_values(how):
    # An object being added must not be live in the index before its values are: a
    # negation would report it.
    index = Index()
    index.add_object(Item(n=0))
    added = []

    def add():
        if len(added) < 20_000:
            o = Item(n=1, s="x", tags=["é"])
            added.append(o)
            index.add_object(o) if how == "add_object" else index.add_object_many([o])

    def check():
        for q in (Q.not_(Q.eq("n", 1)), Q.not_(Q.eq("s", "x")), Q.not_(Q.eq("tags", "é"))):
            assert [o.n for o in index.reduced_query(q).collect()] == [0]

    while_running(add, check)


@pytest.mark.parametrize("shape", ["in_", "or_"])
def test_a_query_sees_each_attribute_in_one_state(shape):
    # Every object holds 0 or 63 at every moment; a query over both values must see all
    # of them, however the flips interleave with its reads of the attribute.
    objects = [Item(b=0) for _ in range(200)]
    index = Index()
    index.add_object_many(objects)
    values = list(range(64))
    q = Q.in_("b", values) if shape == "in_" else Q.or_(*[Q.eq("b", v) for v in values])

    def flip():
        for o in objects:
            o.b = 63 if o.b == 0 else 0

    def check():
        assert len(index.reduced_query(q).collect()) == len(objects)
        assert len(index.reduced_query(Q.and_(q, Q.ge("b", 0))).collect()) == len(objects)

    while_running(flip, check)
