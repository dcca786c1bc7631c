"""Index behaviour: adding, assignment, lists, nested objects, reduce, union, rebase.
Cycles among nested objects are in test_hostile.py, releases and memory in test_leaks.py."""

import gc

import pytest

from conftest import Item, LyingLength, ids_in_use, names
from Vantorel import Index, PyQueryExpr as Q


def test_add_assign_collect():
    a, b = Item(name="a", age=1), Item(name="b", age=2)
    idx = Index()
    assert idx.collect() == []
    idx.add_object(b)
    idx.add_object(a)
    idx.add_object(a)  # twice: one slot, one membership
    listed = idx.collect()  # ascending item id: the same order from every path
    assert {id(o) for o in listed} == {id(a), id(b)} and len(listed) == 2
    assert idx.reduced().collect() == listed
    a.age = 5
    assert idx.get_by_attribute(age=1) == []
    assert idx.get_by_attribute(age=5) == [a]
    a.age = 6  # each assignment updates the index once: old values leave
    assert idx.get_by_attribute(age=5) == []


def test_assignment_reaches_every_index():
    obj = Item(x=1)
    first, second = Index(), Index()
    first.add_object(obj)
    second.add_object_many([obj])
    obj.x = 2
    for idx in (first, second):
        assert idx.get_by_attribute(x=2) == [obj] and idx.get_by_attribute(x=1) == []


def test_iterable_removal_is_exact_and_frees_masked_ids():
    obj = Item(name="o")
    idx = Index()
    idx.add_object(obj)
    before = ids_in_use()
    obj.tags = ["a", "b"]
    obj.tags.append("c")
    obj.tags = ["d"]
    for gone in "abc":
        assert idx.get_by_attribute(tags=gone) == []
    assert idx.get_by_attribute(tags="d") == [obj]
    assert ids_in_use() == before + 1  # one element of ["d"]
    obj.tags = ()
    assert ids_in_use() == before


def test_nested_lists_and_tuples_report_the_holder():
    obj = Item(x=[[1, 2], (3, {4}), {"k": 5}])
    idx = Index()
    idx.add_object(obj)
    for value in (1, 2, 3, 4):
        assert idx.get_by_attribute(x=value) == [obj], value
    assert idx.get_by_attribute(x=5) == []
    assert idx.reduced_query(Q.ge("x", 4)).collect() == [obj]


def test_nested_holder_changes_and_shared_children():
    alice, bob = Item(name="alice"), Item(name="bob")
    h1, h2 = Item(name="h1", owner=alice), Item(name="h2", owner=alice)
    idx = Index()
    idx.add_object_many([h1, h2])
    assert names(idx.get_by_attribute(**{"owner.name": "alice"})) == ["h1", "h2"]
    h1.owner = bob
    assert names(idx.get_by_attribute(**{"owner.name": "alice"})) == ["h2"]
    assert names(idx.get_by_attribute(**{"owner.name": "bob"})) == ["h1"]
    alice.name = "alicia"  # the nested core follows the held object's assignments
    assert names(idx.get_by_attribute(**{"owner.name": "alicia"})) == ["h2"]
    h2.owner = None
    assert idx.get_by_attribute(**{"owner.name": "alicia"}) == []
    h2.owner = alice  # held again after leaving the nested core
    assert names(idx.get_by_attribute(**{"owner.name": "alicia"})) == ["h2"]


def test_nested_two_levels_and_lists_of_objects():
    city = Item(name="Paris")
    person = Item(name="p", home=Item(name="flat", city=city))
    team = Item(name="t", members=[person, Item(name="q")])
    idx = Index()
    idx.add_object(person)
    idx.add_object(team)
    assert idx.get_by_attribute(**{"home.city.name": "Paris"}) == [person]
    assert idx.get_by_attribute(**{"members.name": "q"}) == [team]
    assert idx.reduced_query(Q.starts_with("members.name", "p")).collect() == [team]


def test_reduce_keeps_elements_of_kept_objects():
    keep = Item(name="k", tags=["x", "y"], owner=Item(name="o1"))
    drop = Item(name="d", tags=["x"], owner=Item(name="o2"))
    idx = Index()
    idx.add_object_many([keep, drop])
    before = ids_in_use()
    idx.reduce(name="k")
    assert idx.collect() == [keep]
    assert idx.get_by_attribute(tags="x") == [keep]
    assert idx.get_by_attribute(tags="y") == [keep]
    assert idx.get_by_attribute(**{"owner.name": "o1"}) == [keep]
    assert idx.get_by_attribute(**{"owner.name": "o2"}) == []
    assert ids_in_use() == before - 1  # the dropped object's element id was freed
    # Later assignments to a removed object never make it reappear.
    drop.name = "k"
    drop.tags = ["y"]
    assert idx.get_by_attribute(name="k") == [keep]
    assert idx.reduced_query(Q.or_(Q.eq("tags", "y"), Q.contains("name", "k"))).collect() == [keep]
    assert idx.reduced_query(Q.not_(Q.eq("name", "zzz"))).collect() == [keep]
    idx.add_object(drop)  # and re-adding brings it back
    assert names(idx.get_by_attribute(name="k")) == ["k", "k"]


