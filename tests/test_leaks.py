"""Leak loops: every public entry point, called over and over, must not grow memory.

Each target is a zero-argument call. After a warm-up it runs a short loop and a long one ten times
as long (ORVO_FIELD_LEAK_CALLS calls, default 10^4). What the long loop adds beyond the short one -
in traced memory, in allocated blocks and in the reference counts of the long-lived objects the
targets use - must stay within a small allowance: a cache filled once cancels out, one object kept
per call does not. A call that raises counts like one that returns.

A slow target runs fewer calls, down to a twentieth of ORVO_FIELD_LEAK_CALLS, so that its long loop
takes about ORVO_FIELD_LEAK_SECONDS (default 0.05; 0 runs every target the full count). Even then
one object kept per call grows memory by >7 KB and hundreds of blocks. Run this file directly for a
table of the growth per 10^4 calls. Under PYTHONMALLOC=malloc (the sanitizer build) the interpreter
counts no blocks, and traced memory and references carry the check.
"""

import functools
import gc
import os
import pickle
import sys
import time
import tracemalloc
import warnings
from types import MappingProxyType

import numpy as np
import pytest

from orvo.field import kernels
from orvo.field.geometry import (GeometryCollectionRGJ, LineStringRGJ, MultiLineStringRGJ, MultiPointRGJ,
                                 MultiPolygonRGJ, PointRGJ, PolygonRGJ, collection, linestring, point, polygon)

CALLS = int(os.environ.get("ORVO_FIELD_LEAK_CALLS", "10000"))
SECONDS = float(os.environ.get("ORVO_FIELD_LEAK_SECONDS", "0.05"))
MAX_BYTES, MAX_BLOCKS, MAX_REFS = 4096, 32, 32
# Long loops also allow 12 bytes per extra call: settling allocator and pickling caches drift by
# a few bytes per call, while the smallest object a call could keep costs 16.
BYTES_PER_CALL = 12
ATTEMPTS = 5  # numpy's pickling, for one, keeps settling for a few thousand calls
FIELDS = ("coordinates", "repulsion", "inv_repulsion", "eye_repulsion", "grad_matrix", "properties", "bbox")
LinAlgError, ANY = np.linalg.LinAlgError, Exception  # ANY: a hostile field may fail in numpy or in a lookup


class Boom(Exception):
    pass


def raiser(what):
    def method(self, *args, **kwargs):
        raise Boom(what)
    return method


ArrayRaises = type("ArrayRaises", (), {"__array__": raiser("__array__")})
LenRaises = type("LenRaises", (list,), {"__len__": raiser("__len__")})
IterRaises = type("IterRaises", (list,), {"__iter__": raiser("__iter__")})
IndexRaises = type("IndexRaises", (), {"__index__": raiser("__index__")})
Hostile = type("Hostile", (list,), {"__array__": raiser("__array__"), "__len__": raiser("__len__")})
TaggedPolygon = type("TaggedPolygon", (PolygonRGJ,), {})  # its instances have a __dict__
DictRaises = type("DictRaises", (PointRGJ,), {"__dict__": property(raiser("__dict__"))})


class PairlessCollection(GeometryCollectionRGJ):
    def squared_dist(self, x, *args, **kwargs):  # gradient unpacks a (distances, indices) pair from this
        return x, x, x


ANISO, SINGULAR = [[2.0, 0.5], [0.5, 1.0]], [[1.0, 2.0], [2.0, 4.0]]
SQUARE, HOLE = [[0.0, 0.0], [4.0, 0.0], [4.0, 4.0], [0.0, 4.0]], [[1.0, 1.0], [2.0, 1.0], [2.0, 2.0]]
COORDS = {PointRGJ: [1.0, 2.0], MultiPointRGJ: [[0.0, 0.0], [3.0, 1.0]],
          LineStringRGJ: [[0.0, 0.0], [2.0, 0.0], [2.0, 2.0]],
          MultiLineStringRGJ: [[[0.0, 0.0], [1.0, 0.0]], [[3.0, 0.0], [3.0, 1.0]]],
          PolygonRGJ: [SQUARE, HOLE], MultiPolygonRGJ: [[SQUARE], [[[6.0, 0.0], [7.0, 0.0], [6.0, 1.0]]]]}
