"""Operators on query expressions, and copies and pickles of Indexable objects."""

import copy
import datetime
import functools
import gc
import math
import operator
import pickle
import random
import weakref

import pytest

import Vantorel
from conftest import Item, assert_released, ids_in_use
from Vantorel import Index, Indexable, PyQueryExpr as Q


class CustomState(Indexable):
    def __getstate__(self):
        state = Indexable.__getstate__(self)
        state["restored"] = True
        return state


class CustomReduce(Indexable):
    def __reduce__(self):
        return (CustomReduce, (), {"via": "reduce"})


# ---- operators ----------------------------------------------------------------


def names(view):
    return sorted(o.name for o in view.collect())


@pytest.fixture(scope="module")
def population():
    rng = random.Random(17)
    objs = [Item(name=f"n{i}", x=rng.randrange(6), tags=[rng.randrange(4), "t"]) for i in range(150)]
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


# ---- expressions as values ------------------------------------------------------


def test_expression_equality_and_hash():
    owner, twin = Item(name="o"), Item(name="o")
    when = datetime.date(2024, 5, 1)
    same = [
        (Q.eq("x", 1), Q.eq("x", 1)),
        (Q.eq("x", float("nan")), Q.eq("x", float("nan"))),  # a value equals itself, NaN too
        (Q.eq("d", when), Q.eq("d", datetime.date(2024, 5, 1))),  # other values: Python equality
        (Q.eq("o", owner), Q.eq("o", owner)),
        (Q.in_("x", {2}), Q.in_("x", [2])),
        (Q.eq("t", [1, "a"]), Q.eq("t", [1, "a"])),
        (Q.eq("x", 1) & ~Q.eq("y", 2) | Q.bt("z", 0, 1), Q.eq("x", 1) & ~Q.eq("y", 2) | Q.bt("z", 0, 1)),
    ]
    for a, b in same:
        assert a == b and not (a != b) and hash(a) == hash(b), a
    different = [
        (Q.eq("x", 1), Q.eq("x", 1.0)), (Q.eq("x", 0.0), Q.eq("x", -0.0)), (Q.eq("x", 1), Q.eq("x", True)),
        (Q.eq("x", 1), Q.ne("x", 1)), (Q.eq("x", 1), Q.eq("y", 1)), (Q.eq("o", owner), Q.eq("o", twin)),
        (Q.in_("x", [1, 2]), Q.in_("x", [2, 1])), (Q.and_(Q.eq("x", 1)), Q.or_(Q.eq("x", 1))),
        (Q.eq("x", 1) & Q.eq("y", 1), Q.eq("y", 1) & Q.eq("x", 1)), (Q.eq("t", [1]), Q.eq("t", (1,))),
    ]
    for a, b in different:
        assert a != b and not (a == b), a
    assert Q.eq("x", 1) != 1 and len({Q.eq("x", 1), Q.eq("x", 1), Q.eq("x", 2)}) == 2


def doubled(expr, times):
    """`expr | expr`, `times` times over: a tree of 2**times paths through shared nodes."""
    for _ in range(times):
        expr = expr | expr
    return expr


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_expression_copies_and_pickles(protocol):
    owner = Item(name="o")
    base = Q.eq("x", 1) & ~Q.in_("y", {"a"}) | Q.bt("z", 0.5, 2)
    expr = base & Q.eq("owner", owner)
    assert copy.copy(expr) == expr and copy.deepcopy(expr) == expr
    assert copy.deepcopy([expr, owner])[0] == expr  # keeps naming the very object
    plain = base & Q.starts_with("s", "日本") & Q.eq("d", datetime.date(2024, 5, 1))
    for original in (plain, doubled(Q.eq("x", 1), 64)):
        back = pickle.loads(pickle.dumps(original, protocol))
        assert back == original and hash(back) == hash(original) and repr(back) == repr(original)
    # An Indexable value travels as a copy, shared with the rest of the pickle.
    back, owner_copy = pickle.loads(pickle.dumps([expr, owner], protocol))
    assert back != expr and back == base & Q.eq("owner", owner_copy)
    with pytest.raises((pickle.PicklingError, AttributeError, TypeError)):
        pickle.dumps(Q.eq("f", lambda: 1), protocol)


def test_long_and_deep_expressions_copy_pickle_and_compare():
    chain = functools.reduce(operator.and_, [Q.eq("x", i) for i in range(100_000)])
    deep = Q.eq("x", 0)
    for i in range(999):  # as deep as evaluation allows
        deep = ~deep if i % 2 else deep | Q.eq("y", i)
    for expr in (chain, deep):
        back = pickle.loads(pickle.dumps(expr, pickle.HIGHEST_PROTOCOL))
        assert back == expr and hash(back) == hash(expr) and copy.deepcopy(expr) == expr
    objs = [Item(x=i) for i in range(3)]
    idx = Index()
    idx.add_object_many(objs)
    assert idx.reduced_query(pickle.loads(pickle.dumps(chain))).collect() == []


