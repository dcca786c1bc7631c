"""Memory stays flat over many create/add/assign/query/release rounds: resident memory does
not grow between a warm-up round and the last one, every Indexable is collected once no
index holds it, and the ids in use come back to where they started."""

import gc
import os
import random
import tracemalloc
import weakref

import pytest

from conftest import SANITIZED, Item, assert_released, ids_in_use, rss_bytes
from Vantorel import Index, PyQueryExpr as Q

ROUNDS = 5
# 150k operations in all by default; `make fuzz` runs a million.
OPS_PER_ROUND = int(os.environ.get("VANTOREL_LEAK_OPS", 150_000)) // ROUNDS
RSS_MARGIN = 6 * 1024 * 1024
# Under the address sanitizer freed memory sits in quarantine, so resident
# memory says nothing about leaks there; the object and id checks still run.
CHECK_RSS = not SANITIZED


def one_round(seed, resident, ops=OPS_PER_ROUND, cycles=False):
    """Runs `ops` mixed operations on indexes and views that live for the round, and on
    `resident`, an index that outlives it and is reduced to nothing at its end. With
    `cycles`, the round's objects are also assigned to each other.
    Returns weak references to every Indexable made."""
    rng = random.Random(seed)
    made = []
    counter = [0]

    def new_item():
        item = Item(k=rng.randrange(20), name=f"n{rng.randrange(100)}", tags=[1, "x"],
                    _hidden=rng.randrange(3))
        made.append(weakref.ref(item))
        return item

    # Nested values: `leaves` (never given nested values themselves), objects made on the
    # spot and, with `cycles`, the round's own objects.
    leaves = [Item(k=i, label=f"l{i}") for i in range(30)]
    made.extend(weakref.ref(leaf) for leaf in leaves)

    def value():
        r = rng.random()
        counter[0] += 1
        if r < 0.2:
            return rng.randrange(-50, 50)
        if r < 0.35:
            return f"text-{seed}-{counter[0]}"  # a value never seen before
        if r < 0.45:
            return rng.choice(["a", "ab", "日本", ""]) * rng.randrange(1, 40)
        if r < 0.5:
            return rng.random() * 100
        if r < 0.65:
            return [rng.randrange(10), f"e{rng.randrange(30)}", (rng.random(), "t")]
        if r < 0.72:
            return rng.choice(leaves)
        if r < 0.75:
            return rng.choice(live) if cycles else rng.choice(leaves)
        if r < 0.8:
            fresh = Item(k=rng.randrange(20), label=f"f{counter[0]}")
            made.append(weakref.ref(fresh))
            return fresh
        if r < 0.85:
            return [rng.choice(leaves), rng.randrange(5)]
        if r < 0.9:
            return {rng.randrange(5), "s"}
        return None

    live = [new_item() for _ in range(200)]
    indexes = [Index(), Index(), Index(), resident]
    views = []
    for op in range(ops):
        r = rng.random()
        idx = rng.choice(indexes)
        if r < 0.05:
            live[rng.randrange(len(live))] = new_item()  # the replaced one may die
        elif r < 0.42:
            obj = rng.choice(live)
            setattr(obj, rng.choice(["k", "name", "tags", "child", "extra"]), value())
        elif r < 0.45:
            rng.choice(leaves).k = rng.randrange(20)  # travels to every holder
        elif r < 0.55:
            idx.add_object(rng.choice(live))
        elif r < 0.6:
            idx.add_object_many(rng.sample(live, rng.randrange(1, 30)))
        elif r < 0.8:
            query = rng.choice([
                lambda: idx.get_by_attribute(k=rng.randrange(20)),
                lambda: idx.get_by_attribute(**{"child.k": rng.randrange(20)}),
                lambda: idx.reduced_query(Q.bt("k", 3, 12)).collect(),
                lambda: idx.reduced_query(Q.or_(Q.starts_with("name", "n1"),
                                                Q.contains("extra", "b"))).collect(),
                lambda: idx.reduced_query(Q.not_(Q.in_("tags", [1, "e3"]))).collect(),
                lambda: idx.reduced(tags="x").reduced_query(Q.lt("k", 10)).collect(),
            ])
            query()
        elif r < 0.84:
            views.append(idx.reduced_query(Q.ge("k", rng.randrange(20))))
            if len(views) > 5:
                views.pop(0)
        elif r < 0.87:
            idx.reduce(k=rng.randrange(20)) if rng.random() < 0.5 else idx.reduce(tags=1)
        elif r < 0.9 and views:
            slot = rng.randrange(3)
            indexes[slot] = rng.choice(views).rebase()  # the replaced index is dropped
        elif r < 0.92:
            idx.union_with(rng.choice(indexes))
        elif r < 0.93:
            slot = rng.randrange(3)
            indexes[slot] = Index()
    resident.reduce(**{"no such attribute": 1})
    assert resident.collect() == []
    return made


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_memory_objects_and_ids_are_released():
    gc.collect()
    start = ids_in_use()
    resident = Index()
    sizes, traced = [], []
    tracemalloc.start()
    try:
        for round_number in range(ROUNDS):
            refs = one_round(round_number, resident)
            gc.collect()
            alive = sum(r() is not None for r in refs)
            assert alive == 0, f"round {round_number}: {alive} of {len(refs)} objects still alive"
            assert ids_in_use() == start, f"round {round_number}: ids in use did not come back"
            del refs
            sizes.append(rss_bytes())
            traced.append(tracemalloc.get_traced_memory()[0])
    finally:
        tracemalloc.stop()
    growth = sizes[-1] - sizes[0]  # the first round is the warm-up
    assert growth < RSS_MARGIN or not CHECK_RSS, f"resident memory grew by {growth} bytes: {sizes}"
    # Python-level allocations (objects the module creates and keeps) stay flat too.
    assert traced[-1] - traced[0] < 256 * 1024, f"traced Python memory grew: {traced}"


