"""Tables (text and markdown) and the bar chart of a bench.py result document."""

LABELS = {
    "build": "build", "eq_age": "age==", "eq_name": "name==", "range_score": "score 1%",
    "city_age": "city&age>", "prefix": "prefix", "substring": "substr", "tag": "tag",
    "owner": "owner.name", "update": "update+q", "memory": "B/obj",
}
KIND_LABELS = {"indexable": "Indexable", "plain": "plain (`__dict__`)", "slots": "`__slots__`"}


def fmt_ms(v):
    if v is None:
        return "-"
    if v < 0.01:
        return f"{v:.4f}"  # microsecond queries: keep two significant digits
    if v < 1:
        return f"{v:.3f}"
    if v < 10:
        return f"{v:.2f}"
    if v < 100:
        return f"{v:.1f}"
    return f"{v:.0f}"


def fmt_ratio(r):
    if r is None:
        return "-"
    return f"{r:.1f}x" if r >= 10 else f"{r:.2f}x"


def median(doc, engine, wl):
    res = doc["results"].get(engine)
    if res is None:
        return None
    if wl == "memory":
        return res.get("memory", {}).get("bytes_per_object")
    if wl == "assign":
        return res["workloads"].get(wl, {}).get("ns_per_assignment")
    w = res["workloads"].get(wl)
    return None if w is None else w["median_ms"]


def best_peer(doc, wl):
    """(engine, value) of the fastest (or smallest) engine other than Vantorel."""
    best = None
    for e in doc["engines"]:
        if e == "vantorel":
            continue
        if wl in ("build", "memory", "assign") and e == "scan":
            continue  # the scan builds and maintains nothing
        v = median(doc, e, wl)
        if v is not None and (best is None or v < best[1]):
            best = (e, v)
    return best


def ratio(doc, wl):
    """Best peer / Vantorel: above 1 means Vantorel is faster (or smaller)."""
    v = median(doc, "vantorel", wl)
    b = best_peer(doc, wl)
    if v is None or b is None or v <= 0:
        return None
    return b[1] / v


def rows(doc):
    cols = doc["workloads"] + ["memory"]
    header = ["engine"] + [LABELS[c] for c in cols]
    body = []
    for e in doc["engines"]:
        cells = [e]
        for c in cols:
            v = median(doc, e, c)
            if c == "memory":
                cells.append("-" if v is None or e == "scan" else f"{v:.0f}")
            elif c == "build" and e == "scan":
                cells.append("-")
            else:
                cells.append(fmt_ms(v))
        body.append(cells)
    if "vantorel" in doc["engines"]:
        body.append(["best peer"] + [(best_peer(doc, c) or ("-",))[0] for c in cols])
        body.append(["vantorel speedup"] + [fmt_ratio(ratio(doc, c)) for c in cols])
    return header, body


def text_table(doc):
    header, body = rows(doc)
    widths = [max(len(r[i]) for r in [header] + body) for i in range(len(header))]
    lines = ["  ".join(h.rjust(w) if i else h.ljust(w) for i, (h, w) in enumerate(zip(header, widths)))]
    lines.append("  ".join("-" * w for w in widths))
    for r in body:
        lines.append("  ".join(c.rjust(w) if i else c.ljust(w) for i, (c, w) in enumerate(zip(r, widths))))
    cfg = doc["meta"]["config"]
    title = (f"Medians in ms over {cfg['reps']} runs (builds: {cfg['build_reps']}), "
             f"{cfg['objects']:,} objects; B/obj = RSS growth per object during the build "
             "(the index alone); speedup = best peer / vantorel")
    return title + "\n" + "\n".join(lines)


def first_query_table(doc):
    """Markdown rows: each engine's build plus the first query of each kind, which counts the
    structures an engine builds only when a query first needs them."""
    wls = [wl for wl in doc["workloads"] if wl not in ("build", "update")]
    engines = [e for e in doc["engines"] if e != "scan" and median(doc, e, "build") is not None]
    rows = ["| engine | " + " | ".join(LABELS[wl] for wl in wls) + " |",
            "|---|" + "---:|" * len(wls)]
    totals = {}
    for e in engines:
        build = median(doc, e, "build")
        cells = []
        for wl in wls:
            first = doc["results"][e]["workloads"].get(wl, {}).get("first_ms")
            totals[e, wl] = None if first is None else build + first
            cells.append(fmt_ms(totals[e, wl]))
        rows.append(f"| {e} | " + " | ".join(cells) + " |")
    if "vantorel" in engines:
        cells = []
        for wl in wls:
            peers = [totals[e, wl] for e in engines if e != "vantorel" and totals[e, wl]]
            ours = totals["vantorel", wl]
            cells.append(fmt_ratio(min(peers) / ours) if peers and ours else "-")
        rows.append("| vantorel speedup | " + " | ".join(cells) + " |")
    return rows