def test_reduce_with_nothing_kept_then_adding_again():
    objs = [Item(name=str(i), v=i) for i in range(5)]
    idx = Index()
    idx.add_object_many(objs)
    idx.reduce(v=99)
    assert idx.collect() == [] and idx.get_by_attribute(v=1) == []
    idx.add_object(objs[1])
    assert idx.get_by_attribute(v=1) == [objs[1]]


def test_filtered_results_outlive_their_index_and_skip_removed_slots():
    objs = [Item(name=str(i), v=i % 2) for i in range(6)]
    idx = Index()
    idx.add_object_many(objs)
    odd = idx.reduced(v=1)
    idx.reduce(name="1")
    assert odd.collect() == [objs[1]]  # removed objects are not reported
    del idx
    gc.collect()
    assert odd.reduced(name="1").collect() == [objs[1]]
    rebased = odd.rebase()
    assert rebased.collect() == [objs[1]]
    objs[1].v = 7
    assert rebased.get_by_attribute(v=7) == [objs[1]]


def test_union_carries_everything_and_registers_the_receiver():
    a_obj = Item(name="a", n=1)
    b_obj = Item(name="b", only_b="yes", empty="", tags=["t"], owner=Item(name="own"))
    b_obj._private = 5
    receiver, other = Index(), Index()
    receiver.add_object(a_obj)
    other.add_object_many([b_obj])
    receiver.union_with(other)
    receiver.union_with(receiver)
    assert set(map(id, receiver.collect())) == {id(a_obj), id(b_obj)}
    for query in ({"only_b": "yes"}, {"empty": ""}, {"tags": "t"}, {"owner.name": "own"},
                  {"_private": 5}):
        assert receiver.get_by_attribute(**query) == [b_obj], query
    assert receiver.reduced_query(Q.ends_with("only_b", "es")).collect() == [b_obj]
    b_obj.n = 10
    assert receiver.get_by_attribute(n=10) == [b_obj]
    assert other.get_by_attribute(n=10) == [b_obj]


def test_a_view_stays_live_after_its_index_is_released():
    o = Item(n=1, tags=["x"], owner=Item(name="p"))
    idx = Index()
    idx.add_object(o)
    view = idx.reduced()
    rebased = idx.reduced(n=1).rebase()
    del idx
    gc.collect()
    o.n, o.tags, o.owner.name = 2, ["y"], "q"
    for result in (view, rebased.reduced()):
        assert result.reduced(n=1).collect() == []
        assert result.reduced(n=2).collect() == [o]
        assert result.reduced(tags="y").collect() == [o]
        assert result.reduced(**{"owner.name": "q"}).collect() == [o]



# ---- results as Python containers ------------------------------------------------------


def test_len_iter_and_membership_of_indexes_and_results():
    a, b, c = Item(name="a", v=1), Item(name="b", v=2), Item(name="c", v=1)
    idx = Index()
    idx.add_object_many([a, b, c])
    ones = idx.reduced(v=1)
    empty = idx.reduced(v=99)
    assert (len(idx), len(ones), len(empty)) == (3, 2, 0)
    assert bool(idx) and bool(ones) and not empty and not Index()
    assert list(idx) == idx.collect() and list(ones) == ones.collect()
    assert names(ones) == ["a", "c"]
    assert a in idx and a in ones and b not in ones and c in ones
    for stranger in (Item(v=1), 1, "a", None, [a]):  # not held, or not an Indexable at all
        assert stranger not in idx and stranger not in ones
    # A result keeps the objects that matched when it was taken, until they leave the index.
    a.v = 2
    assert a in ones and len(ones) == 2
    idx.remove_object(a)
    assert a not in idx and a not in ones and len(ones) == 1 and list(ones) == [c]
    idx.add_object(a)  # back in the index, but not in the earlier result
    assert a in idx and a not in ones and len(idx) == 3
    idx.reduce(name="b")
    assert list(idx) == [b] and c not in idx and c not in ones and not ones


# ---- arguments that take several objects -----------------------------------------------


def test_any_iterable_of_objects_and_lying_lengths():
    objs = [Item(name=str(i), v=i) for i in range(6)]
    idx = Index()
    idx.add_object_many(o for o in objs[:2])
    idx.add_object_many({objs[2]})
    idx.add_object_many({"x": objs[3]}.values())
    idx.add_object_many(LyingLength(objs[4], objs[5]))
    assert names(idx.collect()) == names(objs)
    idx.remove_object_many(o for o in objs[:1])
    idx.remove_object_many((objs[1],))
    idx.remove_object_many({objs[2]: 0}.keys())
    idx.remove_object_many(LyingLength(objs[3]))
    assert names(idx.collect()) == ["4", "5"]
    # All or nothing: the whole argument is read before anything changes.
    for call in (idx.add_object_many, idx.remove_object_many):
        for bad in ((o for o in [objs[0], objs[4], 3]), LyingLength(objs[0], objs[4], "x"), 5):
            with pytest.raises(TypeError):
                call(bad)
            assert names(idx.collect()) == ["4", "5"] and idx.get_by_attribute(v=0) == []
