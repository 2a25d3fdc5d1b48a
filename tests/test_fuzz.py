"""Arbitrary input to every native entry point gives a result or a Python exception, never a crash.

Constructors, setters, queries, kernels and pickle restore paths get nested containers, arrays of many
dtypes and layouts, extreme numbers and objects whose protocol methods raise, lie or empty their
container; a failed call must leave an object that still answers or raises cleanly.
HYPOTHESIS_PROFILE=fuzz runs a long randomised search instead of the short deterministic one.
"""

import array as arraymodule
import pickle
import warnings

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from orvo.field import kernels
from orvo.field.geometry import (GeometryCollectionRGJ, LineStringRGJ, MultiLineStringRGJ, MultiPointRGJ,
                                 MultiPolygonRGJ, PointRGJ, PolygonRGJ, RGJGeometry, _RGJ_TYPES)


# Nesting depth of each class's coordinates: 0 is one (x, y) pair.
DEPTH = {PointRGJ: 0, MultiPointRGJ: 1, LineStringRGJ: 1, MultiLineStringRGJ: 2, PolygonRGJ: 2, MultiPolygonRGJ: 3}
CLASSES = [*DEPTH, GeometryCollectionRGJ]
GOOD = {PointRGJ: [1.0, -2.0], MultiPointRGJ: [[0, 0], [3, 1], [-2, 4]], LineStringRGJ: [[0, 0], [2, 0], [2, 3]],
        MultiLineStringRGJ: [[[0, 0], [1, 1]], [[3, 0], [3, 2], [5, 2]]],
        PolygonRGJ: [[[0, 0], [4, 0], [4, 4], [0, 4]], [[1, 1], [2, 1], [2, 2]]],
        MultiPolygonRGJ: [[[[0, 0], [1, 0], [1, 1]]], [[[3, 3], [5, 3], [5, 5], [3, 5]]]]}
GOOD_MEMBERS = [{"type": cls.RGJType, "coordinates": coords} for cls, coords in GOOD.items()]


