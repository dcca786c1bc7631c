"""The engines compared by bench.py.

Every engine indexes its own list of objects holding the same values (Vantorel a list of
Indexables, the others a list of plain objects) and answers each workload with a list of
those objects (order is irrelevant; answers are compared as the positions of the objects
returned). Position i always means objs[i]. Each engine keeps its own index current when
`age` changes: the objects are the truth, the engine assigns them and follows them.

Engines import their third-party library lazily (in their constructor), so that the
bench can fork one process per engine before anything heavy is loaded.
"""

import bisect
import gc
from collections import defaultdict


def owner_name(o):
    w = getattr(o, "owner", None)
    return None if w is None else w.name


def extract_columns(objs):
    """Reads every attribute of every object into plain column lists (a peer's first step)."""
    return {
        "age": [o.age for o in objs],
        "score": [o.score for o in objs],
        "city": [o.city for o in objs],
        "name": [o.name for o in objs],
        "active": [o.active for o in objs],
        "owner_name": [owner_name(o) for o in objs],
        "tags": [o.tags for o in objs],
    }


def exploded_tags(tags):
    """(position, tag) pairs for a separate tag table."""
    pos, tag = [], []
    for i, ts in enumerate(tags):
        for t in ts:
            pos.append(i)
            tag.append(t)
    return pos, tag


class Engine:
    name = "?"
    builds_index = True  # False for the scan: its build costs nothing

    def __init__(self, objs):
        self.objs = objs

    def build(self):
        raise NotImplementedError

    @classmethod
    def create(cls, objs):
        """An engine over objs; drop() later keeps what the constructor set up."""
        e = cls(objs)
        e._keep = set(vars(e)) | {"_keep"}
        return e

    def drop(self):
        """Releases the built index."""
        for k in list(vars(self)):
            if k not in self._keep:
                delattr(self, k)
        gc.collect()

    def self_reported_bytes(self):
        """Size of the index as the library itself reports it, when it can."""
        return None

    def pick(self, positions):
        objs = self.objs
        return [objs[i] for i in positions]

    # Workloads. Each returns a list of objects.
    def eq_age(self, v):
        raise NotImplementedError

    def eq_name(self, v):
        raise NotImplementedError

    def range_score(self, lo, hi):  # inclusive on both ends
        raise NotImplementedError

    def city_age(self, city, age_gt):
        raise NotImplementedError

    def prefix(self, p):
        raise NotImplementedError

    def substring(self, s):
        raise NotImplementedError

    def tag(self, t):
        raise NotImplementedError

    def owner(self, n):
        raise NotImplementedError

    def prepare_update(self, positions, values):
        """The input of update_age, made before it is timed, in the form the engine's user
        would hold: by default the (object, value) pairs to assign."""
        objs = self.objs
        return [(objs[p], v) for p, v in zip(positions, values)]

    def update_age(self, batch):
        """Sets objs[p].age = v for each assignment in the batch and keeps the engine's
        index current."""
        for o, v in batch:
            o.age = v


class ScanEngine(Engine):
    name = "scan"
    builds_index = False

    def build(self):
        pass

    def eq_age(self, v):
        return [o for o in self.objs if o.age == v]

    def eq_name(self, v):
        return [o for o in self.objs if o.name == v]

    def range_score(self, lo, hi):
        return [o for o in self.objs if lo <= o.score <= hi]

    def city_age(self, city, age_gt):
        return [o for o in self.objs if o.city == city and o.age > age_gt]

    def prefix(self, p):
        return [o for o in self.objs if o.name.startswith(p)]

    def substring(self, s):
        return [o for o in self.objs if s in o.name]

    def tag(self, t):
        return [o for o in self.objs if t in o.tags]

    def owner(self, n):
        return [o for o in self.objs if owner_name(o) == n]


