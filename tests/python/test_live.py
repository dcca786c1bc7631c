"""Live results: after every change their members equal the query run afresh, and their
callbacks report exactly the differences, in order, after the change is whole."""

import gc
import random
import weakref

import pytest

from conftest import Item
from Vantorel import Index, LiveResult, PyQueryExpr as Q


class Watched:
    """A live result with callbacks that keep a model of its members: every enter must be of a
    non-member, every leave of a member."""

    def __init__(self, index, expr):
        self.index, self.expr, self.events = index, expr, []
        self.model = {id(o) for o in index.reduced_query(expr)}
        self.live = index.watch(expr, on_enter=self.enter, on_leave=self.leave)

    def enter(self, obj):
        assert id(obj) not in self.model, ("entered twice", self.expr)
        self.model.add(id(obj))
        self.events.append(("enter", obj))

    def leave(self, obj):
        assert id(obj) in self.model, ("left without entering", self.expr)
        self.model.discard(id(obj))
        self.events.append(("leave", obj))

    def check(self):
        fresh = {id(o) for o in self.index.reduced_query(self.expr)}
        assert {id(o) for o in self.live} == fresh, self.expr
        assert self.model == fresh, self.expr
        assert len(self.live) == self.live.count() == len(fresh)


PLAIN_EXPRS = [
    Q.eq("a", 1),
    Q.lt("a", 2) & ~Q.eq("b", "x"),
    Q.ne("a", 0) | Q.starts_with("b", "y"),
    Q.in_("a", [0, 3]),
    Q.eq("tags", 2),
    ~(Q.ge("a", 2) | Q.contains("b", "z")),
    Q.bt("a", 1, 2) & Q.eq("tags", 1),
]


def random_value(rng, attr):
    if attr == "a":
        return rng.choice([0, 1, 2, 3, 1.0, 2.5, "1", None])
    if attr == "b":
        return rng.choice(["x", "y", "yz", "z", 1])
    return rng.choice([[1], [2, 1], (2,), [], 3, {1, 5}])


def random_step(rng, index, objects):
    """One change of a random program: adds, removals (single, bulk, reduce) and assignments."""
    inside = index.collect()
    step = rng.randrange(9)
    if step == 0:
        index.add_object(rng.choice(objects))
    elif step == 1:
        index.add_object_many(rng.sample(objects, 4))
    elif step == 2 and inside:
        index.remove_object(rng.choice(inside))
    elif step == 3 and inside:
        index.remove_object_many(rng.sample(inside, min(3, len(inside))))
    elif step == 4 and rng.random() < 0.2:
        index.reduce(a=rng.choice([0, 1, 2]))
    else:
        attr = rng.choice(["a", "b", "tags"])
        setattr(rng.choice(objects), attr, random_value(rng, attr))


def make_objects(rng, count):
    return [Item(**{attr: random_value(rng, attr) for attr in ("a", "b", "tags")})
            for _ in range(count)]


@pytest.mark.parametrize("seed", range(6))
def test_random_programs_keep_live_results_equal_to_fresh_queries(seed):
    rng = random.Random(seed)
    objects = make_objects(rng, 24)
    index = Index()
    index.add_object_many(objects[:12])
    watched = [Watched(index, expr) for expr in PLAIN_EXPRS]
    for _ in range(150):
        events_before = [len(w.events) for w in watched]
        random_step(rng, index, objects)
        for w, before in zip(watched, events_before):
            w.check()
            # Each step notifies each change of membership once.
            changed = [id(o) for _, o in w.events[before:]]
            assert len(changed) == len(set(changed))


NESTED_EXPRS = [
    Q.eq("child.v", 1),
    Q.lt("child.child.v", 2) | Q.eq("a", 0),
    ~Q.eq("child.v", 0) & Q.ne("a", 3),
    Q.in_("child.child.child.v", [0, 2]),
]


@pytest.mark.parametrize("seed", range(6))
def test_nested_changes_through_dotted_names_keep_live_results_fresh(seed):
    rng = random.Random(seed)
    objects = make_objects(rng, 12)
    kids = [Item(v=rng.randrange(3)) for _ in range(8)]

    def link(holder):
        # Links lead from the objects to the kids, and from each kid to later ones only.
        later = kids[kids.index(holder) + 1:] if holder in kids else kids
        if later:
            holder.child = rng.sample(later, min(2, len(later))) if rng.random() < 0.3 else (
                rng.choice(later))

    for obj in objects + kids:
        link(obj)
    index = Index()
    index.add_object_many(objects[:8])
    watched = [Watched(index, expr) for expr in NESTED_EXPRS + PLAIN_EXPRS[:2]]
    for _ in range(120):
        roll = rng.random()
        if roll < 0.3:
            rng.choice(kids).v = rng.randrange(3)
        elif roll < 0.5:
            link(rng.choice(objects + kids))
        else:
            random_step(rng, index, objects)
        for w in watched:
            w.check()


