"""Concurrency: deadlocks (every thread must finish within its time limit) and lost
updates (after the threads finish, every index agrees with the stored values)."""

import collections
import copy
import itertools
import os
import pickle
import random
import signal
import subprocess
import sys
import threading
import time
import warnings

import pytest

import Vantorel
from conftest import SANITIZED, THREAD_TIMEOUT as TIMEOUT, Item, run_threads, threads_allowed
from Vantorel import Index, PyQueryExpr as Q

_fresh = itertools.count()


def fresh_name():
    """An attribute name that no object of this process has had before."""
    return f"fresh_{next(_fresh)}_{random.getrandbits(32)}"


WATCHDOG_SECONDS = TIMEOUT + 30
pytestmark = pytest.mark.usefixtures("watchdog")


@pytest.fixture
def helpers():
    with threads_allowed():
        yield


def same(objects):
    return {id(o) for o in objects}


def assert_index_agrees(index, objects, attr, values):
    """The index holds exactly `objects` and answers eq/ranges from their stored values."""
    live = index.collect()
    assert len(live) == len(same(live))
    assert same(live) == same(objects)
    stored = {id(o): getattr(o, attr) for o in objects}
    for value in values:
        expected = {k for k, v in stored.items() if v == value}
        assert same(index.get_by_attribute(**{attr: value})) == expected, (attr, value)
    numbers = [v for v in values if type(v) is int]
    if numbers:
        pivot = numbers[len(numbers) // 2]
        expected = {k for k, v in stored.items() if type(v) is int and v >= pivot}
        assert same(index.reduced_query(Q.ge(attr, pivot)).collect()) == expected


def test_assign_add_and_query_at_once():
    rng = random.Random(1)
    objects = [Item(v=i % 10, s=f"s{i % 4}") for i in range(400)]
    single, bulk, mixed = Index(), Index(), Index()
    stop = threading.Event()

    def writer(seed):
        r = random.Random(seed)

        def body():
            for _ in range(3000):
                o = r.choice(objects)
                o.v = r.randrange(10)
                o.s = f"s{r.randrange(4)}"

        return body

    def add_single():
        for o in rng.sample(objects, len(objects)):
            single.add_object(o)

    def add_bulk():
        order = objects[::-1]
        for start in range(0, len(order), 37):
            bulk.add_object_many(order[start:start + 37])

    def add_mixed():
        for start in range(0, len(objects), 50):
            chunk = objects[start:start + 50]
            mixed.add_object_many(chunk[:25])
            for o in chunk[25:]:
                mixed.add_object(o)

    known = same(objects)

    def reader():
        r = random.Random(7)
        while not stop.is_set():
            index = r.choice([single, bulk, mixed])
            view = index.reduced_query(Q.or_(Q.ge("v", 5), Q.eq("s", "s1")))
            for result in (index.get_by_attribute(v=r.randrange(10)), view.collect(),
                           index.collect(), list(index), list(view)):
                assert same(result) <= known
                assert len(result) == len(same(result))
            # A result's objects stay put while nothing leaves the index.
            assert len(view) == len(view.collect())
            o = r.choice(objects)
            assert (o in view) == (id(o) in same(view.collect()))
            assert o not in index or o in index.collect()

    def writers_and_adders():
        try:
            run_threads(writer(11), writer(12), writer(13), add_single, add_bulk, add_mixed)
        finally:
            stop.set()

    run_threads(writers_and_adders, reader, reader)
    for index in (single, bulk, mixed):
        assert_index_agrees(index, objects, "v", list(range(10)))
        assert_index_agrees(index, objects, "s", [f"s{i}" for i in range(4)])


@pytest.mark.parametrize("kind", ["int", "str", "list", "mixed"])
def test_racing_writes_to_one_attribute_leave_one_value_everywhere(kind):
    objects = [Item(x=0) for _ in range(40)]
    first, second = Index(), Index()
    first.add_object_many(objects)
    for o in objects:
        second.add_object(o)
    rounds = 60
    barrier = threading.Barrier(2, timeout=TIMEOUT)

    def value(side, r, i):
        n = 1000 * side + r
        if kind == "int" or (kind == "mixed" and side == 1):
            return n
        if kind == "str" or (kind == "mixed" and i % 2 == 0):
            return f"v{n}"
        return [n, f"e{n}"]

    def probe(v):
        """What eq is asked for: a list is found through its elements."""
        return v[0] if type(v) is list else v

    def side(number):
        def body():
            order = range(len(objects)) if number == 1 else range(len(objects) - 1, -1, -1)
            for r in range(rounds):
                barrier.wait()
                for i in order:
                    objects[i].x = value(number, r, i)
                barrier.wait()
                if number == 1:
                    for i, o in enumerate(objects):
                        final = probe(o.x)
                        mine, theirs = probe(value(1, r, i)), probe(value(2, r, i))
                        assert final in (mine, theirs)
                        loser = theirs if final == mine else mine
                        for index in (first, second):
                            assert o in index.get_by_attribute(x=final), (r, i, final)
                            assert o not in index.get_by_attribute(x=loser), (r, i, loser)
                barrier.wait()

        return body

    run_threads(side(1), side(2))
    values = [probe(o.x) for o in objects]
    for index in (first, second):
        assert sum(len(index.get_by_attribute(x=v)) for v in set(values)) == len(objects)


@pytest.mark.parametrize("value_of", [lambda i: i, lambda i: f"t{i % 7}", lambda i: i % 2 == 0,
                                      lambda i: (i, "e"), lambda i: i * 0.5],
                         ids=["int", "str", "bool", "tuple", "float"])
def test_concurrent_first_values_of_a_new_attribute_lose_nothing(value_of):
    objects = [Item() for _ in range(800)]
    indexes = [Index(), Index()]
    for index in indexes:
        index.add_object_many(objects)
    workers = 8
    for _ in range(10):
        attr = fresh_name()
        barrier = threading.Barrier(workers, timeout=TIMEOUT)

        def body(k, attr=attr, barrier=barrier):
            barrier.wait()
            for i in range(k, len(objects), workers):
                setattr(objects[i], attr, value_of(i))

        run_threads(*[lambda k=k: body(k) for k in range(workers)])
        probes = {}
        for i in range(len(objects)):
            key = value_of(i)
            key = key[0] if type(key) is tuple else key
            probes.setdefault((type(key), key), set()).add(id(objects[i]))
        for index in indexes:
            for (_, key), expected in probes.items():
                assert same(index.get_by_attribute(**{attr: key})) == expected, (attr, key)


@pytest.mark.usefixtures("helpers")
def test_concurrent_bulk_adds_introducing_new_attributes_lose_nothing():
    index = Index()
    workers = 6
    attrs = [fresh_name() for _ in range(workers)]
    batches = [[Item(**{attrs[k]: i % 5, "common": k}) for i in range(2000)] for k in range(workers)]
    barrier = threading.Barrier(workers, timeout=TIMEOUT)

    def body(k):
        barrier.wait()
        for start in range(0, len(batches[k]), 250):
            index.add_object_many(batches[k][start:start + 250])

    run_threads(*[lambda k=k: body(k) for k in range(workers)])
    for k in range(workers):
        assert same(index.get_by_attribute(common=k)) == same(batches[k])
        for v in range(5):
            expected = {id(o) for i, o in enumerate(batches[k]) if i % 5 == v}
            assert same(index.get_by_attribute(**{attrs[k]: v})) == expected
    assert len(index.collect()) == workers * 2000


@pytest.mark.usefixtures("helpers")
def test_assigning_during_a_large_bulk_add():
    count = 200_000
    objects = [Item(v=i, s="old") for i in range(count)]
    # Values holding Indexable objects are entered after the others: an owner
    # replaced in between must be the one the index finds.
    owners = [Item(name=f"owner{k}") for k in range(4)]
    for i in range(0, count, 4):
        objects[i].owner = owners[i % 3]
    index = Index()
    started = threading.Event()
    finished = threading.Event()
    assigned = {}

    def bulk():
        started.set()
        try:
            index.add_object_many(objects)
        finally:
            finished.set()

    def writer():
        r = random.Random(3)
        started.wait(TIMEOUT)
        n = 0
        while not finished.is_set() or n < 2000:
            i = r.randrange(count)
            objects[i].v = -1 - i
            objects[i].s = "new"
            if i % 4 == 0:
                objects[i].owner = owners[3]
            assigned[i] = -1 - i
            n += 1

    run_threads(bulk, writer)
    assert len(index.collect()) == count
    assert len(assigned) > 0
    sample = random.Random(5).sample(sorted(assigned), min(300, len(assigned)))
    for i in sample:
        o = objects[i]
        assert index.get_by_attribute(v=-1 - i) == [o]
        assert index.get_by_attribute(v=i) == []
    unchanged = [i for i in range(0, count, 997) if i not in assigned]
    for i in unchanged:
        assert index.get_by_attribute(v=i) == [objects[i]]
    assert len(index.get_by_attribute(s="new")) == len(assigned)
    assert len(index.get_by_attribute(s="old")) == count - len(assigned)
    assert len(index.reduced_query(Q.lt("v", 0)).collect()) == len(assigned)
    for owner in owners:
        expected = {id(o) for o in objects if getattr(o, "owner", None) is owner}
        found = index.get_by_attribute(**{"owner.name": owner.name})
        assert {id(o) for o in found} == expected, owner.name


def test_unions_in_opposite_directions_and_with_itself():
    left = [Item(side="L", n=i) for i in range(300)]
    right = [Item(side="R", n=i) for i in range(300)]
    a, b = Index(), Index()
    a.add_object_many(left)
    b.add_object_many(right)
    rounds = 200

    def forward():
        for _ in range(rounds):
            a.union_with(b)

    def backward():
        for _ in range(rounds):
            b.union_with(a)

    def selfish():
        for _ in range(rounds):
            a.union_with(a)
            b.union_with(b)

    def writer():
        r = random.Random(9)
        for _ in range(3000):
            o = r.choice(left + right)
            o.n = r.randrange(300)

    run_threads(forward, backward, selfish, writer)
    a.union_with(b)
    b.union_with(a)
    everyone = left + right
    for index in (a, b):
        assert_index_agrees(index, everyone, "n", list(range(0, 300, 7)))
        assert same(index.get_by_attribute(side="L")) == same(left)


def test_nested_updates_from_many_threads():
    children = [Item(name=f"c{i % 6}") for i in range(60)]
    holders = [Item(owner=children[i % 60], k=i) for i in range(300)]
    index = Index()
    index.add_object_many(holders[:150])
    workers = 4
    final_owner = {}
    final_name = {}

    def body(k):
        r = random.Random(k)
        mine_h = holders[k::workers]
        mine_c = children[k::workers]
        for step in range(1500):
            if step % 3 == 0:
                c = r.choice(mine_c)
                c.name = final_name[id(c)] = f"c{r.randrange(6)}"
            else:
                h = r.choice(mine_h)
                h.owner = final_owner[id(h)] = r.choice(children)
            if step == 500 and k == 0:
                for h in holders[150:]:
                    index.add_object(h)

    for i, c in enumerate(children):
        final_name[id(c)] = f"c{i % 6}"
    for i, h in enumerate(holders):
        final_owner[id(h)] = children[i % 60]
    run_threads(*[lambda k=k: body(k) for k in range(workers)])
    assert same(index.collect()) == same(holders)
    for n in range(6):
        expected = {id(h) for h in holders if final_name[id(final_owner[id(h)])] == f"c{n}"}
        assert same(index.get_by_attribute(**{"owner.name": f"c{n}"})) == expected, n
    for c in children[:10]:
        expected = {id(h) for h in holders if final_owner[id(h)] is c}
        assert same(index.get_by_attribute(owner=c)) == expected


def test_a_query_that_reads_an_attribute_twice_sees_it_in_one_state():
    """Values only move between 1 and 2, directly and in nested objects: a query that reads
    both never finds an object in both, nor in neither, whatever the writers do meanwhile."""
    children = [Item(v=1 + i % 2) for i in range(50)]
    holders = [Item(v=1 + i % 2, owner=children[i % 50]) for i in range(2000)]
    index = Index()
    index.add_object_many(holders)
    stop = threading.Event()

    def writer(seed):
        r = random.Random(seed)

        def body():
            while not stop.is_set():
                o = r.choice(holders + children)
                o.v = 3 - o.v

        return body

    # Values that no object holds between the two that they do, so that writers have time
    # to move objects between those two while the query runs.
    filler = list(range(3, 3000))
    everyone = len(holders)
    queries = [
        (Q.in_("v", [1, *filler, 2]), everyone), (Q.in_("owner.v", [2, *filler, 1]), everyone),
        (Q.and_(Q.eq("v", 1), Q.eq("v", 2)), 0), (Q.and_(Q.ge("v", 2), Q.le("v", 1)), 0),
        (Q.and_(Q.eq("owner.v", 1), Q.ne("owner.v", 1)), 0),
    ]

    def reader():
        try:
            for _ in range(50):
                for query, expected in queries:
                    # Evaluated and counted without the interpreter lock, while writers run.
                    assert len(index.reduced_query(query)) == expected, query
        finally:
            stop.set()

    run_threads(reader, writer(1), writer(2))


def test_reads_during_assignments_see_whole_values():
    """Reads take no lock, while an assignment that waited for an index stores its value
    without the interpreter lock (and may grow the store): every value read is one that
    was assigned, whole."""
    objects = [Item(x=0) for _ in range(30)]
    index = Index()
    index.add_object_many(objects)
    values = [0, 2.5, True, "short", "a string too long to be held inline", [1, "two"], (3,)]
    grown = [f"g{i}" for i in range(40)]
    stop = threading.Event()

    def writer(seed):
        r = random.Random(seed)

        def body():
            for n in range(400):
                o = r.choice(objects)
                o.x = r.choice(values)
                setattr(o, grown[n % len(grown)], n)

        return body

    def querier():
        filler = list(range(10, 3000))
        while not stop.is_set():
            index.reduced_query(Q.in_("x", [0, *filler]))

    def reader():
        while not stop.is_set():
            for o in objects:
                assert o.x in values
                assert all(type(getattr(o, g, 0)) is int for g in grown[:8])

    def writers():
        try:
            run_threads(writer(1), writer(2), writer(3))
        finally:
            stop.set()

    run_threads(writers, querier, reader)
    assert_index_agrees(index, objects, "x", [2.5, "short", values[4]])


def test_reduce_while_assigning_and_adding():
    objects = [Item(v=i % 4) for i in range(600)]
    index = Index()
    index.add_object_many(objects[:300])
    stop = threading.Event()

    def writer(seed):
        r = random.Random(seed)

        def body():
            while not stop.is_set():
                r.choice(objects).v = r.randrange(4)

        return body

    def adder():
        for o in objects[300:]:
            index.add_object(o)

    def reducer():
        try:
            known = same(objects)
            for _ in range(40):
                index.reduce()
                for v in range(4):
                    found = index.get_by_attribute(v=v)
                    assert same(found) <= known and len(found) == len(same(found))
            index.reduce(v=1)
        finally:
            stop.set()

    run_threads(writer(1), writer(2), adder, reducer)
    live = index.collect()
    assert len(live) == len(same(live))
    for v in range(4):
        expected = {id(o) for o in live if o.v == v}
        assert same(index.get_by_attribute(v=v)) == expected
    assert same(index.reduced_query(Q.ge("v", 0)).collect()) == same(live)


def test_live_results_follow_several_writers():
    objects = [Item(v=i % 4, w=i % 3) for i in range(300)]
    index = Index()
    index.add_object_many(objects[:150])
    # Each thread's callbacks come in the order of its changes, but two threads' callbacks
    # interleave in any order: what is checked is that they add up.
    balance = collections.Counter()
    threads = set()
    lock = threading.Lock()

    def on_enter(o):
        with lock:
            balance[id(o)] += 1
            threads.add(threading.get_ident())

    def on_leave(o):
        with lock:
            balance[id(o)] -= 1

    expr = Q.eq("v", 1) | (Q.lt("w", 1) & Q.ne("v", 3))
    balance.update(same(index.reduced_query(expr)))
    live = index.watch(expr, on_enter=on_enter, on_leave=on_leave)
    # A live result of one name is settled by the assignment itself; others are opened and
    # dropped while the writers assign.
    one_name = index.watch(Q.eq("v", 2))

    def churn():
        for i in range(300):
            with index.watch(Q.eq("v", i % 4)) as brief:
                brief.count()
            index.watch(Q.eq("v", 1))  # dropped at once

    def writer(seed):
        r = random.Random(seed)

        def body():
            for i in range(1500):
                obj = r.choice(objects)
                step = i % 10
                if step == 0:
                    index.add_object_many(r.sample(objects, 5))
                elif step == 1:
                    index.remove_object_many(r.sample(objects, 3))
                elif step == 2:
                    index.add_object(obj)
                elif step == 3:
                    index.remove_object(obj)
                else:
                    setattr(obj, r.choice("vw"), r.randrange(4))

        return body

    run_threads(churn, *(writer(seed) for seed in range(4)))
    fresh = same(index.reduced_query(expr))
    assert same(live) == fresh == {k for k, n in balance.items() if n == 1}
    assert same(one_name) == same(index.get_by_attribute(v=2))
    assert set(balance.values()) <= {0, 1}
    assert len(threads) > 1  # callbacks ran on the writers' threads


def test_four_builders_and_a_reader_finish_promptly():
    """Adds, assignments and queries from four threads next to a thread running Python code
    nonstop, at the default switch interval: short index work must not hand the interpreter
    lock over and wait a switch interval to get it back, call after call."""
    sys.setswitchinterval(0.005)
    index = Index()
    made = []
    stop = threading.Event()

    def builder(k):
        def body():
            mine = []
            for i in range(300):
                o = Item(name=f"w{k}-{i}", n=i, kind=k)
                index.add_object(o)
                mine.append(o)
                made.append(o)
                if i % 25 == 0:
                    assert len(index.reduced_query(Q.eq("kind", k)).collect()) == i + 1
            for i, o in enumerate(mine):
                o.name = f"renamed{k}-{i}"
                if i % 2 == 0:
                    o.tags = [k, i]

        return body

    def reader():
        while not stop.is_set():
            for o in made[-50:]:
                o.name, o.n

    def builders():
        try:
            run_threads(*(builder(k) for k in range(4)))
        finally:
            stop.set()

    start = time.monotonic()
    run_threads(builders, reader)
    assert time.monotonic() - start < 5.0
    assert len(index.collect()) == 1200
    assert len(index.get_by_attribute(name="renamed3-299")) == 1
    assert len(index.reduced_query(Q.eq("tags", 298)).collect()) == 4


def test_views_only_lose_objects_while_objects_leave_and_come_back():
    """count(), collect() and the facet counts of a view agree and never grow while objects
    leave and come back: a view made while an object leaves either holds it or never did."""
    objects = [Item(city="c" if i % 2 else "d", n=i) for i in range(200)]
    index = Index()
    index.add_object_many(objects)
    stop = threading.Event()

    def churn(churned):  # objects of city "c"
        def body():
            while not stop.is_set():
                for o in churned:
                    index.remove_object(o)
                    index.add_object(o)

        return body

    def sizes(view):
        return [view.count(), len(view.collect()), sum(c for _, c in view.value_counts("city"))]

    def check():
        try:
            held = index.reduced_query(Q.eq("city", "c"))
            last = sizes(held)[0]
            deadline = time.monotonic() + 1.5
            while time.monotonic() < deadline:
                fresh = index.reduced(city="c")
                seen = sizes(fresh) + sizes(fresh)
                assert seen == sorted(seen, reverse=True), seen
                seen = [last] + sizes(held)
                assert seen == sorted(seen, reverse=True), seen
                last = seen[-1]
        finally:
            stop.set()

    run_threads(churn(objects[1:12:4]), churn(objects[3:12:4]), check)
    view = index.reduced(city="c")
    assert sizes(view) == [100, 100, 100]


def test_copies_and_pickles_while_assigning():
    objects = [Item(n=i % 50, _p=i) for i in range(300)]
    index = Index()
    index.add_object_many(objects[:200])
    copies = []

    def copier():
        for _ in range(20):
            copies.append(copy.copy(index))
            pickle.loads(pickle.dumps(index))

    def writer():
        r = random.Random(4)
        for _ in range(3000):
            o = r.choice(objects)
            o.n = r.randrange(50)
            o._p = r.randrange(50)

    def adder():
        for o in objects[200:]:
            index.add_object(o)

    run_threads(copier, writer, adder)
    for each in (index, copy.copy(index), pickle.loads(pickle.dumps(index))):
        assert_index_agrees(each, list(each) if each is not index else objects, "n", list(range(0, 50, 7)))
        held = sorted(o._p for o in each.reduced_query(Q.ge("_p", 0)).collect())
        assert held == sorted(o._p for o in index.reduced_query(Q.ge("_p", 0)).collect())
    assert_index_agrees(copies[-1], copies[-1].collect(), "n", list(range(0, 50, 7)))


# ---- the module's own threads ------------------------------------------------------------


def test_set_threads_takes_a_whole_number_of_at_least_one():
    before = Vantorel.get_threads()
    with threads_allowed(3):
        assert Vantorel.get_threads() == 3
        for bad, error in ((0, ValueError), (-1, ValueError), (2.0, TypeError), ("2", TypeError),
                           (True, TypeError), (None, TypeError)):
            with pytest.raises(error):
                Vantorel.set_threads(bad)
        assert Vantorel.get_threads() == 3
    assert Vantorel.get_threads() == before


def test_the_environment_sets_the_threads_at_import():
    def threads_at_import(value):
        env = dict(os.environ, VANTOREL_THREADS=value)
        code = "import warnings; warnings.simplefilter('error'); import Vantorel; print(Vantorel.get_threads())"
        return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)

    assert threads_at_import("3").stdout.strip() == "3"
    rejected = threads_at_import("many")
    assert rejected.returncode != 0 and "VANTOREL_THREADS" in rejected.stderr


