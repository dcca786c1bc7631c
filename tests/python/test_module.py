import importlib
import pathlib
import re
import sys
import types

import pytest

import Vantorel
from Vantorel import FilteredIndex, Index, Indexable, PyQueryExpr, sum_as_string


def test_registration_order_and_module_names():
    assert Vantorel.__all__ == [
        "sum_as_string", "Index", "Indexable", "FilteredIndex", "PyQueryExpr", "LiveResult"]
    for cls in (Index, Indexable, FilteredIndex, PyQueryExpr):
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == cls.__name__
    assert issubclass(Vantorel.InternalError, BaseException)
    assert not issubclass(Vantorel.InternalError, Exception)
    assert "InternalError" not in Vantorel.__all__


def test_version_and_generic_classes():
    pyproject = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"
    version = re.search(r'^version = "([^"]+)"$', pyproject.read_text(), re.MULTILINE).group(1)
    assert Vantorel.__version__ == version
    for cls in (Index, FilteredIndex):
        alias = cls[Indexable]
        assert type(alias) is types.GenericAlias
        assert alias.__origin__ is cls and alias.__args__ == (Indexable,)


def test_reimport_gives_the_same_module():
    module = sys.modules.pop("Vantorel")
    try:
        again = importlib.import_module("Vantorel")
        assert again is module
    finally:
        sys.modules["Vantorel"] = module


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [((2, 3), {}, "5"), ((), {"a": 2, "b": 3}, "5"), ((0, 0), {}, "0"), ((2**64 - 1, 1), {}, "0"),
     ((True, 1), {}, "2")],
)
def test_sum_as_string(args, kwargs, expected):
    assert sum_as_string(*args, **kwargs) == expected


def test_sum_as_string_accepts_index_objects():
    class Two:
        def __index__(self):
            return 2

    assert sum_as_string(Two(), 40) == "42"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: sum_as_string(-1, 1), OverflowError, None),
        (lambda: sum_as_string("1", 2), TypeError,
         "argument 'a': 'str' object cannot be interpreted as an integer"),
        (lambda: sum_as_string(1), TypeError,
         "sum_as_string() missing 1 required positional argument: 'b'"),
        (lambda: sum_as_string(), TypeError,
         "sum_as_string() missing 2 required positional arguments: 'a' and 'b'"),
        (lambda: sum_as_string(1, 2, 3), TypeError,
         "sum_as_string() takes 2 positional arguments but 3 were given"),
        (lambda: sum_as_string(1, 2, c=3), TypeError,
         "sum_as_string() got an unexpected keyword argument 'c'"),
        (lambda: sum_as_string(1, a=2), TypeError,
         "sum_as_string() got multiple values for argument 'a'"),
        (lambda: Index(1), TypeError, "Index.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: Index(x=1), TypeError, "Index.__new__() got an unexpected keyword argument 'x'"),
        (lambda: Index().reduce(1), TypeError,
         "Index.reduce() takes 0 positional arguments but 1 was given"),
        (lambda: Index().add_object(), TypeError,
         "Index.add_object() missing 1 required positional argument: 'py_ref'"),
        (lambda: Index().add_object(3), TypeError,
         "argument 'py_ref': 'int' object cannot be converted to 'Indexable'"),
        (lambda: Index().add_object_many("ab"), TypeError,
         "argument 'objs': expected a collection of Indexable objects, not a str"),
        (lambda: Index().remove_object_many(5), TypeError, "argument 'objs': 'int' object is not iterable"),
        (lambda: Index().add_object_many({1}), TypeError,
         "argument 'objs': 'int' object cannot be converted to 'Indexable'"),
        (lambda: Index().reduced_query(3), TypeError,
         "argument 'query': 'int' object cannot be converted to 'PyQueryExpr'"),
        (lambda: Index().union_with(3), TypeError,
         "argument 'other': 'int' object cannot be converted to 'Index'"),
        (lambda: PyQueryExpr.in_("a", "xy"), TypeError,
         "argument 'values': in_() takes a collection of values, not a str (a str would be read as "
         "its characters); wrap a single value in a list: in_(attr, [value])"),
        (lambda: PyQueryExpr.in_("a", 5), TypeError, "argument 'values': 'int' object is not iterable"),
        (lambda: PyQueryExpr.not_(1), TypeError,
         "argument 'exprs': 'int' object cannot be converted to 'PyQueryExpr'"),
        (lambda: PyQueryExpr.eq(1, 1), TypeError,
         "argument 'attr': 'int' object cannot be converted to 'PyString'"),
        (lambda: PyQueryExpr.eq("a"), TypeError,
         "PyQueryExpr.eq() missing 1 required positional argument: 'value'"),
        (lambda: PyQueryExpr.bt("a", 1), TypeError,
         "PyQueryExpr.bt() missing 1 required positional argument: 'upper'"),
        (lambda: PyQueryExpr.in_(), TypeError,
         "PyQueryExpr.in_() missing 2 required positional arguments: 'attr' and 'values'"),
        (lambda: PyQueryExpr.starts_with("a", 1, 2), TypeError,
         "PyQueryExpr.starts_with() takes 2 positional arguments but 3 were given"),
        (lambda: PyQueryExpr.or_(x=1), TypeError,
         "PyQueryExpr.or_() got an unexpected keyword argument 'x'"),
        (lambda: PyQueryExpr.not_(), TypeError,
         "PyQueryExpr.not_() missing 1 required positional argument: 'exprs'"),
        (lambda: Indexable().__dir__(1), TypeError,
         "Indexable.__dir__() takes 0 positional arguments but 1 was given"),
        (lambda: Indexable().__dir__(x=1), TypeError,
         "Indexable.__dir__() got an unexpected keyword argument 'x'"),
        (lambda: PyQueryExpr(), TypeError, None),
        (lambda: FilteredIndex(), TypeError, "No constructor defined for FilteredIndex"),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    if message is not None:
        assert str(info.value) == message


def test_argument_conversion_keeps_the_cause():
    with pytest.raises(TypeError) as info:
        sum_as_string(None, 1)
    assert isinstance(info.value.__cause__, TypeError)


def test_text_signatures():
    assert PyQueryExpr.eq.__text_signature__ == "(attr, value)"
    assert PyQueryExpr.bt.__text_signature__ == "(attr, lower, upper)"
    assert PyQueryExpr.and_.__text_signature__ == "(*exprs)"
    assert Index.add_object.__text_signature__ == "($self, py_ref)"
    assert Index.reduce.__text_signature__ == "($self, **kwargs)"
    assert Indexable.__text_signature__ == "(*_args, **kwargs)"
