"""The .pyi stubs describe the modules as they are: every function's signature agrees with its stub."""

from __future__ import annotations

import ast
import importlib
import inspect
from itertools import zip_longest
from pathlib import Path

import pytest

STUBS = Path(__file__).resolve().parents[1] / "python" / "vexa"
EMPTY = inspect.Parameter.empty


def stub_functions(module_name: str) -> dict[str, object]:
    """The stub executed as Python (annotations and defaults evaluated): its functions and its
    classes' methods, by qualified name."""
    namespace: dict[str, object] = {}
    code = compile((STUBS / f"{module_name}.pyi").read_text(), f"{module_name}.pyi", "exec", dont_inherit=True)
    exec(code, namespace)
    functions = {}
    for name, value in namespace.items():
        if inspect.isfunction(value):
            functions[name] = value
        elif inspect.isclass(value) and value.__module__ == "builtins":
            functions.update({f"{name}.{m}": f for m, f in vars(value).items() if inspect.isfunction(f)})
    return functions


def disagreements(actual: inspect.Signature, stub: inspect.Signature) -> list[str]:
    """Where the signature differs from the stub: names, kinds, defaults (a stub's `= ...` only
    says there is one), annotations, and the return annotation where the function declares one.
    A stub may say what a function without a return annotation returns, for type checkers:
    route handlers have none at run time, as the framework would read one as the response model."""
    out = []
    for a, s in zip_longest(actual.parameters.values(), stub.parameters.values()):
        if a is None or s is None:
            out.append(f"parameter {(a or s).name} only in the {'stub' if a is None else 'function'}")
            continue
        if (a.name, a.kind, a.annotation) != (s.name, s.kind, s.annotation):
            out.append(f"{a.name}: {a.kind} {a.annotation!r} != {s.name}: {s.kind} {s.annotation!r}")
        if s.default is Ellipsis:
            if a.default is EMPTY:
                out.append(f"{a.name} has no default")
        elif a.default != s.default or type(a.default) is not type(s.default):
            out.append(f"{a.name} = {a.default!r} != {s.default!r}")
    if actual.return_annotation is not EMPTY and actual.return_annotation != stub.return_annotation:
        out.append(f"returns {actual.return_annotation!r} != {stub.return_annotation!r}")
    return out


@pytest.mark.parametrize("module_name", ["maptile_hub", "plots"])
def test_every_function_agrees_with_its_stub(hub, module_name):
    module = importlib.import_module(f"vexa.{module_name}")
    stubs = stub_functions(module_name)
    functions = {name for name, value in vars(module).items()
                 if inspect.isroutine(value) and getattr(value, "__module__", None) == module.__name__}
    assert functions and functions - set(stubs) == set(), "functions without a stub"
    problems = {}
    for qualname, stub in stubs.items():
        target = module
        for part in qualname.split("."):
            target = getattr(target, part)
        found = disagreements(inspect.signature(target), inspect.signature(stub))
        if inspect.iscoroutinefunction(target) != inspect.iscoroutinefunction(stub):
            found.append("async in only one of them")
        if found:
            problems[qualname] = found
    assert problems == {}


def stub_constants(module_name: str) -> dict[str, str]:
    """The names the stub declares at module level with a type (`NAME: type`), and that type's text."""
    tree = ast.parse((STUBS / f"{module_name}.pyi").read_text())
    return {node.target.id: ast.unparse(node.annotation) for node in tree.body
            if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)}


@pytest.mark.parametrize("module_name", ["maptile_hub", "plots"])
def test_every_setting_and_object_has_its_stub(hub, module_name):
    """The module's constants (what a host reads or sets: BBOX_QUERY_SLOTS, PUBLIC_URL, ...) and
    objects are declared in its stub, and the stub declares nothing the module lacks."""
    module = importlib.import_module(f"vexa.{module_name}")
    declared = stub_constants(module_name)
    constants = {name for name, value in vars(module).items()
                 if name.isupper() and not inspect.isroutine(value) and not inspect.isclass(value)}
    assert constants - set(declared) == set(), "constants without a stub"
    assert {name for name in declared if not hasattr(module, name)} == set(), "stubs of absent names"
    simple = {"int": int, "float": (int, float), "str": str, "Optional[str]": (str, type(None))}
    wrong = {name: (kind, type(getattr(module, name)).__name__) for name, kind in declared.items()
             if kind in simple and not isinstance(getattr(module, name), simple[kind])}
    assert wrong == {}
