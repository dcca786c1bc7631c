"""Stateful property test: hypothesis drives objects, assignments, adds, reductions,
unions, rebases and kept views over three indexes, and after every step a battery of
queries on every index (and view) is compared with a pure-Python model.

The model keeps its own copy of every assigned value and evaluates each query as a
per-object predicate; results are compared as identity sets, without duplicates, in the
order of the index's collect(). Stored NaN is left out (its ordering under range queries
is not part of the modelled semantics); NaN is still used as a query value.

Scale with VANTOREL_FUZZ_EXAMPLES (`make fuzz` runs 2000 examples).
"""

import math
import os

from hypothesis import HealthCheck, assume, settings, strategies as st
from hypothesis.stateful import (Bundle, RuleBasedStateMachine, initialize, invariant,
                                 multiple, rule)

from conftest import SEQUENCES, Item, eq_leaf, is_num, leaves
from Vantorel import Index, PyQueryExpr as Q


class Token:
    """A plain hashable object: indexed by identity."""

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return self.name


TOKENS = (Token("T0"), Token("T1"))
ATTRS = ["a", "b", "s", "owner", "items", "_p"]
ASSIGNED = ATTRS[:-1]  # "_p" is only given at construction (reassigned in test_bulk.py)
PATHS = ["a", "b", "s", "owner", "items", "_p", "owner.a", "owner.s", "items.b",
         "owner.owner.a", "owner.items.s", "a.a"]
INT_EDGES = [0, 1, -1, 2, 7, 2**31, 2**53, 2**53 + 1, 2**63 - 1, -(2**63), -(2**63) + 1]
FLOAT_EDGES = [0.0, -0.0, 1.0, 2.5, -2.5, 7.0, math.inf, -math.inf, 2.0**53, 2.0**63,
               -(2.0**63), 1e300, 5e-324]
STR_EDGES = ["", "a", "ab", "abc", "b", "é", "aé", "日本", "日本語", "😀", "a😀b", "x" * 30,
             "\x00", "a\x00b"]
FALLBACK = [0, 1.5, "a", "", True, None]

# ---- value strategies --------------------------------------------------------------

ints = st.one_of(st.sampled_from(INT_EDGES), st.integers(-(2**63), 2**63 - 1),
                 st.integers(-3, 3))
floats = st.one_of(st.sampled_from(FLOAT_EDGES), st.floats(allow_nan=False))
strs = st.one_of(st.sampled_from(STR_EDGES), st.text(alphabet="ab\x00é日😀", max_size=6))
scalars = st.one_of(ints, floats, strs, st.booleans(), st.none(), st.sampled_from(TOKENS))


# ---- the model -----------------------------------------------------------------------


class IndexModel:
    def __init__(self, index):
        self.index = index
        self.live = {}  # id -> node, the objects the index holds
        self.private = set()  # ids whose "_" attributes this index indexes


class ViewModel:
    """A FilteredIndex kept across steps: fixed members, reported while live in the source.
    A view only ever loses objects: a member its source drops is not reported again, even
    once it is added back."""

    def __init__(self, view, source, members):
        self.index = view
        self.source = source
        self.members = members

    @property
    def live(self):
        return {k: n for k, n in self.source.live.items() if k in self.members}

    @property
    def private(self):
        return self.source.private


class Model:
    def __init__(self):
        self.attrs = {}  # id(node) -> {name: value}

    def reaches(self, value, target, seen=None):
        seen = set() if seen is None else seen
        for leaf in leaves(value):
            if isinstance(leaf, Item):
                if leaf is target:
                    return True
                if id(leaf) not in seen:
                    seen.add(id(leaf))
                    if any(self.reaches(v, target, seen) for v in self.attrs[id(leaf)].values()):
                        return True
        return False

    def path_leaves(self, node, path):
        head, dot, rest = path.partition(".")
        stored = self.attrs[id(node)]
        if head not in stored:
            return []
        if not dot:
            return list(leaves(stored[head]))
        return [x for child in leaves(stored[head]) if isinstance(child, Item)
                for x in self.path_leaves(child, rest)]

    def holds(self, node, path, test, im):
        head, dot, rest = path.partition(".")
        stored = self.attrs[id(node)]
        if head not in stored:
            return False
        if not dot:
            if head.startswith("_") and id(node) not in im.private:
                return False
            return any(test(x) for x in leaves(stored[head]))
        return any(self.holds(child, rest, test, im)
                   for child in leaves(stored[head]) if isinstance(child, Item))


