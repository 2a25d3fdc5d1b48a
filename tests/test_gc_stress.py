"""GC stress: a collection at every allocation, and Python code in each one that changes what the call can reach.

Any allocation a native function makes can start a collection, and a collection runs Python code
(finalizers, weakref callbacks, gc.callbacks) that can change any object reachable from Python. A
function that checks a value, allocates, then uses the checked value must hold up when the value
changes in between. Here every entry point runs with a collection at (nearly) every allocation: the
generation-0 threshold is 1, each collection leaves the allocation count above it, and the small-object
free lists (tuples, lists, dicts), which hand out objects without asking the collector, are kept empty.
Each collection, and each return from an overridden method, is an event; a case counts the events of
its call, then reruns the call once per chosen event and, at that event alone, applies its mutation to
everything the call can reach: the geometry's fields and members, the query points, the arrays that
overridden methods returned, lists, and the keyword dictionaries (found through gc.get_objects by a
marker key). The event before the strike empties the free lists once more, so that the next
allocation is sure to collect.

Oracle: every call returns or raises an Exception, never crashes; a geometry it leaves behind still
answers or raises; and the call without a mutation under the same stress gives the same result and
state as the call without stress.

Cases run in child interpreters, many per child; each child prints a case's name before it runs it,
so a crash is charged to that case and the next child resumes after it. ORVO_FIELD_GC_STRESS=long (or
HYPOTHESIS_PROFILE=fuzz, as `make fuzz` sets) strikes at every event with several mutation seeds
instead of a few derandomised events with one. To rerun one case in this interpreter:
    python tests/test_gc_stress.py 'PolygonRGJ repulsion_vector x64 | fields' [--strike K] [--seed S]
"""

import copyreg
import gc
import hashlib
import os
import pickle
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np

from orvo.field import kernels
from orvo.field.geometry import (GeometryCollectionRGJ, LineStringRGJ, MultiLineStringRGJ, MultiPointRGJ,
                                 MultiPolygonRGJ, PointRGJ, PolygonRGJ, _RGJ_TYPES, collection, linestring, point,
                                 polygon)

LONG = os.environ.get("ORVO_FIELD_GC_STRESS") == "long" or os.environ.get("HYPOTHESIS_PROFILE") == "fuzz"
STRIKES = None if LONG else 3  # events struck per case and seed; None: every event
SEEDS = range(4) if LONG else range(1)
WORKERS = max(1, min(4, os.cpu_count() or 1))
BATCH = 40  # cases per child: a fresh interpreter for each batch keeps one case's debris out of the next
MARK = "gc_stress_marker"  # a keyword every constructor ignores; its list value keeps the dict tracked

# -- sample geometries -----------------------------------------------------------------------------

SQUARE, HOLE = [[0.0, 0.0], [4.0, 0.0], [4.0, 4.0], [0.0, 4.0]], [[1.0, 1.0], [2.0, 1.0], [2.0, 2.0]]
ANISO = [[2.0, 0.5], [0.5, 1.0]]
COORDS = {PointRGJ: [1.0, -2.0], MultiPointRGJ: [[0.0, 0.0], [3.0, 1.0], [-2.0, 4.0]],
          LineStringRGJ: [[0.0, 0.0], [2.0, 0.0], [2.0, 3.0]],
          MultiLineStringRGJ: [[[0.0, 0.0], [1.0, 1.0]], [[3.0, 0.0], [3.0, 2.0], [5.0, 2.0]]],
          PolygonRGJ: [SQUARE, HOLE], MultiPolygonRGJ: [[SQUARE, HOLE], [[[6.0, 0.0], [8.0, 0.0], [6.0, 2.0]]]]}
OTHER = {PointRGJ: [3.0, 3.0], MultiPointRGJ: [[1.0, 1.0]] * 7, LineStringRGJ: [[0.0, 0.0], [1.0, 0.0]] * 4,
         MultiLineStringRGJ: [[[0.0, 5.0], [1.0, 5.0], [2.0, 6.0]]] * 3, PolygonRGJ: [SQUARE[::-1]],
         MultiPolygonRGJ: [[SQUARE]] * 3}
