"""remove_object(_many), count, value_counts and sorted_by, each checked against a
plain-Python evaluation of the same random objects (list elements, nested objects,
removed objects, and views taken before a removal)."""

import collections
import gc
import math
import random
import threading

import pytest

from conftest import Item, eq_leaf, leaves, run_threads
from Vantorel import Index, Indexable, PyQueryExpr as Q

WATCHDOG_SECONDS = 60

OWNERS = [Item(name=n) for n in ("ann", "bob", "cy")]
ATOMS = [0, 1, 2, -3, 2.0, -0.0, 0.5, 1e300, float("nan"), "", "a", "b", "é", "ab",
         True, False, None, 2**63 - 1, -(2**63)]


def random_value(rng):
    kind = rng.random()
    if kind < 0.15:
        return [rng.choice(ATOMS) for _ in range(rng.randint(0, 3))]
    if kind < 0.25:
        return rng.choice(OWNERS)
    return rng.choice(ATOMS)


def random_objects(rng, n):
    objects = []
    for _ in range(n):
        attributes = {"v": random_value(rng), "owner": rng.choice(OWNERS)}
        if rng.random() < 0.1:
            del attributes["v"]
        objects.append(Item(**attributes))
    return objects


MISSING = object()


def holds(a, v):
    return any(eq_leaf(x, v) for x in leaves(a))


def canonical(v):
    if isinstance(v, float) and v.is_integer() and -(2**63) <= v < 2**63:
        return int(v)
    return v


def group(v):
    if isinstance(v, bool):
        return 2
    if isinstance(v, (int, float)):
        return 0
    return 1 if isinstance(v, str) else 3


def expected_value_counts(objects, attr):
    """`objects` in ascending item id order (as collect() returns them)."""
    values = {}  # (group, key) -> (value, first position)
    for position, o in enumerate(objects):
        a = read(o, attr)
        if a is MISSING:
            continue
        for v in leaves(a):
            if isinstance(v, float) and math.isnan(v):
                continue
            v = canonical(v)
            key = (group(v), id(v) if group(v) == 3 else v)
            values.setdefault(key, (v, position))
    pairs = []
    for (g, _), (v, first) in values.items():
        count = sum(1 for o in objects if (a := read(o, attr)) is not MISSING and holds(a, v))
        order = {0: v, 1: v.encode() if g == 1 else 0, 2: v, 3: first}[g]
        pairs.append((-count, g, order, v, count))
    pairs.sort(key=lambda p: p[:3])
    return [(v, count) for *_, v, count in pairs]


def read(o, attr):
    for part in attr.split("."):
        try:
            o = getattr(o, part)
        except AttributeError:
            return MISSING
        if not isinstance(o, Indexable) and part != attr.split(".")[-1]:
            return MISSING
    return o


def expected_sorted(objects, attr, descending=False):
    numbers, nans, strings = [], [], []
    for o in objects:
        a = read(o, attr)
        if isinstance(a, bool) or a is MISSING:
            continue
        if isinstance(a, float) and math.isnan(a):
            nans.append(o)
        elif isinstance(a, (int, float)):
            numbers.append(o)
        elif isinstance(a, str):
            strings.append(o)
    # Stable sorts keep equal values in ascending id order, reversed or not.
    numbers.sort(key=lambda o: getattr(o, attr), reverse=descending)
    strings.sort(key=lambda o: getattr(o, attr).encode(), reverse=descending)
    return strings + numbers + nans if descending else numbers + nans + strings


def check_receiver(receiver, objects):
    """Every new method of `receiver` against the model over `objects`."""
    assert receiver.count() == len(objects)
    for attr in ("v", "owner", "owner.name"):
        got = receiver.value_counts(attr)
        assert same_pairs(got, expected_value_counts(objects, attr)), attr
        for value, count in got:
            assert len(receiver.reduced(**{attr: value}).collect()) == count
        assert same_pairs(receiver.value_counts(attr, limit=2), got[:2])
    for descending in (False, True):
        expected = expected_sorted(objects, "v", descending)
        assert receiver.sorted_by("v", descending=descending) == expected
        assert receiver.sorted_by("v", descending, 3) == expected[:3]


def same_pairs(got, expected):
    return [(type(v), v if group(v) != 3 else id(v), c) for v, c in got] == [
        (type(v), v if group(v) != 3 else id(v), c) for v, c in expected
    ]


