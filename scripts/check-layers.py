#!/usr/bin/python3
"""Checks the layering of src/ and python/src from their #include lines.

Layers, bottom up: geometry, device, volume, registration, then the front ends (app and
the Python extension). A file may include its own layer and the layers below it; the one
include allowed to run upward is device/device.h -> volume/volume.h (the Volume record
that every device operation takes). Inside app/, the original commands (classic/) and the
new ones (commands/) do not include each other. No two modules (a header and its source
file count as one) may include each other in a loop, however long.

    scripts/check-layers.py [REPO]      prints the problems; exit status 1 if there are any
"""
import os
import re
import sys

LAYERS = ["geometry", "device", "volume", "registration", "app"]
ALLOWED_UPWARD = {("device/device.h", "volume/volume.h")}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of(path):
    top = path.split("/")[0]
    if top == "python":
        return len(LAYERS) - 1  # a front end, beside app
    return LAYERS.index(top) if top in LAYERS else None


def module_of(path):
    return os.path.splitext(path)[0]


def main():
    repo = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    src = os.path.join(repo, "src")
    files = {}
    for root in (src, os.path.join(repo, "python", "src")):
        for dirpath, _, names in os.walk(root):
            for n in names:
                if n.endswith((".h", ".cpp", ".cu")):
                    full = os.path.join(dirpath, n)
                    rel = os.path.relpath(full, src) if root == src else "python/" + os.path.relpath(full, root)
                    with open(full, encoding="utf-8") as f:
                        files[rel] = INCLUDE.findall(f.read())

    problems = []
    graph = {}
    for path, includes in sorted(files.items()):
        here = layer_of(path)
        for inc in includes:
            if inc not in files:
                continue  # a system or third-party header
            there = layer_of(inc)
            if here is not None and there is not None and there > here and (path, inc) not in ALLOWED_UPWARD:
                problems.append(f"upward include: {path} -> {inc} ({LAYERS[here]} below {LAYERS[there]})")
            for a, b in (("app/classic/", "app/commands/"), ("app/commands/", "app/classic/")):
                if path.startswith(a) and inc.startswith(b):
                    problems.append(f"original and new commands mixed: {path} -> {inc}")
            if module_of(inc) != module_of(path):
                graph.setdefault(module_of(path), set()).add(module_of(inc))

    # Loops between modules: Tarjan's strongly connected components.
    index, low, stack, on, loops = {}, {}, [], set(), []
    counter = [0]

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
                loops.append(sorted(comp))

    sys.setrecursionlimit(10000)
    for v in sorted(graph):
        if v not in index:
            visit(v)
    for comp in loops:
        problems.append("include loop between modules: " + ", ".join(comp))

    for p in problems:
        print(p)
    print(f"{len(files)} files, {sum(len(v) for v in graph.values())} module includes, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