CLASSES = [*COORDS, GeometryCollectionRGJ]
MODULES = {PointRGJ: point, MultiPointRGJ: point, LineStringRGJ: linestring, MultiLineStringRGJ: linestring,
           PolygonRGJ: polygon, MultiPolygonRGJ: polygon, GeometryCollectionRGJ: collection}


def copied(value):
    """A fresh deep copy of nested lists, so that a mutation never reaches the module's samples."""
    return [copied(v) for v in value] if isinstance(value, list) else value


def member_dicts():
    return [{"type": cls.RGJType, "coordinates": copied(c), "repulsion": copied(ANISO) if i % 2 else None, MARK: [i]}
            for i, (cls, c) in enumerate(COORDS.items())]


# -- the stress engine ---------------------------------------------------------------------------


class Trap:
    """Cyclic garbage whose finalizer reports each collection to the engine and lays the next trap."""
    __slots__ = ("me",)

    def __del__(self):
        ENGINE.collected()


def updating_context():
    """Whether numpy is setting or resetting its error state (a context variable) in this thread.

    The interpreter's context variables are not safe against a finalizer that sets a variable while
    a collection interrupts an update of the same one: the mutations call numpy, which sets its error
    state, so they wait for the next event outside such an update."""
    frame = sys._getframe(1)
    while frame is not None:
        if frame.f_code.co_filename.endswith("_ufunc_config.py"):
            return True
        frame = frame.f_back
    return False


class Engine:
    """Counts events during a call and strikes at one of them; see the module docstring."""

    def __init__(self):
        self.active = False
        self.events = 0
        self.strike_at = None
        self.mutate = None
        self.struck = False
        self.errors = []
        self.drained = []
        self.boost = None
        self.trap_laid = False

    def lay_trap(self):
        """One trap at a time: each collection finds it and lays the next."""
        if not self.trap_laid:
            self.trap_laid = True
            t = Trap()
            t.me = t

    def drain(self, per_size):
        """Take objects off the tuple, list and dict free lists, held until the call ends, so that
        the next allocations of those kinds go through the collector."""
        held, enabled = self.drained, gc.isenabled()
        gc.disable()  # outside a collection, these allocations would each start one
        try:
            for size in range(1, 8):
                held.append([tuple(range(size)) for _ in range(per_size)])
            held.append([[] for _ in range(per_size)])
            held.append([{} for _ in range(per_size)])
        finally:
            if enabled:
                gc.enable()

    def keep_count_up(self):
        # Objects without a free list, made after the collection reset the count: the next tracked
        # allocation then exceeds the threshold of 1.
        self.boost = None
        self.boost = [set() for _ in range(8)]

    def collected(self):
        self.trap_laid = False
        self.lay_trap()
        if self.active:
            self.event()
        self.keep_count_up()

    def event(self):
        if not self.active:
            return
        self.events += 1
        if self.strike_at is None:
            self.drain(16)
            return
        if self.events == self.strike_at - 1:
            self.drain(2100)  # every free list fully, whatever the call freed since
        elif self.events == self.strike_at and not self.struck and updating_context():
            self.strike_at += 1  # see updating_context
            self.drain(2100)
        elif self.events == self.strike_at and not self.struck:
            self.struck = True
            self.active = False  # the mutation itself runs without events or collections
            enabled = gc.isenabled()
            gc.disable()
            try:
                self.mutate()
            except Exception as error:  # a refused change is no change
                self.errors.append(error)
            finally:
                if enabled:
                    gc.enable()
                self.active = True
        else:
            self.drain(16)

    def run(self, fn, strike_at=None, mutate=None):
        """fn() under stress: (its result or exception, whether the mutation ran)."""
        self.events, self.strike_at, self.mutate, self.struck, self.errors = 0, strike_at, mutate, False, []
        self.drain(2100)
        self.lay_trap()
        old = gc.get_threshold()
        # The error state and warning filters are set before the stress starts: numpy keeps its error
        # state in a context variable, and the interpreter's context variables do not survive a
        # finalizer that sets one while a collection interrupts the same variable's update.
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            gc.set_threshold(1, 1000, 1000)
            self.active = True
            try:
                result = tried(fn)
            finally:
                self.active = False
                gc.set_threshold(*old)
        self.drained, self.boost, self.mutate = [], None, None
        return result, self.struck


ENGINE = Engine()