@pytest.mark.parametrize("seed", range(4))
def test_operations_match_the_model_through_removals(seed):
    rng = random.Random(seed)
    objects = random_objects(rng, 120)
    index = Index()
    index.add_object_many(objects[:60])
    for o in objects[60:]:
        index.add_object(o)
    live = index.collect()
    check_receiver(index, live)
    view = index.reduced_query(Q.ne("v", None))
    before = view.collect()
    check_receiver(view, before)

    removed = rng.sample(live, 40)
    index.remove_object_many(removed[:30])
    for o in removed[30:]:
        index.remove_object(o)
    index.remove_object(removed[0])  # no longer in the index: ignored
    gone = {id(o) for o in removed}
    live = [o for o in live if id(o) not in gone]
    assert index.collect() == live
    check_receiver(index, live)
    # A view taken before the removal no longer reports the removed objects,
    # not even once they are added back.
    still = [o for o in before if id(o) not in gone]
    check_receiver(view, still)
    index.add_object_many(removed[:10])
    check_receiver(view, still)
    assert view.reduced().collect() == still
    assert [o for o in view.rebase().collect()] == still
    check_receiver(index, index.collect())
    assert len(index.collect()) == len(live) + 10

    # Assignments to removed objects no longer reach the index.
    for o in removed[10:]:
        o.v = "assigned after removal"
    assert index.get_by_attribute(v="assigned after removal") == []


@pytest.mark.parametrize("batch", [False, True])
def test_nested_objects_leave_with_their_last_holder(batch):
    shared, own = Item(name="shared"), Item(name="own")
    a, b = Item(owner=shared, v=[shared]), Item(owner=shared, v=own)
    index = Index()
    index.add_object_many([a, b])
    remove = (lambda o: index.remove_object_many([o])) if batch else index.remove_object
    remove(a)
    assert index.get_by_attribute(**{"owner.name": "shared"}) == [b]
    assert index.get_by_attribute(owner=shared) == [b]
    assert index.value_counts("owner.name") == [("shared", 1)]
    remove(b)
    assert index.value_counts("owner.name") == [] and index.count() == 0
    assert index.get_by_attribute(owner=shared) == [] and index.get_by_attribute(v=own) == []
    index.add_object(b)
    assert index.get_by_attribute(**{"owner.name": "shared"}) == [b]
    assert index.get_by_attribute(**{"v.name": "own"}) == [b]


def test_a_view_never_reports_an_object_that_reuses_a_freed_id():
    index = Index()
    old = Item(v=1)
    keep = Item(v=1)
    index.add_object_many([old, keep])
    view = index.reduced(v=1)
    index.remove_object(old)
    del old
    gc.collect()
    newcomers = [Item(v=1) for _ in range(20)]  # one of them likely gets the freed id
    index.add_object_many(newcomers)
    assert view.collect() == [keep] and view.count() == 1
    assert view.value_counts("v") == [(1, 1)] and view.sorted_by("v") == [keep]
    assert index.count() == 21


def test_argument_errors_change_nothing():
    index = Index()
    o = Item(v=1)
    index.add_object(o)
    with pytest.raises(TypeError, match="argument 'objs': 'int' object cannot be converted"):
        index.remove_object_many([o, 3])
    with pytest.raises(TypeError, match="argument 'py_ref'"):
        index.remove_object(3)
    with pytest.raises(TypeError, match="Index.remove_object_many\\(\\) missing 1 required"):
        index.remove_object_many()
    assert index.collect() == [o]
    view = index.reduced()
    for receiver in (index, view):
        name = type(receiver).__name__
        with pytest.raises(TypeError, match="argument 'limit': 'str' object cannot be converted"):
            receiver.value_counts("v", limit="2")
        with pytest.raises(TypeError, match="argument 'limit'"):
            receiver.sorted_by("v", limit=1.5)
        with pytest.raises(ValueError, match="limit"):
            receiver.value_counts("v", -1)
        with pytest.raises(TypeError, match="argument 'attr'"):
            receiver.value_counts(1)
        with pytest.raises(TypeError, match="argument 'descending'"):
            receiver.sorted_by("v", descending="yes")
        with pytest.raises(ValueError, match="dotted"):
            receiver.sorted_by("owner.name")
        with pytest.raises(TypeError, match=f"{name}.count\\(\\) takes 0 positional"):
            receiver.count(1)
        assert receiver.value_counts("v", limit=0) == [] and receiver.sorted_by("v", limit=0) == []
        assert receiver.value_counts("unknown") == [] and receiver.sorted_by("unknown") == []
        assert receiver.value_counts("v", limit=2**70) == [(1, 1)]