MEMBERS = [{"type": "Point", "coordinates": [9.0, 9.0], "repulsion": ANISO},
           {"type": "LineString", "coordinates": COORDS[LineStringRGJ]}, {"type": "Polygon", "coordinates": [SQUARE]}]
CLASSES = [*COORDS, GeometryCollectionRGJ]
MODULES = {PointRGJ: point, MultiPointRGJ: point, LineStringRGJ: linestring, MultiLineStringRGJ: linestring,
           PolygonRGJ: polygon, MultiPolygonRGJ: polygon, GeometryCollectionRGJ: collection}
RESTORE = {cls: getattr(MODULES[cls], f"__pyx_unpickle_{cls.__name__}") for cls in CLASSES}
# A class's own fields: an object field that closes a reference cycle, and the integer or list field
# that refuses some values, with its place in the pickle state (sorted by name).
OWN = {LineStringRGJ: ("_p1", "lines_n", 8), MultiLineStringRGJ: ("_v", "lines_n", 8),
       PolygonRGJ: ("metric", "_S", 0), MultiPolygonRGJ: ("_v_dot_v", "_S", 0),
       GeometryCollectionRGJ: ("grad_matrixes", "rgjs", 9)}


def build(cls, coordinates=None, repulsion=ANISO):
    """A geometry from the sample data; a collection takes other values as one further Point member."""
    if cls is not GeometryCollectionRGJ:
        return cls(COORDS[cls] if coordinates is None else coordinates, repulsion=repulsion, properties={"n": 1})
    if coordinates is None and repulsion is ANISO:
        return cls(MEMBERS, properties={"n": 1})
    return cls([*MEMBERS, {"type": "Point", "coordinates": coordinates or [0.0, 0.0], "repulsion": repulsion}])


GEOMS = {cls: build(cls) for cls in CLASSES}  # only queried
SCRATCH = {cls: build(cls) for cls in CLASSES}  # setters and __setstate__ write into these
BARE = {cls: cls.__new__(cls) for cls in CLASSES}  # every field None
BROKEN = {cls: build(cls) for cls in CLASSES}  # fields that numpy cannot read and whose len() fails
STATE = {cls: g.__reduce_cython__()[2] for cls, g in GEOMS.items()}
CHECKSUM = {cls: g.__reduce_cython__()[1][1] for cls, g in GEOMS.items()}
for _cls, _g in BROKEN.items():
    for _name in ("coordinates", "repulsion", "inv_repulsion", "bbox", OWN.get(_cls, ("properties",))[0]):
        setattr(_g, _name, Hostile())
BROKEN[MultiPolygonRGJ].polygons = [GEOMS[PolygonRGJ], Hostile()]
BROKEN[GeometryCollectionRGJ].rgjs = [GEOMS[PointRGJ], Hostile()]
TAGGED = TaggedPolygon([SQUARE])
TAGGED.tag = "kept"
PAIRLESS = PairlessCollection(MEMBERS[:1])
LENGTHLESS = PointRGJ([0.0, 0.0])
LENGTHLESS.coordinates = LenRaises([1.0, 2.0])  # the export reads its items through len()
ARRAYS = dict(x=np.array([[0.5, 5.0]]), p1=np.array([[0.0, 0.0], [2.0, 0.0]]), v=np.array([[2.0, 0.0], [0.0, 2.0]]),
              vdv=np.array([4.0, 4.0]), metric=np.eye(2))


def x():  # a new list per call, so a reference kept to the query points costs memory; plain floats take fast paths
    return [[0.5, 5.0], [6.0, 1.0]]


def x32():  # float32 points make every fast path step aside to the numpy steps
    return np.array([[0.5, 5.0], [6.0, 1.0]], dtype=np.float32)


def cycle(cls):  # a reference cycle through a base field and through the class's own field: only the GC frees it
    o = cls.__new__(cls)
    o.bbox = [o]
    setattr(o, OWN.get(cls, ("properties",))[0], [o])


def set_get(o, name, value):
    setattr(o, name, value)
    return getattr(o, name)


def fields(cls):
    for name in FIELDS + OWN.get(cls, ("properties",))[:1]:
        setattr(BARE[cls], name, [name])
        delattr(BARE[cls], name)


