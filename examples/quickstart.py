"""Vantorel quickstart: index plain Python objects by their attributes and query them.

Run with `make demo`.
"""

import random
import time
from collections.abc import Callable
from typing import TypeVar

import Vantorel
from Vantorel import Index, Indexable
from Vantorel import PyQueryExpr as Q

T = TypeVar("T")


class Person(Indexable):
    pass


class Owner(Indexable):
    pass


def timed(label: str, fn: Callable[[], T]) -> T:
    start = time.perf_counter()
    result = fn()
    elapsed = (time.perf_counter() - start) * 1000
    print(f"  {label:<58} {elapsed:8.2f} ms")
    return result


def main() -> None:
    print("sum_as_string(2, 3) =", Vantorel.sum_as_string(2, 3))

    # Attribute capture: every assignment is stored natively and pushed into
    # every index that holds the object.
    ada = Person(name="ada", age=36, city="London")
    print(repr(ada), "->", ada.name, ada.age)
    idx = Index()
    idx.add_object(ada)
    ada.age = 37
    print("age == 37:", [p.name for p in idx.get_by_attribute(age=37)])
    print("age == 36:", [p.name for p in idx.get_by_attribute(age=36)])

    # A synthetic data set, built in one pass.
    rng = random.Random(7)
    cities = ["Paris", "London", "Berlin", "Madrid", "Rome", "Oslo", "Vienna", "Prague"]
    letters = "abcdefghijklmnopqrstuvwxyz"
    owners = [Owner(name=f"owner{i}") for i in range(100)]
    people: list[Person] = []
    for i in range(100_000):
        p = Person(
            name="".join(rng.choice(letters) for _ in range(rng.randint(6, 12))),
            age=rng.randint(0, 99),
            score=rng.random() * 100,
            city=rng.choice(cities),
            active=rng.random() < 0.5,
            tags=rng.sample(["red", "green", "blue", "gold"], rng.randint(0, 2)),
        )
        if i % 10 == 0:
            p.owner = rng.choice(owners)
        people.append(p)

    print(f"\n{len(people):,} objects:")
    big = Index()
    timed("add_object_many", lambda: big.add_object_many(people))

    adults_in_paris = timed(
        "reduced_query(and_(ge('age', 18), eq('city', 'Paris')))",
        lambda: big.reduced_query(Q.and_(Q.ge("age", 18), Q.eq("city", "Paris"))),
    )
    rows = timed("  .collect()", adults_in_paris.collect)
    print(f"    -> {len(rows):,} people")
    rows = timed("get_by_attribute(city='Oslo', active=True)",
                 lambda: big.get_by_attribute(city="Oslo", active=True))
    print(f"    -> {len(rows):,} people")
    rows = timed("reduced_query(bt('score', 10, 11)).collect()",
                 lambda: big.reduced_query(Q.bt("score", 10, 11)).collect())
    print(f"    -> {len(rows):,} people")
    rows = timed("reduced_query(starts_with('name', 'ab')).collect()",
                 lambda: big.reduced_query(Q.starts_with("name", "ab")).collect())
    print(f"    -> {len(rows):,} people, e.g. {rows[0].name if rows else '-'}")
    rows = timed("reduced_query(contains('name', 'xyz')).collect()",
                 lambda: big.reduced_query(Q.contains("name", "xyz")).collect())
    print(f"    -> {len(rows):,} people, e.g. {rows[0].name if rows else '-'}")
    rows = timed("get_by_attribute(tags='gold')  (list elements)",
                 lambda: big.get_by_attribute(tags="gold"))
    print(f"    -> {len(rows):,} people")
    rows = timed("get_by_attribute(**{'owner.name': 'owner7'})  (nested)",
                 lambda: big.get_by_attribute(**{"owner.name": "owner7"}))
    print(f"    -> {len(rows):,} people")
    rebased = timed(
        "reduced_query(contains('name','an')).reduced(active=True).rebase()",
        lambda: big.reduced_query(Q.contains("name", "an")).reduced(active=True).rebase(),
    )
    print(f"    -> a new Index of {len(rebased.collect()):,} people")

    # Facets, ordered results and removal.
    facets = timed("value_counts('city', limit=3)", lambda: big.value_counts("city", limit=3))
    print(f"    -> {facets}")
    oldest = timed("sorted_by('age', descending=True, limit=3)",
                   lambda: big.sorted_by("age", descending=True, limit=3))
    print(f"    -> ages {[p.age for p in oldest]}")
    timed("remove_object_many(1,000 people)", lambda: big.remove_object_many(people[-1000:]))
    print(f"    -> {big.count():,} people left")

    # Assignments keep every index current.
    someone = people[0]
    someone.city = "Atlantis"
    print("\ncity == 'Atlantis':", [p is someone for p in big.get_by_attribute(city="Atlantis")])

    big.reduce(city="Paris")
    print("after reduce(city='Paris'):", f"{len(big.collect()):,} people left")


if __name__ == "__main__":
    main()
