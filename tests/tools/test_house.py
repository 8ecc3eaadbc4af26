"""The toolkit's house rules, read from its source: imports run one way (no
circle among kitlib's modules, no chain longer than eight modules), modules
stay under 300 lines and functions under 60, and only the front doors put
the package on the path. A name a package's face hands on counts as an
import of the module that defines it."""
import ast
import functools
import os

import pytest

from samples import ROOT

TOOLS = os.path.join(ROOT, "tools")
LONGEST_CHAIN, MODULE_LINES, FUNCTION_LINES = 8, 300, 60
FRONT_DOORS = ["tools/dev/bench.py", "tools/dev/check_launcher.py", "tools/kit"]
EDIT = "sys.path" + ".insert"


def modules():
    found = {}
    for here, _, files in os.walk(os.path.join(TOOLS, "kitlib")):
        for name in files:
            if name.endswith(".py"):
                dotted = os.path.relpath(os.path.join(here, name), TOOLS)[:-3].replace(os.sep, ".")
                found[dotted.removesuffix(".__init__")] = os.path.join(here, name)
    return found


MODULES = modules()
TREES = {name: ast.parse(open(path, encoding="utf-8").read()) for name, path in MODULES.items()}
FACES = {name for name, path in MODULES.items() if path.endswith("__init__.py")}


def imported(name):
    """(module, name or None, bound as) for each import of a module."""
    base = name if name in FACES else name.rpartition(".")[0]
    for node in ast.walk(TREES[name]):
        if isinstance(node, ast.Import):
            yield from ((alias.name, None, alias.asname or alias.name) for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            source = node.module or ""
            if node.level:
                parent = base.rsplit(".", node.level - 1)[0]
                source = f"{parent}.{source}" if source else parent
            yield from ((source, alias.name, alias.asname or alias.name) for alias in node.names)


HANDED_ON = {(face, bound): source for face in FACES for source, _, bound in imported(face) if source in MODULES}


def target(source, name):
    """The module a name imported from source comes from."""
    if name and f"{source}.{name}" in MODULES:
        return f"{source}.{name}"
    return HANDED_ON.get((source, name), source if source in MODULES else None)


@functools.lru_cache(maxsize=None)
def arrows(name):
    used = {}
    for node in ast.walk(TREES[name]):
        if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name):
            used.setdefault(node.value.id, set()).add(node.attr)
    out = set()
    for source, imported_name, bound in imported(name):
        module = target(source, imported_name)
        # A face: the modules behind the names used through it.
        for found in [target(module, attribute) for attribute in used.get(bound, ())] if module in FACES else [module]:
            if found and found != name and found not in FACES:
                out.add(found)
    return frozenset(out)


def circle(name, path=()):
    """A circle of imports through name, or None."""
    if name in path:
        return path[path.index(name):] + (name,)
    return next(filter(None, (circle(other, path + (name,)) for other in arrows(name))), None)


@functools.lru_cache(maxsize=None)
def chain(name):
    """The longest chain of imports from name (the graph has no circle)."""
    return (name,) + max((chain(other) for other in arrows(name)), key=len, default=())


def test_imports_run_one_way():
    circles = {name: circle(name) for name in MODULES if name not in FACES}
    assert [found for found in circles.values() if found] == [], "circles"
    longest = max((chain(name) for name in circles), key=len)
    assert len(longest) <= LONGEST_CHAIN, f"got a chain of {len(longest)}: {' -> '.join(longest)}"


@pytest.mark.parametrize("name", sorted(MODULES))
def test_sizes(name):
    lines = open(MODULES[name], encoding="utf-8").read().count("\n")
    long = [(node.name, node.end_lineno - node.lineno + 1) for node in ast.walk(TREES[name])
            if isinstance(node, ast.FunctionDef) and node.end_lineno - node.lineno >= FUNCTION_LINES]
    assert (lines <= MODULE_LINES, long) == (True, []), f"{name}: {lines} lines; functions too long: {long}"


def test_only_front_doors_edit_the_path():
    editing = []
    for folder in ("tools", "tests"):
        for here, _, files in os.walk(os.path.join(ROOT, folder)):
            for name in files:
                path = os.path.join(here, name)
                text = open(path, errors="replace").read()
                if (name.endswith(".py") or name == "kit") and EDIT in text:
                    editing.append(os.path.relpath(path, ROOT))
    assert sorted(editing) == FRONT_DOORS
