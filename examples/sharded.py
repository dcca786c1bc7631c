"""An index partitioned across the workers of a Dask cluster.

One index lives in one process. When the objects outgrow one machine, split them into shards: a
shard is a Dask actor that keeps an `Index` over the objects whose key hashes to it, and each
worker of the cluster holds a few shards. Adds, removals and attribute updates go to the shard
that owns the key; a query goes to every shard at once, and the answers are merged (objects are
concatenated, counts added, facet counts added per value).

The number of shards is fixed when the sharded index is made, so a key never changes shard. When
a worker joins, `rebalance()` moves whole shards to it: an `Index` pickles with its objects, so a
shard is pickled on its worker and loaded on the new one, where it answers as before.

Objects cross process boundaries by pickle: a shard holds its own copy of every object it is
given, and query results come back as copies that belong to no index. Change an object through
`ShardedIndex.update`, not by assigning to a local copy. A query is a `PyQueryExpr`, which
pickles like the objects: every shard receives the expression itself.

Run it with the module on the path (the workers must import this file by name):

    PYTHONPATH=build .venv/bin/python examples/sharded.py
"""

import pickle
import zlib
from collections import Counter
from collections.abc import Iterable
from typing import Any

from dask.distributed import Client, LocalCluster

from Vantorel import FilteredIndex, Index, Indexable, PyQueryExpr
from Vantorel import PyQueryExpr as Q


class Record(Indexable):
    """The indexed objects. Each has a `key` attribute that decides its shard."""


class Shard:
    """One Index on one worker (a Dask actor), with its objects by key: empty, or loaded from
    the pickled index of a shard that moves here from another worker."""

    def __init__(self, pickled: bytes | None = None) -> None:
        self.index: Index[Record] = Index() if pickled is None else pickle.loads(pickled)
        self.objects: dict[Any, Record] = {obj.key: obj for obj in self.index}

    def pickled(self) -> bytes:
        """The index with its objects, for the worker that takes this shard over."""
        return pickle.dumps(self.index, pickle.HIGHEST_PROTOCOL)

    def add(self, objects: list[Record]) -> None:
        fresh = {obj.key: obj for obj in objects}
        replaced = [self.objects[key] for key in fresh if key in self.objects]
        if replaced:
            self.index.remove_object_many(replaced)
        self.index.add_object_many(list(fresh.values()))
        self.objects.update(fresh)

    def update(self, key: Any, attributes: dict[str, Any]) -> None:
        obj = self.objects[key]
        for name, value in attributes.items():
            setattr(obj, name, value)

    def remove(self, keys: list[Any]) -> None:
        self.index.remove_object_many([self.objects.pop(key) for key in keys if key in self.objects])

    def query(self, expr: PyQueryExpr | None) -> list[Record]:
        return self.view(expr).collect()

    def count(self, expr: PyQueryExpr | None) -> int:
        return self.view(expr).count()

    def value_counts(self, attr: str, expr: PyQueryExpr | None) -> list[tuple[Any, int]]:
        return self.view(expr).value_counts(attr)

    def view(self, expr: PyQueryExpr | None) -> Index[Record] | FilteredIndex[Record]:
        return self.index if expr is None else self.index.reduced_query(expr)


def value_order(value: Any) -> tuple[int, Any]:
    """The order of tied facet values in one index: numbers, strings (by UTF-8 bytes), False,
    True; other values last, in the order the shards reported them."""
    if isinstance(value, bool):
        return (2, value)
    if isinstance(value, (int, float)):
        return (0, value)
    if isinstance(value, str):
        return (1, value.encode())
    return (3, 0)