PER_CLASS = [  # (family, name, call on the class, exception it must raise or None)
    ("build", "", build, None), ("build", "__new__", lambda c: c.__new__(c), None), ("gc", "cycle", cycle, None),
    ("build error", "singular repulsion", lambda c: build(c, repulsion=SINGULAR), LinAlgError),
    ("build error", "__array__", lambda c: build(c, [[ArrayRaises()]]), Boom),
    ("build error", "text", lambda c: build(c, "abc"), (ValueError, TypeError)),
    ("query", "repulsion_vector", lambda c: GEOMS[c].repulsion_vector(x()), None),
    ("query", "repulsion_vector float32", lambda c: GEOMS[c].repulsion_vector(x32()), None),
    ("query", "repulsion_vector all", lambda c: GEOMS[c].repulsion_vector(x(), min_dist_select=False), None),
    ("query", "squared_dist", lambda c: GEOMS[c].squared_dist(x()), None),
    ("query", "squared_dist unscaled", lambda c: GEOMS[c].squared_dist(x(), False), None),
    ("query", "squared_dist not inverted float32", lambda c: GEOMS[c].squared_dist(x32(), inverted=False), None),
    ("query", "eval", lambda c: GEOMS[c].eval(x()), None),
    ("query", "in_bbox", lambda c: GEOMS[c].in_bbox([5.0, 5.0]), None),
    ("query", "get_center_point", lambda c: GEOMS[c].get_center_point(), None),
    ("query", "get_dist_matrix", lambda c: GEOMS[c].get_dist_matrix(True, False), None),
    ("query", "toRGeoJSON", lambda c: GEOMS[c].toRGeoJSON(), None),
    ("query", "__geo_interface__", lambda c: GEOMS[c].__geo_interface__, None),
    ("query error", "repulsion_vector text", lambda c: GEOMS[c].repulsion_vector([["a", "b"]]), ValueError),
    ("query error", "repulsion_vector __array__", lambda c: GEOMS[c].repulsion_vector(ArrayRaises()), Boom),
    ("query error", "in_bbox __array__", lambda c: GEOMS[c].in_bbox(ArrayRaises()), Boom),
    ("query error", "broken repulsion_vector", lambda c: BROKEN[c].repulsion_vector(x()), ANY),
    ("query error", "broken squared_dist", lambda c: BROKEN[c].squared_dist(x()), ANY),
    ("query error", "broken in_bbox", lambda c: BROKEN[c].in_bbox([5.0, 5.0]), ANY),
    ("query error", "broken get_center_point", lambda c: BROKEN[c].get_center_point(), ANY),
    ("query error", "broken toRGeoJSON", lambda c: BROKEN[c].toRGeoJSON(), ANY),
    ("set", "set_repulsion", lambda c: SCRATCH[c].set_repulsion(ANISO), None),
    ("set", "set_repulsion None", lambda c: SCRATCH[c].set_repulsion(None), None),
    ("set", "set_coordinates", lambda c: SCRATCH[c].set_coordinates(COORDS.get(c)), None),
    ("set", "fields", fields, None),
    ("set error", "set_repulsion singular", lambda c: SCRATCH[c].set_repulsion(SINGULAR), LinAlgError),
    ("set error", "broken set_repulsion", lambda c: BROKEN[c].set_repulsion(None), ANY),
    ("set error", "set_coordinates text", lambda c: SCRATCH[c].set_coordinates("abc"), (ValueError, TypeError)),
    ("set error", "set_coordinates __array__", lambda c: SCRATCH[c].set_coordinates([[ArrayRaises()]]), Boom),
    ("pickle", "dumps/loads", lambda c: pickle.loads(pickle.dumps(GEOMS[c], 5)), None),
    ("pickle", "__reduce_cython__", lambda c: GEOMS[c].__reduce_cython__(), None),
    ("pickle", "__reduce__ bare", lambda c: BARE[c].__reduce__(), None),
    ("pickle", "__setstate_cython__", lambda c: SCRATCH[c].__setstate_cython__(STATE[c]), None),
    ("pickle", "__pyx_unpickle", lambda c: RESTORE[c](c, CHECKSUM[c], None), None),
    ("pickle", "__pyx_unpickle state", lambda c: RESTORE[c](c, CHECKSUM[c], STATE[c]), None),
    ("pickle error", "__pyx_unpickle checksum", lambda c: RESTORE[c](c, 1, STATE[c]), pickle.PickleError),
    ("pickle error", "__pyx_unpickle short state", lambda c: RESTORE[c](c, CHECKSUM[c], STATE[c][:-1]), IndexError),
    ("pickle error", "__setstate__ short", lambda c: SCRATCH[c].__setstate__(STATE[c][:-1]), IndexError),
    ("pickle error", "__setstate__ dict, no __dict__", lambda c: SCRATCH[c].__setstate__(STATE[c] + ({1: 1},)),
     AttributeError),
]
# A collection has no coordinates of its own, and its members' vectors here cannot be stacked.
COLLECTION_RAISES = {"set_coordinates": NotImplementedError, "set_coordinates text": NotImplementedError,
                     "set_coordinates __array__": NotImplementedError, "repulsion_vector all": ValueError}
