"""The package's architecture, checked from its source: no import cycles
(imports inside functions included), and no module outside the estimator
reaching into an estimator's private attributes."""

import ast
import pathlib

import vintrel

PACKAGE = pathlib.Path(vintrel.__file__).parent


def _module_name(path):
    parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


MODULES = {_module_name(path): path for path in PACKAGE.rglob("*.py")}
TREES = {name: ast.parse(path.read_text()) for name, path in MODULES.items()}


def _imports(name, tree):
    """The package's modules that module `name` imports anywhere."""
    package = name if MODULES[name].name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            found |= {alias.name for alias in node.names if alias.name in MODULES}
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                parts = package.split(".")[: len(package.split(".")) - node.level + 1]
                base = ".".join(parts + ([node.module] if node.module else []))
            # `from package import module` runs the package first, so it
            # depends on both.
            found.add(base)
            found |= {f"{base}.{alias.name}" for alias in node.names}
    return (found & MODULES.keys()) - {name}


def _cycles(graph):
    state, path, cycles = {}, [], []

    def visit(node):
        state[node] = "open"
        path.append(node)
        for target in sorted(graph[node]):
            if state.get(target) == "open":
                cycles.append([*path[path.index(target):], target])
            elif target not in state:
                visit(target)
        path.pop()
        state[node] = "done"

    for node in sorted(graph):
        if node not in state:
            visit(node)
    return cycles


def test_the_import_graph_has_no_cycles():
    graph = {name: _imports(name, tree) for name, tree in TREES.items()}
    assert _cycles(graph) == []


def _estimator_privates():
    """Private methods and attributes of the estimator class."""
    [estimator] = [node for node in TREES["vintrel.estimator"].body
                   if isinstance(node, ast.ClassDef) and node.name == "IncrementalHuberRegressor"]
    names = {node.name for node in estimator.body if isinstance(node, ast.FunctionDef)}
    names |= {node.attr for node in ast.walk(estimator)
              if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name) and node.value.id == "self"}
    return {name for name in names if name.startswith("_") and not name.startswith("__")}


def test_no_module_but_the_estimators_reaches_into_its_privates():
    privates = _estimator_privates() | {"__dict__"}
    reached = [(name, node.lineno, ast.unparse(node))
               for name, tree in TREES.items() if name != "vintrel.estimator"
               for node in ast.walk(tree)
               if isinstance(node, ast.Attribute) and node.attr in privates
               and not (isinstance(node.value, ast.Name) and node.value.id in ("self", "cls"))]
    assert reached == []