class VantorelEngine(Engine):
    name = "vantorel"

    def __init__(self, objs):
        super().__init__(objs)
        import Vantorel

        self.Index = Vantorel.Index
        self.Q = Vantorel.PyQueryExpr
        # Builds run on the calling thread, where the library lets a program choose.
        set_threads = getattr(Vantorel, "set_threads", None)
        if set_threads is not None:
            set_threads(1)

    def build(self):
        self.idx = self.Index()
        self.idx.add_object_many(self.objs)

    def drop(self):
        self.idx = None
        gc.collect()

    def eq_age(self, v):
        return self.idx.get_by_attribute(age=v)

    def eq_name(self, v):
        return self.idx.get_by_attribute(name=v)

    def range_score(self, lo, hi):
        return self.idx.reduced_query(self.Q.bt("score", lo, hi)).collect()

    def city_age(self, city, age_gt):
        Q = self.Q
        return self.idx.reduced_query(Q.and_(Q.eq("city", city), Q.gt("age", age_gt))).collect()

    def prefix(self, p):
        return self.idx.reduced_query(self.Q.starts_with("name", p)).collect()

    def substring(self, s):
        return self.idx.reduced_query(self.Q.contains("name", s)).collect()

    def tag(self, t):
        return self.idx.get_by_attribute(tags=t)

    def owner(self, n):
        return self.idx.get_by_attribute(**{"owner.name": n})

    # update_age is the base one: plain assignments, the index follows by itself.


class HandIndexEngine(Engine):
    """What a user writes without a library: dicts of position sets, sorted lists + bisect."""

    name = "hand-index"

    def build(self):
        age, name, city, tags, owner = (defaultdict(set) for _ in range(5))
        scored = []
        for i, o in enumerate(self.objs):
            age[o.age].add(i)
            name[o.name].add(i)
            city[o.city].add(i)
            for t in o.tags:
                tags[t].add(i)
            w = getattr(o, "owner", None)
            if w is not None:
                owner[w.name].add(i)
            scored.append((o.score, i))
        scored.sort()
        self.age, self.name, self.city, self.tags, self.owner_ix = age, name, city, tags, owner
        self.score_keys = [s for s, _ in scored]
        self.score_pos = [i for _, i in scored]
        self.names_sorted = sorted(name)  # distinct names, for prefixes

    def eq_age(self, v):
        return self.pick(self.age.get(v, ()))

    def eq_name(self, v):
        return self.pick(self.name.get(v, ()))

    def range_score(self, lo, hi):
        a = bisect.bisect_left(self.score_keys, lo)
        b = bisect.bisect_right(self.score_keys, hi)
        return self.pick(self.score_pos[a:b])

    def city_age(self, city, age_gt):
        objs = self.objs
        return [objs[i] for i in self.city.get(city, ()) if objs[i].age > age_gt]

    def prefix(self, p):
        keys = self.names_sorted
        a = bisect.bisect_left(keys, p)
        b = bisect.bisect_left(keys, p + "\U0010ffff")
        out = []
        for n in keys[a:b]:
            out.extend(self.name[n])
        return self.pick(out)

    def substring(self, s):
        out = []
        for n, ps in self.name.items():
            if s in n:
                out.extend(ps)
        return self.pick(out)

    def tag(self, t):
        return self.pick(self.tags.get(t, ()))

    def owner(self, n):
        return self.pick(self.owner_ix.get(n, ()))

    def remove(self, positions):
        """Takes the objects at `positions` out of every structure, as a user would."""
        objs = self.objs
        for p in positions:
            o = objs[p]
            for ix, v in ((self.age, o.age), (self.city, o.city)):
                ix[v].discard(p)
            ps = self.name[o.name]
            ps.discard(p)
            if not ps:
                del self.name[o.name]
                del self.names_sorted[bisect.bisect_left(self.names_sorted, o.name)]
            for t in o.tags:
                self.tags[t].discard(p)
            w = getattr(o, "owner", None)
            if w is not None:
                self.owner_ix[w.name].discard(p)
            at = bisect.bisect_left(self.score_keys, o.score)
            while self.score_pos[at] != p:
                at += 1
            del self.score_keys[at]
            del self.score_pos[at]

    def prepare_update(self, positions, values):
        objs = self.objs
        return [(p, objs[p], v) for p, v in zip(positions, values)]

    def update_age(self, batch):
        age = self.age
        for p, o, v in batch:
            old = o.age
            if old != v:
                age[old].discard(p)
                age[v].add(p)
            o.age = v


class SqlEngine(Engine):
    """The queries that sqlite3 and DuckDB write alike, over a table `t` of the attributes
    (with `pos`, the position in the list of objects) and a table `tags` of (pos, tag).
    Subclasses run a query with `_q(sql, *args)` and write the prefix and substring ones."""

    def eq_age(self, v):
        return self._q("SELECT pos FROM t WHERE age = ?", v)

    def eq_name(self, v):
        return self._q("SELECT pos FROM t WHERE name = ?", v)

    def range_score(self, lo, hi):
        return self._q("SELECT pos FROM t WHERE score BETWEEN ? AND ?", lo, hi)

    def city_age(self, city, age_gt):
        return self._q("SELECT pos FROM t WHERE city = ? AND age > ?", city, age_gt)

    def tag(self, t):
        return self._q("SELECT pos FROM tags WHERE tag = ?", t)

    def owner(self, n):
        return self._q("SELECT pos FROM t WHERE owner_name = ?", n)


