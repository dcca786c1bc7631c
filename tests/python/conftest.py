"""What several test files share. pytest puts this directory on the module path, so a test
file imports these by name: `from conftest import Item, ids_in_use`."""

import contextlib
import faulthandler
import gc
import operator
import os
import sys
import threading
import time

import pytest

import Vantorel

# Under the address sanitizer freed memory sits in quarantine and everything runs slower:
# resident-memory checks say nothing there, and timed runs are shortened.
SANITIZED = bool(os.environ.get("VANTOREL_SANITIZED"))
THREAD_TIMEOUT = 15.0


class Item(Vantorel.Indexable):
    """A plain user class, as users write them. Module level, so that pickle can name it."""


def ids_in_use():
    """Item ids taken from the process-wide allocator and not yet given back: one per live
    Indexable, and one per element of a list, tuple or set value that an index holds."""
    issued, free = Vantorel._allocator_state()
    return issued - free


def assert_released(refs, ids_before):
    """After a collection, every object behind the weak references `refs` is gone and the ids
    in use are back at `ids_before`."""
    gc.collect()
    alive = sum(r() is not None for r in refs)
    assert alive == 0, f"{alive} of {len(refs)} objects still alive"
    assert ids_in_use() == ids_before, "ids in use did not come back"


@contextlib.contextmanager
def threads_allowed(threads=4):
    """Lets bulk adds and removals start helper threads (up to `threads` in all) inside the
    block."""
    before = Vantorel.get_threads()
    Vantorel.set_threads(threads)
    try:
        yield
    finally:
        Vantorel.set_threads(before)


class Unhashable:
    __hash__ = None


class LyingLength:
    """A sequence whose __len__ claims far more elements than __getitem__ gives."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return 2**62

    def __getitem__(self, k):
        return self.items[k]


def names(objects):
    return sorted(o.name for o in objects)


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# ---- values as queries see them, evaluated in plain Python ------------------------------

SEQUENCES = (list, tuple, set)


def leaves(value):
    """The values an attribute value is indexed under: exact lists, tuples and sets are
    unpacked recursively, dictionaries index nothing."""
    kind = type(value)
    if kind in SEQUENCES:
        for element in value:
            yield from leaves(element)
    elif kind is not dict:
        yield value


def is_num(x):
    return type(x) in (int, float)


def eq_leaf(x, q):
    """Whether the stored leaf `x` equals the query value `q`: numbers numerically (NaN
    equals nothing), booleans only booleans, strings only strings, anything else by
    identity; a container as query value matches nothing."""
    kind = type(q)
    if kind in SEQUENCES or kind is dict:
        return False
    if kind is bool:
        return type(x) is bool and x == q
    if kind in (int, float):
        return is_num(x) and x == q
    if kind is str:
        return type(x) is str and x == q
    return x is q


def number(x):
    """A number that takes part in ranges: not NaN, not a boolean."""
    return is_num(x) and x == x


LEAF_TESTS = {
    "gt": operator.gt, "ge": operator.ge, "lt": operator.lt, "le": operator.le,
    "starts_with": str.startswith, "ends_with": str.endswith, "contains": str.__contains__,
}


def leaf_test(op, *args):
    """The test that a stored leaf passes for the operator `op` (a PyQueryExpr builder name)
    with the operands `args`; for ne, the test of eq (an object matches ne when none of its
    leaves passes it)."""
    q = args[0]
    if op in ("eq", "ne"):
        return lambda x: eq_leaf(x, q)
    if op == "in_":
        return lambda x: any(eq_leaf(x, v) for v in q)
    if op == "bt":
        return lambda x: number(x) and number(q) and number(args[1]) and q <= x <= args[1]
    test = LEAF_TESTS[op]
    if op in ("gt", "ge", "lt", "le"):
        return lambda x: number(x) and number(q) and test(x, q)
    return lambda x: type(x) is str and type(q) is str and test(x, q)


def holders(objects, attr, test):
    """The ids (Python's) of the objects of which a leaf of the plain attribute `attr`
    passes `test`."""
    return {id(o) for o in objects if any(test(x) for x in leaves(getattr(o, attr, ())))}


def answer(index, expr):
    """The ids (Python's) of the objects the query `expr` reports."""
    return {id(o) for o in index.reduced_query(expr).collect()}


# ---- threads --------------------------------------------------------------------------


def run_threads(*bodies, timeout=THREAD_TIMEOUT):
    """Runs each body on its own thread; fails if one is still running after `timeout`
    seconds (a deadlock) and re-raises the first exception a body raised."""
    errors = []

    def guarded(body):
        def run():
            try:
                body()
            except BaseException as error:  # reported by the caller
                errors.append(error)

        return run

    threads = [threading.Thread(target=guarded(b), daemon=True) for b in bodies]
    for t in threads:
        t.start()
    deadline = time.monotonic() + timeout
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    alive = sum(t.is_alive() for t in threads)
    assert alive == 0, f"{alive} of {len(threads)} threads still running after {timeout}s"
    if errors:
        raise errors[0]


@pytest.fixture(autouse=True)
def collect_garbage():
    yield
    gc.collect()


@pytest.fixture
def watchdog(request):
    """For thread tests: fast thread switching, and a hard stop (with every thread's stack)
    once the module's WATCHDOG_SECONDS pass, for a deadlock that holds the interpreter lock
    where a join timeout could not fire."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    faulthandler.dump_traceback_later(request.module.WATCHDOG_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()
    sys.setswitchinterval(interval)