def test_changes_reached_through_links_kept_aside_as_cycles():
    index = Index()
    a, b, c = Item(v=0), Item(v=0), Item(v=0)
    a.child, b.child = b, a  # b holds its holder: that link is kept aside
    c.child = b
    index.add_object_many([a, c])
    watched = [Watched(index, Q.eq("child.child.v", 1)),
               Watched(index, Q.eq("child.child.child.v", 2))]
    for obj, value in ((a, 1), (b, 2), (a, 2), (b, 1), (a, 0)):
        obj.v = value
        for w in watched:
            w.check()
    # a.child.child is a itself, c.child.child is a too: both follow a's and b's values.
    assert all(len(w.events) == 4 for w in watched)


def test_callbacks_run_after_the_change_is_whole():
    index = Index()
    seen = []
    obj = Item(a=0)
    index.add_object(obj)

    def on_enter(o):
        # The assignment is stored and every result already answers with it.
        seen.append((o.a, len(index.reduced(a=1)), o in live))

    live = index.watch(Q.eq("a", 1), on_enter=on_enter)
    obj.a = 1
    assert seen == [(1, 1, True)]


def test_a_raising_callback_makes_the_statement_raise_after_every_notification():
    index = Index()
    objects = [Item(a=0) for _ in range(3)]
    index.add_object_many(objects)
    left = []

    def on_leave(o):
        left.append(o)
        raise KeyError(len(left))

    live = index.watch(Q.eq("a", 0), on_leave=on_leave)
    with pytest.raises(KeyError) as raised:
        index.remove_object_many(objects)
    assert raised.value.args == (1,)  # the first exception propagates
    assert len(left) == 3 and len(live) == 0 and len(index) == 0
    index.add_object(objects[0])
    with pytest.raises(KeyError):
        objects[0].a = 5
    assert objects[0].a == 5 and len(live) == 0  # the change stays made


def test_changes_made_by_callbacks_are_notified_after_the_callback_returns():
    index = Index()
    a, b = Item(v=0), Item(v=0)
    index.add_object_many([a, b])
    order = []
    depth = [0]

    def on_enter(o):
        depth[0] += 1
        assert depth[0] == 1  # never recursively
        order.append(("enter", o.name))
        if o is a:
            b.v = 1  # notified after this callback returns
            order.append(("set b", None))
        depth[0] -= 1

    for obj, name in ((a, "a"), (b, "b")):
        obj.name = name
    live = index.watch(Q.eq("v", 1), on_enter=on_enter)
    a.v = 1
    assert order == [("enter", "a"), ("set b", None), ("enter", "b")]
    assert {o.name for o in live} == {"a", "b"}


def test_close_with_and_dropping_the_reference_stop_a_live_result():
    index = Index()
    obj = Item(a=1)
    index.add_object(obj)
    calls = []
    with index.watch(Q.eq("a", 1), on_leave=calls.append) as live:
        assert isinstance(live, LiveResult) and list(live) == [obj]
    assert len(live) == 0
    for use in (live.collect, live.count, lambda: obj in live, lambda: list(live),
                lambda: live.query("a == 1"), live.__enter__):
        with pytest.raises(ValueError, match="the live result is closed"):
            use()
    live.close()  # idempotent
    obj.a = 2
    assert calls == []

    class Callback:
        def __call__(self, obj):
            calls.append(obj)

    # Dropped, or unreachable through a callback that refers to it: the live result and its
    # callbacks are freed, and nothing is called.
    callback = Callback()
    freed = weakref.ref(callback)
    dropped = index.watch(Q.eq("a", 2), on_leave=callback)
    del callback, dropped
    callback = Callback()
    callback.live = index.watch(Q.eq("a", 2), on_leave=callback)
    cyclic = weakref.ref(callback)
    del callback
    gc.collect()
    assert freed() is None and cyclic() is None
    obj.a = 3
    assert calls == []


def test_results_taken_from_a_live_result_are_fixed():
    index = Index()
    objects = [Item(a=i % 3, b=str(i)) for i in range(9)]
    index.add_object_many(objects)
    live = index.watch(Q.lt("a", 2))
    fixed = live.query("a == 1")
    assert sorted(o.b for o in fixed) == ["1", "4", "7"]
    assert sorted(o.b for o in live.reduced(a=0)) == ["0", "3", "6"]
    assert len(live.reduced_query(Q.eq("b", "3"))) == 1
    assert live.value_counts("a") == [(0, 3), (1, 3)]
    assert [o.b for o in live.sorted_by("b", limit=2)] == ["0", "1"]
    objects[1].a = 5
    assert len(fixed) == 3 and len(live) == 5
    with pytest.raises(TypeError):
        index.watch("a == 1")
    with pytest.raises(TypeError):
        index.watch(Q.eq("a", 1), on_enter=5)
