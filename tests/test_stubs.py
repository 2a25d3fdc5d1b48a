"""The type stubs of the native modules: installed, and true to the native signatures.

``mypy.stubtest`` (run by ``make test``) checks that the stubs and the modules
hold the same names, classes and attributes, but it cannot read the parameters
of the native methods: they carry no text signature. This file checks those
against the methods themselves: their ``__defaults__``, and how they bind
arguments (the argument errors name the counts and the parameters before any
method body runs).
"""

import ast
import importlib
from importlib.resources import files

import pytest

from orvo.field.geometry import (
    GeometryCollectionRGJ,
    LineStringRGJ,
    MultiLineStringRGJ,
    MultiPointRGJ,
    MultiPolygonRGJ,
    PointRGJ,
    PolygonRGJ,
    RGJGeometry,
)

MODULES = ["orvo.field.kernels"] + [
    f"orvo.field.geometry.{name}" for name in ("base", "point", "linestring", "polygon", "collection")
]

SQUARE = [[0.0, 0.0], [4.0, 0.0], [4.0, 4.0], [0.0, 4.0]]
INSTANCES = {
    RGJGeometry: lambda: RGJGeometry(coordinates=[1.0, 2.0]),
    PointRGJ: lambda: PointRGJ(coordinates=[1.0, 2.0]),
    MultiPointRGJ: lambda: MultiPointRGJ(coordinates=[[0.0, 0.0], [3.0, 1.0]]),
    LineStringRGJ: lambda: LineStringRGJ(coordinates=[[0.0, 0.0], [3.0, 1.0], [5.0, 5.0]]),
    MultiLineStringRGJ: lambda: MultiLineStringRGJ(coordinates=[[[0.0, 0.0], [3.0, 1.0]], [[5.0, 5.0], [6.0, 5.0]]]),
    PolygonRGJ: lambda: PolygonRGJ(coordinates=[SQUARE]),
    MultiPolygonRGJ: lambda: MultiPolygonRGJ(coordinates=[[SQUARE]]),
    GeometryCollectionRGJ: lambda: GeometryCollectionRGJ([{"type": "Point", "coordinates": [1.0, 2.0]}]),
}

# An argument no method body accepts: a call that gets past argument binding fails at once.
JUNK = object()


def stub_file(module_name):
    package, _, name = module_name.rpartition(".")
    return files(package) / f"{name}.pyi"


class StubSignature:
    """The parameters of one ``def`` in a stub, without ``self``."""

    def __init__(self, node: ast.FunctionDef, method: bool):
        args = node.args
        positional = args.posonlyargs + args.args
        assert not args.vararg and not args.kwonlyargs, f"{node.name}: the native functions take neither"
        self.params = [a.arg for a in positional[1 if method else 0 :]]
        self.defaults = tuple(ast.literal_eval(d) for d in args.defaults)
        self.required = len(self.params) - len(self.defaults)
        self.varkw = args.kwarg is not None


PYTHON_PROTOCOL = {"__len__", "__getitem__", "__iter__", "__bool__"}


def stub_functions():
    """(module name, class name or None, function name, StubSignature) for every def in the stubs.

    Of overloaded methods the last overload, the general one, stands for the method. The
    sequence protocol of the multi-part base is plain Python (tests/test_display.py checks it).
    """
    found = {}
    for module_name in MODULES:
        tree = ast.parse(stub_file(module_name).read_text())
        for node in tree.body:
            if isinstance(node, ast.FunctionDef):
                found[module_name, None, node.name] = node
            elif isinstance(node, ast.ClassDef):
                for item in node.body:
                    if isinstance(item, ast.FunctionDef) and item.name not in PYTHON_PROTOCOL and not any(
                        isinstance(d, ast.Name) and d.id == "property" for d in item.decorator_list
                    ):
                        found[module_name, node.name, item.name] = item
    return [(*key, StubSignature(node, method=key[1] is not None)) for key, node in found.items()]


FUNCTIONS = stub_functions()


def ids(entry):
    module_name, class_name, name, _ = entry
    return ".".join(filter(None, [module_name.rsplit(".", 1)[1], class_name, name]))


def bound_call(module_name, class_name, name):
    """A caller (args, kwargs) -> result for the runtime function, and its reported name."""
    module = importlib.import_module(module_name)
    if class_name is None:
        function = getattr(module, name)
        return (lambda *a, **k: function(*a, **k)), function.__name__
    cls = getattr(module, class_name)
    if name == "__init__":
        return (lambda *a, **k: cls(*a, **k)), "__init__"
    function = vars(cls)[name]
    make = INSTANCES[cls]
    return (lambda *a, **k: function(make(), *a, **k)), function.__name__


def argument_error(call, *args, **kwargs):
    """The TypeError message of the call, or None when it got past argument binding."""
    try:
        call(*args, **kwargs)
    except TypeError as error:
        return str(error)
    except Exception:  # the body ran and refused the junk arguments
        return None
    return None


def test_stubs_and_marker_are_installed_with_the_modules():
    assert (files("orvo.field") / "py.typed").is_file()
    for module_name in MODULES:
        module = importlib.import_module(module_name)
        assert module.__file__.endswith(".so")
        assert stub_file(module_name).is_file(), module_name


def test_every_stub_def_is_checked_here():
    """Nothing in the stubs slips past the checks below by being something other than a native function."""
    for module_name, class_name, name, _ in FUNCTIONS:
        module = importlib.import_module(module_name)
        owner = module if class_name is None else getattr(module, class_name)
        runtime = getattr(owner, name) if class_name is None else vars(owner).get(name)
        expected = "wrapper_descriptor" if name == "__init__" else "orvo_method"
        assert type(runtime).__name__ == expected, (module_name, class_name, name)


@pytest.mark.parametrize("entry", [e for e in FUNCTIONS if e[2] != "__init__"], ids=ids)
def test_defaults(entry):
    module_name, class_name, name, sig = entry
    module = importlib.import_module(module_name)
    runtime = getattr(module, name) if class_name is None else vars(getattr(module, class_name))[name]
    assert runtime.__defaults__ == (sig.defaults or None)


@pytest.mark.parametrize("entry", FUNCTIONS, ids=ids)
def test_parameters(entry):
    module_name, class_name, name, sig = entry
    call, reported = bound_call(module_name, class_name, name)
    n = len(sig.params)
    # How many parameters there are.
    message = argument_error(call, *[JUNK] * (n + 1))
    assert message is not None and f"{reported}() takes " in message, message
    assert f" {n} positional argument" in message and f"({n + 1} given)" in message, message
    # Their names, in order: parameter i is filled by the (i + 1)-th positional argument.
    for i, param in enumerate(sig.params):
        message = argument_error(call, *[JUNK] * (i + 1), **{param: JUNK})
        assert message == f"{reported}() got multiple values for keyword argument '{param}'", (param, message)
    # How many of them are required.
    if sig.required:
        message = argument_error(call, *[JUNK] * (sig.required - 1))
        assert message is not None and f" {sig.required} positional argument" in message, message
    else:
        message = argument_error(call)
        assert message is None or "positional argument" not in message, message
    # Whether other keywords are collected.
    message = argument_error(call, *[JUNK] * n, unknown_keyword=JUNK)
    unexpected = f"{reported}() got an unexpected keyword argument 'unknown_keyword'"
    assert (message == unexpected) != sig.varkw, message
