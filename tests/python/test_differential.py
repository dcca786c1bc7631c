"""Randomized differential test: random object graphs, assignments, adds, reductions,
unions and rebases, with every query checked against a small pure-Python model.

The model keeps its own copy of every attribute, evaluates each query as a per-object
predicate over the objects live in the index or view asked, and compares identity sets.
A failure prints the last operations as replayable Python.
"""

import gc
import math
import random

import pytest

from Vantorel import Index, Indexable, PyQueryExpr as Q


class Node(Indexable):
    pass


class Token:
    """A plain hashable object, matched by identity."""

    def __init__(self, name="Token()"):
        self.name = name

    def __repr__(self):
        return self.name


TOKENS = [Token("T0"), Token("T1")]
INTS = [0, 1, -1, 2, 3, 7, -7, 100, 2**31, 2**53 + 1, 2**63 - 1, -(2**63), -(2**63) + 1]
FLOATS = [0.0, -0.0, 1.0, 2.5, -2.5, 3.0, 7.0, math.inf, -math.inf, 1e300, -1e-300,
          2.0**53, 2.0**63, math.nan]
STRS = ["", "a", "ab", "abc", "b", "ba", "bc", "é", "aé", "éa", "日本", "日本語", "本",
        "x" * 30, "xx", "abcabc", "Ab", "abc" * 9, "日本語" * 5 + "a"]
PATTERNS = STRS + ["c", "z", "語", "\xa9", "abca", "x" * 31]
PLAIN_ATTRS = ["a", "b", "s", "t"]
NESTED_ATTRS = ["owner", "a", "t"]
NESTED_PATHS = ["owner", "owner.a", "owner.s", "owner.t", "owner.owner.a", "owner.owner.s",
                "a.a", "t.s", "t.owner.b", "owner.nope"]
SEQ_TYPES = (list, tuple, set)


# ---- the model --------------------------------------------------------------------


def leaves(value):
    """The scalar values an attribute value is indexed under: containers (exact list,
    tuple, set) are unmasked recursively, dictionaries index nothing."""
    kind = type(value)
    if kind in SEQ_TYPES:
        for element in value:
            yield from leaves(element)
    elif kind is not dict:
        yield value


def is_num(x):
    return type(x) in (int, float)


def eq_leaf(x, q):
    if type(q) in SEQ_TYPES or type(q) is dict:
        return False
    if type(q) is bool:
        return type(x) is bool and x == q
    if is_num(q):
        return is_num(x) and x == q  # NaN is equal to nothing
    if type(q) is str:
        return type(x) is str and x == q
    return x is q


def order_key(x):
    # Positive NaN sorts above +inf, negative NaN below -inf.
    if isinstance(x, float) and math.isnan(x):
        return (1, 0) if math.copysign(1.0, x) > 0 else (-1, 0)
    return (0, x)


def range_leaf(test):
    def check(x):
        return is_num(x) and test(order_key(x))

    return check


def str_leaf(test, pattern):
    def check(x):
        return type(x) is str and type(pattern) is str and test(x, pattern)

    return check


class Model:
    def __init__(self):
        self.attrs = {}  # id(node) -> {name: value}

    def reaches(self, value, target, seen=None):
        """Whether `target` is reachable from `value` through nested objects."""
        seen = set() if seen is None else seen
        for leaf in leaves(value):
            if isinstance(leaf, Node):
                if leaf is target:
                    return True
                if id(leaf) in seen:
                    continue
                seen.add(id(leaf))
                if any(self.reaches(v, target, seen) for v in self.attrs[id(leaf)].values()):
                    return True
        return False

    def path_leaves(self, node, path):
        head, dot, rest = path.partition(".")
        value = self.attrs[id(node)].get(head)
        if not dot:
            return list(leaves(value)) if head in self.attrs[id(node)] else []
        return [x for child in leaves(value) if isinstance(child, Node)
                for x in self.path_leaves(child, rest)]

    def holds(self, node, path, leaf_test, index):
        head, dot, rest = path.partition(".")
        stored = self.attrs[id(node)]
        if head not in stored:
            return False
        if head.startswith("_") and not dot and id(node) not in index.private:
            return False
        value = stored[head]
        if not dot:
            return any(leaf_test(x) for x in leaves(value))
        return any(self.holds(child, rest, leaf_test, index)
                   for child in leaves(value) if isinstance(child, Node))