def test_cycles_among_churned_objects_are_collected():
    gc.collect()
    start = ids_in_use()
    resident = Index()
    for seed in (100, 101):
        assert_released(one_round(seed, resident, ops=8_000, cycles=True), start)


@pytest.mark.skipif(not os.path.exists("/proc/self/statm") or SANITIZED,
                    reason="needs /proc and an unsanitized allocator")
def test_indexes_stay_small_when_many_names_are_known():
    wide = Item()
    for i in range(3000):
        setattr(wide, f"wide_name_{i}", i)
    gc.collect()
    before = rss_bytes()
    indexes = []
    for i in range(20):
        idx = Index()
        idx.add_object(Item(**{"wide_name_2999": i, "label": "x"}))
        indexes.append(idx)
    grown = rss_bytes() - before
    assert grown < 20 * 1024 * 1024, grown
    assert indexes[5].get_by_attribute(wide_name_2999=5) != []


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_value_churn_on_long_lived_objects_stays_flat():
    """Objects that stay indexed while their values keep changing to values never seen
    before: the indexes forget every value no object holds any more."""
    gc.collect()
    start = ids_in_use()
    leaf = Item(label="leaf")
    objects = [Item(k=i, child=leaf) for i in range(100)]
    first, second = Index(), Index()
    first.add_object_many(objects)
    for obj in objects[::2]:
        second.add_object(obj)
    sizes = []
    for round_number in range(5):
        for step in range(8_000):
            obj = objects[step % 100]
            token = f"{round_number}-{step}"
            obj.name = "name-" + token * 3
            obj.tags = [token, step, ("t", step % 7)]
            obj.k = step * 1.5
            leaf.label = token
            if step % 50 == 0:
                assert first.get_by_attribute(name="name-" + token * 3) == [obj]
                assert len(first.get_by_attribute(**{"child.label": token})) == 100
                assert second.reduced_query(Q.eq("tags", token)).collect() in ([], [obj])
        gc.collect()
        sizes.append(rss_bytes())
    # One id per object, and one per indexed element in each index holding it: the tags
    # [token, step, ("t", n)] have five (the tuple and its two elements included).
    assert ids_in_use() - start == 101 + 5 * len(objects) + 5 * len(objects) // 2
    refs = [weakref.ref(o) for o in objects + [leaf]]
    del first, second, objects, obj, leaf
    assert_released(refs, start)
    growth = sizes[-1] - sizes[0]
    assert growth < RSS_MARGIN or not CHECK_RSS, f"resident memory grew by {growth} bytes: {sizes}"