TARGETS = {}  # "family: name" -> (call, exception it must raise or None)


def add(family, name, fn, raises=None):
    TARGETS[f"{family}: {name}"] = (fn, raises)


for cls in CLASSES:
    for family, name, fn, raises in PER_CLASS:
        if cls is GeometryCollectionRGJ and name in COLLECTION_RAISES:
            family, raises = family.replace(" error", "") + " error", COLLECTION_RAISES[name]
        add(family, f"{cls.__name__} {name}".strip(), functools.partial(fn, cls), raises)
for cls, (_, field, place) in OWN.items():
    bad, good = ((1,), []) if field == "rgjs" else (IndexRaises(), np.int64(3))
    add("set", f"{cls.__name__}.{field} set/get", functools.partial(set_get, BARE[cls], field, good))
    add("set error", f"{cls.__name__}.{field} refused", functools.partial(setattr, BARE[cls], field, bad),
        (Boom, TypeError))
    state = STATE[cls][:place] + (bad,) + STATE[cls][place + 1:]
    add("pickle error", f"{cls.__name__}.__setstate__ refused {field}",
        functools.partial(SCRATCH[cls].__setstate__, state), (Boom, TypeError))

C, P, R, CP = GEOMS[GeometryCollectionRGJ], SCRATCH[PointRGJ], RESTORE[PointRGJ], CHECKSUM[PointRGJ]
for family, name, fn, *raises in [  # raises: the exception it must raise, if any
    ("build", "MultiPointRGJ positional", lambda: MultiPointRGJ([[0.0, 1.0]], ANISO, optional_dim=2)),
    ("build", "LineStringRGJ one vertex", lambda: LineStringRGJ([[0.0, 1.0]])),
    ("build", "PolygonRGJ array", lambda: PolygonRGJ(np.array([SQUARE]))),
    ("build", "MultiPolygonRGJ empty", lambda: MultiPolygonRGJ([])),
    ("build", "GeometryCollectionRGJ mappings", lambda: GeometryCollectionRGJ([MappingProxyType(MEMBERS[0])])),
    ("build", "TaggedPolygon keywords", lambda: TaggedPolygon(coordinates=[SQUARE], tag=1)),
    ("build error", "PointRGJ three numbers", lambda: PointRGJ([1.0, 2.0, 3.0]), ValueError),
    ("build error", "PointRGJ non-square repulsion", lambda: PointRGJ([1.0, 2.0], [1.0, 2.0, 3.0]), ValueError),
    ("build error", "PointRGJ duplicate keyword", lambda: PointRGJ([1.0, 2.0], coordinates=[0.0, 0.0]), TypeError),
    ("build error", "PointRGJ missing argument", lambda: PointRGJ(), TypeError),
    ("build error", "PointRGJ __index__ dimension", lambda: PointRGJ([0.0, 0.0], optional_dim=IndexRaises()), Boom),
    ("build error", "MultiPointRGJ too many positional", lambda: MultiPointRGJ([[0.0, 1.0]], None, 3), TypeError),
    ("build error", "MultiLineStringRGJ empty", lambda: MultiLineStringRGJ([]), ValueError),
    ("build error", "MultiLineStringRGJ __iter__", lambda: MultiLineStringRGJ(IterRaises([[[0.0, 0.0]]])), Boom),
    ("build error", "MultiLineStringRGJ __index__", lambda: MultiLineStringRGJ([[[0, 0]]], optional_dim=IndexRaises()),
     Boom),
    ("build error", "PolygonRGJ None", lambda: PolygonRGJ(None), TypeError),
    ("build error", "PolygonRGJ __len__", lambda: PolygonRGJ(LenRaises([SQUARE])), ANY),
    ("build error", "PolygonRGJ __iter__", lambda: PolygonRGJ(IterRaises([SQUARE, HOLE])), Boom),
    ("build error", "PolygonRGJ bad hole", lambda: PolygonRGJ([SQUARE, HOLE, "ab"]), ValueError),
    ("build error", "MultiPolygonRGJ second member", lambda: MultiPolygonRGJ([[SQUARE], None]), TypeError),
    ("build error", "MultiPolygonRGJ __iter__", lambda: MultiPolygonRGJ(IterRaises([[SQUARE]])), Boom),
    ("build error", "GeometryCollectionRGJ __iter__", lambda: GeometryCollectionRGJ(IterRaises(MEMBERS)), Boom),
    ("query", "GeometryCollectionRGJ squared_dist return_reference", lambda: C.squared_dist(x(), return_reference=1)),
    ("query", "GeometryCollectionRGJ squared_dist return_reference float32", lambda: C.squared_dist(x32(), 1, 1, 1)),
    ("query", "GeometryCollectionRGJ gradient", lambda: C.gradient(x())),
    ("query", "GeometryCollectionRGJ gradient float32", lambda: C.gradient(x32())),
    ("query", "GeometryCollectionRGJ in_bbox hit", lambda: C.in_bbox([2.0, 2.0])),
    ("query", "method __signature__", lambda: PointRGJ.squared_dist.__signature__),
    ("query error", "GeometryCollectionRGJ gradient keyword twice", lambda: C.gradient(x(), return_reference=0),
     TypeError),
    ("query error", "GeometryCollectionRGJ gradient broken pair", lambda: PAIRLESS.gradient(x()), ValueError),
    ("query error", "GeometryCollectionRGJ broken gradient", lambda: BROKEN[GeometryCollectionRGJ].gradient(x()), ANY),
    ("query error", "PointRGJ toRGeoJSON __len__", lambda: LENGTHLESS.toRGeoJSON(), ANY),
    ("query error", "unbound method on a foreign object", lambda: PointRGJ.repulsion_vector(object(), x()), TypeError),
    ("query error", "unbound method without self", lambda: PointRGJ.get_center_point(), TypeError),
    ("query error", "unknown keyword", lambda: P.in_bbox(x(), y=1), TypeError),
    ("query error", "too many positional", lambda: P.get_center_point(x()), TypeError),
    ("query error", "duplicate keyword", lambda: P.squared_dist(x(), x=x()), TypeError),
    ("query error", "missing argument", lambda: P.repulsion_vector(), TypeError),
    ("set error", "LineStringRGJ.lines_n delete", lambda: delattr(BARE[LineStringRGJ], "lines_n"), NotImplementedError),
    ("pickle", "TaggedPolygon dumps/loads", lambda: pickle.loads(pickle.dumps(TAGGED))),
    ("pickle", "restore function by reference", lambda: pickle.loads(pickle.dumps(RESTORE[PolygonRGJ]))),
    ("pickle", "method by reference", lambda: pickle.loads(pickle.dumps(PolygonRGJ.repulsion_vector))),
    ("pickle error", "__pyx_unpickle __index__ checksum", lambda: R(PointRGJ, IndexRaises(), None), Boom),
    ("pickle error", "__pyx_unpickle huge checksum", lambda: R(PointRGJ, 2**80, None), OverflowError),
    ("pickle error", "__pyx_unpickle list state", lambda: R(PointRGJ, CP, [None] * 7), TypeError),
    ("pickle error", "__pyx_unpickle foreign type", lambda: R(int, CP, None), TypeError),
    ("pickle error", "__pyx_unpickle missing argument", lambda: R(PointRGJ, CP), TypeError),
    ("pickle error", "__setstate__ None", lambda: P.__setstate__(None), TypeError),
    ("pickle error", "__setstate__ list", lambda: P.__setstate__([None] * 7), TypeError),
    ("pickle error", "__reduce_cython__ argument", lambda: P.__reduce_cython__(5), TypeError),
    ("pickle error", "__reduce__ failing __dict__", lambda: DictRaises.__new__(DictRaises).__reduce__(), Boom),
    ("kernel", "segment_repulsion_vectors arrays", lambda: kernels.segment_repulsion_vectors(**ARRAYS)),
    ("kernel", "segment_repulsion_vectors lists", lambda: kernels.segment_repulsion_vectors(
        x(), [[0.0, 0.0], [2.0, 0.0]], [[2.0, 0.0], [0.0, 2.0]], [4.0, 4.0], ANISO)),
    ("kernel", "point_in_rings lists", lambda: kernels.point_in_rings(x(), SQUARE, [HOLE, HOLE])),
    ("kernel", "point_in_rings arrays", lambda: kernels.point_in_rings(ARRAYS["x"], ARRAYS["p1"], (ARRAYS["v"],))),
    ("kernel error", "point_in_rings keyword twice", lambda: kernels.point_in_rings(x(), SQUARE, [], x=x()), TypeError),
]:
    add(family, name, fn, *raises)
