#!/usr/bin/env python3
"""Checks that the units of the tree depend on each other one way only.

A unit is a source file with the header of the same name beside it (or in an
include/ folder beside its src/ folder); a header without a source is not a
unit. A unit depends on every other unit whose header one of its files
includes, directly or through headers that are not units. The script prints
every cycle of that graph and exits 1 when there is one, 0 otherwise.

Usage: scripts/unit_cycles.py [ROOT] [--graph]
  --graph  also prints each unit with the units it depends on
"""
import os
import re
import subprocess
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)
SKIP = ("build", "fuzz/corpus")


def tracked_files(root):
    """The C and C++ files git tracks below root (every file when it is no checkout)."""
    try:
        out = subprocess.run(["git", "-C", root, "ls-files", "--cached", "--others",
                              "--exclude-standard", "*.h", "*.c", "*.cpp"],
                             check=True, capture_output=True, text=True).stdout
        paths = out.split()
    except (OSError, subprocess.CalledProcessError):
        paths = []
        for d, _, names in os.walk(root):
            for n in names:
                if n.endswith((".h", ".c", ".cpp")):
                    paths.append(os.path.relpath(os.path.join(d, n), root))
    return [p for p in paths if not p.startswith(SKIP) and os.path.exists(os.path.join(root, p))]


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    root = args[0] if args else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    paths = tracked_files(root)

    headers = {}  # basename -> path; includes name headers by their base name
    for p in paths:
        if p.endswith(".h"):
            name = os.path.basename(p)
            if name in headers:
                print(f"unit_cycles: two headers named {name}: {headers[name]} and {p}")
                return 2
            headers[name] = p

    # The unit of a file: its stem, when a source and a header of that stem exist.
    stems = {}
    for p in paths:
        stem, ext = os.path.splitext(os.path.basename(p))
        stems.setdefault(stem, set()).add(ext)
    def unit_of(path):
        stem, _ = os.path.splitext(os.path.basename(path))
        exts = stems.get(stem, set())
        return stem if ".h" in exts and (".cpp" in exts or ".c" in exts) else None

    includes = {}
    for p in paths:
        with open(os.path.join(root, p), encoding="utf-8", errors="replace") as f:
            names = INCLUDE.findall(f.read())
        includes[p] = [headers[os.path.basename(n)] for n in names if os.path.basename(n) in headers]

    # Units reached from a file: a unit's header stops the walk, a header that
    # is no unit is looked through.
    def reached(path, seen):
        out = set()
        for h in includes.get(path, []):
            u = unit_of(h)
            if u is not None:
                out.add(u)
            elif h not in seen:
                seen.add(h)
                out |= reached(h, seen)
        return out

    graph = {}
    for p in paths:
        u = unit_of(p)
        if u is None:
            continue
        graph.setdefault(u, set()).update(reached(p, {p}) - {u})

    if "--graph" in sys.argv:
        for u in sorted(graph):
            print(f"{u}: {' '.join(sorted(graph[u]))}")

    # Strongly connected components (Tarjan); any with two or more units is a cycle.
    index, low, stack, on, comps = {}, {}, [], set(), []
    counter = [0]
    sys.setrecursionlimit(10000)
    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on.add(v)
        for w in sorted(graph.get(v, ())):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            comp = []
            while True:
                w = stack.pop()
                on.discard(w)
                comp.append(w)
                if w == v:
                    break
            if len(comp) > 1:
                comps.append(sorted(comp))
    for v in sorted(graph):
        if v not in index:
            visit(v)

    for comp in comps:
        members = set(comp)
        edges = [f"{a} -> {b}" for a in comp for b in sorted(graph[a] & members)]
        print("unit_cycles: cycle among " + ", ".join(comp) + ": " + "; ".join(edges))
    if comps:
        return 1
    print(f"unit_cycles: {len(graph)} units, no cycle")
    return 0


if __name__ == "__main__":
    sys.exit(main())