def attempt(fn, *args, **kwargs):
    """fn(*args, **kwargs), or the Exception it raised; anything that is not an Exception propagates."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return fn(*args, **kwargs)
        except Exception as error:
            return error


def fields_of(cls):
    """The stored fields of cls in pickle state order (ascending names)."""
    return sorted({name for k in cls.__mro__ for name, d in vars(k).items()
                   if type(d).__name__ == "getset_descriptor" and not name.startswith("__")})


# -- hostile values ------------------------------------------------------------------------------

class Hostile:
    """Answers one protocol method by raising or by returning `answer`, usually of a wrong type."""

    def __init__(self, answer):
        self.answer = answer

    def _act(self, *args):
        if isinstance(self.answer, type) and issubclass(self.answer, BaseException):
            raise self.answer("hostile")
        if args and isinstance(args[0], int) and args[0] >= 2:
            raise IndexError(args[0])  # iteration through __getitem__ stops after two items
        return self.answer


class Saboteur:
    """Empties every list or dict holding it (see arm) the first time anything asks it for a value."""

    def __init__(self):
        self.owners = []

    def _strike(self, answer):
        owners, self.owners = self.owners, []
        for owner in owners:
            owner.clear()
        return answer

    def __float__(self): return self._strike(1.0)
    def __index__(self): return self._strike(1)
    def __hash__(self): return self._strike(hash("Point"))
    def __eq__(self, other): return self._strike(other == "Point")


def arm(value, seen=None):
    """Tell each Saboteur inside value which mutable containers hold it; returns value."""
    seen = set() if seen is None else seen
    if isinstance(value, (list, tuple, dict)) and id(value) not in seen:
        seen.add(id(value))
        for item in list(value.values() if isinstance(value, dict) else value):
            if isinstance(item, Saboteur) and not isinstance(value, tuple):
                item.owners.append(value)
            arm(item, seen)
    return value


def cycle():
    loop = [1.0]
    loop.append(loop)
    return loop


DUNDERS = ["__index__", "__len__", "__iter__", "__float__", "__int__", "__array__", "__getitem__", "__bool__"]
ANSWERS = [ValueError, TypeError, RuntimeError, None, "xy", -1, 2**80, 1.5, [1.0, 2.0], np.zeros(3)]
HOSTILE = [type(f"Hostile{d.strip('_').title()}", (Hostile,), {d: Hostile._act})(a) for d in DUNDERS for a in ANSWERS]
# ndarray subclasses whose Python-level attributes misreport the array.
LIES = {"shape": property(lambda a: [len(a), 2]), "ndim": property(lambda a: 2), "size": property(lambda a: "many"),
        "tolist": Hostile(RuntimeError)._act, "astype": lambda a, *k, **kw: [[0.0, 0.0]],
        "reshape": lambda a, *k, **kw: None, "copy": lambda a, *k, **kw: a.tolist()}
LYING = [type(f"Lying{name.title()}", (np.ndarray,), {name: lie}) for name, lie in LIES.items()]


class Plain(np.ndarray):  # changes nothing, but the geometries answer it through numpy
    pass


LAYOUTS = [lambda a: a, np.asfortranarray, lambda a: np.repeat(a, 2, axis=0)[::2] if a.ndim else a,
           lambda a: a[::-1] if a.ndim else a, lambda a: np.ascontiguousarray(a.T).T, lambda a: a.T,
           *[lambda a, c=c: a.view(c) for c in LYING]]

# -- generators -------------------------------------------------------------------------------------
# Each value is built by a plain function from one drawn seed: a handful of draws per example keeps a
# few hundred examples per target fast, under the sanitizers too.

EXTREMES = [np.nan, np.inf, -np.inf, 1e308, -1e308, 1.7e308, 5e-324, -0.0, 1e-300, 2.0**63]
BIG_INTS = [2**63, -(2**63) - 1, 2**64, 2**70, 10**400, True]
SCALARS = [None, True, 0, -1, 3, *BIG_INTS, 0.5, *EXTREMES, 1j, complex(np.nan, 1), "", "1.5", "xy", b"", b"\0" * 8,
           np.float32(1.5), np.int64(-3), np.uint64(2**64 - 1), np.datetime64("2020"), np.bool_(True)]
DTYPES = [np.float64, ">f8", np.float32, np.float16, np.longdouble, np.int64, ">i4", np.uint8, np.int8, bool,
          np.complex128, ">c16", "M8[s]", "m8[ms]", "U3", "S3", object]
SEEDS = st.integers(0, 2**32 - 1)


def pick(rng, options):
    return options[rng.integers(len(options))]


def numbers(rng, shape):
    """float64 values: small ones, often equal (ties, zero-length edges), and some extremes."""
    values = np.asarray(rng.integers(-3, 4, shape) + pick(rng, [0, 1, 10]) * rng.normal(size=shape), np.float64)
    hit = rng.random(shape) < pick(rng, [0, 0, 0.1, 0.5])
    values[hit] = rng.choice(EXTREMES, int(hit.sum()))
    return values


def array(rng, shape=None):
    """An array of any dtype and layout: `shape`, or 0 to 3 dimensions of up to 3 items each."""
    shape = tuple(int(k) for k in rng.integers(0, 4, rng.integers(0, 4))) if shape is None else shape
    dtype = np.dtype(pick(rng, DTYPES))
    if dtype == object:
        a = np.empty(shape, object)
        for i in np.ndindex(shape):
            a[i] = pick(rng, SCALARS)
    else:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            a = numbers(rng, shape).astype(np.int64 if dtype.kind in "mM" else dtype.type).astype(dtype)
    return pick(rng, LAYOUTS)(a)


def junk(rng, depth=0):
    """Anything: a scalar, a hostile object, an array, or a list, tuple or dict of junk."""
    kind = rng.integers(8 if depth < 2 else 5)
    if kind < 3:
        return [lambda: pick(rng, SCALARS), lambda: pick(rng, HOSTILE), pick(rng, [Saboteur, cycle])][kind]()
    if kind < 5:
        return array(rng)
    items = [junk(rng, depth + 1) for _ in range(rng.integers(4))]
    return [items, tuple(items), dict(zip("abc", items))][kind - 5]


def coordinates(rng, depth):
    """Coordinates about `depth` lists deep: nested lists with the odd tuple, ragged row or big integer;
    an array of some dtype and layout; or junk."""
    form = pick(rng, ["list", "list", "array", "junk"])
    if form == "junk":
        return junk(rng)
    depth = pick(rng, [depth, depth, max(depth - 1, 0), depth + 1])
    pairs, odd = iter(numbers(rng, (3**depth, 2)).tolist()), pick(rng, [0, 0, 0.1])

    def build(level):
        if level == 0:
            pair = next(pairs)
            if rng.random() < odd:
                pair = [pick(rng, BIG_INTS), *pair][: rng.integers(1, 4)]
            return tuple(pair) if rng.random() < 0.2 else pair
        return [build(level - 1) for _ in range(rng.integers(1, 4))]

    value = build(depth)
    made = attempt(np.array, value, dtype=pick(rng, DTYPES)) if form == "array" else None
    return pick(rng, LAYOUTS)(made) if isinstance(made, np.ndarray) else value


def repulsion(rng):
    k = rng.integers(4)
    return pick(rng, [lambda: None, lambda: numbers(rng, (k, k)).tolist(), lambda: array(rng, (k, k)),
                      lambda: junk(rng)])()


def queries(rng):
    n = rng.integers(9)
    return pick(rng, [lambda: numbers(rng, (n, 2)), lambda: coordinates(rng, 0), lambda: coordinates(rng, 1),
                      lambda: memoryview(numbers(rng, (n, 2))), lambda: array(rng, (n, 2)), lambda: junk(rng)])()


def switch(rng):
    """A flag argument: a bool, 0 or 1, a numpy bool, or junk."""
    return pick(rng, [True, False, 0, 1, np.True_, np.False_, junk(rng, 2)])


def member(rng):
    """A geometry dictionary for a collection, from good to junk."""
    cls = pick(rng, list(DEPTH))
    return pick(rng, [
        lambda: {"type": cls.RGJType, "coordinates": coordinates(rng, DEPTH[cls]), "repulsion": repulsion(rng)},
        lambda: {"type": pick(rng, [*_RGJ_TYPES, Saboteur(), junk(rng, 2)]), "coordinates": junk(rng),
                 "geometries": [member(rng)] if rng.random() < 0.3 else junk(rng), pick(rng, [1, None, b"k"]): 0},
        lambda: dict(pick(rng, GOOD_MEMBERS)), lambda: junk(rng)])()


def call_arguments(rng, cls):
    """(args, kwargs) for cls's constructor: some parameters positional, some keywords, some left out."""
    properties = pick(rng, [None, {"a": junk(rng), "b": 1}, junk(rng)])
    if cls is GeometryCollectionRGJ:
        names = ("geometries", "properties")
        values = [[member(rng) for _ in range(rng.integers(5))] if rng.random() < 0.8 else junk(rng), properties]
    else:
        names = ("coordinates", "repulsion", "properties", "optional_dim")
        values = [coordinates(rng, DEPTH.get(cls, 1)), repulsion(rng), properties,
                  rng.integers(-1, 5) if rng.random() < 0.8 else junk(rng, 2)]
    k = rng.integers(len(values) + 1)
    kwargs = {n: v for n, v in zip(names[k:], values[k:]) if rng.random() < 0.7}
    if rng.random() < 0.2:
        kwargs[pick(rng, ["type", "bbox", "extra"])] = junk(rng, 2)
    return values[:k], kwargs