def test_restoring_refuses_what_is_not_an_expression():
    restore = Vantorel._restore_query
    assert restore((("eq", "x", 1), ("not_", 0))) == ~Q.eq("x", 1)
    for nodes, error in [
        ((), TypeError), ([("eq", "x", 1)], TypeError), ((("nope", "x", 1),), ValueError), ((("and_", 0),), ValueError),
        ((("and_", "0"),), ValueError), ((("eq", "x"),), TypeError), ((("eq", 1, 1),), TypeError),  # the builders' own errors
        ((("eq", "x", 1), ("not_", 0, 0)), TypeError), ((("eq", "x", bytearray()),), TypeError),
    ]:
        with pytest.raises(error):
            restore(nodes)
    nested = [("eq", "x", 1)] + [("not_", i) for i in range(1001)]
    with pytest.raises(RecursionError):
        restore(tuple(nested))


# ---- copies and pickles ---------------------------------------------------------


def graph():
    """A root with a private attribute, a shared child, a list holding itself and the child,
    a cycle through the child, and a plain Indexable inside a tuple."""
    child = Item(name="child", n=2.5)
    root = Item(name="root", n=1, _secret="s", a=child, b=child, flag=True)
    root.items = [root, child, "x"]
    child.parent = root
    root.pair = (Indexable(k=1), None)
    return root


def check_graph(copied, original):
    assert type(copied) is type(original) and copied is not original
    assert (copied.name, copied.n, copied._secret, copied.flag) == ("root", 1, "s", True)
    assert copied.a is copied.b and copied.a is not original.a
    assert copied.items[0] is copied and copied.items[1] is copied.a and copied.items[2] == "x"
    assert copied.a.parent is copied and copied.a.n == 2.5
    assert type(copied.pair[0]) is Indexable and copied.pair[0].k == 1
    assert repr(copied) == repr(original)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trips(protocol):
    original = graph()
    check_graph(pickle.loads(pickle.dumps(original, protocol)), original)
    plain = Indexable(x=[1, 2], y="z")
    back = pickle.loads(pickle.dumps(plain, protocol))
    assert type(back) is Indexable and back.x == [1, 2] and back.y == "z"


def test_deepcopy_keeps_sharing_and_cycles():
    original = graph()
    check_graph(copy.deepcopy(original), original)
    memo_shared = copy.deepcopy([original, original.a])
    assert memo_shared[0].a is memo_shared[1]


def test_copies_belong_to_no_index():
    original = graph()
    shallow = copy.copy(original)
    assert type(shallow) is Item and shallow is not original
    assert shallow.a is original.a and shallow.items is original.items and shallow._secret == "s"
    idx = Index()
    idx.add_object(original)
    view = idx.reduced(name="root")
    for duplicate in (copy.copy(original), copy.deepcopy(original), pickle.loads(pickle.dumps(original))):
        duplicate.name = "moved"
        assert idx.get_by_attribute(name="root") == [original] and view.collect() == [original]
        assert idx.get_by_attribute(name="moved") == []
        other = Index()
        other.add_object(duplicate)
        assert other.get_by_attribute(**{"a.name": "child"}) == [duplicate]


def test_setstate_assigns_through_the_indexes():
    obj = Item(name="a", k=1)
    idx = Index()
    idx.add_object(obj)
    obj.__setstate__({"k": 2, "_p": 3})
    assert idx.get_by_attribute(k=2) == [obj] and idx.get_by_attribute(k=1) == []
    assert obj.name == "a" and obj._p == 3
    # A state that cannot be restored changes nothing.
    for state, message in (
        ([("k", 3)], "argument 'state': 'list' object cannot be converted to 'PyDict'"),
        ({"k": 3, 1: 2}, "argument 'state': 'int' object cannot be converted to 'PyString'"),
        ({"k": 3, "bad": bytearray()}, "unhashable"),
    ):
        with pytest.raises(TypeError, match=message):
            obj.__setstate__(state)
        assert obj.k == 2 and idx.get_by_attribute(k=2) == [obj]
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'state'"):
        obj.__setstate__()


def test_reduce_arguments_and_overrides():
    with pytest.raises(TypeError, match="argument 'protocol'"):
        Item().__reduce_ex__("2")
    with pytest.raises(TypeError, match="is not a subclass of Indexable"):
        Vantorel._restore_indexable(int)
    restored = pickle.loads(pickle.dumps(CustomState(v=1)))
    assert (restored.v, restored.restored) == (1, True)
    assert pickle.loads(pickle.dumps(CustomReduce(v=1))).via == "reduce"
    # A stored attribute named like a method does not disturb copying.
    shadowed = Item(__getstate__=5, __reduce__=6)
    assert copy.deepcopy(shadowed).__getstate__ == 5


