"""The order in which each geometry method reaches its fields, arguments and looked-up methods.

Every input a method reads is poisoned: a field or argument holds an object that raises Touched(name) on any
use, and a method or class attribute looked up on the instance raises Touched(name) at the lookup. The poisons
are removed one at a time, in the order the method reaches them, and each call must stop at the next one.
Poisons listed as untouched are never reached: the last call succeeds with them in place.
"""

from functools import cache
from types import SimpleNamespace

import pytest

from orvo.field import kernels as kernel_module
from orvo.field.geometry import _RGJ_TYPES, linestring, polygon
from orvo.field.geometry.collection import GeometryCollectionRGJ
from orvo.field.geometry.linestring import LineStringRGJ, MultiLineStringRGJ
from orvo.field.geometry.point import MultiPointRGJ, PointRGJ
from orvo.field.geometry.polygon import MultiPolygonRGJ, PolygonRGJ


class Touched(Exception):
    """A poisoned input was reached; args[0] names it."""


def _touch(self, *args, **kwargs):
    raise Touched(object.__getattribute__(self, "tag"))


class Poison:
    """Raises Touched(tag) when used in any way: attributes, calls, iteration, arithmetic, comparison."""

    __array_ufunc__ = __hash__ = None
    __getattr__ = __call__ = tolist = __len__ = __iter__ = __getitem__ = __bool__ = __index__ = __float__ = _touch
    __add__ = __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = __truediv__ = __rtruediv__ = _touch
    __matmul__ = __rmatmul__ = __neg__ = __invert__ = __array__ = _touch
    __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = _touch

    def __init__(self, tag):
        object.__setattr__(self, "tag", tag)

    def __repr__(self):
        return f"Poison({object.__getattribute__(self, 'tag')!r})"


POISONED = set()  # "<label><name>": the lookups on spied instances that raise
KERNELS = SimpleNamespace()  # the line and polygon modules' `kernels` here


class Spy:
    """A geometry whose lookups named in POISONED raise; `label` prefixes its names ("m0." for a member)."""

    label = ""

    def __getattribute__(self, name):
        if type(self).label + name in POISONED:
            raise Touched(type(self).label + name)
        return super().__getattribute__(name)


@cache
def spy(cls, label=""):
    return type(f"Spied{cls.__name__}", (Spy, cls), {"label": label})


@pytest.fixture(autouse=True)
def spied_environment(monkeypatch):
    POISONED.clear()
    for name in ("segment_repulsion_vectors", "point_in_rings"):
        setattr(KERNELS, name, getattr(kernel_module, name))
    for module in (linestring, polygon):
        monkeypatch.setattr(module, "kernels", KERNELS)
    monkeypatch.setitem(_RGJ_TYPES, "Point0", spy(PointRGJ, "m0."))
    monkeypatch.setitem(_RGJ_TYPES, "Point1", spy(PointRGJ, "m1."))


R, X = [[2.0, 0.5], [0.5, 1.0]], [[3.0, 4.0]]
SQUARE, FAR = [[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 1.0]], [[5.0, 5.0], [6.0, 5.0], [6.0, 6.0]]
MEMBERS = [{"type": "Point0", "coordinates": [0.0, 0.0]}, {"type": "Point1", "coordinates": [5.0, 5.0]}]


def bare(cls):
    return lambda: spy(cls).__new__(spy(cls))


def made(cls, *args):
    return lambda: spy(cls)(*args, repulsion=R)


def multipolygon():
    m = spy(MultiPolygonRGJ)([[SQUARE], [FAR]], repulsion=R)
    m.polygons = [spy(PolygonRGJ, "m0.")(SQUARE), spy(PolygonRGJ, "m1.")(FAR)]
    return m


def collection():
    return spy(GeometryCollectionRGJ)(geometries=MEMBERS)


point, multipoint = made(PointRGJ, [1.0, 2.0]), made(MultiPointRGJ, [[0.0, 0.0], [4.0, 0.0]])
line = made(LineStringRGJ, [[0.0, 0.0], [2.0, 0.0], [2.0, 2.0]])
multiline = made(MultiLineStringRGJ, [[[0.0, 0.0], [1.0, 0.0]], [[5.0, 5.0], [5.0, 6.0]]])
square = made(PolygonRGJ, SQUARE)