# ---- queries as data: ("leaf", op, path, source) | ("and"/"or", [q]) | ("not", q) -----
# source is ("lit", value) or ("pick", k): the k-th present value at the path (mod count).

LEAF_OPS = ["eq", "ne", "gt", "ge", "lt", "le", "bt", "in_", "starts_with", "ends_with",
            "contains"]

sources = st.one_of(st.tuples(st.just("pick"), st.integers(0, 50)),
                    st.tuples(st.just("lit"), scalars),
                    st.tuples(st.just("lit"), st.sampled_from([math.nan, [1], (1,), {"k": 1}])))
leaf_specs = st.tuples(st.just("leaf"), st.sampled_from(LEAF_OPS), st.sampled_from(PATHS),
                       sources)
query_specs = st.recursive(
    leaf_specs,
    lambda inner: st.one_of(
        st.tuples(st.sampled_from(["and", "or"]), st.lists(inner, max_size=3)),
        st.tuples(st.just("not"), inner)),
    max_leaves=5)


class Machine(RuleBasedStateMachine):
    nodes = Bundle("nodes")

    def __init__(self):
        super().__init__()
        self.model = Model()
        self.indexes = [IndexModel(Index()) for _ in range(3)]
        self.views = []
        self.order = {}  # id -> creation number (names objects in failure messages)

    # -- helpers ---------------------------------------------------------------------

    def present(self, im, path):
        found = []
        for node in im.live.values():
            for x in self.model.path_leaves(node, path):
                if not any(x is y or (type(x) is type(y) and x == y) for y in found):
                    found.append(x)
        return found

    def resolve(self, im, op, path, source, number=0):
        kind, payload = source
        if kind == "lit":
            return payload
        pool = self.present(im, path) or FALLBACK
        v = pool[(payload + number) % len(pool)]
        if op in ("starts_with", "ends_with", "contains") and type(v) is str:
            n = len(v)
            cut = payload % (n + 1)
            if op == "starts_with":
                return v[:cut]
            if op == "ends_with":
                return v[cut:]
            return v[cut // 2:cut]
        if op in ("gt", "ge", "lt", "le", "bt", "eq") and is_num(v) and payload % 3 == 1:
            # The same number in the other numeric type, where that is exact.
            if type(v) is int and abs(v) <= 2**53:
                return float(v)
            if type(v) is float and math.isfinite(v) and v == int(v) and abs(v) < 2**63:
                return int(v)
        return v

    def build(self, im, spec):
        """Returns (expression, text, predicate(node))."""
        model = self.model
        if spec[0] == "not":
            expr, text, pred = self.build(im, spec[1])
            return Q.not_(expr), f"not_({text})", lambda n: not pred(n)
        if spec[0] in ("and", "or"):
            parts = [self.build(im, s) for s in spec[1]]
            combine = all if spec[0] == "and" else any
            return (getattr(Q, spec[0] + "_")(*[p[0] for p in parts]),
                    f"{spec[0]}_({', '.join(p[1] for p in parts)})",
                    lambda n: combine(p[2](n) for p in parts))
        _, op, path, source = spec
        v = self.resolve(im, op, path, source)
        if op == "in_":
            vs = [v, self.resolve(im, op, path, ("pick", 1 if source[0] == "lit" else source[1]), 1),
                  "absent-value"]
            vs = [x for x in vs if type(x) not in SEQUENCES and type(x) is not dict]
            return (Q.in_(path, vs), f"in_({path!r}, {vs!r})",
                    lambda n: model.holds(n, path, lambda x: any(eq_leaf(x, q) for q in vs), im))
        if op == "bt":
            w = self.resolve(im, op, path, source, 1)
            lo, hi = (v, w) if is_num(v) and is_num(w) and type(v) is not bool \
                and type(w) is not bool else (-1, 1)
            lo, hi = (lo, hi) if source[0] == "lit" or source[1] % 2 else (min(lo, hi), max(lo, hi))
            return (Q.bt(path, lo, hi), f"bt({path!r}, {lo!r}, {hi!r})",
                    lambda n: model.holds(n, path, lambda x: is_num(x) and lo <= x <= hi, im))
        text = f"{op}({path!r}, {v!r})"
        expr = getattr(Q, op)(path, v)
        if op in ("eq", "ne"):
            test = lambda x: eq_leaf(x, v)  # noqa: E731
            if op == "ne":
                return expr, text, lambda n: not model.holds(n, path, test, im)
        elif op in ("gt", "ge", "lt", "le"):
            if not is_num(v):
                test = lambda x: False  # noqa: E731
            else:
                opfn = {"gt": lambda a: a > v, "ge": lambda a: a >= v,
                        "lt": lambda a: a < v, "le": lambda a: a <= v}[op]
                test = lambda x: is_num(x) and opfn(x)  # noqa: E731
        else:
            method = {"starts_with": str.startswith, "ends_with": str.endswith,
                      "contains": str.__contains__}[op]
            test = lambda x: type(x) is str and type(v) is str and method(x, v)  # noqa: E731
        return expr, text, lambda n: model.holds(n, path, test, im)

    def check(self, im, got, pred, what, listing=None):
        """`got` must hold exactly the live objects satisfying `pred`, once each, in the
        order of `listing` (the index's own collect(): ascending item id)."""
        got = list(got)
        got_ids = [id(o) for o in got]
        assert len(got_ids) == len(set(got_ids)), f"duplicates in {what}"
        expected = {k for k, n in im.live.items() if pred(n)}
        if set(got_ids) != expected:
            extra = [self.order.get(k) for k in set(got_ids) - expected]
            missing = [self.order.get(k) for k in expected - set(got_ids)]
            raise AssertionError(f"{what}: extra nodes {extra}, missing nodes {missing}")
        if listing is not None:
            rank = {id(o): r for r, o in enumerate(listing)}
            ranks = [rank[k] for k in got_ids]
            assert ranks == sorted(ranks), f"{what}: not in the order of collect()"

    # -- rules -----------------------------------------------------------------------

    def register(self, node, attrs):
        self.order[id(node)] = len(self.order)
        self.model.attrs[id(node)] = dict(attrs)
        return node

    @initialize(target=nodes)
    def first_nodes(self):
        seeds = [{"a": 0, "s": "", "items": [1, "é"]}, {"a": 1.5, "s": "ab", "_p": 1},
                 {"a": -(2**63), "s": "日本", "b": True}, {"a": 2**63 - 1, "s": "a😀b", "b": 1}]
        made = [self.register(Item(**attrs), attrs) for attrs in seeds]
        for node in made[:3]:
            self.indexes[0].index.add_object(node)
            self.indexes[0].live[id(node)] = node
        self.indexes[1].index.add_object_many(made[1:])
        for node in made[1:]:
            self.indexes[1].live[id(node)] = node
            self.indexes[1].private.add(id(node))
        return multiple(*made)

    @rule(target=nodes, data=st.data())
    def new_node(self, data):
        attrs = data.draw(st.dictionaries(st.sampled_from(ATTRS), self.any_value(), max_size=3))
        return self.register(Item(**attrs), attrs)

    def any_value(self):
        node_or_scalar = st.one_of(scalars, self.nodes)
        flat = st.lists(node_or_scalar, max_size=3)
        nested = st.lists(st.one_of(node_or_scalar, flat, flat.map(tuple)), max_size=3)
        hashable = st.one_of(scalars, self.nodes)
        return st.one_of(
            scalars, scalars, self.nodes,
            nested, nested.map(tuple), st.sets(hashable, max_size=3),
            st.dictionaries(st.sampled_from(["k", "a"]), scalars, max_size=2))

    @rule(node=nodes, attr=st.sampled_from(ASSIGNED), data=st.data())
    def assign(self, node, attr, data):
        value = data.draw(self.any_value())
        assume(not self.model.reaches(value, node))  # the object graph stays acyclic
        setattr(node, attr, value)
        self.model.attrs[id(node)][attr] = value
        got = getattr(node, attr)
        if type(value) in SEQUENCES or type(value) in (dict, Token, Item) or value is None:
            assert got is value
        else:
            assert type(got) is type(value) and got == value
            if type(value) is float:
                assert math.copysign(1.0, got) == math.copysign(1.0, value)

    @rule(i=st.integers(0, 2), node=nodes)
    def add_one(self, i, node):
        im = self.indexes[i]
        im.index.add_object(node)
        im.live[id(node)] = node

    @rule(i=st.integers(0, 2), batch=st.lists(nodes, max_size=6))
    def add_many(self, i, batch):
        im = self.indexes[i]
        im.index.add_object_many(batch)
        for node in batch:
            im.live[id(node)] = node
            im.private.add(id(node))

    @rule(i=st.integers(0, 2), path=st.sampled_from(["a", "b", "s", "items", "owner.a", "_p"]),
          pick=st.integers(0, 50), empty=st.booleans())
    def reduce(self, i, path, pick, empty):
        im = self.indexes[i]
        if empty:
            kw = {}
        else:
            pool = self.present(im, path) or FALLBACK
            kw = {path: pool[pick % len(pool)]}
        im.index.reduce(**kw)
        keep = {k: n for k, n in im.live.items()
                if all(self.model.holds(n, p, lambda x, v=v: eq_leaf(x, v), im)
                       for p, v in kw.items())}
        im.live = keep
        im.private &= set(keep)
        for vm in self.views:
            if vm.source is im:
                vm.members &= set(keep)

    @rule(i=st.integers(0, 2), j=st.integers(0, 2))
    def union(self, i, j):
        target, other = self.indexes[i], self.indexes[j]
        target.index.union_with(other.index)
        if target is not other:
            target.live.update(other.live)
            target.private |= set(other.live)

    @rule(i=st.integers(0, 2), j=st.integers(0, 2), spec=query_specs)
    def rebase(self, i, j, spec):
        source = self.indexes[i]
        expr, _, pred = self.build(source, spec)
        fresh = IndexModel(source.index.reduced_query(expr).rebase())
        fresh.live = {k: n for k, n in source.live.items() if pred(n)}
        fresh.private = set(fresh.live)
        self.indexes[j] = fresh

    @rule(i=st.integers(0, 2), spec=query_specs, slot=st.integers(0, 1))
    def keep_view(self, i, spec, slot):
        source = self.indexes[i]
        expr, _, pred = self.build(source, spec)
        vm = ViewModel(source.index.reduced_query(expr), source,
                       {k for k, n in source.live.items() if pred(n)})
        if len(self.views) < 2:
            self.views.append(vm)
        else:
            self.views[slot] = vm

    @rule(i=st.integers(0, 4), spec=query_specs, then=st.one_of(st.none(), query_specs))
    def query(self, i, spec, then):
        im = (self.indexes + self.views)[i] if i < 3 + len(self.views) else self.indexes[i % 3]
        expr, text, pred = self.build(im, spec)
        result = im.index.reduced_query(expr)
        if then is None:
            self.check(im, result.collect(), pred, f"reduced_query({text})")
        else:
            expr2, text2, pred2 = self.build(im, then)
            self.check(im, result.reduced_query(expr2).collect(),
                       lambda n: pred(n) and pred2(n),
                       f"reduced_query({text}).reduced_query({text2})")

    # -- after every step ------------------------------------------------------------

    BATTERY = [
        ("leaf", "eq", "a", ("pick", 0)), ("leaf", "eq", "s", ("pick", 1)),
        ("leaf", "eq", "items", ("pick", 2)), ("leaf", "eq", "b", ("pick", 4)),
        ("leaf", "eq", "owner", ("pick", 0)), ("leaf", "eq", "_p", ("pick", 0)),
        ("leaf", "ne", "a", ("pick", 1)), ("leaf", "eq", "owner.a", ("pick", 0)),
        ("leaf", "eq", "owner.owner.a", ("pick", 0)), ("leaf", "contains", "items.b", ("pick", 3)),
        ("leaf", "ge", "a", ("pick", 2)), ("leaf", "lt", "b", ("pick", 4)),
        ("leaf", "gt", "items", ("pick", 1)), ("leaf", "le", "owner.a", ("pick", 3)),
        ("leaf", "bt", "a", ("pick", 0)), ("leaf", "bt", "items", ("pick", 5)),
        ("leaf", "starts_with", "s", ("pick", 2)), ("leaf", "ends_with", "s", ("pick", 3)),
        ("leaf", "contains", "s", ("pick", 4)), ("leaf", "starts_with", "owner.s", ("pick", 1)),
        ("leaf", "contains", "items", ("pick", 5)), ("leaf", "starts_with", "s", ("lit", "")),
        ("leaf", "in_", "a", ("pick", 0)), ("leaf", "in_", "items", ("pick", 1)),
        ("not", ("leaf", "eq", "s", ("pick", 0))),
        ("not", ("leaf", "starts_with", "owner.s", ("pick", 2))),
        ("and", [("leaf", "ge", "a", ("pick", 1)), ("not", ("leaf", "eq", "b", ("pick", 0)))]),
        ("or", [("leaf", "eq", "a", ("pick", 3)), ("leaf", "ends_with", "items", ("pick", 1))]),
        ("leaf", "eq", "a", ("lit", math.nan)), ("leaf", "gt", "a", ("lit", math.nan)),
        ("leaf", "eq", "a", ("lit", True)),
    ]

    @invariant()
    def every_index_matches_the_model(self):
        for number, im in enumerate(self.indexes + self.views):
            where = f"index {number}"
            listing = im.index.collect()
            self.check(im, listing, lambda n: True, f"{where}: collect()")
            for spec in self.BATTERY:
                expr, text, pred = self.build(im, spec)
                self.check(im, im.index.reduced_query(expr).collect(), pred,
                           f"{where}: reduced_query({text})", listing)
            for path in ("a", "s", "owner.s"):
                pool = self.present(im, path)
                kw = {path: pool[len(pool) // 2]} if pool else {path: 0}
                others = self.present(im, "b")
                if others and len(pool) % 2 == 0:
                    kw["b"] = others[0]  # two keywords: both must hold
                test = {p: (lambda x, v=v: eq_leaf(x, v)) for p, v in kw.items()}
                got = im.index.get_by_attribute(**kw) if isinstance(im, IndexModel) \
                    else im.index.reduced(**kw).collect()
                self.check(im, got, lambda n: all(self.model.holds(n, p, t, im)
                                                  for p, t in test.items()),
                           f"{where}: get_by_attribute(**{kw!r})", listing)


EXAMPLES = int(os.environ.get("VANTOREL_FUZZ_EXAMPLES", "150"))

Machine.TestCase.settings = settings(
    derandomize=True,
    max_examples=EXAMPLES,
    stateful_step_count=40,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much,
                           HealthCheck.data_too_large],
)

TestIndexesAgainstModel = Machine.TestCase
