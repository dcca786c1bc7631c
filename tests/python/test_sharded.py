"""The Dask sharding example answers every query as one local index over the same objects."""

import logging
import os
import random
import sys

import pytest

pytest.importorskip("dask.distributed", reason="dask[distributed] is not installed")

from dask.distributed import Client, LocalCluster  # noqa: E402

from Vantorel import Index, PyQueryExpr as Q  # noqa: E402

# The workers import the example by name: they start with this process's path.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples"))
import sharded  # noqa: E402

CITIES = ["Paris", "Lyon", "Nantes", "日本"]
EXPRS = [
    None,
    Q.eq("city", "Paris"),
    Q.eq("city", "Lyon") & Q.ge("age", 40),
    Q.starts_with("city", "N") | Q.eq("tags", 2),
    ~Q.in_("age", [20, 21, 22]),
    Q.bt("score", 0.25, 0.5),
]


@pytest.fixture(scope="module")
def client():
    with LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0", silence_logs=logging.ERROR
    ) as cluster:
        with Client(cluster) as client:
            yield client


def person(rng, key):
    return sharded.Record(
        key=key, city=rng.choice(CITIES), age=rng.randrange(18, 60), score=rng.random(), tags=[rng.randrange(4), "t"]
    )


@pytest.fixture
def both(client):
    """A sharded index and a local one over the same 400 objects (the local objects keyed)."""
    rng = random.Random(11)
    objs = [person(rng, key) for key in range(400)]
    local = Index()
    local.add_object_many(objs)
    shards = sharded.ShardedIndex(client)  # 4 shards per worker
    shards.add_many(objs)
    return rng, shards, local, {obj.key: obj for obj in objs}


def check_objects(shards, local):
    for expr in EXPRS:
        found = {obj.key: obj.__getstate__() for obj in shards.query(expr)}
        view = local if expr is None else local.reduced_query(expr)
        assert found == {obj.key: obj.__getstate__() for obj in view.collect()}, expr


def test_queries_and_updates_match_one_index(both):
    rng, shards, local, by_key = both
    assert all(shard.query(None).result() for shard in shards.shards)  # both shards hold objects
    check_objects(shards, local)
    for key in rng.sample(sorted(by_key), 60):
        changes = {"city": rng.choice(CITIES), "age": rng.randrange(18, 60), "tags": [rng.randrange(4)]}
        shards.update(key, **changes)
        for name, value in changes.items():
            setattr(by_key[key], name, value)
    check_objects(shards, local)
    with pytest.raises(ValueError, match="the key decides the shard"):
        shards.update(1, key=2)


def test_removals_counts_and_facets_match_one_index(both):
    rng, shards, local, by_key = both
    gone = rng.sample(sorted(by_key), 80)
    shards.remove_many(gone)
    local.remove_object_many([by_key.pop(key) for key in gone])
    replacement = person(rng, next(iter(by_key)))  # adding a held key replaces its object
    shards.add_many([replacement])
    local.remove_object(by_key[replacement.key])
    local.add_object(replacement)
    check_objects(shards, local)
    for expr in EXPRS:
        view = local if expr is None else local.reduced_query(expr)
        assert shards.count(expr) == view.count()
        for attr in ("city", "age", "tags"):
            assert shards.value_counts(attr, expr) == view.value_counts(attr)
            assert shards.value_counts(attr, expr, limit=2) == view.value_counts(attr, limit=2)


def test_rebalancing_moves_whole_shards_to_a_joining_worker(both, client):
    """Last in the file: the cluster keeps the third worker."""
    rng, shards, local, by_key = both
    client.cluster.scale(3)
    client.wait_for_workers(3, timeout=60)
    assert shards.rebalance() == 2  # 8 shards over 3 workers: 3, 3 and 2
    workers = sorted(client.scheduler_info()["workers"])
    assert sorted(shards.placement.count(w) for w in workers) == [2, 3, 3]
    check_objects(shards, local)
    # The moved shards are live indexes over their own objects.
    for key in rng.sample(sorted(by_key), 40):
        shards.update(key, city="Lyon", age=41)
        by_key[key].city, by_key[key].age = "Lyon", 41
    gone = rng.sample(sorted(by_key), 30)
    shards.remove_many(gone)
    local.remove_object_many([by_key.pop(key) for key in gone])
    check_objects(shards, local)
    assert shards.rebalance() == 0