def geometry(rng, cls):
    """A working geometry of cls, from generated coordinates when they build one."""
    if cls is GeometryCollectionRGJ:
        made = cls([pick(rng, GOOD_MEMBERS) for _ in range(rng.integers(1, 5))])
    else:
        made = attempt(cls, coordinates(rng, DEPTH[cls]))
        if not isinstance(made, cls) or isinstance(attempt(made.eval, [[0.0, 0.0]]), Exception):
            made = cls(GOOD[cls])
    if rng.random() < 0.5:
        made.set_repulsion(pick(rng, [[[2.0, 0.6], [0.6, 0.8]], [[1e-3, 0.0], [0.0, 1e3]]]))
    return made


def state(rng, obj):
    """A pickle state for obj's class: obj's own with junk in some positions, resized, or junk."""
    fields = [getattr(obj, name) for name in fields_of(type(obj))]
    how = pick(rng, ["patched", "patched", "resized", "junk"])
    if how == "junk":
        return arm(pick(rng, [None, tuple(junk(rng, 2) for _ in range(rng.integers(17))), junk(rng)]))
    if how == "resized":
        return arm(tuple(fields[: rng.integers(len(fields) + 1)] + [junk(rng, 2) for _ in range(rng.integers(4))]))
    for i in rng.integers(len(fields), size=rng.integers(1, 4)):
        fields[i] = junk(rng)
    return arm(tuple(fields))


