#!/usr/bin/env python3
"""Lists the #include edges of src/ that run from a lower layer to a higher one.

The layers, from the bottom:
  0 native    pure C++ over CRoaring: common/, sync/, index/core/structures/
  1 python    the C-API helpers: py/
  2 values    values, per-object records and the Indexable instance layout:
              index/*.h and index/*.cpp except the Python classes
  3 core      the index core and its queries: index/core/ (but structures/)
  4 classes   the Python classes: index/interfaces/, index/indexable*
  5 module    module.cpp

A file may include its own layer and the layers below. Prints every edge that
breaks this and exits 1 if there is one; --all prints every edge across layers.
"""

import pathlib
import re
import sys

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
NAMES = ["native", "python", "values", "core", "classes", "module"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def layer_of(path: str) -> int:
    if path.startswith(("common/", "sync/", "index/core/structures/")):
        return 0
    if path.startswith("py/"):
        return 1
    if path.startswith("index/core/"):
        return 3
    if path.startswith(("index/interfaces/", "index/indexable.", "index/indexable_copy.")):
        return 4
    if path.startswith("index/"):
        return 2
    if path == "module.cpp":
        return 5
    raise SystemExit(f"layers: {path} belongs to no layer")


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