class IndexModel:
    def __init__(self, index):
        self.index = index
        self.live = {}  # id -> node
        self.private = set()  # ids whose "_" attributes are indexed here


class ViewModel:
    """A FilteredIndex kept across later steps: its ids are fixed when it is made, and it
    reports those of them that are still live in its source."""

    def __init__(self, view, source, members):
        self.view = view
        self.source = source
        self.members = members

    @property
    def live(self):
        return {k: n for k, n in self.source.live.items() if k in self.members}

    @property
    def private(self):
        return self.source.private


# ---- random generation ----------------------------------------------------------


class Gen:
    def __init__(self, rng, model, nodes):
        self.rng = rng
        self.model = model
        self.nodes = nodes
        self.target = None  # the index model being queried: values are drawn from it
        self.show = repr

    def scalar(self):
        r = self.rng.random()
        if r < 0.3:
            return self.rng.choice(INTS)
        if r < 0.5:
            return self.rng.choice(FLOATS)
        if r < 0.8:
            return self.rng.choice(STRS)
        if r < 0.9:
            return self.rng.choice([True, False])
        return self.rng.choice([None, TOKENS[0], TOKENS[1]])

    def value(self, depth=0):
        r = self.rng.random()
        if r < 0.55 or depth > 1:
            return self.scalar()
        if r < 0.75 and self.nodes:
            return self.rng.choice(self.nodes)
        if r < 0.78:
            return {"k": self.scalar()}
        kind = self.rng.choice(SEQ_TYPES)
        items = [self.value(depth + 1) for _ in range(self.rng.randint(0, 3))]
        if kind is set:
            items = [x for x in items if type(x) not in (list, dict, set)]
            try:
                return set(items)
            except TypeError:
                return set()
        return kind(items)

    def present_leaf(self, path):
        """A value that a live object holds under `path` (so that queries often match)."""
        pool = list(self.target.live.values()) if self.target and self.target.live else self.nodes
        values = [x for node in self.rng.sample(pool, min(len(pool), 4))
                  for x in self.model.path_leaves(node, path)]
        if not values:
            return self.scalar()
        x = self.rng.choice(values)
        if is_num(x) and not math.isnan(x) and abs(x) < 2**53 and self.rng.random() < 0.3:
            return float(x) if type(x) is int else (int(x) if x == int(x) else x)
        return x

    def query_value(self, path):
        r = self.rng.random()
        if r < 0.5:
            return self.present_leaf(path)
        if r < 0.85:
            return self.scalar()
        if r < 0.95 and self.nodes:
            return self.rng.choice(self.nodes)
        return self.rng.choice([[1], (1,), {"k": 1}, Token()])

    def number(self):
        return self.rng.choice(INTS + [x for x in FLOATS if not math.isnan(x)])

    def path(self):
        r = self.rng.random()
        if r < 0.6:
            return self.rng.choice(PLAIN_ATTRS)
        if r < 0.9:
            return self.rng.choice(NESTED_PATHS)
        return self.rng.choice(["_p", "nope"])

    def leaf_query(self):
        """Returns (expression, text, predicate(node, index_model))."""
        rng, model = self.rng, self.model
        path = self.path()
        op = rng.choice(["eq", "ne", "gt", "ge", "lt", "le", "bt", "in_",
                         "starts_with", "ends_with", "contains"])
        if op in ("eq", "ne"):
            v = self.query_value(path)
            expr = getattr(Q, op)(path, v)
            negate = op == "ne"
            test = lambda x, v=v: eq_leaf(x, v)
        elif op in ("gt", "ge", "lt", "le"):
            v = self.number() if rng.random() < 0.9 else rng.choice(["a", True, None])
            if rng.random() < 0.4 and is_num(p := self.present_leaf(path)) and not math.isnan(p):
                v = p
            expr = getattr(Q, op)(path, v)
            negate = False
            if not is_num(v):
                test = lambda x: False
            else:
                k = order_key(v)
                compare = {"gt": lambda a: a > k, "ge": lambda a: a >= k,
                           "lt": lambda a: a < k, "le": lambda a: a <= k}[op]
                test = range_leaf(compare)
        elif op == "bt":
            lo, hi = self.number(), self.number()
            expr = Q.bt(path, lo, hi)
            negate = False
            klo, khi = order_key(lo), order_key(hi)
            test = range_leaf(lambda a: klo <= a <= khi)
            v = (lo, hi)
        elif op == "in_":
            v = [self.query_value(path) for _ in range(rng.randint(0, 3))]
            expr = Q.in_(path, v if rng.random() < 0.5 else tuple(v))
            negate = False
            test = lambda x, v=v: any(eq_leaf(x, q) for q in v)
        else:
            v = rng.choice(PATTERNS) if rng.random() < 0.95 else rng.choice([1, None])
            if rng.random() < 0.4 and type(p := self.present_leaf(path)) is str:
                start = rng.randint(0, len(p))
                v = p[start:rng.randint(start, len(p))]
            expr = getattr(Q, op)(path, v)
            negate = False
            method = {"starts_with": str.startswith, "ends_with": str.endswith,
                      "contains": str.__contains__}[op]
            test = str_leaf(method, v)

        def pred(node, index):
            found = model.holds(node, path, test, index)
            return not found if negate else found

        if op == "bt":
            text = f"bt({path!r}, {self.show(v[0])}, {self.show(v[1])})"
        else:
            text = f"{op}({path!r}, {self.show(v)})"
        return expr, text, pred

    def query(self, depth=0):
        r = self.rng.random()
        if depth >= 2 or r < 0.6:
            return self.leaf_query()
        if r < 0.75:
            parts = [self.query(depth + 1) for _ in range(self.rng.randint(0, 3))]
            return (Q.and_(*[p[0] for p in parts]),
                    "and_(" + ", ".join(p[1] for p in parts) + ")",
                    lambda n, i: all(p[2](n, i) for p in parts))
        if r < 0.9:
            parts = [self.query(depth + 1) for _ in range(self.rng.randint(0, 3))]
            return (Q.or_(*[p[0] for p in parts]),
                    "or_(" + ", ".join(p[1] for p in parts) + ")",
                    lambda n, i: any(p[2](n, i) for p in parts))
        inner = self.query(depth + 1)
        return Q.not_(inner[0]), f"not_({inner[1]})", lambda n, i: not inner[2](n, i)

    def keywords(self):
        kw = {}
        for _ in range(self.rng.randint(0, 2)):
            path = self.path()
            kw[path] = self.query_value(path)
        return kw