def objects_bytes(doc, kind):
    """B/obj of the objects of `kind` with their values, or None."""
    return doc.get("objects_memory", {}).get(kind, {}).get("bytes_per_object")


def totals(doc):
    """(engine, kind of its objects, objects B/obj, index B/obj, sum) for every engine whose
    figures are known; the scan's index is nothing."""
    out = []
    for e in doc["engines"]:
        kind = "indexable" if e == "vantorel" else "plain"
        objs = objects_bytes(doc, kind)
        index = 0.0 if e == "scan" else median(doc, e, "memory")
        if objs is not None and index is not None:
            out.append((e, kind, objs, index, objs + index))
    return out


def memory_table(doc):
    """Markdown rows: the objects' own memory by kind, then objects plus index per engine."""
    kinds = [k for k in KIND_LABELS if objects_bytes(doc, k) is not None]
    if not kinds:
        return []
    rows = ["| objects with their values | B/obj |", "|---|---:|"]
    rows += [f"| {KIND_LABELS[k]} | {objects_bytes(doc, k):.0f} |" for k in kinds]
    sums = totals(doc)
    ours = next((t[4] for t in sums if t[0] == "vantorel"), None)
    rows += ["", "| engine | objects | objects B/obj | index B/obj | objects + index B/obj "
             "| engine / vantorel (above 1: Vantorel smaller) |", "|---|---|---:|---:|---:|---:|"]
    for e, kind, objs, index, total in sums:
        vs = "-" if e == "vantorel" or not ours else fmt_ratio(total / ours)
        rows.append(f"| {e} | {KIND_LABELS[kind]} | {objs:.0f} | "
                    f"{'-' if e == 'scan' else f'{index:.0f}'} | {total:.0f} | {vs} |")
    return rows


def assignment_table(doc):
    """Markdown rows: ns per assignment of the update loop (the query left out)."""
    got = [(e, median(doc, e, "assign")) for e in doc["engines"]]
    got = [(e, v) for e, v in got if v is not None]
    if not got:
        return []
    count = doc["results"][got[0][0]]["workloads"]["assign"]["assignments"]
    rows = [f"| engine | ns per assignment ({count:,} assignments of `age` on "
            f"{doc['meta']['config']['objects']:,} objects) |", "|---|---:|"]
    rows += [f"| {e}{' (no index: the store alone)' if e == 'scan' else ''} | {v:.0f} |"
             for e, v in got]
    best = best_peer(doc, "assign")
    ours = median(doc, "vantorel", "assign")
    if best and ours:
        rows.append(f"| best peer ({best[0]}) / vantorel | {fmt_ratio(best[1] / ours)} |")
    return rows


def live_table(doc):
    """Markdown rows: ns per assignment with and without one live result open."""
    c = doc["meta"].get("live_costs")
    if not c:
        return []
    return [f"| {c['assignments']:,} assignments on {c['objects']:,} objects, ns each | "
            f"no live result | live result over `age == 42` ({c['members']:,} members) | "
            f"with / without |",
            "|---|---:|---:|---:|",
            f"| to `age` (read by the live result) | {c['alone']:.0f} | {c['live']:.0f} | "
            f"{fmt_ratio(c['live'] / c['alone'])} |",
            f"| to `score` (not read by it) | {c['other_alone']:.0f} | {c['other_live']:.0f} | "
            f"{fmt_ratio(c['other_live'] / c['other_alone'])} |"]


def attribute_table(doc):
    """Markdown rows: ns per attribute read or store in a hot loop."""
    costs = doc["meta"].get("attribute_costs")
    if not costs:
        return []
    rows = ["| hot loop, ns each | Indexable | plain | Indexable / plain | the empty loop |",
            "|---|---:|---:|---:|---:|"]
    for c in costs.values():
        rows.append(f"| {c['what']} | {c['indexable']:.1f} | {c['plain']:.1f} | "
                    f"{fmt_ratio(c['ratio'])} | {c['loop']:.1f} |")
    return rows


def operations_wrong(ops):
    """Every wrong answer that the operation figures found, or an empty list."""
    timed = list(ops["removal"].values()) + list(ops.get("build", {}).values())
    wrong = [w for r in timed for w in r.get("wrong", [r.get("error")])]
    if "error" in ops:
        wrong.append(ops["error"])
    return wrong + [w for k in ("value_counts", "top10") for w in ops.get(k, {}).get("wrong", [])]


