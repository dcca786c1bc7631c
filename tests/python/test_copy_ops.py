"""Operators on query expressions."""

import functools
import random

import pytest

from Vantorel import Index, Indexable, PyQueryExpr as Q


class Node(Indexable):
    pass


# ---- operators ----------------------------------------------------------------


def names(view):
    return sorted(o.name for o in view.collect())


@pytest.fixture(scope="module")
def population():
    rng = random.Random(17)
    objs = [Node(name=f"n{i}", x=rng.randrange(6), tags=[rng.randrange(4), "t"]) for i in range(150)]
    idx = Index()
    idx.add_object_many(objs)
    return idx, objs


def test_operators_build_the_combinators(population):
    idx, objs = population
    a, b, c = Q.eq("x", 1), Q.ge("x", 3), Q.eq("tags", 2)
    cases = [
        (a | b, Q.or_(a, b), lambda o: o.x == 1 or o.x >= 3),
        (b & c, Q.and_(b, c), lambda o: o.x >= 3 and 2 in o.tags),
        (~a, Q.not_(a), lambda o: o.x != 1),
        (~(a | b) & c, Q.and_(Q.not_(Q.or_(a, b)), c), lambda o: not (o.x == 1 or o.x >= 3) and 2 in o.tags),
    ]
    for built, combined, predicate in cases:
        assert repr(built) == repr(combined)
        expected = sorted(o.name for o in objs if predicate(o))
        assert names(idx.reduced_query(built)) == expected
        assert names(idx.reduced(x=1).reduced_query(built)) == [n for n in expected if n in names(idx.reduced(x=1))]
    # The operands are unchanged and stay usable.
    assert repr(a) == repr(Q.eq("x", 1))


def test_other_operands_are_not_implemented():
    a = Q.eq("x", 1)
    for other in (1, None, "x", True, [a]):
        with pytest.raises(TypeError, match="unsupported operand"):
            a & other
        with pytest.raises(TypeError, match="unsupported operand"):
            other | a

    class Reflected:
        def __rand__(self, other):
            return "reflected"

    assert a & Reflected() == "reflected"


def test_long_chains_fold_either_way(population):
    idx, objs = population
    terms = [Q.ne("x", 100 + i) for i in range(10_000)] + [Q.eq("x", 2)]
    left = functools.reduce(lambda acc, t: acc & t, terms)
    right = functools.reduce(lambda acc, t: t & acc, reversed(terms))
    expected = sorted(o.name for o in objs if o.x == 2)
    assert names(idx.reduced_query(left)) == expected
    assert names(idx.reduced_query(right)) == expected
    ors = functools.reduce(lambda acc, t: t | acc, [Q.eq("x", 100 + i) for i in range(10_000)] + [Q.eq("x", 4)])
    assert names(idx.reduced_query(ors)) == sorted(o.name for o in objs if o.x == 4)
    assert len(repr(right)) <= (1 << 20) + 100  # cut short, not recursive
    del left, right, ors  # released node by node
