#!/usr/bin/env python3
"""Checks the shape of the source tree's includes.

A unit is a header with its source file. No unit may reach itself through the
includes (no include circles), and the floors stay in order: platform/ includes
nothing of velloc or the installer, velloc/request/ (decoding a request) only itself
and platform/, and the settings' declaration nothing of velloc above it.
Prints each broken rule and exits 1; exits 0 when every rule holds."""
import os
import re
import sys

ROOTS = ("platform", "velloc", "installer")
FLOORS = {  # folder: the folders its files may include
    "platform": ("platform",),
    "velloc/request": ("platform", "velloc/request"),
}
OWN_FILES = {  # a file: what it may include besides itself
    "velloc/settings/settings_model": ("platform",),
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def units(source_dir):
    graph = {}
    for root in ROOTS:
        for folder, _, files in os.walk(os.path.join(source_dir, root)):
            for name in files:
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.relpath(os.path.join(folder, name), source_dir)
                unit = os.path.splitext(path)[0]
                with open(os.path.join(source_dir, path), encoding="utf-8") as text:
                    targets = [os.path.splitext(t)[0] for t in INCLUDE.findall(text.read())]
                graph.setdefault(unit, set()).update(t for t in targets if t != unit)
    return graph


def circles(graph):
    """The strongly connected groups of more than one unit (iterative Tarjan)."""
    index, low, on_stack, stack, found, counter = {}, {}, set(), [], [], [0]
    for start in graph:
        if start in index:
            continue
        work = [(start, iter(sorted(graph.get(start, ()))))]
        index[start] = low[start] = counter[0]
        counter[0] += 1
        stack.append(start)
        on_stack.add(start)
        while work:
            unit, targets = work[-1]
            advanced = False
            for target in targets:
                if target not in graph:
                    continue
                if target not in index:
                    index[target] = low[target] = counter[0]
                    counter[0] += 1
                    stack.append(target)
                    on_stack.add(target)
                    work.append((target, iter(sorted(graph[target]))))
                    advanced = True
                    break
                if target in on_stack:
                    low[unit] = min(low[unit], index[target])
            if advanced:
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[unit])
            if low[unit] == index[unit]:
                group = []
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    group.append(member)
                    if member == unit:
                        break
                if len(group) > 1:
                    found.append(sorted(group))
    return found


def floor_breaks(graph):
    broken = []
    for unit, targets in sorted(graph.items()):
        allowed = OWN_FILES.get(unit)
        if allowed is None:
            for floor, floors in FLOORS.items():
                if unit.startswith(floor + "/"):
                    allowed = floors
        if allowed is None:
            continue
        for target in sorted(targets):
            if not any(target.startswith(folder + "/") for folder in allowed):
                broken.append(f"{unit} includes {target}")
    return broken


def main():
    source_dir = sys.argv[1] if len(sys.argv) > 1 else "."
    graph = units(source_dir)
    problems = [" <-> ".join(group) + ": include circle" for group in circles(graph)]
    problems += [line + ": above its floor" for line in floor_breaks(graph)]
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