def test_long_lived_index_releases_what_it_no_longer_reaches():
    """A nested object or a plain value is released as soon as no held object reaches it,
    while the index lives on."""
    gc.collect()
    start = ids_in_use()
    holders = [Item(k=i) for i in range(20)]
    index = Index()
    index.add_object_many(holders)
    refs = []
    for step in range(2_000):
        child = Item(label=step)
        token = type("Token", (), {})()  # hashed by identity
        refs += [weakref.ref(child), weakref.ref(token)]
        holders[step % 20].child = child if step % 2 else [child, step]
        holders[step % 20].token = token
    for holder in holders:
        holder.child = holder.token = None
    del child, token
    gc.collect()
    assert index.get_by_attribute(**{"child.label": 1999}) == []
    assert sum(r() is not None for r in refs) == 0
    assert ids_in_use() - start == len(holders)
    index.reduce(k=-1)  # and objects reduced away are released too
    refs = [weakref.ref(h) for h in holders]
    del holders, holder
    assert_released(refs, start)


def test_reference_cycles_through_attributes_are_collected():
    gc.collect()
    start = ids_in_use()
    parent = Item(name="parent")
    child = Item(name="child", parent=parent)
    parent.children = [child]
    parent.me = parent
    pair = (Item(), Item())
    pair[0].other, pair[1].other = pair[1], pair[0]
    refs = [weakref.ref(o) for o in (parent, child, *pair)]
    idx = Index()
    idx.add_object(parent)
    idx.add_object_many([child])
    assert idx.get_by_attribute(**{"parent.name": "parent"}) == [child]
    del parent, child, pair
    gc.collect()
    assert all(r() is not None for r in refs[:2])  # still held by the index
    del idx
    assert_released(refs, start)


def _index_held_by_its_object():
    index = Index()
    o = Item(x=1)
    o.idx = index
    index.add_object(o)
    return o


def _query_naming_its_object():
    t = Item(x=1)
    t.q = Q.and_(Q.eq("x", t), Q.in_("y", [t, [t]]))
    return t


def _view_held_by_an_object_of_its_index():
    index = Index()
    o = Item(x=[1, 2])
    index.add_object(o)
    o.view = index.reduced(x=1)
    o.narrower = o.view.reduced_query(Q.eq("x", 2))
    return o


def _everything_at_once():
    index, other = Index(), Index()
    o = Item(x=1, tags=["a"])
    index.add_object(o)
    other.union_with(index)
    o.own = (index, other, index.reduced(x=1), index.reduced(x=1).rebase(), Q.eq("x", o))
    return o


@pytest.mark.parametrize("make_cycle", [_index_held_by_its_object, _query_naming_its_object,
                                        _view_held_by_an_object_of_its_index,
                                        _everything_at_once])
def test_cycles_through_indexes_views_and_queries_are_collected(make_cycle):
    gc.collect()
    start = ids_in_use()
    assert_released([weakref.ref(make_cycle()) for _ in range(3)], start)


def test_collecting_cycles_leaves_what_live_objects_reach_whole():
    o, p = Item(x=1), Item(x=1)
    index = Index()
    index.add_object_many([o, p])
    o.idx = index  # a cycle, but a live view still reaches it
    view = index.reduced(x=1)
    shared = Q.eq("x", 1)
    p.q = Q.and_(shared, Q.eq("p", p))
    t = Item(x=1)
    t.q = Q.and_(shared, Q.eq("t", t))  # a dead cycle sharing a node with a live expression
    dead = weakref.ref(t)
    del index, o, p, t
    gc.collect()
    assert dead() is None
    found = view.collect()
    assert len(found) == 2 and all(obj.x == 1 for obj in found)
    assert sorted(hasattr(obj, "idx") + 2 * hasattr(obj, "q") for obj in found) == [1, 2]
    found[0].x = 2
    assert view.reduced(x=2).collect() == [found[0]]
    assert view.reduced_query(shared).collect() == [found[1]]
