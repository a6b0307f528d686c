#!/usr/bin/env python3
"""No two source files of src/ (each with its header) depend on each other, directly or
through others: prints each circle of #include "..." lines and fails if there is one.
usage: include_cycles.py SRC_DIR"""
import glob, os, re, sys


def graph(src):
    """unit (a path without its extension) -> the units it includes."""
    files = glob.glob(os.path.join(src, "*", "*.cpp")) + glob.glob(os.path.join(src, "*", "*.h"))
    by_name = {}
    for f in files:
        by_name.setdefault(os.path.splitext(os.path.basename(f))[0], set()).add(
            os.path.splitext(f)[0])
    edges = {}
    for f in files:
        unit = os.path.splitext(f)[0]
        for included in re.findall(r'^#include "([^"]+)"', open(f).read(), re.M):
            name = os.path.splitext(os.path.basename(included))[0]
            edges.setdefault(unit, set()).update(by_name.get(name, set()) - {unit})
    return edges


def circles(edges):
    found, done = [], set()
    def visit(unit, path):
        for next_unit in sorted(edges.get(unit, ())):
            if next_unit in path:
                found.append(path[path.index(next_unit):] + [next_unit])
            elif next_unit not in done:
                visit(next_unit, path + [next_unit])
        done.add(unit)
    for unit in sorted(edges):
        if unit not in done:
            visit(unit, [unit])
    return found


if __name__ == "__main__":
    found = circles(graph(sys.argv[1]))
    for circle in found:
        print(" -> ".join(os.path.relpath(u, sys.argv[1]) for u in circle))
    sys.exit(1 if found else 0)