class ShardedIndex:
    """The client side: routes writes to the owning shard and fans queries out to all."""

    def __init__(self, client: Client, shards_per_worker: int = 4) -> None:
        self.client = client
        workers = sorted(client.scheduler_info()["workers"])
        # The worker that holds each shard.
        count = shards_per_worker * len(workers)
        self.placement: list[str] = [workers[i % len(workers)] for i in range(count)]
        futures = [
            client.submit(Shard, workers=[worker], actor=True, pure=False) for worker in self.placement
        ]
        self.shards: list[Any] = [future.result() for future in futures]

    def shard_of(self, key: Any) -> Any:
        # A hash that every process computes alike (str hashes are salted per process).
        return self.shards[zlib.crc32(repr(key).encode()) % len(self.shards)]

    def rebalance(self) -> int:
        """Spreads the shards evenly over the cluster's workers (after a worker joins), moving
        as few as it can; returns how many moved. Run it while no writes are in flight. A worker
        that left took its shards with it: this example keeps no replicas."""
        workers = sorted(self.client.scheduler_info()["workers"])
        if lost := sorted(set(self.placement) - set(workers)):
            raise RuntimeError(f"workers {lost} left with their shards")
        held = {w: [i for i, at in enumerate(self.placement) if at == w] for w in workers}
        # Each worker's share; the odd shards stay with the workers that hold the most.
        busiest = sorted(workers, key=lambda w: -len(held[w]))
        even, odd = divmod(len(self.shards), len(workers))
        share = {w: even + (k < odd) for k, w in enumerate(busiest)}
        surplus = [i for w in workers for i in held[w][share[w] :]]
        moves = [(surplus.pop(), w) for w in workers for _ in range(share[w] - len(held[w]))]
        for position, worker in moves:
            self.move(position, worker)
        return len(moves)

    def move(self, position: int, worker: str) -> None:
        """Moves one shard to `worker`: its index is pickled where it is and loaded there (the
        bytes pass through this client), and the old actor goes once nothing refers to it."""
        pickled = self.shards[position].pickled().result()
        future = self.client.submit(Shard, pickled, workers=[worker], actor=True, pure=False)
        self.shards[position] = future.result()
        self.placement[position] = worker

    def add_many(self, objects: Iterable[Record]) -> None:
        """Adds the objects (each with a `key`); an object whose key is held is replaced."""
        groups: dict[Any, list[Record]] = {}
        for obj in objects:
            groups.setdefault(self.shard_of(obj.key), []).append(obj)
        wait([shard.add(group) for shard, group in groups.items()])

    def update(self, key: Any, /, **attributes: Any) -> None:
        if "key" in attributes:
            raise ValueError("the key decides the shard: remove the object and add it again")
        self.shard_of(key).update(key, attributes).result()

    def remove_many(self, keys: Iterable[Any]) -> None:
        groups: dict[Any, list[Any]] = {}
        for key in keys:
            groups.setdefault(self.shard_of(key), []).append(key)
        wait([shard.remove(group) for shard, group in groups.items()])

    def query(self, expr: PyQueryExpr | None = None) -> list[Any]:
        """Copies of the matching objects of every shard, shard by shard."""
        return [obj for part in fan_out(self.shards, "query", expr) for obj in part]

    def count(self, expr: PyQueryExpr | None = None) -> int:
        return sum(fan_out(self.shards, "count", expr))

    def value_counts(
        self, attr: str, expr: PyQueryExpr | None = None, limit: int | None = None
    ) -> list[tuple[Any, int]]:
        """Facet counts over all shards. Every shard reports all its counts: the first `limit`
        of the merged list can hold values that no single shard ranks that high."""
        totals: Counter[Any] = Counter()
        for part in fan_out(self.shards, "value_counts", attr, expr):
            for value, count in part:
                totals[value] += count
        merged = sorted(totals.items(), key=lambda pair: (-pair[1], value_order(pair[0])))
        return merged if limit is None else merged[:limit]


def fan_out(shards: list[Any], method: str, *args: Any) -> list[Any]:
    """Calls `method` on every shard at once and returns their answers in shard order."""
    return wait([getattr(shard, method)(*args) for shard in shards])


def wait(futures: list[Any]) -> list[Any]:
    return [future.result() for future in futures]


def main() -> None:
    cities = ["Paris", "Lyon", "Nantes", "Lille"]
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0") as cluster:
        with Client(cluster) as client:
            people = ShardedIndex(client)
            people.add_many(
                Record(key=i, city=cities[i % 4], age=20 + i % 50, tags=["a", i % 3]) for i in range(10_000)
            )
            people.update(7, city="Paris")
            people.remove_many(range(100))
            adults_in_paris = Q.eq("city", "Paris") & Q.ge("age", 30)
            print("adults in Paris:", people.count(adults_in_paris))
            print("first three by key:", sorted(p.key for p in people.query(adults_in_paris))[:3])
            print("cities:", people.value_counts("city"))
            cluster.scale(3)  # a worker joins: move shards to it
            client.wait_for_workers(3)
            print("shards moved to the new worker:", people.rebalance())
            print("adults in Paris, after the move:", people.count(adults_in_paris))


if __name__ == "__main__":
    # The workers find the classes by the module's name, which a script run as __main__ lacks.
    import sharded

    sharded.main()
