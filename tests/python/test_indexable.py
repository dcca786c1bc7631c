"""The Indexable class: construction, reads, writes, repr, dir, deletion."""

import pytest

from conftest import Unhashable
from Vantorel import Index, Indexable


class WithMethods(Indexable):
    def method(self):
        return "method"

    @property
    def prop(self):
        return "property"


def test_construction_and_repr():
    assert repr(Indexable(a=1, b="x")) == "<Indexable with 2 attributes>"
    assert repr(Indexable(1, 2)) == "<Indexable with 0 attributes>"
    assert repr(WithMethods(a=1)).startswith("<Indexable with")


def test_stored_attributes_take_precedence():
    obj = WithMethods()
    assert obj.method() == "method" and obj.prop == "property"
    obj.method = 5
    obj.prop = 6
    assert obj.method == 5 and obj.prop == 6
    assert WithMethods().method() == "method"


def test_missing_and_deleted_attributes():
    obj = WithMethods(x=1)
    assert getattr(obj, "missing", 7) == 7
    with pytest.raises(AttributeError) as info:
        obj.missing
    assert str(info.value) == "missing"
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del obj.x
    assert obj.x == 1


def test_dir_lists_stored_names_first():
    obj = WithMethods(b=1)
    obj.a = 2
    obj._private = 3
    listing = obj.__dir__()
    assert listing[:3] == ["b", "a", "_private"]
    assert "method" in listing and "b" in dir(obj)


def test_store_converts_after_eight_attributes_and_keeps_values():
    obj = WithMethods()
    for i in range(12):
        setattr(obj, f"a{i}", i)
    obj.a3 = "three"
    assert [getattr(obj, f"a{i}") for i in range(12)] == [0, 1, 2, "three"] + list(range(4, 12))
    assert repr(obj) == "<Indexable with 12 attributes>"


def test_unknown_names_are_not_interned_by_reads_or_queries():
    # Reading or querying by a name that nothing stored must not grow the
    # process-wide name table; a later store of the name still works.
    import Vantorel
    from Vantorel import PyQueryExpr as Q

    obj = WithMethods(label=1)
    idx = Index()
    idx.add_object(obj)
    name = "never_stored_name_for_interning_check"
    before = Vantorel._interned_name_count()
    assert getattr(obj, name, None) is None
    assert idx.get_by_attribute(**{name: 1}) == []
    assert idx.reduced_query(Q.or_(Q.eq(name, 1), Q.contains(f"label.{name}", "x"))).collect() == []
    idx.reduce(**{name: 2})
    assert Vantorel._interned_name_count() == before
    setattr(obj, name, 1)
    assert getattr(obj, name) == 1


def test_subclass_instances_have_dicts_and_weakrefs():
    import weakref

    obj = WithMethods()
    ref = weakref.ref(obj)
    assert ref() is obj
    assert obj.__dict__ == {}


def test_init_assigns_keywords_through_assignment():
    class Forwarding(Indexable):
        def __init__(self, **kw):
            super().__init__(**kw)

    class Computing(Indexable):
        def __init__(self, name):
            super().__init__(name=name.upper())

    class Mixin:
        def __init__(self, **kw):
            self.mixed = True
            super().__init__(**kw)

    class Mixed(Mixin, Indexable):
        pass

    class Silent(Indexable):
        def __init__(self, **kw):
            pass

    class Doubling(Indexable):
        def __setattr__(self, name, value):
            super().__setattr__(name, value * 2)

    assert Forwarding(name="x").name == "x" and Indexable(1, a=1).a == 1
    assert Computing("x").name == "X" and repr(Computing("x")) == "<Indexable with 1 attributes>"
    mixed = Mixed(name="m")
    assert (mixed.name, mixed.mixed) == ("m", True)
    assert Silent(z=3).z == 3 and Doubling(a=1).a == 2
    obj = Forwarding(v=1)
    idx = Index()
    idx.add_object(obj)
    obj.__init__(v=2, w="w")
    assert idx.get_by_attribute(v=2, w="w") == [obj] and idx.get_by_attribute(v=1) == []
    with pytest.raises(TypeError):
        obj.__init__(v=3, bad=Unhashable())
    assert obj.v == 2 and idx.get_by_attribute(v=2) == [obj] and not hasattr(obj, "bad")
