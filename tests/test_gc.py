"""Cyclic garbage collection and deep structures.

Every object field of every geometry class takes part in the collector's
traversal, so a cycle through any of them is freed; long chains of
geometries free and recurse without exhausting the C stack.
"""

import gc
import inspect
import weakref

import pytest

from orvo.field.geometry import _RGJ_TYPES, GeometryCollectionRGJ

SAMPLES = {
    "Point": [1.0, 2.0],
    "MultiPoint": [[0, 0], [3, 4]],
    "LineString": [[0, 0], [4, 0], [4, 3]],
    "MultiLineString": [[[0, 0], [4, 0]], [[0, 2], [4, 2]]],
    "Polygon": [[[0, 0], [4, 0], [4, 4], [0, 4]], [[1, 1], [2, 1], [2, 2]]],
    "MultiPolygon": [[[[0, 0], [4, 0], [4, 4]]], [[[5, 5], [6, 5], [6, 6]]]],
}


def build(name):
    if name == "GeometryCollection":
        return GeometryCollectionRGJ(geometries=[{"type": t, "coordinates": c} for t, c in SAMPLES.items()])
    return _RGJ_TYPES[name](coordinates=SAMPLES[name])


NAMES = [*SAMPLES, "GeometryCollection"]


def object_fields(obj):
    """Names of the native fields of obj that hold objects (integer fields excluded)."""
    names = {n for klass in type(obj).__mro__ for n, d in vars(klass).items()
             if inspect.isgetsetdescriptor(d) and not n.startswith("__")}
    return sorted(n for n in names if not isinstance(getattr(obj, n), int))


class Sentinel:
    """A weakly referenceable marker that lives exactly as long as the cycle holding it."""


def assert_collected(make_cycle):
    gc.collect()
    ref = make_cycle()
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("name", NAMES)
def test_constructed_instances_are_tracked(name):
    assert gc.is_tracked(build(name))


@pytest.mark.parametrize("name", NAMES)
def test_traversal_visits_every_object_field(name):
    obj = build(name)
    fields = object_fields(obj)
    assert {"coordinates", "repulsion", "properties", "bbox"} <= set(fields)
    for field in fields:
        marker = Sentinel()
        setattr(obj, field, [marker])
        assert any(r is getattr(obj, field) for r in gc.get_referents(obj)), field


@pytest.mark.parametrize("name", NAMES)
def test_cycle_through_each_field_is_collected(name):
    for field in object_fields(build(name)):
        def cycle(field=field):
            obj, marker = build(name), Sentinel()
            setattr(obj, field, [obj, marker])
            return weakref.ref(marker)

        assert_collected(cycle)


@pytest.mark.parametrize("name", NAMES)
def test_cycle_through_properties_and_subclass_dict_is_collected(name):
    cls = type(build(name))
    sub = type("Tagged" + cls.__name__, (cls,), {})

    def through_properties():
        obj, marker = build(name), Sentinel()
        obj.properties = {"self": obj, "marker": marker}
        return weakref.ref(marker)

    def through_dict():
        obj = sub.__new__(sub)
        obj.__setstate_cython__(build(name).__reduce_cython__()[2])
        obj.me = obj
        return weakref.ref(obj)

    assert_collected(through_properties)
    assert_collected(through_dict)


def test_collection_member_cycle_is_collected():
    def cycle():
        outer = build("GeometryCollection")
        marker = Sentinel()
        outer.rgjs[0].properties["owner"] = (outer, marker)
        return weakref.ref(marker)

    assert_collected(cycle)


def test_long_chain_of_geometries_frees_without_stack_overflow(run_isolated):
    code, out, err = run_isolated("""
        from orvo.field.geometry import PointRGJ
        head = PointRGJ([0.0, 0.0])
        for _ in range(300_000):
            link = PointRGJ.__new__(PointRGJ)
            link.bbox = head
            head = link
        del head, link
        print("freed")
    """)
    assert (code, out.strip()) == (0, "freed"), err


@pytest.mark.parametrize("call", ["toRGeoJSON()", "squared_dist([[0.0, 0.0]])", "get_center_point()",
                                  "in_bbox([9.0, 9.0])", "set_repulsion(None)", "gradient([[0.0, 0.0]])"])
def test_deeply_nested_collections_raise_recursion_error(run_isolated, call):
    code, out, err = run_isolated(f"""
        from orvo.field.geometry import GeometryCollectionRGJ
        inner = GeometryCollectionRGJ(geometries=[{{"type": "Point", "coordinates": [5, 5]}}])
        for _ in range(100_000):
            outer = GeometryCollectionRGJ.__new__(GeometryCollectionRGJ)
            outer.__setstate_cython__(inner.__reduce_cython__()[2])
            outer.rgjs = [inner]
            inner = outer
        try:
            inner.{call}
        except RecursionError:
            print("RecursionError")
    """)
    assert (code, out.strip()) == (0, "RecursionError"), err