def seeded(make, *args):
    """The strategy of make(rng, *args), Saboteurs armed, over generators seeded by one draw."""
    return SEEDS.map(lambda seed: arm(make(np.random.default_rng(seed), *args)))


JUNK, QUERIES, SWITCHES = seeded(junk), seeded(queries), seeded(switch)
SUBCLASSES = {cls: type(f"Derived{cls.__name__}", (cls,), {}) for cls in CLASSES}
globals().update({sub.__name__: sub for sub in SUBCLASSES.values()})  # found by name, so they pickle


def probe(g, x, on):
    """Every query of g, each on its own: results or exceptions, no crash."""
    for query in (lambda: g.repulsion_vector(x), lambda: g.repulsion_vector(x, min_dist_select=on),
                  lambda: g.squared_dist(x), lambda: g.squared_dist(x, on, on),
                  lambda: g.squared_dist(x, scaled=True, inverted=False, return_reference=on), lambda: g.eval(x),
                  lambda: g.gradient(x), lambda: g.in_bbox(x), lambda: g.get_dist_matrix(),
                  lambda: g.get_dist_matrix(on, on), lambda: g.get_center_point(), lambda: g.toRGeoJSON(),
                  lambda: g.__geo_interface__, lambda: g.__reduce__(), lambda: pickle.loads(pickle.dumps(g))):
        attempt(query)


# -- targets ----------------------------------------------------------------------------------------


@pytest.mark.parametrize("cls", [*CLASSES, RGJGeometry], ids=lambda c: c.__name__)
@given(data=st.data())
def test_constructors_take_anything(cls, data):
    args, kwargs = data.draw(seeded(call_arguments, cls))
    g = attempt(cls, *args, **kwargs)
    if isinstance(g, RGJGeometry):
        probe(g, data.draw(QUERIES), data.draw(SWITCHES))


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@given(data=st.data())
def test_failed_updates_leave_a_queryable_object(cls, data):
    g, x, on = data.draw(seeded(geometry, cls)), data.draw(QUERIES), data.draw(SWITCHES)
    updates = st.sampled_from(["set_coordinates", "set_repulsion", "__init__", "__setstate__", "__setstate_cython__",
                               "setattr", "delattr"])
    for update in data.draw(st.lists(updates, min_size=1, max_size=2)):
        rng = np.random.default_rng(data.draw(SEEDS))
        if update == "setattr":
            attempt(setattr, g, pick(rng, fields_of(cls)), arm(junk(rng)))
        elif update == "delattr":
            attempt(delattr, g, pick(rng, fields_of(cls)))
        elif update == "__init__":
            args, kwargs = arm(call_arguments(rng, cls))
            attempt(g.__init__, *args, **kwargs)
        elif update.startswith("__setstate"):
            attempt(getattr(g, update), state(rng, g))
        else:
            value = coordinates(rng, DEPTH.get(cls, 2)) if update == "set_coordinates" else repulsion(rng)
            attempt(getattr(g, update), arm(value))
        probe(g, x, on)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@given(data=st.data())
def test_queries_take_anything(cls, data):
    g, x = data.draw(seeded(geometry, cls)), data.draw(QUERIES)
    probe(g, x, data.draw(SWITCHES))
    if type(x) is np.ndarray:
        # Plain query arrays are answered natively, an ndarray subclass through numpy: both must give
        # the same values bit for bit, or raise alike.
        for query in (g.squared_dist, g.repulsion_vector, lambda q: g.repulsion_vector(q, min_dist_select=False)):
            native, numpy_route = attempt(query, x), attempt(query, x.view(Plain))
            if isinstance(native, Exception) or isinstance(numpy_route, Exception):
                assert type(native) is type(numpy_route), (native, numpy_route)
            else:
                np.testing.assert_array_equal(np.asarray(native), np.asarray(numpy_route))


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@given(data=st.data())
def test_restore_paths_take_any_state(cls, data):
    restore, (_, checksum, _) = cls.__new__(cls).__reduce__()
    g, rng = data.draw(seeded(geometry, cls)), np.random.default_rng(data.draw(SEEDS))
    kind = pick(rng, [cls, SUBCLASSES[cls], *CLASSES, RGJGeometry, int, object, type, junk(rng, 2)])
    number = pick(rng, [checksum, checksum, 2**32 + checksum, -1, int(rng.integers(2**31)), junk(rng, 2)])
    made = attempt(restore, kind, number, state(rng, g))
    later, x, on = state(rng, g), arm(queries(rng)), switch(rng)
    for obj in (made, g):
        if isinstance(obj, RGJGeometry):
            attempt(obj.__setstate__, later)
            probe(obj, x, on)


