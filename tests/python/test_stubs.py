"""The installed type stubs against the installed module: names, parameters and result types."""
import ast
import os
import sysconfig
from pathlib import Path

import lumenstat

# Where the wheel installs them, which is where type checkers look, wherever the module comes from.
STUB = Path(sysconfig.get_paths()["purelib"]) / "lumenstat-stubs" / "__init__.pyi"
ME = os.getpid()


def stub_tree():
    """The stub's module body, and its public classes and functions by name; names with a leading
    underscore are the stub's own helpers (such as the shapes of callback payloads)."""
    body = ast.parse(STUB.read_text()).body
    return body, {node.name: node for node in body if isinstance(
        node, (ast.FunctionDef, ast.ClassDef)) and not node.name.startswith("_")}


def signature_names(text):
    """Parameter names of a __text_signature__ such as "($self, pid, /)"."""
    return [p for p in map(str.strip, text.strip()[1:-1].split(","))
            if p and p not in ("/", "*") and not p.startswith("$")]


def stub_parameters(function):
    names = [a.arg for a in function.args.posonlyargs + function.args.args]
    return names[1:] if names[:1] in (["self"], ["cls"]) else names


def decorators(node):
    return {ast.unparse(d) for d in node.decorator_list}


def test_stub_names_and_parameters_are_the_modules():
    body, stub = stub_tree()
    [listed] = [ast.literal_eval(n.value) for n in body
                if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"]
    assert listed == lumenstat.__all__ and sorted(stub) == sorted(lumenstat.__all__)
    for name in lumenstat.__all__:
        value, node = getattr(lumenstat, name), stub[name]
        if not isinstance(value, type):
            assert isinstance(node, ast.FunctionDef), name
            assert stub_parameters(node) == signature_names(value.__text_signature__), name
            continue
        assert isinstance(node, ast.ClassDef) and decorators(node) == {"final"}, name
        members = {m.name: m for m in node.body if isinstance(m, ast.FunctionDef)}
        constructor = members.pop("__new__", None)
        assert (constructor and stub_parameters(constructor)) == (
            value.__text_signature__ and signature_names(value.__text_signature__)), name
        runtime = {k: v for k, v in vars(value).items() if not k.startswith("__")}
        assert sorted(members) == sorted(runtime), name
        for member, descriptor in runtime.items():
            is_property = type(descriptor).__name__ == "getset_descriptor"
            assert decorators(members[member]) == ({"property"} if is_property else set()), member
            assert is_property or (stub_parameters(members[member])
                                   == signature_names(descriptor.__text_signature__)), member


def conforms(value, annotation):
    """Whether a value has the stub's type; `X | None` also takes None."""
    if isinstance(annotation, ast.BinOp):
        return value is None or conforms(value, annotation.left)
    if isinstance(annotation, ast.Subscript):  # list[X]
        return type(value) is list and all(conforms(v, annotation.slice) for v in value)
    expected = {"int": int, "float": float, "str": str, "bool": bool, "None": type(None)}
    name = ast.unparse(annotation)
    return type(value) is expected.get(name, getattr(lumenstat, name, None))


# Arguments of the calls whose results are checked: every function without parameters, and these.
CALLS = {"get_process_by_pid": (ME,), "get_process_io": (ME,), "get_process_cpu_usage": (ME, 0),
         "py_get_cpu_usage": (0,), "list_dir": ("/",), "get_process_socket_queues": (ME,),
         "get_process_socket_stats": (ME,), "get_connection_by_pid": (ME,)}


def test_values_have_the_stub_types(listener):  # a socket for the lists of sockets
    """The result of each call, and every property of the objects it returns (and of a snapshot),
    are checked against the stub's annotations."""
    _, stub = stub_tree()
    checked = set()
    results = [lumenstat.PySystemSummary(0)]
    for name, node in stub.items():
        if isinstance(node, ast.FunctionDef) and (name in CALLS or not node.args.args):
            results.append(getattr(lumenstat, name)(*CALLS.get(name, ())))
            assert conforms(results[-1], node.returns), name
    for result in results:
        for item in result if isinstance(result, list) else [result]:
            if type(item).__name__ not in stub:
                continue
            for member in stub[type(item).__name__].body:
                if isinstance(member, ast.FunctionDef) and "property" in decorators(member):
                    value = getattr(item, member.name)
                    assert conforms(value, member.returns), (type(item).__name__, member.name)
            checked.add(type(item).__name__)
    # All but the classes that only name the fields of tracker reports, which come as dicts.
    assert checked == {n for n in lumenstat.__all__ if isinstance(getattr(lumenstat, n), type) and
                       any(type(v).__name__ == "getset_descriptor" for v in vars(
                           getattr(lumenstat, n)).values()) and not n.endswith("Event")}