@pytest.mark.usefixtures("watchdog")
def test_removal_under_concurrent_queries_and_assignments():
    objects = [Item(v=i % 10, w=str(i)) for i in range(400)]
    index = Index()
    index.add_object_many(objects)
    stop = threading.Event()

    def remover():
        rng = random.Random(1)
        for _ in range(300):
            chosen = rng.sample(objects, 5)
            index.remove_object_many(chosen)
            index.add_object_many(chosen[:4])
        stop.set()

    def assigner():
        rng = random.Random(2)
        while not stop.is_set():
            rng.choice(objects).v = rng.randrange(10)

    def reader():
        while not stop.is_set():
            # A view only ever loses objects. The index's own count moves while the remover
            # runs (a round can add back objects that an earlier round removed), so its
            # facet counts are bounded by the objects there are, each counted once.
            view = index.reduced_query(Q.lt("v", 5))
            before = len(view.collect())
            assert view.count() <= before
            assert sum(c for _, c in view.value_counts("w")) <= before
            assert sum(c for _, c in index.value_counts("v")) <= len(objects)
            assert len(index.sorted_by("v", descending=True, limit=10)) <= 10

    run_threads(remover, assigner, reader, reader)
    live = index.collect()
    check_receiver(index, live)
    for o in live:
        assert o in index.get_by_attribute(v=o.v)


@pytest.mark.usefixtures("watchdog")
def test_batch_removals_racing_adds_and_assignments_leave_no_stale_entries():
    # Values that hold Indexable objects leave after the batch lets its locks
    # go; an add of the same object in that window must keep what it entered.
    owners = [Item(name=f"owner-{i}") for i in range(4)]
    objects = [Item(v=i % 7, owner=owners[i % 4], tags=[i % 3, owners[i % 2]]) for i in range(240)]
    index = Index()
    index.add_object_many(objects)
    stop = threading.Event()

    def remover():
        rng = random.Random(5)
        for _ in range(150):
            index.remove_object_many(rng.sample(objects, 200))
        stop.set()

    def adder():
        rng = random.Random(6)
        while not stop.is_set():
            index.add_object(rng.choice(objects))

    def assigner():
        rng = random.Random(7)
        while not stop.is_set():
            o = rng.choice(objects)
            o.owner = rng.choice(owners)
            o.tags = [rng.randrange(3), rng.choice(owners)]

    run_threads(remover, adder, assigner)
    check_receiver(index, index.collect())  # no entry missing for the objects in the index
    # Every object back in: a stale entry would now be reported.
    index.add_object_many(objects)
    live = index.collect()  # in item id order, which the model's ties follow
    assert sorted(map(id, live)) == sorted(map(id, objects))
    check_receiver(index, live)
    expected_tags = collections.Counter()
    for o in objects:
        expected_tags.update({("n", t) if isinstance(t, int) else ("o", id(t)) for t in o.tags})
    got_tags = collections.Counter()
    for value, count in index.value_counts("tags"):
        got_tags[("n", value) if isinstance(value, int) else ("o", id(value))] += count
    assert got_tags == expected_tags
    for owner in owners:
        assert index.get_by_attribute(tags=owner) == [o for o in live if owner in o.tags]


LINK_SCALARS = [0, 1, 1.0, -0.0, 2.5, float("nan"), "a", "b", True, False, None]
LINK_PATHS = ["v", "next", "next.name", "peer.v", "next.next", "next.next.name",
              "peer.next.v", "next.peer.name", "peer.peer.peer"]


def assign_random_link(rng, o, objects):
    attr, kind = rng.choice(("next", "peer")), rng.random()
    if kind < 0.5:
        setattr(o, attr, rng.choice(objects))  # self-links, cycles and shared objects
    elif kind < 0.75:
        setattr(o, attr, [rng.choice(objects), [rng.choice(LINK_SCALARS)], rng.choice(objects)])
    elif kind < 0.9:
        setattr(o, attr, rng.choice(LINK_SCALARS))
    else:
        setattr(o, attr, Item(name="w", next=o))


def check_facets_agree_with_queries(receiver, candidates):
    for attr in LINK_PATHS:
        got = receiver.value_counts(attr)
        for value, count in got:
            assert receiver.reduced(**{attr: value}).count() == count, (attr, value)
        for value in candidates:
            if receiver.reduced(**{attr: value}).count():
                assert any(eq_leaf(v, value) for v, _ in got), (attr, value)


@pytest.mark.parametrize("seed", range(6))
def test_facets_follow_links_that_close_cycles(seed):
    # Objects that hold their own holder, directly or further up, are kept aside from the
    # nested cores; their values must still count wherever a query finds them.
    rng = random.Random(seed)
    objects = [Item(name=rng.choice("xyz"), v=rng.choice(LINK_SCALARS)) for _ in range(10)]
    for o in objects:
        for _ in range(2):
            assign_random_link(rng, o, objects)
    index = Index()
    index.add_object_many(objects[:5])
    for o in objects[5:]:
        index.add_object(o)
    candidates = LINK_SCALARS + ["x", "y", "z"] + objects
    view = index.reduced_query(Q.ne("name", "z"))
    for _ in range(3):
        check_facets_agree_with_queries(index, candidates)
        check_facets_agree_with_queries(view, candidates)
        for o in rng.sample(objects, 4):
            assign_random_link(rng, o, objects)