def within(name):  # a ring list or polygon list holding the poison
    return name, lambda p: [p]


def no_rings():
    return "rings", None, TypeError, "'NoneType' object is not subscriptable"


def case(make, kwargs, steps, untouched=(), merged=None):
    return make, kwargs, steps, untouched, merged


KERNEL = ["kernels.segment_repulsion_vectors", "_p1", "_v", "_v_dot_v"]
SELECTED = ["get_dist_matrix", "inv_repulsion", *KERNEL]
INIT = {"repulsion": R, "properties": {}}
DIM = {"repulsion": None, "optional_dim": 2}
MIXED = {"x": [[10.0, 10.0]], "min_dist_select": True}
XS = {"x": X, "min_dist_select": True}
MATRIX = {"scaled": True, "inverted": True}
M0, M1 = ["m0.get_dist_matrix", "m1.get_dist_matrix"], ["m0.grad_matrix", "m1.grad_matrix"]

CASES = {  # "<object> <method> [variant]": case(object, arguments, inputs in the order reached, untouched)
    "base __init__": case(bare(PointRGJ), {"coordinates": [1.0, 2.0], **INIT}, ["coordinates", "repulsion"],
        ["properties"]),
    "base set_repulsion": case(point, {"new_repulsion": R}, ["new_repulsion"], ["repulsion"]),
    "base set_repulsion None": case(point, {"new_repulsion": None}, ["repulsion"]),
    "base get_dist_matrix": case(point, MATRIX, ["scaled", "inverted", "inv_repulsion"],
        ["repulsion", "eye_repulsion"]),
    "base squared_dist": case(point, {"x": X, **MATRIX}, ["repulsion_vector", "x", "coordinates", "get_dist_matrix",
        "scaled", "inverted", "inv_repulsion"]),
    "base eval": case(point, {"x": X}, ["squared_dist", "repulsion_vector", "x", "coordinates", "get_dist_matrix",
        "inv_repulsion"]),
    "base in_bbox": case(point, {"x": [1.0, 2.0]}, ["x", "bbox"]),
    "base toRGeoJSON": case(point, {}, ["RGJType", "coordinates", "repulsion"], ["properties"]),
    "point repulsion_vector": case(point, XS, ["x", "coordinates"],
        ["min_dist_select", "repulsion", "inv_repulsion", "get_dist_matrix", "bbox"]),
    "multipoint __init__": case(bare(MultiPointRGJ), {"coordinates": [[0.0, 0.0]], **INIT},
        ["coordinates", "repulsion"], ["properties"]),
    "multipoint in_bbox": case(multipoint, {"x": [1.0, 0.0]}, ["bbox", "x"]),
    "multipoint repulsion_vector": case(multipoint, XS, ["x", "coordinates", "min_dist_select", "get_dist_matrix",
        "inv_repulsion"]),
    "line __init__": case(bare(LineStringRGJ), {"coordinates": [[0.0, 0.0], [1.0, 0.0]], "repulsion": R},
        ["coordinates", "repulsion", "_build_segments"]),
    "line set_coordinates": case(line, {"new_coords": [[0.0, 0.0], [3.0, 0.0]]}, ["new_coords", "_build_segments"],
        ["repulsion"]),
    "line repulsion_vector": case(line, XS, ["x", "min_dist_select", *SELECTED],
        ["points_in_line_pair", "coordinates"]),
    "line repulsion_vector all": case(line, {"x": X, "min_dist_select": False},
        ["x", "min_dist_select", "_p1", "_v", "_v_dot_v"], SELECTED[:3]),
    "line repulsion_vector empty": case(made(LineStringRGJ, [[0.0, 0.0]]), XS, ["x"], ["min_dist_select", *SELECTED]),
    "multiline __init__": case(bare(MultiLineStringRGJ), {"coordinates": [[[0.0, 0.0], [1.0, 0.0]]], **INIT},
        ["coordinates", "repulsion", "_build_segments"], ["properties"]),
    "multiline set_coordinates": case(multiline, {"new_coords": [[[0.0, 0.0], [3.0, 0.0]]]},
        ["new_coords", "_build_segments"], ["repulsion", "properties"]),
    "polygon __init__": case(bare(PolygonRGJ), {"coordinates": SQUARE, **INIT},
        [within("coordinates"), "_build_segment_cache", "repulsion", "get_dist_matrix"], ["properties"]),
    "polygon __init__ dim": case(bare(PolygonRGJ), {"coordinates": SQUARE, **DIM},
        [within("coordinates"), "_build_segment_cache", "optional_dim", "get_dist_matrix"]),
    "polygon set_coordinates": case(square, {"new_coords": FAR}, ["__init__", within("new_coords"),
        "_build_segment_cache", "repulsion", "get_dist_matrix"], ["properties"]),
    "polygon set_repulsion": case(square, {"new_repulsion": R}, ["new_repulsion", "get_dist_matrix"],
        [within("rings"), "_p1"]),
    "polygon repulsion_vector": case(square, MIXED, ["x", no_rings(), "kernels.point_in_rings", *KERNEL, "metric"],
        ["min_dist_select", "get_dist_matrix", "coordinates", "bbox"]),
    "polygon repulsion_vector inside": case(square, {"x": [[0.5, 0.5]]}, ["x", no_rings(), "kernels.point_in_rings"],
        [*KERNEL, "metric"]),
    "polygon repulsion_vector empty": case(made(PolygonRGJ, []), MIXED, ["x"],
        [("rings", None), "kernels.point_in_rings", *KERNEL, "metric"]),
    "polygon in_bbox": case(square, {"x": [0.5, 0.5]}, ["x", "bbox"], [within("rings")]),
    "polygon in_bbox below": case(square, {"x": [-1.0, -1.0]}, [], [("bbox", lambda p: [[0.0, 0.0], p])]),
    "polygon toRGeoJSON": case(square, {}, ["RGJType", within("rings"), "repulsion"], ["properties", "coordinates"]),
    "multipolygon __init__": case(bare(MultiPolygonRGJ), {"coordinates": [[SQUARE]], **INIT},
        ["coordinates", "repulsion"], ["properties"]),
    "multipolygon set_coordinates": case(multipolygon, {"new_coords": [[SQUARE]]}, ["__init__", "repulsion",
        "new_coords"], ["properties"]),
    "multipolygon in_bbox": case(multipolygon, {"x": [5.5, 5.2]}, ["m0.in_bbox", "x", "m1.in_bbox"]),
    "multipolygon in_bbox first": case(multipolygon, {"x": [0.5, 0.5]}, ["m0.in_bbox", "x"], ["m1.in_bbox"]),
    "multipolygon get_center_point": case(multipolygon, {}, ["m0.get_center_point", "m1.get_center_point"]),
    "multipolygon repulsion_vector": case(multipolygon, XS, ["x", "min_dist_select", *SELECTED], [within("polygons")]),
    "multipolygon toRGeoJSON": case(multipolygon, {}, ["RGJType", "m0.rings", "m1.rings", "repulsion"],
        ["properties"]),
    "collection __init__": case(bare(GeometryCollectionRGJ), {"geometries": MEMBERS, "properties": {}},
        ["geometries", *M0, *M1, "m0.bbox", "m1.bbox"], ["properties"]),
    "collection set_repulsion": case(collection, {"new_repulsion": R},
        ["m0.set_repulsion", "new_repulsion", "m1.set_repulsion", *M0, *M1]),
    "collection in_bbox": case(collection, {"x": [5.0, 5.0]}, ["m0.in_bbox", "x", "m1.in_bbox"]),
    "collection in_bbox first": case(collection, {"x": [0.0, 0.0]}, ["m0.in_bbox", "x"], ["m1.in_bbox"]),
    "collection get_dist_matrix": case(collection, MATRIX, ["m0.get_dist_matrix", "scaled", "inverted",
        "m1.get_dist_matrix"]),
    "collection get_center_point": case(collection, {}, ["m0.get_center_point", "m1.get_center_point"]),
    "collection squared_dist": case(collection, {"x": X, **MATRIX, "return_reference": True},
        ["m0.squared_dist", "x", "scaled", "inverted", "m1.squared_dist", "return_reference"]),
    "collection repulsion_vector": case(collection, XS, ["m0.repulsion_vector", "x", "m1.repulsion_vector",
        "min_dist_select", "inv_repulsions"]),
    "collection gradient": case(collection, {"x": X},
        ["squared_dist", "x", "repulsion_vector", "eval", "grad_matrixes"]),
    "collection gradient return_reference": case(collection, {"x": X, "return_reference": True}, ["squared_dist"],
        merged="return_reference"),
    "collection gradient min_dist_select": case(collection, XS, ["repulsion_vector"], merged="min_dist_select"),
    "collection toRGeoJSON": case(collection, {}, ["RGJType", "m0.toRGeoJSON", "m1.toRGeoJSON"], ["properties"]),
}