for _g in (LineStringRGJ([[0.0, 0.0]]), PolygonRGJ([]), MultiPolygonRGJ([])):  # no segments: zero vectors
    add("query", f"{type(_g).__name__} without segments repulsion_vector", lambda g=_g: g.repulsion_vector(x()))
for name, member, exc in [
    ("missing type", {"coordinates": [0, 0]}, KeyError), ("unknown type", {"type": "C"}, KeyError),
    ("unhashable type", {"type": ["P"]}, TypeError), ("int member", 5, TypeError),
    ("no coordinates", {"type": "Point"}, TypeError), ("pairs", [("type", "P")], TypeError),
    ("non-string key", {"type": "Point", "coordinates": [0, 0], 1: 2}, TypeError),
]:
    add("build error", f"GeometryCollectionRGJ {name}", lambda m=member: GeometryCollectionRGJ([MEMBERS[0], m]), exc)
for name, change, exc in [
    ("x ragged", {"x": [[1.0, 2.0], [3.0]]}, ValueError), ("x __array__", {"x": ArrayRaises()}, Boom),
    ("x shape", {"x": np.zeros((2, 3))}, ValueError), ("p1 empty", {"p1": np.zeros((0, 2))}, ValueError),
    ("v rows", {"v": [[1.0, 0.0]]}, ValueError), ("vdv rows", {"vdv": [1.0]}, ValueError),
    ("metric shape", {"metric": np.eye(3)}, ValueError), ("metric text", {"metric": "ab"}, ValueError),
    ("unknown keyword", {"w": 1}, TypeError),
]:
    add("kernel error", f"segment_repulsion_vectors {name}",
        lambda c=change: kernels.segment_repulsion_vectors(**{**ARRAYS, **c}), exc)
