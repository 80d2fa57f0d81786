"""The module as a package: its version, its documentation and the stub that
describes it."""
import ast
import os
import pathlib
import re

import zorbel

STUB = pathlib.Path(zorbel.__file__).with_name("zorbel.pyi")


def public(names):
    return {n for n in names if not n.startswith("_")}


def test_version_is_the_library_version():
    assert re.fullmatch(r"\d+\.\d+\.\d+", zorbel.__version__)
    expected = os.environ.get("ZORBEL_EXPECTED_VERSION")
    if expected:
        assert zorbel.__version__ == expected


def documented(thing):
    """A docstring beyond the signature line pybind11 writes."""
    doc = (thing.__doc__ or "").strip()
    lines = doc.splitlines()
    if lines and re.match(r"^\w+\(.*\)( -> .*)?$", lines[0]):
        lines = lines[1:]  # the signature
    return any(line.strip() for line in lines)


def test_everything_public_has_a_docstring():
    missing = []
    for name in public(dir(zorbel)):
        thing = getattr(zorbel, name)
        if not documented(thing):
            missing.append(name)
        if isinstance(thing, type) and not issubclass(thing, BaseException):
            for member in public(vars(thing)):
                if not documented(getattr(thing, member)):
                    missing.append(f"{name}.{member}")
    assert documented(zorbel)
    assert not missing


def stub_names(body):
    names = set()
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets)
    return names


def test_the_stub_describes_what_the_module_has():
    tree = ast.parse(STUB.read_text())
    assert public(stub_names(tree.body)) == public(dir(zorbel))
    classes = {node.name: node for node in ast.walk(tree) if isinstance(node, ast.ClassDef)}
    for name, node in classes.items():
        cls = getattr(zorbel, name, None) or getattr(zorbel.EmulatedBus, name)
        if issubclass(cls, BaseException):
            continue
        assert public(stub_names(node.body)) == public(vars(cls)), name