def poison(obj, kwargs, entry):
    """Poisons one input (an argument, a kernel, a field or a lookup): its expected error and its undo."""
    name, *rest = (entry,) if isinstance(entry, str) else entry
    value = rest[0] if rest else Poison(name)
    value = value(Poison(name)) if callable(value) and not isinstance(value, Poison) else value
    expected = tuple(rest[1:]) or (Touched, name)
    if name in kwargs:
        good, kwargs[name] = kwargs[name], value
        return expected, lambda: kwargs.__setitem__(name, good)
    if name.startswith("kernels."):
        target, attr = KERNELS, name.removeprefix("kernels.")
    elif hasattr(getattr(type(obj), name, None), "__set__"):  # a field
        target, attr = obj, name
    else:
        POISONED.add(name)
        return expected, lambda: POISONED.discard(name)
    good = getattr(target, attr)
    setattr(target, attr, value)
    return expected, lambda: setattr(target, attr, good)


@pytest.mark.parametrize("name, make, kwargs, steps, untouched, merged", [(k, *v) for k, v in CASES.items()], ids=CASES)
def test_inputs_are_reached_in_order(name, make, kwargs, steps, untouched, merged):
    obj, kwargs, method = make(), dict(kwargs), name.split()[1]
    expected = [poison(obj, kwargs, entry) for entry in [*steps, *untouched]]
    for (error, tag), undo in expected[:len(steps)]:
        with pytest.raises(error) as exc:
            getattr(obj, method)(**kwargs)
        assert (exc.value.args[0] if error is Touched else str(exc.value)) == tag
        undo()
    if merged is None:
        getattr(obj, method)(**kwargs)
        return
    with pytest.raises(TypeError) as exc:
        getattr(obj, method)(**kwargs)
    assert str(exc.value) == f"function() got multiple values for keyword argument '{merged}'"


