"""The installed type stubs against the installed module, and mypy reading them."""
import ast
import os
import re
import socket
import subprocess
import sys
from pathlib import Path

import lumenstat

SITE = Path(lumenstat.__file__).parent
STUB = SITE / "lumenstat-stubs" / "__init__.pyi"
TYPING = Path(__file__).parent / "typing"


def stub_tree():
    """The stub's public classes and functions; names with a leading underscore are the stub's
    own helpers (such as the shapes of callback payloads), not the module's."""
    return {node.name: node for node in ast.parse(STUB.read_text()).body
            if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and not node.name.startswith("_")}


def stub_all():
    for node in ast.parse(STUB.read_text()).body:
        if isinstance(node, ast.Assign) and node.targets[0].id == "__all__":
            return ast.literal_eval(node.value)
    return None


def signature_names(text):
    """Parameter names of a __text_signature__ such as "($self, pid, /)"."""
    inner = text.strip()[1:-1]
    return [p.strip() for p in inner.split(",")
            if p.strip() and p.strip() not in ("/", "*") and not p.strip().startswith("$")]


def stub_parameters(function):
    names = [a.arg for a in function.args.posonlyargs + function.args.args]
    return names[1:] if names[:1] in (["self"], ["cls"]) else names


def decorators(node):
    return {ast.unparse(d) for d in node.decorator_list}


def test_stub_names_and_parameters_are_the_modules():
    stub = stub_tree()
    assert stub_all() == lumenstat.__all__
    assert sorted(stub) == sorted(lumenstat.__all__)
    for name in lumenstat.__all__:
        value, node = getattr(lumenstat, name), stub[name]
        if not isinstance(value, type):
            assert isinstance(node, ast.FunctionDef), name
            assert stub_parameters(node) == signature_names(value.__text_signature__), name
            continue
        assert isinstance(node, ast.ClassDef) and decorators(node) == {"final"}, name
        members = {m.name: m for m in node.body if isinstance(m, ast.FunctionDef)}
        constructor = members.pop("__new__", None)
        if value.__text_signature__ is None:
            assert constructor is None, name
        else:
            assert stub_parameters(constructor) == signature_names(value.__text_signature__)
        runtime = {k: v for k, v in vars(value).items() if not k.startswith("__")}
        assert sorted(members) == sorted(runtime), name
        for member, descriptor in runtime.items():
            if type(descriptor).__name__ == "getset_descriptor":
                assert decorators(members[member]) == {"property"}, (name, member)
            else:
                assert decorators(members[member]) == set(), (name, member)
                assert (stub_parameters(members[member])
                        == signature_names(descriptor.__text_signature__)), (name, member)


def conforms(value, annotation):
    """Whether a value has the stub's type; `X | None` also takes None."""
    if isinstance(annotation, ast.BinOp):
        return value is None or conforms(value, annotation.left)
    if isinstance(annotation, ast.Subscript):  # list[X]
        return type(value) is list and all(conforms(v, annotation.slice) for v in value)
    expected = {"int": int, "float": float, "str": str, "bool": bool, "None": type(None)}
    name = ast.unparse(annotation)
    return type(value) is expected.get(name, getattr(lumenstat, name, None))


def test_values_have_the_stub_types():
    """Every function without parameters is called, and its result and every property of the
    objects it returns are checked against the stub's annotations."""
    listener = socket.create_server(("127.0.0.1", 0))
    stub = stub_tree()
    checked = set()
    for name, node in stub.items():
        if not isinstance(node, ast.FunctionDef) or node.args.args:
            continue
        result = getattr(lumenstat, name)()
        assert conforms(result, node.returns), name
        for item in result if isinstance(result, list) else [result]:
            if not isinstance(type(item), type) or type(item).__module__ != "builtins" \
                    or type(item).__name__ not in stub:
                continue
            for member in stub[type(item).__name__].body:
                if isinstance(member, ast.FunctionDef) and "property" in decorators(member):
                    value = getattr(item, member.name)
                    assert conforms(value, member.returns), (type(item).__name__, member.name)
            checked.add(type(item).__name__)
    listener.close()
    assert {"PyCpuInfo", "PyMemoryInfo", "PyProcessInfo", "PyCpuTimes", "PySocketConnection",
            "PySocketStateSummary"} <= checked


def mypy(*files, cwd):
    """Debian's mypy under Debian's python3, pointed at this environment's interpreter only:
    it must find the stubs where the wheel installed them, with no search path of ours."""
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    # mypy runs a helper script under the target interpreter; on 3.13 the script's own folder
    # (mypy's package, with a types.py) must not come first on sys.path.
    env["PYTHONSAFEPATH"] = "1"
    return subprocess.run(
        ["/usr/bin/python3", "-m", "mypy", "--python-executable", sys.executable,
         "--cache-dir", str(cwd / "cache"), "--strict", "--no-error-summary",
         *map(str, files)], capture_output=True, text=True, cwd=cwd, env=env)


def test_mypy_checks_every_name_and_rejects_misuse(tmp_path):
    uses = TYPING / "uses_every_name.py"
    misuse = TYPING / "misuse.py"
    nodes = list(ast.walk(ast.parse(uses.read_text())))
    used = {n.attr for n in nodes if isinstance(n, ast.Attribute)}
    used |= {n.id for n in nodes if isinstance(n, ast.Name)}  # imported classes in annotations
    attributes = {k for name in lumenstat.__all__ if isinstance(getattr(lumenstat, name), type)
                  for k in vars(getattr(lumenstat, name)) if not k.startswith("__")}
    assert set(lumenstat.__all__) | attributes <= used
    result = mypy(uses, misuse, cwd=tmp_path)
    found = sorted((Path(f).name, int(line)) for f, line in
                   re.findall(r"^(\S+\.py):(\d+): error:", result.stdout, re.M))
    lines = misuse.read_text().splitlines()
    expected = [("misuse.py", i + 1) for i, text in enumerate(lines) if text.endswith("# error")]
    assert found == expected, result.stdout + result.stderr