def shaped(rng, shape):
    """Mostly float64 values of the given shape, in some layout or as lists; sometimes anything."""
    return pick(rng, [lambda: numbers(rng, shape), lambda: pick(rng, LAYOUTS)(numbers(rng, shape)),
                      lambda: numbers(rng, shape).tolist(), lambda: memoryview(numbers(rng, shape)),
                      lambda: arraymodule.array("d", numbers(rng, shape).ravel()), lambda: array(rng, shape),
                      lambda: junk(rng)])()


@given(seed=SEEDS)
def test_kernels_take_anything(seed):
    rng = np.random.default_rng(seed)
    n, s, k = rng.integers(9, size=3)
    x, p1, v, vdv, metric = (shaped(rng, shape) for shape in ((n, 2), (s, 2), (s, 2), (s,), (2, 2)))
    attempt(kernels.segment_repulsion_vectors, *arm([x, p1, v, vdv, metric]))
    holes = pick(rng, [list, tuple, lambda rings: junk(rng)])(shaped(rng, (k, 2)) for _ in range(rng.integers(4)))
    attempt(kernels.point_in_rings, *arm([x, p1, holes]))


METRICS = [np.eye(2), [[10.0, 3.0], [3.0, 1.0]], [[2.0, 1.5], [-0.5, 1.0]], [[1.0, 1.0], [1.0, 1.0 + 1e-12]],
           [[1.0, 0.0], [0.0, -1.0]], np.zeros((2, 2)), [[np.nan, 0], [0, 1]], [[1e300, 0], [0, 1e-300]]]


@given(data=st.data())
def test_kernel_rows_do_not_depend_on_the_batch(data):
    # Large batches take the segment tree, the ring band index and threads; a few rows take the plain
    # loops. Each row is defined by its own point alone, extreme values and huge scales included.
    rng = np.random.default_rng(data.draw(SEEDS))
    n, s = data.draw(st.sampled_from([16, 16, 700, 700, 4000])), data.draw(st.sampled_from([60, 500]))
    scale = data.draw(st.sampled_from([1.0, 1.0, 1e-310, 1e150, 8e306]))
    angle = np.linspace(0, 2 * np.pi, s, endpoint=False)
    outer = np.c_[12 * np.cos(angle), 12 * np.sin(angle)] + rng.normal(0, 0.5, (s, 2))
    with np.errstate(all="ignore"):
        x, p1, v = rng.uniform(-20, 20, (n, 2)), rng.uniform(-10, 10, (s, 2)), rng.normal(0, 3, (s, 2))
        x, p1, v, outer = x * scale, p1 * scale, v * scale, outer * scale
        hole = outer[::5] / 3
        for a in (x, p1, v, outer, hole):
            for _ in range(data.draw(st.integers(0, 3))):
                value = data.draw(st.sampled_from(EXTREMES))
                a[data.draw(st.integers(0, len(a) - 1)), data.draw(st.integers(0, 1))] = value
        vdv = np.where((v * v).sum(axis=1) > 0, (v * v).sum(axis=1), 1.0)
    metric = data.draw(st.sampled_from(METRICS))
    rows = np.array(sorted(data.draw(st.sets(st.integers(0, n - 1), min_size=1, max_size=8))))
    for kernel, rest in ((kernels.segment_repulsion_vectors, (p1, v, vdv, metric)),
                         (kernels.point_in_rings, (outer, [hole]))):
        whole, few = attempt(kernel, x, *rest), attempt(kernel, x[rows], *rest)
        if isinstance(whole, ValueError):  # a NaN metric or ring vertex is refused whatever the batch
            assert isinstance(few, ValueError) and str(few) == str(whole), (whole, few)
            continue
        assert isinstance(whole, np.ndarray) and isinstance(few, np.ndarray), (whole, few)
        np.testing.assert_array_equal(whole[rows], few)