for name, args, exc in [
    ("holes text", (SQUARE, "abc"), TypeError), ("second hole", (SQUARE, [HOLE, "ab"]), ValueError),
    ("holes __iter__", (SQUARE, IterRaises([HOLE])), Boom), ("outer None", (None, []), ValueError),
    ("missing argument", (SQUARE,), TypeError), ("too many", (SQUARE, [], []), TypeError),
]:
    add("kernel error", f"point_in_rings {name}", lambda a=args: kernels.point_in_rings(x(), *a), exc)


def watched():
    """Long-lived objects the targets use, whose reference counts must come back after a loop."""
    objs = [None, True, False, *CLASSES, *RESTORE.values(), *GEOMS.values(), *SCRATCH.values(), *BROKEN.values(),
            *BARE.values(), *COORDS.values(), *STATE.values(), *MEMBERS, *ARRAYS.values(), ANISO, SQUARE, HOLE,
            TAGGED, PAIRLESS, LENGTHLESS]
    objs += [getattr(geom, f) for geom in GEOMS.values() for f in FIELDS]
    return list({id(o): o for o in objs}.values())


def run(fn, raises, calls):
    for _ in range(calls):
        try:
            fn()
        except raises or ():
            pass


def usage(objs):
    gc.collect()
    # The interpreter's attribute cache keeps a reference to each looked-up name, in a slot chosen
    # by the name's address. Unpickling makes fresh name strings; where freed memory is not reused
    # soon (a sanitizer's quarantine) they fill its 4096 slots one by one, a few thousand calls long.
    sys._clear_type_cache()
    return np.array([tracemalloc.get_traced_memory()[0], sys.getallocatedblocks(), sum(map(sys.getrefcount, objs))])


