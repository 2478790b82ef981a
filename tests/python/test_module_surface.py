"""The module as Python sees it: names, classes, functions and the argument rules."""
import os

import pytest

import lumenstat

# Names, signatures and attributes are compared with the stubs and the reference; here what the
# interpreter shows of them.
CLASSES = [n for n in lumenstat.__all__ if isinstance(getattr(lumenstat, n), type)]
FUNCTIONS = [n for n in lumenstat.__all__ if n not in CLASSES]


def test_classes_are_final_immutable_and_not_instantiable():
    assert lumenstat.__doc__ == "" and lumenstat.__all__ == CLASSES + FUNCTIONS
    for name in CLASSES:
        cls = getattr(lumenstat, name)
        assert (cls.__module__, cls.__qualname__, cls.__base__) == ("builtins", name, object)
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        if name != "PySystemSummary":
            with pytest.raises(TypeError):
                cls()
        # Immutable, as the interpreter's own types: no getter can be replaced or added.
        for attribute in ("pid", "__repr__"):
            with pytest.raises(TypeError, match=f"^cannot set '{attribute}' attribute of "
                                                f"immutable type 'builtins.{name}'$"):
                setattr(cls, attribute, 1)
    assert {m.__doc__ for m in [lumenstat.PyProcessInfo, *vars(lumenstat.PySystemSummary).values()]
            if type(m).__name__ in ("type", "method_descriptor")} == {None}
    assert [(f.__name__, f.__doc__, f.__self__, f.__module__) for f in map(
        lumenstat.__dict__.get, FUNCTIONS)] == [(n, None, None, None) for n in FUNCTIONS]
    info = lumenstat.get_process_by_pid(os.getpid())
    for change in (lambda: setattr(info, "pid", 5), lambda: delattr(info, "name"),
                   lambda: setattr(info, "foo", 1)):
        with pytest.raises(AttributeError):
            change()


def test_pid_accepts_index_objects_and_bools():
    index = type("Index", (), {"__index__": lambda self: os.getpid()})()
    assert [lumenstat.get_process_by_pid(pid).pid for pid in (index, True)] == [os.getpid(), 1]


RANGE = "out of range integral type conversion attempted"
ODD = "a\x00b\udc80"  # a text no UTF-8 or C string carries whole


class IndexRaises:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


def interpreter_says(call, name, function):
    """The interpreter's own text for a mistake, with its function's name replaced by ours."""
    try:
        call()
    except TypeError as error:
        return str(error).replace(name, function + "()", 1)
    raise AssertionError("the interpreter accepted the call")


# One row per form of message.
@pytest.mark.parametrize("function, args, kwargs, exception, text", [
    ("get_process_count", (1,), {}, TypeError, "get_process_count() takes no arguments (1 given)"),
    ("get_process_by_pid", (1, 2), {}, TypeError,
     "get_process_by_pid() takes 1 positional arguments but 2 were given"),
    ("get_process_by_pid", (), {}, TypeError,
     "get_process_by_pid() missing 1 required positional argument: 'pid'"),
    ("get_process_cpu_usage", (), {}, TypeError, "get_process_cpu_usage() missing 2 required "
     "positional arguments: 'pid' and 'sample_duration'"),
    ("get_process_by_pid", (1,), {"pid": 1}, TypeError,
     "get_process_by_pid() got multiple values for argument 'pid'"),
    ("get_process_by_pid", (), {"p": 1}, TypeError,
     "get_process_by_pid() got an unexpected keyword argument 'p'"),
    *[("get_process_by_pid", (), {keyword: 1}, TypeError,
       interpreter_says(lambda: int.from_bytes(b"", **{keyword: 1}), "from_bytes()",
                        "get_process_by_pid")) for keyword in ("p\x00q", "\udc80")],
    ("get_process_by_pid", (IndexRaises(TypeError(ODD)),), {}, TypeError, "argument 'pid': " + ODD),
    # A failure other than a TypeError is passed on.
    ("get_process_by_pid", (IndexRaises(KeyError("nope")),), {}, KeyError, None),
    ("get_process_by_pid", (-1,), {}, OverflowError, RANGE),
    ("get_process_by_pid", (2**70,), {}, OverflowError, None),
    ("get_process_by_pid", ("1",), {}, TypeError,
     "argument 'pid': 'str' object cannot be interpreted as an integer"),
    ("py_get_cpu_usage", (-1,), {}, OverflowError, None),
    ("get_connection_by_state", (None,), {}, TypeError,
     "argument 'state': 'None' is not an instance of 'str'"),
    ("get_connection_by_local_addr", (1,), {}, TypeError,
     "argument 'local_addr': 'int' object is not an instance of 'str'"),
    ("get_connection_by_state", (type("Text", (str,), {})("li\x00sten"),), {}, ValueError,
     "invalid state: li\x00sten"),
    ("get_connection_by_state", ("\udc80",), {}, UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udc80' in position 0: surrogates not allowed"),
    ("py_get_memory_info", (), {"x": 1}, TypeError, None),
    ("PySystemSummary", (), {}, TypeError, "PySystemSummary.__new__() missing 1 required "
     "positional argument: 'sample_duration'"),
    ("PySystemSummary.get_connection_by_inode", (1,), {"inode": 1}, TypeError,
     "PySystemSummary.get_connection_by_inode() got multiple values for argument 'inode'"),
])
def test_argument_errors(function, args, kwargs, exception, text):
    owner, _, method = function.partition(".")
    call = getattr(lumenstat.PySystemSummary(0), method) if method else getattr(lumenstat, owner)
    with pytest.raises(exception) as raised:
        call(*args, **kwargs)
    assert type(raised.value) is exception and text in (None, str(raised.value))