@pytest.mark.parametrize("seed", range(3))
def test_sorted_by_agrees_with_python_on_small_and_large_views(seed):
    # A small view next to the attribute's distinct values is ordered from the objects' own
    # values, a large one from the value index; both must give Python's order.
    rng = random.Random(seed)
    extra = [math.inf, -math.inf, "Z", "ü", [2.5, "a"], (1,), 7, 7.0]

    def value():
        kind = rng.random()
        if kind < 0.4:
            return rng.uniform(-100, 100)
        if kind < 0.55:
            return f"s{rng.randrange(300)}"
        return rng.choice(ATOMS + extra)

    objects = [Item(v=value(), g=rng.randrange(100)) for _ in range(1500)]
    objects += [Item(g=rng.randrange(100)) for _ in range(50)]  # no `v` at all
    index = Index()
    index.add_object_many(objects)
    live = index.collect()
    receivers = [(index, live)]
    for bound in (1, 5, 60):
        members = [o for o in live if o.g < bound]
        receivers.append((index.reduced_query(Q.lt("g", bound)), members))
    for receiver, members in receivers:
        for descending in (False, True):
            expected = expected_sorted(members, "v", descending)
            assert receiver.sorted_by("v", descending) == expected
            for limit in (1, 3, 40):
                assert receiver.sorted_by("v", descending, limit) == expected[:limit]


@pytest.mark.parametrize("seed", range(3))
def test_every_reader_sees_all_assignments_made_before_it(seed):
    """Runs of assignments (to numbers mostly, some to other kinds, some objects assigned
    again within a run) between single reads of every kind, each checked against Python."""
    rng = random.Random(seed)
    objects = [Item(v=rng.randrange(300), w=i) for i in range(400)]
    index = Index()
    index.add_object_many(objects[:300])
    live = list(objects[:300])
    view = index.reduced_query(Q.ge("w", 0))

    def new_value():
        kind = rng.random()
        if kind < 0.9:
            return rng.randrange(300)
        return rng.choice([rng.random() * 300, "s", True, None])

    def ids_where(test):
        return sorted(o.w for o in live if test(o.v))

    def got(found):
        return sorted(o.w for o in found)

    def number(x):
        return type(x) in (int, float)

    readers = [
        lambda q: got(index.get_by_attribute(v=q)) == ids_where(lambda x: number(x) and x == q),
        lambda q: got(index.reduced_query(Q.eq("v", q)).collect())
        == ids_where(lambda x: number(x) and x == q),
        # A narrow range walks the distinct values, a wide one asks the bit slices.
        lambda q: got(index.reduced_query(Q.bt("v", q, q + 3)).collect())
        == ids_where(lambda x: number(x) and q <= x <= q + 3),
        lambda q: got(index.reduced_query(Q.gt("v", q)).collect())
        == ids_where(lambda x: number(x) and x > q),
        # Reading `v` twice evaluates under a snapshot.
        lambda q: got(index.reduced_query(Q.or_(Q.eq("v", q), Q.lt("v", q // 2))).collect())
        == ids_where(lambda x: number(x) and (x == q or x < q // 2)),
        lambda q: got(view.reduced_query(Q.eq("v", q)).collect())
        == [w for w in ids_where(lambda x: number(x) and x == q) if w < 300],
        lambda q: same_pairs(index.value_counts("v"), expected_value_counts(sorted_by_id(), "v")),
        lambda q: index.sorted_by("v") == expected_sorted(sorted_by_id(), "v"),
        lambda q: index.sorted_by("v", True, 5) == expected_sorted(sorted_by_id(), "v", True)[:5],
    ]

    def sorted_by_id():
        order = {id(o): k for k, o in enumerate(index.collect())}
        return sorted(live, key=lambda o: order[id(o)])

    fresh = objects[300:]  # added once each: the view holds only the first 300
    for step in range(60):
        for _ in range(rng.choice([0, 1, 5, 50, 700])):
            o = rng.choice(live[-20:] if rng.random() < 0.2 else live)
            o.v = new_value()
        change = rng.random()
        if change < 0.1:
            gone = rng.sample(live, 5)
            index.remove_object_many(gone)
            live = [o for o in live if o not in gone]
        elif change < 0.2:
            added, fresh = fresh[:5], fresh[5:]
            index.add_object_many(added)
            live += added
        reader = rng.randrange(len(readers))
        assert readers[reader](rng.randrange(300)), (step, reader)
