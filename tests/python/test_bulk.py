"""Bulk add against single adds, and union of indexes."""

import random

import pytest

from conftest import Item, threads_allowed
from Vantorel import Index, PyQueryExpr as Q


def random_objects(rng, count):
    owners = [Item(name=f"owner{i}") for i in range(5)]
    objs = []
    for i in range(count):
        obj = Item(n=rng.randint(-5, 5), f=rng.choice([0.5, -0.0, 2.0, float("inf")]),
                   s=rng.choice(["", "a", "ab", "abc", "bca", "日本"]), b=rng.random() < 0.5,
                   tags=rng.sample(["x", "y", 1, 2.0, None], rng.randint(0, 3)))
        if i % 3 == 0:
            obj.owner = rng.choice(owners)
        if i > count // 2:
            obj.late = i  # an attribute that appears part-way through the list
        objs.append(obj)
    return objs


def random_query(rng):
    leaf = rng.choice([
        lambda: Q.eq("n", rng.randint(-5, 5)), lambda: Q.ge("f", 0.5), lambda: Q.lt("n", 0),
        lambda: Q.eq("s", rng.choice(["", "a", "ab"])), lambda: Q.starts_with("s", "a"),
        lambda: Q.contains("s", "b"), lambda: Q.ends_with("s", "本"), lambda: Q.eq("b", True),
        lambda: Q.eq("tags", rng.choice(["x", 1, 2, None])), lambda: Q.ge("tags", 1.5),
        lambda: Q.eq("owner.name", f"owner{rng.randint(0, 4)}"), lambda: Q.gt("late", 20),
    ])
    first, second = leaf(), leaf()
    return rng.choice([first, Q.and_(first, second), Q.or_(first, second), Q.not_(first)])


def ids(objects):
    return sorted(map(id, objects))


# 1,500 objects carry enough values for bulk calls to start helper threads where allowed.
@pytest.mark.parametrize("seed, count, threads", [(1, 120, 1), (2, 120, 1), (3, 1500, 1),
                                                  (4, 1500, 4)])
def test_bulk_add_answers_like_single_adds(seed, count, threads):
    rng = random.Random(seed)
    objs = random_objects(rng, count)
    bulk, single = Index(), Index()
    with threads_allowed(threads):
        bulk.add_object_many(objs + objs[:5])  # the same object twice
    for obj in objs:
        single.add_object(obj)
    assert bulk.collect() == single.collect()
    for _ in range(300):
        query = random_query(rng)
        assert ids(bulk.reduced_query(query).collect()) == ids(single.reduced_query(query).collect()), query
    for obj in objs[::7]:  # later assignments reach both the same way
        obj.n, obj.tags, obj.s = 99, ["z"], "zz"
    for query in (Q.eq("n", 99), Q.eq("tags", "z"), Q.eq("s", "zz"), Q.eq("tags", "x")):
        assert ids(bulk.reduced_query(query).collect()) == ids(single.reduced_query(query).collect())
    gone = rng.sample(objs, len(objs) // 2)
    with threads_allowed(threads):
        bulk.remove_object_many(gone)
    for obj in gone:
        single.remove_object(obj)
    assert ids(bulk.collect()) == ids(single.collect())
    for _ in range(100):
        query = random_query(rng)
        assert ids(bulk.reduced_query(query).collect()) == ids(single.reduced_query(query).collect()), query


def test_bulk_argument_errors_change_nothing():
    obj = Item(v=1)
    idx = Index()
    idx.add_object_many([])
    assert idx.collect() == []
    with pytest.raises(TypeError):
        idx.add_object_many(x for x in [obj, 3])  # read whole before anything is added
    assert idx.collect() == []
    assert idx.get_by_attribute(v=1) == []


def test_private_names_are_stored_and_indexed_in_bulk_only():
    obj = Item(label="x", _tag=1)
    obj._late = 1
    bulk, single = Index(), Index()
    bulk.add_object_many([obj])
    single.add_object(obj)
    assert (obj._tag, obj._late) == (1, 1)
    assert single.get_by_attribute(label="x") == [obj]
    assert single.get_by_attribute(_tag=1) == [] and single.get_by_attribute(_late=1) == []
    assert bulk.get_by_attribute(_tag=1) == [obj] and bulk.get_by_attribute(_late=1) == [obj]
    obj._tag = 2  # later assignments keep to the way the object was added
    assert single.get_by_attribute(_tag=2) == []
    assert bulk.get_by_attribute(_tag=1) == [] and bulk.get_by_attribute(_tag=2) == [obj]
    assert bulk.reduced_query(Q.ne("_tag", 1)).collect() == [obj]


def test_union_of_disjoint_and_overlapping_indexes():
    rng = random.Random(5)
    objs = random_objects(rng, 60)
    left, right, whole = Index(), Index(), Index()
    left.add_object_many(objs[:40])
    right.add_object_many(objs[20:])
    whole.add_object_many(objs)
    left.union_with(right)
    for _ in range(200):
        query = random_query(rng)
        assert ids(left.reduced_query(query).collect()) == ids(whole.reduced_query(query).collect())
    assert len(right.collect()) == 40  # the other index is unchanged