def tried(fn, *args):
    """fn(*args), or the Exception it raised; safe to call while the stress runs."""
    try:
        return fn(*args)
    except Exception as error:
        return error


def attempt(fn, *args, **kwargs):
    """fn(*args, **kwargs), or the Exception it raised; anything that is not an Exception propagates."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with np.errstate(all="ignore"):
            try:
                return fn(*args, **kwargs)
            except Exception as error:
                return error


# -- subclasses that keep what their methods return ----------------------------------------------


class Scope:
    """What a call can reach: its geometries, arguments, the keyword dictionaries and whatever the
    overridden methods returned."""

    def __init__(self):
        self.roots = []  # geometries, arrays, lists, dicts
        self.kept = []  # values returned by overridden methods

    def add(self, *values):
        self.roots.extend(values)
        return values[0] if len(values) == 1 else values


SCOPE = Scope()


def keep(result):
    SCOPE.kept.append(result)
    ENGINE.event()  # an overriding method's return is a point where Python code runs
    return result


def keeping(cls):
    """A subclass overriding the queries the native methods call back through the instance; no
    __dict__, so that only the overrides themselves change which paths run."""
    names = ["squared_dist", "repulsion_vector", "eval", "get_dist_matrix"]
    body = {"__slots__": ()}
    for name in names:
        def method(self, *args, _name=name, **kwargs):
            return keep(getattr(super(sub, self), _name)(*args, **kwargs))
        body[name] = method
    sub = type(f"Keeping{cls.__name__}", (cls,), body)
    return sub


KEEPING = {cls: keeping(cls) for cls in CLASSES}
globals().update({sub.__name__: sub for sub in KEEPING.values()})  # found by name, so they pickle
KEEPING_TYPES = {cls.RGJType: KEEPING[cls] for cls in CLASSES}


def build(cls, variant, scope):
    """A geometry of cls (variant "plain": the class itself, "keeping": its keeping subclass, members
    of a collection included), its coordinates and properties reachable from the scope."""
    kind = KEEPING[cls] if variant == "keeping" else cls
    props = {"name": "g", "tags": [1, 2]}
    if cls is GeometryCollectionRGJ:
        saved = dict(_RGJ_TYPES)
        if variant == "keeping":
            _RGJ_TYPES.update(KEEPING_TYPES)
        try:
            g = kind(member_dicts(), properties=props)
        finally:
            _RGJ_TYPES.clear()
            _RGJ_TYPES.update(saved)
    else:
        g = kind(copied(COORDS[cls]), repulsion=copied(ANISO), properties=props)
    return scope.add(g)


# -- entry points ------------------------------------------------------------------------------------
# Each builds its objects into a scope and returns the zero-argument call to stress.

def queries(kind, scope):
    x = {"x64": lambda: np.array([[0.5, 5.0], [6.0, 1.0], [1.5, 1.5], [-3.0, 0.0], [2.0, 2.0]]),
         "xlist": lambda: [[0.5, 5.0], [6.0, 1.0], [1.5, 1.5], [-3.0, 0.0]],
         "x32": lambda: np.array([[0.5, 5.0], [6.0, 1.0], [-3.0, 0.0]], dtype=np.float32)}[kind]()
    return scope.add(x)


def restore_function(cls):
    return getattr(MODULES[cls], f"__pyx_unpickle_{cls.__name__}")


def constructor(cls, variant, form):
    def make(scope):
        kind = KEEPING[cls] if variant == "keeping" else cls
        props = scope.add({"name": "g", "tags": [1]})
        if cls is GeometryCollectionRGJ:
            geometries = scope.add(member_dicts())
            if form == "positional":
                return lambda: kind(geometries, props)
            kw = scope.add({"geometries": geometries, "properties": props, MARK: [0]})
            return lambda: kind(**kw)
        coords = scope.add(copied(COORDS[cls]))
        if form == "positional":
            return lambda: kind(coords, copied(ANISO))
        kw = scope.add({"coordinates": coords, "repulsion": copied(ANISO), "properties": props, MARK: [0]})
        if form == "reinit":
            g = build(cls, variant, scope)
            return lambda: g.__init__(**kw)
        return lambda: kind(**kw)
    return make


def query(cls, variant, name, x_kind):
    def make(scope):
        g = build(cls, variant, scope)
        x = queries(x_kind, scope)
        extra = scope.add({MARK: [0]})
        calls = {
            "repulsion_vector": lambda: g.repulsion_vector(x),
            "repulsion_vector all": lambda: g.repulsion_vector(x, min_dist_select=False),
            "squared_dist": lambda: g.squared_dist(x),
            "squared_dist unscaled": lambda: g.squared_dist(x, scaled=False, inverted=False),
            "squared_dist reference": lambda: g.squared_dist(x, return_reference=True),
            "squared_dist keywords": lambda: g.squared_dist(x, **extra),
            "eval": lambda: g.eval(x),
            "gradient": lambda: g.gradient(x),
            "in_bbox": lambda: g.in_bbox(x),
        }
        return calls[name]
    return make


def plain_call(cls, variant, name):
    def make(scope):
        g = build(cls, variant, scope)
        other = build(cls, "plain", Scope())  # not reachable: only its state is
        restore = restore_function(cls)
        _, (_, checksum, _), state = other.__reduce__()
        state = scope.add(state)
        calls = {
            "get_dist_matrix": lambda: g.get_dist_matrix(),
            "get_dist_matrix plain": lambda: g.get_dist_matrix(True, False),
            "get_center_point": lambda: g.get_center_point(),
            "toRGeoJSON": lambda: g.toRGeoJSON(),
            "__geo_interface__": lambda: g.__geo_interface__,
            "__reduce__": lambda: g.__reduce__(),
            "pickle": lambda: pickle.loads(pickle.dumps(g, 5)),
            "__setstate__": lambda: g.__setstate__(state),
            "__pyx_unpickle": lambda: restore(type(g), checksum, state),
            "set_repulsion": lambda: g.set_repulsion(copied(ANISO)),
            "set_repulsion None": lambda: g.set_repulsion(None),
            "set_coordinates": lambda: g.set_coordinates(scope.add(copied(OTHER.get(cls, [0.0, 0.0])))),
        }
        return calls[name]
    return make


def kernel_call(name):
    def make(scope):
        x = scope.add(np.array([[0.5, 5.0], [6.0, 1.0], [1.5, 1.5], [-3.0, 0.0]]))
        p1 = scope.add(np.array([[0.0, 0.0], [2.0, 0.0], [2.0, 2.0]]))
        v = scope.add(np.array([[2.0, 0.0], [0.0, 2.0], [-2.0, 0.0]]))
        vdv = scope.add(np.array([4.0, 4.0, 4.0]))
        metric = scope.add(np.array(ANISO))
        outer, holes = scope.add(np.array(SQUARE)), scope.add([np.array(HOLE), copied(HOLE)])
        lists = [scope.add(a.tolist()) for a in (x, p1, v, vdv, metric, outer)]
        extra = scope.add({"holes": holes, MARK: [0]})
        frozen_holes = tuple(holes)  # made before the stress: tuple(list) itself reads a list unsafely
        calls = {
            "segment_repulsion_vectors arrays": lambda: kernels.segment_repulsion_vectors(x, p1, v, vdv, metric),
            "segment_repulsion_vectors lists": lambda: kernels.segment_repulsion_vectors(*lists[:5]),
            "point_in_rings arrays": lambda: kernels.point_in_rings(x, outer, holes),
            "point_in_rings lists": lambda: kernels.point_in_rings(lists[0], lists[5], holes),
            "point_in_rings tuple": lambda: kernels.point_in_rings(x, outer, frozen_holes),
            "point_in_rings keywords": lambda: kernels.point_in_rings(x, outer, **extra),
        }
        return calls[name]
    return make


ENTRIES = {}  # name -> make(scope) -> call
for _cls in CLASSES:
    for _variant in ("plain", "keeping"):
        _tag = _cls.__name__ + (" keeping" if _variant == "keeping" else "")
        for _form in ("keywords", "positional", "reinit"):
            ENTRIES[f"{_tag} __init__ {_form}"] = constructor(_cls, _variant, _form)
        for _name in ("repulsion_vector", "repulsion_vector all", "squared_dist", "squared_dist unscaled", "eval",
                      "in_bbox", "squared_dist keywords") + (("squared_dist reference", "gradient")
                                                             if _cls is GeometryCollectionRGJ else ()):
            for _x in ("x64", "xlist", "x32"):
                if _x != "x64" and (_variant == "keeping" or _name in ("in_bbox", "squared_dist keywords")):
                    continue  # the keeping subclasses and these queries take one form of points
                ENTRIES[f"{_tag} {_name} {_x}"] = query(_cls, _variant, _name, _x)
        for _name in ("get_dist_matrix", "get_dist_matrix plain", "get_center_point", "toRGeoJSON",
                      "__geo_interface__", "__reduce__", "pickle", "__setstate__", "__pyx_unpickle",
                      "set_repulsion", "set_repulsion None", "set_coordinates"):
            if _variant == "keeping" and _name not in ("set_repulsion", "set_coordinates", "pickle"):
                continue
            ENTRIES[f"{_tag} {_name}"] = plain_call(_cls, _variant, _name)
for _name in ("segment_repulsion_vectors arrays", "segment_repulsion_vectors lists", "point_in_rings arrays",
              "point_in_rings lists", "point_in_rings tuple", "point_in_rings keywords"):
    ENTRIES[f"kernels {_name}"] = kernel_call(_name)

# -- mutations -----------------------------------------------------------------------------------------
# Each changes what the scope reaches, with values drawn from a generator seeded per case and event.

FIELD_NAMES = {cls: sorted({n for k in cls.__mro__ for n, d in vars(k).items()
                            if type(d).__name__ == "getset_descriptor" and not n.startswith("__")})
               for cls in CLASSES}
BIG = [10**9, -10**9, 2**62, -(2**62), -1]
ODD_VALUES = [None, 0, -1, 10**9, "xy", [], [[0.0, 0.0]], np.zeros((0, 2)), np.zeros((7, 2)), np.zeros((1, 2)),
              np.zeros((3, 3)), np.zeros((2, 2), np.float32), np.zeros(5), np.full((2, 2, 2), np.nan), np.eye(2)]


def reachable(scope, marked=False):
    """(geometries, arrays, lists, dicts) reachable from the scope; with `marked`, also every tracked
    dictionary holding the marker key, such as the one the interpreter made for a **kwargs call."""
    geoms, arrays, lists, dicts, seen = [], [], [], [], set()

    def visit(o, depth):
        if id(o) in seen or depth > 6:
            return
        seen.add(id(o))
        if isinstance(o, np.ndarray):
            arrays.append(o)
            if o.dtype == object:
                for item in o.ravel()[:32]:
                    visit(item, depth + 1)
        elif isinstance(o, list):
            lists.append(o)
            for item in o[:32]:
                visit(item, depth + 1)
        elif isinstance(o, tuple):
            for item in o[:32]:
                visit(item, depth + 1)
        elif isinstance(o, dict):
            dicts.append(o)
            for item in list(o.values())[:32]:
                visit(item, depth + 1)
        elif isinstance(o, tuple(CLASSES)):
            geoms.append(o)
            for name in FIELD_NAMES[next(c for c in CLASSES if isinstance(o, c))]:
                visit(getattr(o, name, None), depth + 1)

    for root in [*scope.roots, *scope.kept]:
        visit(root, 0)
    if marked:
        for o in gc.get_objects():
            if type(o) is dict and MARK in o and id(o) not in seen:
                seen.add(id(o))
                dicts.append(o)
    return geoms, arrays, lists, dicts


def fill(a, rng):
    if not a.flags.writeable or a.size == 0:
        return
    if a.dtype.kind in "iu":
        a[...] = rng.choice(BIG) if a.dtype.kind == "i" else 2**31
    elif a.dtype.kind == "f":
        a[...] = rng.choice([np.nan, 1e308, -1e308, np.inf, 0.0])
    elif a.dtype.kind == "b":
        a[...] = True


def m_indices(scope, rng):
    """Every reachable writable array filled with out-of-range indices or extreme numbers."""
    for a in reachable(scope)[1]:
        fill(a, rng)


def m_some_values(scope, rng):
    """A few entries of each reachable array rewritten."""
    for a in reachable(scope)[1]:
        if a.flags.writeable and a.size and a.dtype.kind in "iuf":
            flat = a.reshape(-1) if a.flags.c_contiguous else None
            if flat is not None:
                flat[rng.integers(flat.size)] = rng.choice(BIG) if a.dtype.kind in "iu" else np.nan


def m_views(scope, rng):
    """Reachable arrays reinterpreted in place: another dtype of the same size, another shape."""
    for a in reachable(scope)[1]:
        for change in (lambda: setattr(a, "dtype", {8: np.int64, 4: np.int32}.get(a.itemsize, a.dtype)),
                       lambda: setattr(a, "shape", (a.size,)), lambda: setattr(a, "shape", (1, a.size))):
            if rng.random() < 0.5:
                tried(change)


def m_shrink(scope, rng):
    """Reachable lists and dictionaries emptied or cut short."""
    _, _, lists, dicts = reachable(scope, marked=True)
    for container in lists + dicts:
        if rng.random() < 0.5 or isinstance(container, dict):
            container.clear()
        else:
            del container[len(container) // 2:]


def m_grow(scope, rng):
    """Reachable lists and dictionaries grown far past their size."""
    _, _, lists, dicts = reachable(scope, marked=True)
    for container in lists:
        # Nested lists grow a little each, so that coordinates stay a few thousand numbers in all.
        nested = bool(container) and isinstance(container[0], list)
        container.extend([container[0] if container else None] * (3 if nested else 300))
    for d in dicts:
        for k in range(300):
            d[f"k{k}"] = [k]


def m_kwargs(scope, rng):
    """Only the keyword dictionaries: each shrunk to nothing or grown by hundreds of keys."""
    for d in reachable(scope, marked=True)[3]:
        if rng.random() < 0.5:
            d.clear()
        else:
            d.update({f"extra{k}": [k] for k in range(300)})


def m_fields(scope, rng):
    """Every field of every reachable geometry set to some other value of another type or shape."""
    for g in reachable(scope)[0]:
        for name in FIELD_NAMES[next(c for c in CLASSES if isinstance(g, c))]:
            if rng.random() < 0.6:
                value = rng.choice(BIG) if isinstance(getattr(g, name, None), int) else ODD_VALUES[
                    rng.integers(len(ODD_VALUES))]
                tried(setattr, g, name, value)


def m_members(scope, rng):
    """Member lists (rgjs, rings, polygons, coordinates) cleared, cut, grown or given foreign items."""
    for g in reachable(scope)[0]:
        for name in ("rgjs", "rings", "polygons", "coordinates"):
            items = getattr(g, name, None)
            if isinstance(items, list):
                how = rng.integers(4)
                if how == 0:
                    items.clear()
                elif how == 1:
                    del items[1:]
                elif how == 2:
                    items.extend(items * 50 or [None])
                else:
                    items[:] = [np.zeros((9, 2)), None, "ring", g][: len(items) or 1]


def m_reinit(scope, rng):
    """Every reachable geometry rebuilt, restored from another state or cleared field by field, by its
    own native methods, from inside the collection."""
    for g in reachable(scope)[0]:
        cls = next(c for c in CLASSES if isinstance(g, c))
        how = rng.integers(4)
        if how == 0 and cls is not GeometryCollectionRGJ:
            tried(g.set_coordinates, copied(OTHER[cls]))
        elif how == 1:
            other = build(cls, "plain", Scope())
            tried(g.__setstate__, other.__reduce__()[2])
        elif how == 2:
            tried(g.__init__, *([member_dicts()[:2]] if cls is GeometryCollectionRGJ else [copied(OTHER[cls])]))
        else:
            for name in FIELD_NAMES[cls]:
                tried(delattr, g, name)


MUTATIONS = {"indices": m_indices, "values": m_some_values, "views": m_views, "shrink": m_shrink, "grow": m_grow,
             "kwargs": m_kwargs, "fields": m_fields, "members": m_members, "reinit": m_reinit}
MUTATIONS_PER_ENTRY = len(MUTATIONS) if LONG else 2  # the short run strikes with a derandomised pair


def chosen_mutations(entry):
    digest = hashlib.sha256(entry.encode()).digest()
    names = sorted(MUTATIONS, key=lambda name: hashlib.sha256(digest + name.encode()).digest())
    return sorted(names[:MUTATIONS_PER_ENTRY], key=list(MUTATIONS).index)


CASES = [f"{entry} | {mutation}" for entry in ENTRIES for mutation in chosen_mutations(entry)]


# -- comparing results -----------------------------------------------------------------------------


def canonical(value, depth=0):
    """A comparable form of a result: arrays by dtype, shape and bits, geometries by type and state,
    exceptions by type."""
    if depth > 8:
        return "..."
    if isinstance(value, BaseException):
        return ("raised", type(value).__name__)
    if isinstance(value, np.ndarray):
        if value.dtype == object:
            return ("object array", value.shape, [canonical(v, depth + 1) for v in value.ravel().tolist()])
        return ("array", value.dtype.str, value.shape, np.ascontiguousarray(value).tobytes())
    if isinstance(value, tuple(CLASSES)):
        reduced = tried(value.__reduce__)  # (restore function, its arguments[, state])
        return (type(value).__name__, canonical(reduced[1:] if isinstance(reduced, tuple) else reduced, depth + 1))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [canonical(v, depth + 1) for v in value])
    if isinstance(value, dict):
        return ("dict", [(canonical(k, depth + 1), canonical(v, depth + 1)) for k, v in value.items()])
    if isinstance(value, float) and value != value:
        return ("float", "nan")
    if callable(value):
        return ("callable", getattr(value, "__qualname__", type(value).__name__))
    return (type(value).__name__, value)


def outcome(entry, strike_at=None, mutate=None, stressed=True):
    """(canonical result and scope state, whether the mutation ran, event count) of one fresh call."""
    global SCOPE
    SCOPE = scope = Scope()
    fn = ENTRIES[entry](scope)
    if stressed:
        result, struck = ENGINE.run(fn, strike_at, mutate)
    else:
        result, struck = attempt(fn), False
    events = ENGINE.events
    state = canonical(result), [canonical(g) for g in scope.roots if isinstance(g, tuple(CLASSES))]
    if struck:
        for g in reachable(scope)[0]:  # what a failed or disturbed call leaves must still answer
            for probe in (lambda: g.repulsion_vector([[0.5, 0.5]]), lambda: g.squared_dist(np.zeros((2, 2))),
                          g.toRGeoJSON, g.get_center_point, lambda: pickle.loads(pickle.dumps(g))):
                attempt(probe)
    SCOPE = Scope()
    return state, struck, events


def strikes(case, seed, events):
    """The events to strike at: every one in the long run; else the event right after the last one
    (the collection an emptied free list makes of the next allocation), and derandomised others."""
    every = list(range(1, events + 2))
    if STRIKES is None or len(every) <= STRIKES:
        return every
    digest = hashlib.sha256(f"{case}#{seed}".encode()).digest()
    rng = np.random.default_rng(int.from_bytes(digest[:8], "little"))
    return sorted({events + 1, *rng.choice(every[:-1], STRIKES - 1, replace=False).tolist()})


def run_case(case, only_strike=None, only_seed=None, report=print):
    """Runs one case: None when it holds, else what went wrong."""
    entry, mutation = case.split(" | ")
    reference, _, _ = outcome(entry, stressed=False)
    stressed, _, events = outcome(entry)
    if stressed != reference:
        return f"without a mutation, GC stress changed the result:\n  {reference!r:.600}\n  {stressed!r:.600}"
    for seed in SEEDS if only_seed is None else [only_seed]:
        for k in strikes(case, seed, events) if only_strike is None else [only_strike]:
            report(f"STRIKE {seed} {k}")
            digest = hashlib.sha256(f"{case}#{seed}#{k}".encode()).digest()
            rng = np.random.default_rng(int.from_bytes(digest[:8], "little"))
            state, struck, _ = outcome(entry, k, lambda: MUTATIONS[mutation](SCOPE, rng))
            if not struck and state != reference:
                return f"strike {k} (seed {seed}) never came, yet the result changed:\n  {reference!r:.600}\n  {state!r:.600}"
    return None


def worker():
    """Child: runs the case names read from stdin, one line each, reporting on stdout."""
    gc.collect()
    gc.freeze()  # the collections under stress then go through what the cases made, and so does get_objects
    for line in sys.stdin:
        case = line.rstrip("\n")
        if not case:
            continue
        print(f"START {case}", flush=True)
        try:
            problem = run_case(case, report=lambda text: print(text, flush=True))
        except BaseException as error:  # noqa: BLE001 - a harness error is this case's failure too
            problem = f"harness error: {error!r}"
        print(f"FAIL {case}\t{problem!r}" if problem else f"PASS {case}", flush=True)


# -- the parent: pytest ---------------------------------------------------------------------------------

if __name__ != "__main__":
    import pytest

    def run_children(cases, timeout):
        """Runs the cases in child interpreters, each batch within `timeout` seconds: {case: None, or
        what went wrong}."""
        results, pending = {}, list(cases)
        env = dict(os.environ)

        def launch(batch):
            proc = subprocess.Popen([sys.executable, "-X", "faulthandler", __file__, "--worker"],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    text=True, env=env, cwd=str(Path(__file__).parent))
            proc.stdin.write("\n".join(batch) + "\n")  # a batch's names and reports fit in the pipes
            proc.stdin.close()
            proc.stdin = None
            return proc, batch

        def finish(proc, batch, timeout):
            try:
                out, err = proc.communicate(timeout=timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                out, err = proc.communicate()
                err += "\n(timed out)"
            current, strike, done = None, None, set()
            for line in out.splitlines():
                kind, _, rest = line.partition(" ")
                if kind == "START":
                    current, strike = rest, None
                elif kind == "STRIKE":
                    strike = rest
                elif kind in ("PASS", "FAIL"):
                    name, _, problem = rest.partition("\t")
                    results[name] = None if kind == "PASS" else problem
                    done.add(name)
                    current = None
            rest = [c for c in batch if c not in done]
            if current is not None:
                seed, k = (strike or "0 0").split()
                results[current] = (f"child exited with {proc.returncode} while running it (seed {seed}, strike {k}); "
                                    f"rerun: python {__file__} '{current}' --seed {seed} --strike {k}\n"
                                    f"{err[-3000:]}")
                rest.remove(current)
            elif proc.returncode != 0 and rest:
                for c in rest:
                    results[c] = f"child exited with {proc.returncode} before it ran: {err[-2000:]}"
                rest = []
            return rest

        while pending:
            # One child per worker, each with a batch of the cases; a crash ends that child's batch at
            # the crashed case, and the rest goes back to the queue.
            running = [launch(pending[i:i + BATCH]) for i in range(0, min(len(pending), WORKERS * BATCH), BATCH)]
            pending = pending[WORKERS * BATCH:]
            for proc, batch in running:
                pending.extend(finish(proc, batch, timeout))
        return results

    @pytest.fixture(scope="module")
    def outcomes():
        factor = 20 if "libasan" in os.environ.get("LD_PRELOAD", "") else 1
        return run_children(CASES, timeout=(1200 if LONG else 300) * factor)

    @pytest.mark.parametrize("case", CASES)
    def test_call_survives_a_collection_at_every_allocation(outcomes, case):
        problem = outcomes.get(case, "not run")
        assert problem is None, f"{case}: {problem}"

    def test_the_harness_strikes_where_a_checked_value_is_used(monkeypatch):
        # A call that checks a list's length, allocates, then trusts the length: one of the strikes
        # must land in between and make it fail.
        def probe(scope):
            data = scope.add([1.0, 2.0, 3.0])

            def checked_then_used():
                n = len(data)
                _ = [[] for _ in range(3)]  # tracked allocations: collections under the stress
                return [data[i] for i in range(n)]
            return checked_then_used

        monkeypatch.setitem(ENTRIES, "probe", probe)
        _, _, events = outcome("probe")
        results = [outcome("probe", k, lambda: SCOPE.roots[0].clear())[0][0] for k in range(1, events + 2)]
        assert ("raised", "IndexError") in results


if __name__ == "__main__":
    if sys.argv[1:] == ["--worker"]:
        worker()
    else:
        import argparse

        parser = argparse.ArgumentParser(description="Run one GC-stress case in this interpreter.")
        parser.add_argument("case", help="'<entry> | <mutation>', as in the test ids")
        parser.add_argument("--strike", type=int, help="strike at this event only")
        parser.add_argument("--seed", type=int, help="mutation seed")
        args = parser.parse_args()
        problem = run_case(args.case, args.strike, args.seed)
        print(problem or "ok")
        sys.exit(1 if problem else 0)