NOT_ITERABLE, NOT_SUBSCRIPTABLE = "'NoneType' object is not iterable", "'NoneType' object is not subscriptable"
NO_LEN = "object of type 'NoneType' has no len()"


# An object allocated and never initialised: object fields None, integer fields 0. None: numpy's own message.
@pytest.mark.parametrize("cls, method, kwargs, message", [
    (PointRGJ, "repulsion_vector", {"x": [0.0, 0.0]}, None),
    (MultiPointRGJ, "repulsion_vector", {"x": [0.0, 0.0]}, NOT_SUBSCRIPTABLE),
    (LineStringRGJ, "_build_segments", {}, NO_LEN),
    (MultiLineStringRGJ, "_build_segments", {}, NOT_ITERABLE),
    (MultiLineStringRGJ, "get_center_point", {}, NOT_ITERABLE),
    (PolygonRGJ, "toRGeoJSON", {}, NOT_ITERABLE),
    (PolygonRGJ, "in_bbox", {"x": [0.0, 0.0]}, NOT_SUBSCRIPTABLE),
    (MultiPolygonRGJ, "set_coordinates", {"new_coords": []}, NO_LEN),
    *[(MultiPolygonRGJ, method, kwargs, NOT_ITERABLE)
      for method, kwargs in [("in_bbox", {"x": [0.0, 0.0]}), ("get_center_point", {}), ("toRGeoJSON", {})]],
    *[(GeometryCollectionRGJ, method, kwargs, NOT_ITERABLE) for method, kwargs in [
        ("set_repulsion", {"new_repulsion": None}), ("in_bbox", {"x": [0.0, 0.0]}), ("get_dist_matrix", {}),
        ("get_center_point", {}), ("squared_dist", {"x": X}), ("repulsion_vector", {"x": X}), ("gradient", {"x": X}),
        ("toRGeoJSON", {})]],
])
def test_uninitialised_object_fails_at_first_step(cls, method, kwargs, message):
    with pytest.raises(TypeError) as exc:
        getattr(cls.__new__(cls), method)(**kwargs)
    assert message is None or str(exc.value) == message