def test_copies_are_released():
    gc.collect()
    before = ids_in_use()
    originals = [graph() for _ in range(50)]
    copies = [f(o) for o in originals for f in (copy.copy, copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o)))]
    idx = Index()
    idx.add_object_many(originals)
    indexes = [f(idx) for f in (copy.copy, copy.deepcopy, lambda i: pickle.loads(pickle.dumps(i)))]
    refs = [weakref.ref(o) for o in originals + copies + [o for i in indexes for o in i]]
    del originals, copies, idx, indexes
    assert_released(refs, before)


# ---- indexes that pickle ----------------------------------------------------------


def private_mix():
    """An index whose objects differ in what it holds of their private attributes: bulk-added
    ones (held), added one by one (not held), one of those assigned afterwards (held, the index
    has a value index for `_p`). Shared nested owners, list values, a cycle and NaN."""
    owners = [Item(name=f"owner{k}", _tag=k) for k in range(2)]
    objs = [Item(name=f"n{i}", x=i % 3, tags=[i % 4, "t"], owner=owners[i % 2], _p=i, _n=math.nan if i % 2 else i,
                 _l=[i, "e"]) for i in range(12)]
    objs[0].friend, objs[1].friend = objs[1], objs[0]
    idx = Index()
    idx.add_object_many(objs[:6])
    for obj in objs[6:]:
        idx.add_object(obj)
    objs[7]._p = 70
    objs[8]._l = ["z"]
    return idx


PROBES = [Q.ge("_p", 0), Q.eq("_p", 70), Q.eq("_l", "e"), Q.eq("_l", "z"), Q.eq("x", 1), Q.eq("tags", 2),
          Q.eq("owner.name", "owner1"), Q.eq("owner._tag", 1), Q.ne("_p", 3), Q.eq("friend.name", "n1")]


def answers(index):
    """What each probe reports, by object name, plus facets and orders over private names."""
    found = {repr(q): sorted(o.name for o in index.reduced_query(q)) for q in PROBES}
    ordered = index.sorted_by("_n")  # equal values (the NaNs) in item id order, which copies renumber
    found["sorted"] = ([repr(o._n) for o in ordered], sorted(o.name for o in ordered))
    found["facets"] = index.value_counts("_p")
    return found


def check_index_copy(copied, original, same_objects):
    assert answers(copied) == answers(original)
    pairs = {o.name: o for o in copied}
    assert all((pairs[o.name] is o) == same_objects for o in original)
    assert pairs["n0"].owner is pairs["n2"].owner and pairs["n0"].friend.friend is pairs["n0"]
    # The copy is live: an assignment reaches it, and a removal from it leaves the original alone.
    pairs["n9"]._p = 90
    assert [o.name for o in copied.query("_p == 90")] == ["n9"]
    copied.remove_object(pairs["n1"])
    assert "n1" in [o.name for o in original] and "n1" not in [o.name for o in copied]


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_index_pickles(protocol):
    original = private_mix()
    check_index_copy(pickle.loads(pickle.dumps(original, protocol)), original, same_objects=False)
    assert original.query("_p == 90").count() == 0


def test_index_copies():
    original = private_mix()
    check_index_copy(copy.deepcopy(original), original, same_objects=False)
    shallow = copy.copy(original)
    check_index_copy(shallow, original, same_objects=True)
    assert [o.name for o in original.query("_p == 90")] == ["n9"]  # the same object, in both
    # An object that refers to its index: the memo keeps the reference on the copy.
    holder = Item(name="h")
    idx = Index()
    idx.add_object(holder)
    holder.index = idx
    for back in (pickle.loads(pickle.dumps(idx)), copy.deepcopy(idx)):
        assert back.collect()[0].index is back
    assert pickle.loads(pickle.dumps(Index())).collect() == []


def test_results_refuse_to_pickle_and_states_are_checked():
    idx = private_mix()
    view = idx.reduced(x=1)
    for action in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError, match=r"rebase\(\) it into an Index"):
            action(view)
    assert sorted(o.name for o in pickle.loads(pickle.dumps(view.rebase()))) == sorted(o.name for o in view)
    with pytest.raises(ValueError, match="into an empty Index"):
        idx.__setstate__({"objects": []})
    obj = Item()
    for state, error, message in [
        ([obj], TypeError, "a dict"), ({"objects": [obj], "extra": 1}, ValueError, "keys"),
        ({"objects": (obj,)}, TypeError, "a list"), ({"objects": [obj, 1]}, TypeError, "only Indexable"),
        ({"objects": [obj], "private": {"p": [0]}}, ValueError, "begin with '_'"),
        ({"objects": [obj], "private": {"_p": [1]}}, ValueError, "not an index"),
    ]:
        fresh = Index()
        with pytest.raises(error, match=message):
            fresh.__setstate__(state)
        assert fresh.collect() == []