def operations_table(ops):
    """Markdown rows: removal at two sizes, value_counts and the top 10 of a sorted_by."""
    def ms(x):
        return f"{x:.3g}"

    rows = ["| operation | objects | vantorel ms | pure Python ms | speedup |",
            "|---|---:|---:|---:|---:|"]
    nan = float("nan")
    for size in ops["sizes"]:
        ours = ops["removal"][f"vantorel@{size}"].get("median_ms", nan)
        hand = ops["removal"][f"hand-index@{size}"].get("median_ms", nan)
        rows.append(f"| remove_object_many(1,000 objects) vs the hand-written index's removal "
                    f"| {size:,} | {ms(ours)} | {ms(hand)} | {hand / ours:.1f}x |")
    n = ops["sizes"][-1]
    for key, what in (("value_counts", '`value_counts("city")` on a view vs `Counter` over '
                                       '`collect()`'),
                      ("top10", '`sorted_by("score", descending=True, limit=10)` in one city vs '
                                '`sorted(collect(), key=...)[:10]`')):
        r = ops.get(key)
        if r is None:
            continue
        rows.append(f"| {what} | {n:,} | {ms(r['vantorel_ms'])} | {ms(r['python_ms'])} "
                    f"| {r['python_ms'] / r['vantorel_ms']:.0f}x |")
    return rows


def threads_table(ops):
    """Markdown rows: the bulk add and the removal with one thread and with helper threads."""
    if "build" not in ops:
        return []
    threads, nan = ops["threads"], float("nan")
    rows = [f"| bulk call | objects | 1 thread ms | {threads} threads ms | speedup |",
            "|---|---:|---:|---:|---:|"]
    n = ops["sizes"][-1]
    figures = [("`add_object_many` of every object", n, ops["build"]["1"],
                ops["build"][str(threads)])]
    for size in ops["sizes"]:
        figures.append(("`remove_object_many` of 1,000 objects", size,
                        ops["removal"][f"vantorel@{size}"],
                        ops["removal"][f"vantorel@{size}/{threads}"]))
    for what, size, one, many in figures:
        one, many = one.get("median_ms", nan), many.get("median_ms", nan)
        rows.append(f"| {what} | {size:,} | {one:.3g} | {many:.3g} | {one / many:.2f}x |")
    return rows


def markdown(doc):
    meta, cfg = doc["meta"], doc["meta"]["config"]
    header, body = rows(doc)
    out = [
        "# Vantorel benchmark: latest run",
        "",
        f"- {cfg['objects']:,} objects, {'quick mode, ' if cfg['quick'] else ''}"
        f"median of {cfg['reps']} runs per query (each run the mean of a batch of calls "
        f"sized to take about 2 ms) and {cfg['build_reps']} per build; "
        f"run {meta['date']}",
        f"- machine: {meta['machine']['cpus']} CPUs ({meta['machine']['cpu']}), "
        f"{meta['machine']['platform']}",
        "- versions: " + ", ".join(f"{k} {v}" for k, v in meta["versions"].items() if v),
        f"- objects: {meta['peers_index']}; Vantorel builds {cfg['vantorel_threads']}",
        f"- memory (B/obj): {meta['memory_method']}; the objects' own memory: "
        f"{meta['objects_memory_method']}",
        "- speedup: the best peer's median divided by Vantorel's (above 1: Vantorel wins); "
        "for B/obj the best peer's size divided by Vantorel's; "
        "the scan is not a peer for build and memory",
        "",
        "Times in milliseconds.",
        "",
        "| " + " | ".join(header) + " |",
        "|" + "|".join(["---"] + ["---:"] * (len(header) - 1)) + "|",
    ]
    for r in body:
        out.append("| " + " | ".join(r) + " |")
    if any("first_ms" in w for r in doc["results"].values() for w in r.get("workloads", {}).values()):
        out += ["", "Build plus the first query of each kind (ms), against the best peer's:", ""]
        out += first_query_table(doc)
    if doc.get("operations"):
        out += ["", "Removal, facet counts and ordered results (median ms):", ""]
        out += operations_table(doc["operations"])
        if threads_table(doc["operations"]):
            out += ["", "Bulk calls with one thread (the default) and with helper threads "
                    "(`Vantorel.set_threads`), median ms:", ""]
            out += threads_table(doc["operations"])
    out += ["", "Workloads:", ""]
    for wl in doc["workloads"]:
        count = next((doc["results"][e]["workloads"][wl].get("count") for e in doc["engines"]
                      if wl in doc["results"][e]["workloads"]), None)
        extra = "" if count is None else f": {count:,} matching"
        out.append(f"- `{LABELS[wl]}`: {meta['queries'][wl]}{extra}")
    for title, table in (
            ("Memory per object: the objects with their values, and the objects plus each "
             "engine's index:", memory_table(doc)),
            ("The update loop alone (assignments and the engine's own index maintenance, "
             "without the query; median of the rounds), ns per assignment:",
             assignment_table(doc)),
            ("Attribute read and store in a hot loop on this CPython (best of 7 timings):",
             attribute_table(doc)),
            ("Live results: the update loop (best of 31 rounds) with and without one live "
             "result open:", live_table(doc))):
        if table:
            out += ["", title, ""] + table
    sizes = [(e, doc["results"][e].get("memory", {}).get("self_reported_bytes"))
             for e in doc["engines"]]
    sizes = [(e, sr) for e, sr in sizes if sr]
    if sizes:
        out += ["", "Sizes the libraries report themselves (B/object): "
                + ", ".join(f"{e} {sr / cfg['objects']:.0f}" for e, sr in sizes)
                + " (pandas: memory_usage(deep=True); polars: estimated_size(); duckdb: "
                "duckdb_memory())."]
    if meta["notes"]:
        out += ["", "Notes:", ""] + [f"- {n}" for n in meta["notes"]]
    if doc["mismatches"]:
        out += ["", f"**{len(doc['mismatches'])} wrong answer(s)**, see latest.json."]
    return "\n".join(out) + "\n"