class SqliteEngine(SqlEngine):
    name = "sqlite"

    def __init__(self, objs):
        super().__init__(objs)
        import sqlite3

        self.sqlite3 = sqlite3

    def build(self):
        cols = extract_columns(self.objs)
        con = self.sqlite3.connect(":memory:")
        con.execute(
            "CREATE TABLE t (pos INTEGER PRIMARY KEY, age INTEGER, score REAL, city TEXT,"
            " name TEXT, active INTEGER, owner_name TEXT)"
        )
        con.execute("CREATE TABLE tags (pos INTEGER, tag TEXT)")
        con.executemany(
            "INSERT INTO t VALUES (?,?,?,?,?,?,?)",
            zip(range(len(self.objs)), cols["age"], cols["score"], cols["city"], cols["name"],
                cols["active"], cols["owner_name"]),
        )
        con.executemany("INSERT INTO tags VALUES (?,?)", zip(*exploded_tags(cols["tags"])))
        for col in ("age", "score", "city", "name", "owner_name"):
            con.execute(f"CREATE INDEX t_{col} ON t({col})")
        con.execute("CREATE INDEX tags_tag ON tags(tag)")
        con.execute("ANALYZE")
        con.commit()
        self.con = con

    def drop(self):
        self.con.close()
        self.con = None
        gc.collect()

    def _q(self, sql, *args):
        objs = self.objs
        return [objs[p] for (p,) in self.con.execute(sql, args)]

    def prefix(self, p):
        # GLOB is case-sensitive, so it can use the index on name (LIKE cannot by default).
        return self._q("SELECT pos FROM t WHERE name GLOB ?", p + "*")

    def substring(self, s):
        return self._q("SELECT pos FROM t WHERE instr(name, ?) > 0", s)

    def prepare_update(self, positions, values):
        return super().prepare_update(positions, values), list(zip(values, positions))

    def update_age(self, batch):
        pairs, rows = batch
        super().update_age(pairs)
        self.con.executemany("UPDATE t SET age = ? WHERE pos = ?", rows)
        self.con.commit()


class PandasEngine(Engine):
    name = "pandas"

    def __init__(self, objs):
        super().__init__(objs)
        import numpy as np
        import pandas as pd

        self.np, self.pd = np, pd

    def build(self):
        pd = self.pd
        cols = extract_columns(self.objs)
        tags = cols.pop("tags")
        self.df = pd.DataFrame(cols)
        tpos, ttag = exploded_tags(tags)
        self.tags_df = pd.DataFrame({"pos": tpos, "tag": ttag})

    def self_reported_bytes(self):
        return int(self.df.memory_usage(deep=True).sum() + self.tags_df.memory_usage(deep=True).sum())

    def _m(self, mask):
        return self.pick(self.np.flatnonzero(mask.to_numpy()).tolist())

    def eq_age(self, v):
        return self._m(self.df["age"] == v)

    def eq_name(self, v):
        return self._m(self.df["name"] == v)

    def range_score(self, lo, hi):
        return self._m(self.df["score"].between(lo, hi))

    def city_age(self, city, age_gt):
        df = self.df
        return self._m((df["city"] == city) & (df["age"] > age_gt))

    def prefix(self, p):
        return self._m(self.df["name"].str.startswith(p))

    def substring(self, s):
        return self._m(self.df["name"].str.contains(s, regex=False))

    def tag(self, t):
        td = self.tags_df
        return self.pick(td["pos"].to_numpy()[(td["tag"] == t).to_numpy()].tolist())

    def owner(self, n):
        return self._m(self.df["owner_name"] == n)

    def prepare_update(self, positions, values):
        np = self.np
        return (super().prepare_update(positions, values), np.array(positions, dtype=np.int64),
                np.array(values, dtype=np.int64), self.df.columns.get_loc("age"))

    def update_age(self, batch):
        pairs, positions, values, column = batch
        super().update_age(pairs)
        self.df.iloc[positions, column] = values  # positional: no label lookup


