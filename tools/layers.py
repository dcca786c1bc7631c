#!/usr/bin/env python3
"""Lists the #include edges of src/ that run from a lower layer to a higher one.

The layers, from the bottom, are the directories of src/:
  0 native    pure C++ over CRoaring: native/ (common/, sync/, structures/)
  1 python    the C-API helpers: py/
  2 values    values, per-object records and the Indexable instance layout: values/
  3 core      the index core, its queries and its bulk paths: core/
  4 classes   the Python classes: classes/
  5 module    module.cpp

A file may include its own layer and the layers below. Prints every edge that
breaks this and exits 1 if there is one; --all prints every edge across layers.
"""

import pathlib
import re
import sys

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
LAYERS = ["native", "py", "values", "core", "classes", "module.cpp"]
NAMES = ["native", "python", "values", "core", "classes", "module"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def layer_of(path: str) -> int:
    top = path.split("/", 1)[0]
    if top not in LAYERS:
        raise SystemExit(f"layers: {path} belongs to no layer")
    return LAYERS.index(top)


def edges() -> list[tuple[str, str]]:
    found = []
    for file in sorted(SRC.rglob("*")):
        if file.suffix not in (".h", ".cpp"):
            continue
        source = file.relative_to(SRC).as_posix()
        text = file.read_text()
        for target in INCLUDE.findall(text):
            found.append((source, target))
        if "<Python.h>" in text:
            found.append((source, "py/python.h"))
    return found


def main() -> int:
    show_all = "--all" in sys.argv[1:]
    upward = 0
    for source, target in edges():
        low, high = layer_of(source), layer_of(target)
        if high > low:
            upward += 1
            print(f"upward  {source} ({NAMES[low]}) -> {target} ({NAMES[high]})")
        elif show_all and high < low:
            print(f"down    {source} ({NAMES[low]}) -> {target} ({NAMES[high]})")
    if upward:
        print(f"layers: {upward} include(s) run upward")
        return 1
    print("layers: every include runs down or within its layer")
    return 0


if __name__ == "__main__":
    sys.exit(main())
