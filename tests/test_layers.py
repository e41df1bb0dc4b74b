"""The package's import graph: no cycles, and no module importing from a layer above its own.
Imports inside functions count too: an import moved into a function to dodge a cycle still
makes one."""

from __future__ import annotations

import ast
import subprocess
import sys
from pathlib import Path

import pytest

import tarnwick

PACKAGE = Path(tarnwick.__file__).resolve().parent

# Lowest first. A module belongs to the first prefix it starts with.
LAYERS = (
    ("support", ("tarnwick", "tarnwick.config", "tarnwick.domain", "tarnwick.support")),
    ("model", ("tarnwick.toolchains.base", "tarnwick.toolchains.errors")),
    ("readers", ("tarnwick.toolchains",)),
    ("analysis", ("tarnwick.analysis",)),
    ("compare", ("tarnwick.compare",)),
    ("render", ("tarnwick.render",)),
    ("system and history", ("tarnwick.system", "tarnwick.history")),
    ("app", ("tarnwick.app", "tarnwick.api", "tarnwick.__main__")),
)


def module_names() -> dict:
    """Dotted name -> file, for every module of the package."""
    found = {}
    for path in PACKAGE.rglob("*.py"):
        parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
        name = ".".join(parts[:-1] if parts[-1] == "__init__" else parts)
        found[name] = path
    return found


def _type_checking_only(node, parents) -> bool:
    return any(isinstance(p, ast.If) and "TYPE_CHECKING" in ast.unparse(p.test) for p in parents)


def imports_of(name: str, path: Path, modules: dict) -> set:
    """The package's modules that `name` imports anywhere in its file."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    targets = set()

    def visit(node, parents):
        if isinstance(node, ast.Import) and not _type_checking_only(node, parents):
            targets.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and not _type_checking_only(node, parents):
            base = node.module or ""
            if node.level:
                anchor = package.split(".")[:len(package.split(".")) - node.level + 1]
                base = ".".join(anchor + ([base] if base else []))
            for alias in node.names:
                submodule = f"{base}.{alias.name}"
                targets.add(submodule if submodule in modules else base)
        for child in ast.iter_child_nodes(node):
            visit(child, parents + [node])

    visit(tree, [])
    return {t for t in targets if t in modules and t != name}


def layer_of(name: str) -> int:
    best, rank = -1, None
    for index, (_, prefixes) in enumerate(LAYERS):
        for prefix in prefixes:
            if (name == prefix or name.startswith(prefix + ".")) and len(prefix) > best:
                best, rank = len(prefix), index
    assert rank is not None, f"{name} is in no layer"
    return rank


@pytest.fixture(scope="module")
def graph() -> dict:
    modules = module_names()
    return {name: imports_of(name, path, modules) for name, path in modules.items()}


def test_no_module_imports_from_a_layer_above_its_own(graph):
    upward = [f"{name} ({LAYERS[layer_of(name)][0]}) imports {target} ({LAYERS[layer_of(target)][0]})"
              for name, targets in graph.items() for target in sorted(targets)
              if layer_of(target) > layer_of(name)]
    assert upward == []


def test_the_import_graph_has_no_cycle(graph):
    # Tarjan's strongly connected components; any with two or more modules is a cycle
    index, low, on_stack, stack, cycles = {}, {}, set(), [], []

    def connect(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for target in graph[node]:
            if target not in index:
                connect(target)
                low[node] = min(low[node], low[target])
            elif target in on_stack:
                low[node] = min(low[node], index[target])
        if low[node] == index[node]:
            component = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                component.append(member)
                if member == node:
                    break
            if len(component) > 1:
                cycles.append(sorted(component))

    for node in sorted(graph):
        if node not in index:
            connect(node)
    assert cycles == []


def test_every_module_imports_first_in_a_fresh_interpreter(graph):
    """Each module imported first, on its own: one that works only when another was imported
    before it leans on a cycle or on import order."""
    script = ("import importlib, sys\nfailed = []\nfor name in sys.argv[1:]:\n"
              "    for loaded in [m for m in sys.modules if m == 'tarnwick' or m.startswith('tarnwick.')]:\n"
              "        del sys.modules[loaded]\n"
              "    try:\n        importlib.import_module(name)\n"
              "    except Exception as exc:\n        failed.append(f'{name}: {type(exc).__name__}: {exc}')\n"
              "print('\\n'.join(failed))\n")
    # the report module can be loaded once per process: it is imported last, on its own
    names = sorted(n for n in graph if n not in ("tarnwick.__main__",))
    done = subprocess.run([sys.executable, "-c", script, *names], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == ""