def chart(doc, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except Exception as ex:  # optional
        return f"No chart: matplotlib unavailable ({ex})"
    engines = doc["engines"]
    wls = doc["workloads"]
    fig, (ax, axm, axn) = plt.subplots(1, 3, figsize=(18, 5.5),
                                       gridspec_kw={"width_ratios": [5, 1.3, 1.5]})
    width = 0.8 / max(1, len(engines))
    for k, e in enumerate(engines):
        xs, ys = [], []
        for i, wl in enumerate(wls):
            v = median(doc, e, wl)
            if v is not None and not (wl == "build" and e == "scan"):
                xs.append(i + (k - (len(engines) - 1) / 2) * width)
                ys.append(max(v, 1e-3))
        ax.bar(xs, ys, width, label=e)
    ax.set_yscale("log")
    ax.set_xticks(range(len(wls)))
    ax.set_xticklabels([LABELS[w] for w in wls], rotation=20)
    ax.set_ylabel("median time (ms, log scale)")
    cfg = doc["meta"]["config"]
    ax.set_title(f"Query and build times, {cfg['objects']:,} objects (lower is better)")
    ax.grid(axis="y", which="both", alpha=0.3)
    ax.legend(fontsize=8, ncol=2)

    # Memory: each engine's objects (light) under its index (the engine's colour).
    objs_of = {e: kind for e, kind, *_ in totals(doc)}
    for k, e in enumerate(engines):
        objs = objects_bytes(doc, objs_of[e]) if e in objs_of else 0.0
        index = 0.0 if e == "scan" else (median(doc, e, "memory") or 0.0)
        axm.bar([k], [objs], 0.8, color="lightgray", edgecolor=f"C{k}")
        axm.bar([k], [index], 0.8, bottom=[objs], color=f"C{k}")
        axm.annotate(f"{objs + index:.0f}", (k, objs + index), ha="center", va="bottom",
                     fontsize=7)
    axm.set_xticks(range(len(engines)))
    axm.set_xticklabels(engines, rotation=60, fontsize=8)
    axm.set_title("B/object: objects (gray) + index", fontsize=10)
    axm.grid(axis="y", which="both", alpha=0.3)

    # ns per attribute read or store, and per indexed assignment, Indexable against plain.
    short = {"read_one": "read\none", "read_many": "read\n{:,}\nin turn",
             "store_one": "store\none"}
    groups = [(short[k].format(c["objects"]), c["indexable"], c["plain"])
              for k, c in doc["meta"].get("attribute_costs", {}).items()]
    best = best_peer(doc, "assign")
    ours = median(doc, "vantorel", "assign")
    if best and ours:
        groups.append((f"indexed\nassignment\n(vs {best[0]})", ours, best[1]))
    xs = range(len(groups))
    axn.bar([x - 0.2 for x in xs], [g[1] for g in groups], 0.4, label="Indexable / vantorel",
            color="C0")
    axn.bar([x + 0.2 for x in xs], [g[2] for g in groups], 0.4, label="plain / best peer",
            color="gray")
    axn.set_xticks(list(xs))
    axn.set_xticklabels([g[0] for g in groups], fontsize=7)
    axn.set_yscale("log")
    axn.set_title("ns each (lower is better)", fontsize=10)
    axn.grid(axis="y", which="both", alpha=0.3)
    axn.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return f"Chart: {path}"
