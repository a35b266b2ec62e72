#!/usr/bin/env python3
"""Fails if a module of the given folder depends on one that depends back on
it, directly or through others. A module is a .h and its .cpp; a file
includes a module by its header."""
import os
import re
import sys

folder = sys.argv[1]
depends = {}
for name in os.listdir(folder):
    module, ext = os.path.splitext(name)
    if ext not in (".h", ".cpp"):
        continue
    with open(os.path.join(folder, name), encoding="utf-8") as source:
        included = re.findall(r'#include "([^"/]+)\.h"', source.read())
    depends.setdefault(module, set()).update(
        i for i in included if i != module and os.path.exists(os.path.join(folder, i + ".h")))


def reached(start):
    seen, stack = set(), [start]
    while stack:
        for nxt in depends.get(stack.pop(), ()):
            if nxt not in seen:
                seen.add(nxt)
                stack.append(nxt)
    return seen


cycles = sorted((a, b) for a in depends for b in depends[a] if a in reached(b))
for a, b in cycles:
    print(f"FAIL: {folder}: {a} depends on {b}, which depends back on {a}")
sys.exit(1 if cycles else 0)