def within(leak, extra_calls):
    allowance = max(MAX_BYTES, BYTES_PER_CALL * extra_calls)
    return leak[0] <= allowance and leak[1] <= MAX_BLOCKS and leak[2] <= MAX_REFS


def measure(name):
    """(bytes, blocks, references) that the long loop adds beyond the short one, that growth per 10^4
    calls, and the length of the long loop."""
    fn, raises = TARGETS[name]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            fn()
        except Exception as exc:
            if not (raises and isinstance(exc, raises)):
                raise
        else:
            assert raises is None, f"{name} did not raise {raises}"
        start = time.perf_counter()
        run(fn, raises, 20)
        per_call = (time.perf_counter() - start) / 20
        long_calls = max(2, CALLS if not SECONDS else int(min(CALLS, max(CALLS // 20, SECONDS / per_call))))
        short_calls = long_calls // 10
        run(fn, raises, short_calls)
        objs, leak = watched(), None
        gc.collect()
        gc.freeze()  # the collections below then only go through what the loops made
        try:
            for _ in range(ATTEMPTS):  # growth that is real shows up again; a cache that happened to fill does not
                before = usage(objs)
                run(fn, raises, short_calls)
                middle = usage(objs)
                run(fn, raises, long_calls)
                grown = (usage(objs) - middle) - (middle - before)
                leak = grown if leak is None else np.minimum(leak, grown)
                if within(leak, long_calls - short_calls):
                    break
        finally:
            gc.unfreeze()
    return leak, leak * 10_000 / (long_calls - short_calls), long_calls


@pytest.fixture(scope="module", autouse=True)
def tracing():
    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    yield
    if started:
        tracemalloc.stop()


@pytest.mark.parametrize("name", TARGETS)
def test_no_growth_with_call_count(name):
    (grown_bytes, blocks, refs), per_10k, calls = measure(name)
    assert within((grown_bytes, blocks, refs), calls - calls // 10), (
        f"{name}: +{grown_bytes} bytes, +{blocks} blocks, +{refs} references over {calls - calls // 10} calls "
        f"beyond the short loop; per 10^4 calls: {per_10k.round().tolist()}")


KEPT = []


@pytest.mark.parametrize("keep, raises", [
    pytest.param(lambda: KEPT.append(object()), None, id="one small object per call"),
    pytest.param(lambda: KEPT.append(SQUARE), None, id="one reference per call"),
    pytest.param(lambda: KEPT.append(SQUARE) or SQUARE.no_such_method(), AttributeError,
                 id="one reference per failing call"),
])
def test_the_loops_catch_a_leak(monkeypatch, keep, raises):
    monkeypatch.setitem(TARGETS, "leak", (keep, raises))
    try:
        (grown_bytes, blocks, refs), _, calls = measure("leak")
        assert not within((grown_bytes, blocks, refs), calls - calls // 10)
    finally:
        KEPT.clear()

if __name__ == "__main__":
    tracemalloc.start()
    begin = time.perf_counter()
    print(f"{'target':<68} {'bytes':>8} {'blocks':>7} {'refs':>6}  per 10^4 calls {'calls':>6} {'s':>5}")
    for name in sorted(TARGETS, key=lambda n: n.split(":")[0]):  # grouped by family, in table order within one
        start = time.perf_counter()
        _, (b, k, r), calls = measure(name)
        print(f"{name:<68} {b:>8.0f} {k:>7.0f} {r:>6.0f} {calls:>21} {time.perf_counter() - start:>5.2f}", flush=True)
    print(f"{len(TARGETS)} targets in {time.perf_counter() - begin:.0f} s")