def thread_count():
    return len(os.listdir("/proc/self/task"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
@pytest.mark.usefixtures("helpers")
def test_bulk_calls_leave_no_thread_behind():
    objects = [Item(n=i % 100, name=f"n{i}", tags=[i % 7, i % 11]) for i in range(20_000)]
    index = Index()
    before = thread_count()
    index.add_object_many(objects)
    assert thread_count() == before
    index.remove_object_many(objects[::2])
    assert thread_count() == before
    assert index.count() == 10_000


def exit_status(pid, timeout):
    """The exit code of child `pid`, or a description of how it failed to exit in time."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return "hung"


def use_vantorel_and_exit():
    """In a forked child: adds fresh objects (new ids, a new attribute name, helper threads)
    to a new index and queries it; exits 0 when the answer is right."""
    code = 1
    try:
        with threads_allowed():
            attribute = fresh_name()
            objects = [Item(**{attribute: i % 10}, tags=[i, -i]) for i in range(1000)]
            index = Index()
            index.add_object_many(objects)
            code = 0 if len(index.get_by_attribute(**{attribute: 3})) == 100 else 2
    finally:
        os._exit(code)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
# The sanitizer's allocator takes no lock across fork(): a child forked while another thread
# allocates can wait forever on the allocator's own lock, before any of this module's code.
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator is not fork-safe")
@pytest.mark.usefixtures("helpers")
def test_a_child_forked_during_a_bulk_add_can_use_the_module():
    # Lists give every object element ids, which the helpers take from the id allocator.
    objects = [Item(n=i, tags=list(range(i % 24))) for i in range(100_000)]
    adding = threading.Event()
    children = []

    def fork_while_adding():
        adding.wait(TIMEOUT)
        for _ in range(10):
            pid = os.fork()
            if pid == 0:
                use_vantorel_and_exit()
            children.append(pid)
            time.sleep(0.002)

    forker = threading.Thread(target=fork_while_adding)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # a fork with threads running
        forker.start()
        adding.set()
        Index().add_object_many(objects)
        forker.join(TIMEOUT)
    assert [exit_status(pid, TIMEOUT) for pid in children] == [0] * len(children)


def test_readers_see_every_object_once_while_one_thread_assigns():
    """Object k only ever holds numbers congruent to k mod 10, and each holds one at every
    moment: whatever a reader asks while another thread assigns, every object it finds held
    the value asked for at some moment, and counts over all values add up to everyone."""
    objects = [Item(k=k, v=k % 10) for k in range(3000)]
    held = [[k % 10] for k in range(3000)]  # every value each object has had
    index = Index()
    index.add_object_many(objects)
    stop = threading.Event()

    def writer():
        r = random.Random(7)
        while not stop.is_set():
            for _ in range(1000):
                k = r.randrange(len(objects))
                value = k % 10 + 10 * r.randrange(50)
                held[k].append(value)
                objects[k].v = value

    def reader(seed):
        r = random.Random(seed)

        def body():
            for _ in range(200):
                value = r.randrange(500)
                for o in index.get_by_attribute(v=value):
                    assert value in held[o.k]
                for o in index.reduced_query(Q.bt("v", value, value + 5)).collect():
                    assert any(value <= x <= value + 5 for x in held[o.k])
                assert len(index.reduced_query(Q.ge("v", 0))) == len(objects)
                assert len(index.reduced_query(Q.or_(Q.lt("v", value), Q.ge("v", value)))) == len(
                    objects
                )
                assert sum(count for _, count in index.value_counts("v")) == len(objects)
                assert len(index.sorted_by("v")) == len(objects)

        return body

    def readers():
        try:
            run_threads(reader(1), reader(2))
        finally:
            stop.set()

    run_threads(readers, writer, timeout=TIMEOUT * 2)