def kw_pred(model, kw):
    return lambda n, i: all(model.holds(n, p, lambda x, v=v: eq_leaf(x, v), i)
                            for p, v in kw.items())


# ---- the driver -----------------------------------------------------------------


def show_value(value, name):
    """Python source for a value (the log of a run is replayable code)."""
    if isinstance(value, Node):
        return name(value)
    if type(value) in SEQ_TYPES:
        inner = ", ".join(show_value(x, name) for x in value)
        return {list: f"[{inner}]", tuple: f"({inner}{',' if len(value) == 1 else ''})",
                set: f"{{{inner}}}" if value else "set()"}[type(value)]
    if type(value) is dict:
        return "{" + ", ".join(f"{k!r}: {show_value(v, name)}" for k, v in value.items()) + "}"
    if type(value) is float and (math.isinf(value) or math.isnan(value)):
        return f"float('{value}')"
    return repr(value)


def same_value(got, value):
    if type(value) in SEQ_TYPES or type(value) in (dict, Token, Node) or value is None:
        return got is value
    if type(value) is float and math.isnan(value):
        return type(got) is float and math.isnan(got)
    if type(value) is float:
        return type(got) is float and got == value and math.copysign(1, got) == math.copysign(1, value)
    return type(got) is type(value) and got == value


def ids(objects):
    return {id(o) for o in objects}


