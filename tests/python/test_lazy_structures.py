"""Range and string-pattern answers do not depend on when the structures behind them were
built: one index is queried before the writes (so they are built, then kept current, or
dropped and rebuilt after a burst of writes), another only after them, and a holder index
reaches the same objects through a dotted name, where a query that reads an attribute
twice must answer without building anything. All are checked against Python."""

import random

from hypothesis import given, settings, strategies as st

from conftest import Item, answer, is_num, leaves
from Vantorel import Index, PyQueryExpr as Q


ALPHABET = "abc"


def random_value(rng):
    roll = rng.random()
    if roll < 0.35:
        return rng.randint(-300, 300)
    if roll < 0.55:
        return rng.uniform(-300, 300)
    if roll < 0.85:
        return "".join(rng.choices(ALPHABET, k=rng.randint(0, 5)))
    if roll < 0.92:
        return [rng.randint(-300, 300), "".join(rng.choices(ALPHABET, k=rng.randint(1, 4)))]
    return rng.choice([True, None])


def random_query(rng):
    """(expression builder over an attribute name, predicate on one stored leaf)."""
    kind = rng.choice(["gt", "ge", "lt", "le", "bt", "starts", "ends", "contains"])
    if kind in ("starts", "ends", "contains"):
        text = "".join(rng.choices(ALPHABET, k=rng.randint(0, 3)))
        build = {"starts": Q.starts_with, "ends": Q.ends_with, "contains": Q.contains}[kind]
        test = {"starts": str.startswith, "ends": str.endswith,
                "contains": lambda s, t: t in s}[kind]
        return (lambda attr: build(attr, text)), (lambda x: type(x) is str and test(x, text))
    low = rng.uniform(-350, 350) if rng.random() < 0.5 else rng.randint(-350, 350)
    if kind == "bt":
        high = low + rng.randint(0, 600)
        return (lambda attr: Q.bt(attr, low, high)), (lambda x: is_num(x) and low <= x <= high)
    ops = {"gt": (Q.gt, lambda x: x > low), "ge": (Q.ge, lambda x: x >= low),
           "lt": (Q.lt, lambda x: x < low), "le": (Q.le, lambda x: x <= low)}
    build, test = ops[kind]
    return (lambda attr: build(attr, low)), (lambda x: is_num(x) and test(x))


def expected(items, test):
    return {id(o) for o in items if any(test(x) for x in leaves(o.v))}


def held(expr_of, attr):
    # A second leaf on the same attribute makes the evaluation read it twice.
    return Q.or_(expr_of(attr), Q.eq(attr, "no such value"))


@given(seed=st.integers(0, 2**32 - 1), burst=st.booleans())
@settings(max_examples=20, deadline=None)
def test_answers_do_not_depend_on_when_structures_are_built(seed, burst):
    rng = random.Random(seed)
    items = [Item(v=random_value(rng)) for _ in range(300)]
    holders = [Item(inner=o) for o in items]
    queries = [random_query(rng) for _ in range(6)]
    early, late, by_holder = Index(), Index(), Index()
    early.add_object_many(items[:150])
    for o in items[150:]:
        early.add_object(o)
    for expr_of, test in queries:
        assert answer(early, expr_of("v")) == expected(items, test)
    late.add_object_many(items)
    by_holder.add_object_many(holders)

    writes = 1500 if burst else 40
    for _ in range(writes):
        rng.choice(items).v = random_value(rng)

    for expr_of, test in queries:
        want = expected(items, test)
        assert answer(late, held(expr_of, "v")) == want
        assert answer(early, expr_of("v")) == want
        assert answer(late, expr_of("v")) == want
        assert answer(early, held(expr_of, "v")) == want
        holding = {id(h) for h in holders if id(h.inner) in want}
        assert answer(by_holder, held(expr_of, "inner.v")) == holding
        assert answer(by_holder, expr_of("inner.v")) == holding
