"""Value classification and equality, observed through attribute reads and queries."""

import enum
import math

import pytest

import random

from conftest import Item, eq_leaf
from Vantorel import Index, PyQueryExpr as Q


def indexed(**attributes):
    obj = Item(**attributes)
    idx = Index()
    idx.add_object(obj)
    return obj, idx


def finds(idx, **kw):
    return len(idx.get_by_attribute(**kw)) == 1


class Color(enum.IntEnum):
    RED = 1


class Text(str):
    pass


def test_numbers_and_booleans_are_distinct_keys():
    _, ints = indexed(x=1)
    _, floats = indexed(x=1.0)
    _, bools = indexed(x=True)
    assert finds(ints, x=1) and finds(ints, x=1.0) and not finds(ints, x=True)
    assert finds(floats, x=1) and not finds(floats, x=True)
    assert finds(bools, x=True) and not finds(bools, x=1) and not finds(bools, x=1.0)
    _, zero = indexed(x=-0.0)
    assert finds(zero, x=0) and finds(zero, x=0.0)


def test_reassigning_equal_values_of_other_kinds_moves_the_object():
    # Equal values of another kind or sign (1, 1.0, True; 0.0, -0.0) and repeats of the
    # same value, assigned in a random order: every answer and every read follows the
    # last assignment.
    pool = [1, 1.0, True, 0, 0.0, -0.0, False, "1", "", 7, 7, 2**62, float("nan")]
    rng = random.Random(11)
    objs = [Item(x=0) for _ in range(4)]
    idx = Index()
    idx.add_object_many(objs)
    for _ in range(400):
        obj = rng.choice(objs)
        value = rng.choice(pool)
        obj.x = value
        assert repr(obj.x) == repr(value)
        q = rng.choice(pool)
        want = {id(o) for o in objs if eq_leaf(o.x, q)}
        assert {id(o) for o in idx.get_by_attribute(x=q)} == want, (value, q)


def test_reads_convert_back_natively():
    obj = Item(i=5, f=2.5, s="héllo", b=False, n=None)
    assert type(obj.i) is int and obj.i == 5
    assert type(obj.f) is float and obj.f == 2.5
    assert obj.s == "héllo" and obj.b is False and obj.n is None
    other = Item()
    obj.o = other
    assert obj.o is other
    values = [1, 2]
    obj.l = values
    assert obj.l is values
    values.append(3)
    _, idx = indexed()
    idx.add_object(obj)
    assert idx.get_by_attribute(l=3) == []  # the list was snapshotted when assigned


def test_subclasses_of_builtins_are_matched_by_identity():
    red = Color.RED
    text = Text("abc")
    obj, idx = indexed(c=red, t=text)
    assert finds(idx, c=red) and not finds(idx, c=1)
    assert finds(idx, t=text) and not finds(idx, t="abc")
    assert obj.t is text


def test_nan_is_never_found():
    _, idx = indexed(x=math.nan)
    assert not finds(idx, x=math.nan)


def test_lists_with_equal_contents_are_different_values():
    a, b = [1], [1]
    _, idx = indexed(x=a)
    assert not finds(idx, x=b)
    assert not finds(idx, x=a)  # lists are indexed by element, never as a whole
    assert finds(idx, x=1)


def test_long_and_short_strings():
    short, long_ = "a" * 23, "b" * 24
    obj, idx = indexed(s=short, t=long_)
    assert obj.s == short and obj.t == long_
    assert finds(idx, s=short) and finds(idx, t=long_)


def test_numpy_scalars_classify_as_builtins():
    np = pytest.importorskip("numpy")
    obj, idx = indexed(i=np.int64(5), f=np.float64(2.5), s=np.str_("x"), b=np.bool_(True))
    assert type(obj.i) is int and obj.i == 5
    assert type(obj.f) is float and obj.f == 2.5
    assert finds(idx, i=5) and finds(idx, f=2.5) and finds(idx, s="x") and finds(idx, b=True)


def test_every_numpy_integer_and_float_is_a_number():
    np = pytest.importorskip("numpy")
    for kind in (np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32,
                 np.uint64, np.intc, np.longlong, np.ulonglong):
        obj, idx = indexed(n=kind(7))
        assert type(obj.n) is int and obj.n == 7 and finds(idx, n=7), kind
    for kind in (np.float16, np.float32, np.float64):
        obj, idx = indexed(price=kind(1.5))
        assert type(obj.price) is float and obj.price == 1.5
        assert idx.reduced_query(Q.gt("price", 1)).collect() == [obj], kind
    for too_big in (np.uint64(2**64 - 1), 2**64 - 1):
        with pytest.raises(OverflowError):
            Item(n=too_big)
    obj, idx = indexed(flag=np.bool_(True), off=np.bool_(False))
    assert finds(idx, flag=True) and finds(idx, off=False) and not finds(idx, off=0)


def test_extreme_integers_round_trip():
    obj, idx = indexed(lo=-(2**63), hi=2**63 - 1)
    assert obj.lo == -(2**63) and obj.hi == 2**63 - 1
    assert finds(idx, lo=-(2**63)) and finds(idx, hi=2**63 - 1)