def run(seed, steps):
    rng = random.Random(seed)
    model = Model()
    nodes = []
    gen = Gen(rng, model, nodes)
    indexes = [IndexModel(Index())]
    views = []
    log = []
    names, names_made = {}, []

    def make_node():
        attrs = {}
        for name in rng.sample(PLAIN_ATTRS, rng.randint(0, 3)):
            attrs[name] = gen.value()
        if rng.random() < 0.3:
            attrs["_p"] = gen.scalar()
        node = Node(**attrs)
        nodes.append(node)
        names[id(node)] = f"n{len(names_made)}"
        names_made.append(None)
        model.attrs[id(node)] = dict(attrs)
        log.append(f"{names[id(node)]} = Node({', '.join(f'{k}={show(v)}' for k, v in attrs.items())})")
        return node

    def name(node):
        return names[id(node)]

    def drop():
        """Lets go of an object that no index holds and no other object refers to; its
        id is freed and may be reused by a later object."""
        held = set()
        for im in indexes:
            held |= set(im.live)
        for n in nodes:
            for v in model.attrs[id(n)].values():
                held |= {id(x) for x in leaves(v) if isinstance(x, Node)}
        free = [n for n in nodes if id(n) not in held]
        if not free:
            return
        node = rng.choice(free)
        key = id(node)
        log.append(f"del {names[key]}")
        nodes.remove(node)
        del model.attrs[key], names[key]
        for m in indexes + views:
            (m.private if isinstance(m, IndexModel) else m.members).discard(key)
        del node
        if rng.random() < 0.3:
            gc.collect()

    def show(value):
        return show_value(value, name)

    gen.show = show

    def assign():
        node = rng.choice(nodes)
        attr = rng.choice(NESTED_ATTRS) if rng.random() < 0.4 else rng.choice(PLAIN_ATTRS)
        for _ in range(5):
            value = rng.choice(nodes) if attr == "owner" and rng.random() < 0.7 else gen.value()
            if not model.reaches(value, node):  # keep the object graph acyclic
                break
        else:
            return
        setattr(node, attr, value)
        model.attrs[id(node)][attr] = value
        log.append(f"{name(node)}.{attr} = {show(value)}")

    def check(index_model, expected_pred, got, what):
        expected = {k for k, n in index_model.live.items() if expected_pred(n, index_model)}
        got_list = list(got)
        assert len(got_list) == len(ids(got_list)), f"duplicates in {what}"
        got_ids = ids(got_list)
        if got_ids != expected:
            extra = [name(n) for n in got_list if id(n) not in expected]
            missing = [name(index_model.live[k]) for k in expected - got_ids]
            history = "\n".join(log[-40:])
            pytest.fail(f"seed {seed}: {what}\nextra={extra} missing={missing}\n{history}")

    for _ in range(12):
        make_node()

    for step in range(steps):
        target = rng.choice(indexes)
        gen.target = target
        t = target.index
        tn = f"ix{indexes.index(target)}"
        op = rng.random()
        if op < 0.12:
            make_node()
        elif op < 0.15:
            drop()
        elif op < 0.45:
            assign()
        elif op < 0.6:
            node = rng.choice(nodes)
            t.add_object(node)
            target.live[id(node)] = node
            log.append(f"{tn}.add_object({name(node)})")
        elif op < 0.72:
            batch = [rng.choice(nodes) for _ in range(rng.randint(0, 10))]
            t.add_object_many(batch)
            for node in batch:
                target.live[id(node)] = node
                target.private.add(id(node))
            log.append(f"{tn}.add_object_many([{', '.join(name(n) for n in batch)}])")
        elif op < 0.77:
            kw = gen.keywords()
            if target.live and rng.random() < 0.6:
                # Keep the objects sharing one attribute value with a live object.
                node = rng.choice(list(target.live.values()))
                held = [(k, v) for k, v in model.attrs[id(node)].items()
                        if type(v) in (int, float, str, bool) and not k.startswith("_")]
                kw = dict([rng.choice(held)]) if held else {}
            keep = kw_pred(model, kw)
            t.reduce(**kw)
            target.live = {k: n for k, n in target.live.items() if keep(n, target)}
            target.private &= set(target.live)
            log.append(f"{tn}.reduce(**{show(kw)})")
        elif op < 0.82:
            other = rng.choice(indexes)
            t.union_with(other.index)
            if other is not target:
                target.live.update(other.live)
                target.private |= set(other.live)
            log.append(f"{tn}.union_with(ix{indexes.index(other)})")
        elif op < 0.86 and len(indexes) < 5:
            indexes.append(IndexModel(Index()))
            log.append(f"ix{len(indexes) - 1} = Index()")
        elif op < 0.9 and len(indexes) < 5:
            expr, text, pred = gen.query()
            rebased = IndexModel(t.reduced_query(expr).rebase())
            rebased.live = {k: n for k, n in target.live.items() if pred(n, target)}
            rebased.private = set(rebased.live)
            indexes.append(rebased)
            log.append(f"ix{len(indexes) - 1} = {tn}.reduced_query({text}).rebase()")
        elif op < 0.94:
            if rng.random() < 0.5:
                expr, text, pred = gen.query()
                view, call = t.reduced_query(expr), f"reduced_query({text})"
            else:
                kw = gen.keywords()
                pred = kw_pred(model, kw)
                view, call = t.reduced(**kw), f"reduced(**{show(kw)})"
            members = {k for k, n in target.live.items() if pred(n, target)}
            vm = ViewModel(view, target, members)
            if len(views) < 4:
                views.append(vm)
            else:
                views[rng.randrange(4)] = vm
            log.append(f"v{views.index(vm)} = {tn}.{call}")

        # Queries against a random index (or a kept view) after every step.
        for _ in range(3):
            if views and rng.random() < 0.25:
                vm = rng.choice(views)
                gen.target = vm
                where = f"v{views.index(vm)}"
                expr, text, pred = gen.query()
                if rng.random() < 0.7:
                    check(vm, pred, vm.view.reduced_query(expr).collect(),
                          f"{where}.reduced_query({text}).collect()")
                else:
                    kw = gen.keywords()
                    check(vm, kw_pred(model, kw), vm.view.reduced(**kw).collect(),
                          f"{where}.reduced(**{show(kw)}).collect()")
                check(vm, lambda n, i: True, vm.view.collect(), f"{where}.collect()")
                continue
            im = rng.choice([m for m in indexes if m.live] or indexes)
            gen.target = im
            ix = im.index
            where = f"ix{indexes.index(im)}"
            expr, text, pred = gen.query()
            kind = rng.random()
            if kind < 0.5:
                check(im, pred, ix.reduced_query(expr).collect(), f"{where}.reduced_query({text})")
            elif kind < 0.7:
                kw = gen.keywords()
                check(im, kw_pred(model, kw), ix.get_by_attribute(**kw),
                      f"{where}.get_by_attribute(**{show(kw)})")
            elif kind < 0.85:
                expr2, text2, pred2 = gen.query()
                got = ix.reduced_query(expr).reduced_query(expr2).collect()
                check(im, lambda n, i: pred(n, i) and pred2(n, i), got,
                      f"{where}.reduced_query({text}).reduced_query({text2})")
            else:
                kw = gen.keywords()
                kwp = kw_pred(model, kw)
                got = ix.reduced(**kw).reduced_query(expr).collect()
                check(im, lambda n, i: kwp(n, i) and pred(n, i), got,
                      f"{where}.reduced(**{show(kw)}).reduced_query({text})")
        check(target, lambda n, i: True, t.collect(), f"{tn}.collect()")

        # Stored values read back as assigned.
        node = rng.choice(nodes)
        for attr, value in model.attrs[id(node)].items():
            assert same_value(getattr(node, attr), value), (name(node), attr, show(value))