class PolarsEngine(Engine):
    name = "polars"

    def __init__(self, objs):
        super().__init__(objs)
        import polars as pl

        self.pl = pl

    def build(self):
        pl = self.pl
        cols = extract_columns(self.objs)
        self.df = pl.DataFrame(
            cols,
            schema={
                "age": pl.Int64, "score": pl.Float64, "city": pl.String, "name": pl.String,
                "active": pl.Boolean, "owner_name": pl.String, "tags": pl.List(pl.String),
            },
        )

    def self_reported_bytes(self):
        return int(self.df.estimated_size())

    def _w(self, expr):
        pl = self.pl
        return self.pick(self.df.select(pl.arg_where(expr)).to_series().to_list())

    def eq_age(self, v):
        return self._w(self.pl.col("age") == v)

    def eq_name(self, v):
        return self._w(self.pl.col("name") == v)

    def range_score(self, lo, hi):
        return self._w(self.pl.col("score").is_between(lo, hi, closed="both"))

    def city_age(self, city, age_gt):
        c = self.pl.col
        return self._w((c("city") == city) & (c("age") > age_gt))

    def prefix(self, p):
        return self._w(self.pl.col("name").str.starts_with(p))

    def substring(self, s):
        return self._w(self.pl.col("name").str.contains(s, literal=True))

    def tag(self, t):
        return self._w(self.pl.col("tags").list.contains(t))

    def owner(self, n):
        return self._w(self.pl.col("owner_name") == n)

    def prepare_update(self, positions, values):
        pl = self.pl
        return (super().prepare_update(positions, values), pl.Series(positions, dtype=pl.Int64),
                pl.Series(values, dtype=pl.Int64))

    def update_age(self, batch):
        pairs, positions, values = batch
        super().update_age(pairs)
        self.df = self.df.with_columns(self.df["age"].scatter(positions, values))


class DuckdbEngine(SqlEngine):
    name = "duckdb"

    def __init__(self, objs):
        super().__init__(objs)
        import duckdb
        import numpy as np

        self.duckdb, self.np = duckdb, np

    def build(self):
        np = self.np
        cols = extract_columns(self.objs)
        tpos, ttag = exploded_tags(cols.pop("tags"))
        arrays = {"pos": np.arange(len(self.objs), dtype=np.int64)}
        arrays["age"] = np.array(cols["age"], dtype=np.int64)
        arrays["score"] = np.array(cols["score"], dtype=np.float64)
        arrays["active"] = np.array(cols["active"], dtype=np.bool_)
        for k in ("city", "name", "owner_name"):
            arrays[k] = np.array(cols[k], dtype=object)
        con = self.duckdb.connect()
        con.register("src", arrays)
        con.execute("CREATE TABLE t AS SELECT * FROM src")
        con.unregister("src")
        con.register("src_tags", {"pos": np.array(tpos, dtype=np.int64), "tag": np.array(ttag, dtype=object)})
        con.execute("CREATE TABLE tags AS SELECT * FROM src_tags")
        con.unregister("src_tags")
        self.con = con

    def drop(self):
        self.con.close()
        self.con = None
        gc.collect()

    def self_reported_bytes(self):
        row = self.con.execute("SELECT sum(memory_usage_bytes) FROM duckdb_memory()").fetchone()
        return None if row is None or row[0] is None else int(row[0])

    def _q(self, sql, *args):
        return self.pick(self.con.execute(sql, list(args)).fetchnumpy()["pos"].tolist())

    def prefix(self, p):
        return self._q("SELECT pos FROM t WHERE starts_with(name, ?)", p)

    def substring(self, s):
        return self._q("SELECT pos FROM t WHERE contains(name, ?)", s)

    def prepare_update(self, positions, values):
        np = self.np
        return (super().prepare_update(positions, values),
                {"pos": np.array(positions, dtype=np.int64),
                 "age": np.array(values, dtype=np.int64)})

    def update_age(self, batch):
        pairs, columns = batch
        super().update_age(pairs)
        self.con.register("upd", columns)
        self.con.execute("UPDATE t SET age = upd.age FROM upd WHERE t.pos = upd.pos")
        self.con.unregister("upd")


ENGINES = {
    e.name: e
    for e in (VantorelEngine, ScanEngine, HandIndexEngine, SqliteEngine, PandasEngine,
              PolarsEngine, DuckdbEngine)
}