@pytest.mark.parametrize("seed", range(8))
def test_random_operations_match_the_model(seed):
    run(seed, 400)


# ---- deterministic reproductions of faults the random runs led to --------------------


def test_numeric_equality_among_few_distinct_values():
    # eq once reported the holder of -2 for eq(-3) with the values 2, 5 and -2 stored.
    for values, probe in [([2, 5, -2], -3), ([2, 0, -2], -7), ([float("-inf"), 2, 2**62], -1),
                          ([0, -1, 1.5], float("-inf")), ([float("inf"), -1, 1.5], -0.5)]:
        objects = [Node(b=v) for v in values]
        index = Index()
        index.add_object_many(objects)
        assert index.get_by_attribute(b=probe) == []
        for obj, value in zip(objects, values):
            assert index.get_by_attribute(b=value) == [obj]


@pytest.mark.xfail(reason="nesting cut to avoid a cycle is not restored once the cycle is "
                          "broken", strict=True)
def test_nested_query_after_a_cycle_is_broken():
    a, b, d = Node(k=1), Node(k=2), Node(k=4)
    a.x = b
    d.x = b
    index = Index()
    index.add_object(a)
    index.add_object(d)
    b.x = a  # closes the cycle a -> b -> a ...
    a.x = 5  # ... and breaks it: d -> b -> a remains, with a.k == 1
    assert index.get_by_attribute(**{"x.x.k": 1}) == [d]


@pytest.mark.xfail(reason="an object that holds itself is not reachable through the "
                          "attribute that holds it", strict=True)
def test_nested_query_through_a_self_reference():
    me = Node(k=9)
    me.me = me
    index = Index()
    index.add_object(me)
    assert index.get_by_attribute(**{"me.k": 9}) == [me]
