"""LineStringRGJ and MultiLineStringRGJ: segment cache, repulsion vectors, arguments, pickling."""

import copy
import pickle
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import orvo.field.kernels
from orvo.field.geometry import _RGJ_TYPES, MultiRGJGeometry
from orvo.field.geometry import linestring as line_module
from orvo.field.geometry.linestring import LineStringRGJ, MultiLineStringRGJ

MEMBERS = ("_p1", "_v", "_v_dot_v", "bbox", "coordinates", "eye_repulsion", "grad_matrix", "inv_repulsion",
           "lines_n", "points_in_line_pair", "properties", "repulsion")
CACHE = ("points_in_line_pair", "_p1", "_v", "_v_dot_v")


def all_segment_vectors(x, segments):
    """Clipped projection of every query point onto every (start, end) segment: shape (S, N, 2)."""
    x = np.atleast_2d(np.asarray(x, dtype=np.float64))
    out = []
    for a, b in segments:
        a, b = np.asarray(a, float), np.asarray(b, float)
        v = b - a
        vv = v @ v if v @ v > 0 else 1.0
        t = np.clip((x - a) @ v / vv, 0.0, 1.0)
        out.append(x - (a + t[:, None] * v))
    return np.array(out).reshape(len(segments), len(x), 2)


def nearest_segment_vectors(x, segments, metric):
    d = all_segment_vectors(x, segments)
    q = np.einsum("sni,ij,snj->sn", d, metric, d)
    return d[np.argmin(q, axis=0), np.arange(d.shape[1])]


def segments_of(members):
    return [(m[k], m[k + 1]) for m in members for k in range(len(m) - 1)]


def random_spd(rng):
    rot = np.linalg.qr(rng.normal(size=(2, 2)))[0]
    return rot @ np.diag(rng.uniform(0.05, 20.0, size=2)) @ rot.T


# -- projection ----------------------------------------------------------------

@pytest.mark.parametrize("query, expected", [((1, 1), (0, 1)), ((3, 0), (1, 0)), ((-1, 0), (-1, 0)),
                                             ((1, -2), (0, -2)), ((2, 0), (0, 0))])
@pytest.mark.parametrize("select", [False, True])
def test_worked_projection_examples(query, expected, select):
    line = LineStringRGJ(coordinates=[[0, 0], [2, 0]], repulsion=[[3.0, 0.5], [0.5, 0.2]])
    out = line.repulsion_vector(list(query), min_dist_select=select)  # a single pair is one query point
    assert out.shape == (1, 2) and out.dtype == np.float64
    np.testing.assert_allclose(out, [expected], atol=1e-12)


def test_unselected_rows_are_segment_major_and_ignore_repulsion():
    x = [[1, 1], [3, 3], [-1, 0]]
    expected = [[0, 1], [1, 3], [-1, 0],  # segment 0: (0,0)-(2,0)
                [-1, 0], [1, 1], [-3, 0]]  # segment 1: (2,0)-(2,2)
    for repulsion in (None, [[5.0, 1.0], [1.0, 0.3]]):
        line = LineStringRGJ([[0, 0], [2, 0], [2, 2]], repulsion)
        out = line.repulsion_vector(np.array(x, dtype=np.int32), False, unrelated="ignored")
        assert out.shape == (6, 2) and out.dtype == np.float64
        np.testing.assert_allclose(out, expected, atol=1e-12)
        np.testing.assert_allclose(line.repulsion_vector(x=x, min_dist_select=0), expected, atol=1e-12)


def test_zero_length_segment():
    x = np.array([[4.0, -1.0], [1.0, 1.0], [0.5, 3.0]])
    for geom in (LineStringRGJ(coordinates=[[1, 1], [1, 1], [3, 1]]), MultiLineStringRGJ([[[1, 1], [1, 1], [3, 1]]])):
        np.testing.assert_array_equal(geom._v, [[0, 0], [2, 0]])
        np.testing.assert_array_equal(geom._v_dot_v, [1.0, 4.0])
        out = geom.repulsion_vector(x, min_dist_select=False)
        assert np.all(np.isfinite(out))
        np.testing.assert_array_equal(out[:3], x - [1, 1])
        np.testing.assert_array_equal(out[3:], all_segment_vectors(x, [((1, 1), (3, 1))])[0])


def test_multiline_never_joins_members():
    m = MultiLineStringRGJ([[(0, 0), (1, 0)], [(5, 5), (5, 6)]])
    assert m.lines_n == 2
    np.testing.assert_array_equal(m.points_in_line_pair, [[[0, 0], [1, 0]], [[5, 5], [5, 6]]])
    np.testing.assert_array_equal(m._p1, [[0, 0], [5, 5]])
    np.testing.assert_array_equal(m._v, [[1, 0], [0, 1]])
    np.testing.assert_array_equal(m.bbox, [[0, 0], [1, 0], [5, 5], [5, 6]])
    np.testing.assert_array_equal(m.get_center_point(), [2.5, 3.0])
    # (2, 1) lies right next to a would-be bridge (1,0)-(5,5); the nearest real point is (1, 0)
    np.testing.assert_allclose(m.repulsion_vector([2, 1]), [[1, 1]])
    assert m.repulsion_vector(np.zeros((4, 2)), min_dist_select=False).shape == (8, 2)


def test_multiline_single_vertex_members():
    m = MultiLineStringRGJ([[(0, 0), (2, 0), (2, 1)], [(7, 7)], [(3, 3), (3, 5)]])
    assert m.lines_n == 3
    np.testing.assert_array_equal(m.points_in_line_pair[:, 0], [[0, 0], [2, 0], [3, 3]])
    np.testing.assert_array_equal(m.points_in_line_pair[:, 1], [[2, 0], [2, 1], [3, 5]])
    np.testing.assert_array_equal(m.bbox[2:4], [[7, 7], [7, 7]])
    np.testing.assert_array_equal(m.get_center_point(), [3.5, 3.5])
    assert m.repulsion_vector(np.ones((5, 2)), min_dist_select=False).shape == (15, 2)

    lonely = MultiLineStringRGJ([[(1, 2)], [(3, 4)]])
    assert lonely.lines_n == 0 and lonely._p1.shape == (0, 2) and lonely._v_dot_v.shape == (0,)
    for select in (True, False):
        np.testing.assert_array_equal(lonely.repulsion_vector([[1, 2], [9, 9]], select), np.zeros((2, 2)))


@pytest.mark.parametrize("coords, lines_n", [([[1, 2]], 0), (np.zeros((0, 2)), -1), ([], -1)])
def test_lines_without_segments(coords, lines_n):
    class NoMetric(LineStringRGJ):
        def get_dist_matrix(self, **kw):
            raise AssertionError("metric must not be fetched without segments")

    for line in (LineStringRGJ(coordinates=coords), NoMetric(coords)):
        assert line.lines_n == lines_n
        assert line.points_in_line_pair.shape == (0, 2, 2)
        assert line._p1.shape == line._v.shape == (0, 2) and line._v_dot_v.shape == (0,)
        for select in (True, False):
            out = line.repulsion_vector([[1, 2], [3, 4], [5, 6]], select)
            assert out.dtype == np.float64
            np.testing.assert_array_equal(out, np.zeros((3, 2)))


@pytest.mark.parametrize("dtype", [np.int64, np.int32, np.int8])
def test_integer_coordinates_assigned_directly(dtype):
    line = LineStringRGJ(coordinates=[[0, 0], [1, 0]])
    old_p1 = line._p1
    line.coordinates = np.array([[-100, 0], [100, 0], [100, 0], [103, 4]], dtype=dtype)
    assert line._p1 is old_p1 and line.lines_n == 1  # a plain write rebuilds nothing
    assert line._build_segments() is None
    assert line.lines_n == 3
    assert line.points_in_line_pair.dtype == dtype and line.points_in_line_pair.shape == (3, 2, 2)
    for name in ("_p1", "_v", "_v_dot_v"):
        assert getattr(line, name).dtype == np.float64
    assert line._p1.flags.c_contiguous and line._v.flags.c_contiguous
    dx = np.array([200]).astype(dtype)[0]  # the difference is taken in the vertex dtype (int8 wraps)
    np.testing.assert_array_equal(line._v, [[dx, 0], [0, 0], [3, 4]])
    np.testing.assert_array_equal(line._v_dot_v, [float(dx) ** 2, 1.0, 25.0])


# -- nearest-segment selection -------------------------------------------------

@pytest.mark.parametrize("seed", range(6))
def test_selection_matches_brute_force(seed):
    rng = np.random.default_rng(seed)
    repulsion = random_spd(rng)
    x = rng.uniform(-12, 12, size=(60, 2))
    verts = rng.uniform(-10, 10, size=(int(rng.integers(4, 10)), 2))
    line = LineStringRGJ(coordinates=verts, repulsion=repulsion)
    metric = line.get_dist_matrix()
    np.testing.assert_allclose(metric, np.linalg.inv(repulsion), rtol=1e-10)
    np.testing.assert_allclose(line.repulsion_vector(x), nearest_segment_vectors(x, segments_of([verts]), metric),
                               rtol=1e-9, atol=1e-9)

    members = [rng.uniform(-10, 10, size=(int(rng.integers(1, 6)), 2)) for _ in range(4)]
    members[0] = np.vstack([members[0], [[0.0, 0.0]]])  # at least one segment
    multi = MultiLineStringRGJ(members, repulsion)
    assert multi.lines_n == sum(len(m) - 1 for m in members)
    np.testing.assert_allclose(multi.repulsion_vector(x), nearest_segment_vectors(x, segments_of(members), metric),
                               rtol=1e-9, atol=1e-9)


def test_selection_tie_goes_to_lowest_segment():
    m = MultiLineStringRGJ([[(0, 0), (1, 0)], [(0, 2), (1, 2)]])
    np.testing.assert_array_equal(m.repulsion_vector([[0.5, 1.0]]), [[0, 1]])
    m = MultiLineStringRGJ([[(0, 2), (1, 2)], [(0, 0), (1, 0)]])
    np.testing.assert_array_equal(m.repulsion_vector([[0.5, 1.0]]), [[0, -1]])


def test_changed_repulsion_takes_effect_at_next_query():
    # horizontal segment 1 below the origin, vertical segment 1.5 to its left
    m = MultiLineStringRGJ([[(-5, -1), (5, -1)], [(-1.5, -5), (-1.5, 5)]])
    np.testing.assert_allclose(m.repulsion_vector([0, 0]), [[0, 1]])
    m.set_repulsion(np.diag([100.0, 1.0]))  # x distances now count for little
    np.testing.assert_allclose(m.repulsion_vector([0, 0]), [[1.5, 0]])
    m.set_repulsion(np.eye(2))
    np.testing.assert_allclose(m.repulsion_vector([0, 0]), [[0, 1]])


def test_kernel_receives_cache_and_metric_positionally(monkeypatch):
    calls, result = [], object()

    class Spy:
        @staticmethod
        def segment_repulsion_vectors(*args, **kwargs):
            calls.append((args, kwargs))
            return result

    line = LineStringRGJ(coordinates=[[0, 0], [2, 0], [2, 2]], repulsion=[[2.0, 0.0], [0.0, 4.0]])
    monkeypatch.setattr(line_module, "kernels", Spy)
    assert line.repulsion_vector([[1, 2], [3, 4]]) is result
    (args, kwargs), = calls
    assert kwargs == {} and len(args) == 5
    x, p1, v, vdv, metric = args
    assert x.dtype == np.float64 and x.flags.c_contiguous
    np.testing.assert_array_equal(x, [[1, 2], [3, 4]])
    assert p1 is line._p1 and v is line._v and vdv is line._v_dot_v
    np.testing.assert_array_equal(metric, np.diag([0.5, 0.25]))

    line.repulsion_vector([1, 2], min_dist_select=False)
    line.lines_n = 0
    line.repulsion_vector([1, 2])
    assert len(calls) == 1
    monkeypatch.undo()
    assert line_module.kernels is orvo.field.kernels


def test_overridden_metric_is_fetched_on_every_query():
    class Tilted(LineStringRGJ):
        calls = []
        metric = np.diag([1.0, 1e-4])

        def get_dist_matrix(self, *args, **kwargs):
            self.calls.append((args, kwargs))
            return self.metric

    verts = [[-5, -1], [5, -1], [5, 8], [-1.5, 8], [-1.5, -5]]
    line = Tilted(verts)
    x = np.array([[0.0, 0.0], [3.0, 6.0], [-4.0, 2.0]])
    np.testing.assert_allclose(line.repulsion_vector(x), nearest_segment_vectors(x, segments_of([verts]), Tilted.metric))
    Tilted.metric = np.diag([1e-4, 1.0])
    np.testing.assert_allclose(line.repulsion_vector(x), nearest_segment_vectors(x, segments_of([verts]), Tilted.metric))
    assert Tilted.calls == [((), {"scaled": True, "inverted": True})] * 2


# -- fields --------------------------------------------------------------------

class Index:
    def __index__(self):
        return 5


@pytest.mark.parametrize("value, stored", [
    (True, 1), (False, 0), (np.int64(7), 7), (np.int8(-3), -3), (Index(), 5), (2**62, 2**62),
    (2.5, TypeError), ("3", TypeError), (None, TypeError), (np.float64(1.0), TypeError),
    (2**70, OverflowError), (-2**70, OverflowError)])
def test_lines_n_writes_use_the_index_protocol(value, stored):
    line = LineStringRGJ(coordinates=[[0, 0], [1, 0], [1, 1]])
    if isinstance(stored, type):
        with pytest.raises(stored):
            line.lines_n = value
        stored = 2  # a failed write keeps the old value
    else:
        line.lines_n = value
    assert type(line.lines_n) is int and line.lines_n == stored


def test_lines_n_zero_silences_until_rebuild_and_cannot_be_deleted():
    line = MultiLineStringRGJ([[(0, 0), (1, 0)], [(5, 5), (5, 6)]])
    line.lines_n = 0
    for select in (True, False):
        np.testing.assert_array_equal(line.repulsion_vector([[3, 3]], select), [[0, 0]])
    with pytest.raises(NotImplementedError, match="^__del__$"):
        del line.lines_n
    assert line.lines_n == 0
    line._build_segments()
    assert line.lines_n == 2 and line.repulsion_vector([[3, 3]]).any()


@pytest.mark.parametrize("name", CACHE)
def test_cache_fields_store_anything_and_delete_to_none(name):
    line = LineStringRGJ(coordinates=[[0, 0], [1, 0]])
    token = ["not", "an", "array"]
    setattr(line, name, token)
    assert getattr(line, name) is token
    delattr(line, name)
    assert getattr(line, name) is None
    np.testing.assert_array_equal(line.coordinates, [[0, 0], [1, 0]])  # nothing else touched


# -- construction --------------------------------------------------------------

def test_type_keyword_reaches_the_base_constructor():
    seen = []

    class Recorder(MultiRGJGeometry):
        def __init__(self, *args, **kwargs):
            seen.append((args, kwargs))
            super().__init__(*args, **kwargs)

    class Line(LineStringRGJ, Recorder):
        pass

    props = {"name": "road"}
    line = Line(type="LineString", coordinates=[[0, 0], [3, 4]], properties=props, tag=None)
    assert seen == [((), {"coordinates": [[0, 0], [3, 4]], "repulsion": None, "type": "LineString",
                          "properties": props, "tag": None})]
    assert line.properties is props and line.lines_n == 1


@pytest.mark.parametrize("geometry", [
    {"type": "LineString", "coordinates": [[0, 0], [3, 4], [3, 0]], "repulsion": [[2, 0], [0, 1]]},
    {"type": "MultiLineString", "coordinates": [[[0, 0], [3, 4]], [[3, 0], [9, 9]]], "repulsion": [[2, 0], [0, 1]]},
])
def test_built_from_registry_with_type_key(geometry):
    geom = _RGJ_TYPES[geometry["type"]](**geometry)
    assert type(geom).RGJType == geometry["type"] and geom.lines_n == 2
    np.testing.assert_array_equal(geom.repulsion, [[2, 0], [0, 1]])
    np.testing.assert_array_equal(geom.get_dist_matrix(), [[0.5, 0], [0, 1]])
    assert geom.repulsion_vector(np.zeros((3, 2))).shape == (3, 2)


@pytest.mark.parametrize("dim", [2, 3])
def test_multiline_defaults_and_properties(dim):
    props = {"id": 1}
    a = MultiLineStringRGJ(type="MultiLineString", coordinates=[[(0, 0), (1, 1)]], properties=props,
                           optional_dim=dim, unrelated=object())
    b = MultiLineStringRGJ([[(2, 2), (3, 3)]], None, props, dim)
    for m in (a, b):
        assert m.properties is props
        for name, expected in [("repulsion", np.eye(dim)), ("inv_repulsion", np.eye(dim)),
                               ("eye_repulsion", np.eye(dim)), ("grad_matrix", 2 * np.eye(dim))]:
            assert getattr(m, name).dtype == np.float64
            np.testing.assert_array_equal(getattr(m, name), expected)
    c, d = MultiLineStringRGJ([[(0, 0), (1, 1)]]), MultiLineStringRGJ([[(0, 0), (1, 1)]])
    assert c.properties == {} and c.properties is not d.properties
    assert isinstance(c.coordinates, list) and all(m.dtype == np.float64 for m in c.coordinates)


def test_multiline_init_partial_failures():
    m = MultiLineStringRGJ.__new__(MultiLineStringRGJ)
    with pytest.raises(np.linalg.LinAlgError):
        m.__init__([[(0, 0), (1, 1)]], repulsion=[[1, 2], [2, 4]])
    assert isinstance(m.coordinates, list)
    np.testing.assert_array_equal(m.repulsion, [[1, 2], [2, 4]])
    assert m.inv_repulsion is None and m.bbox is None and m._p1 is None and m.lines_n == 0

    for coords in ([], [[(0, 0), (1, 1)], []]):
        m = MultiLineStringRGJ.__new__(MultiLineStringRGJ)
        with pytest.raises(ValueError):
            m.__init__(coords)
        assert len(m.coordinates) == len(coords) and m.properties == {}
        np.testing.assert_array_equal(m.grad_matrix, 2 * np.eye(2))
        assert m.bbox is None and m.points_in_line_pair is None


def test_set_coordinates_rebuilds_cache():
    line = LineStringRGJ(coordinates=[[0, 0], [1, 0]])
    assert line.set_coordinates(new_coords=[[0, 0], [0, 2], [3, 2]]) is None
    assert line.lines_n == 2
    np.testing.assert_array_equal(line._v, [[0, 2], [3, 0]])
    np.testing.assert_array_equal(line.bbox, [[0, 0], [3, 2]])
    np.testing.assert_allclose(line.repulsion_vector([[1, 3]]), [[0, 1]])

    props, rep = {"k": "v"}, [[2.0, 0.0], [0.0, 1.0]]
    m = MultiLineStringRGJ([[(0, 0), (1, 0)]], rep, props)
    kept = {name: getattr(m, name) for name in ("repulsion", "inv_repulsion", "eye_repulsion", "grad_matrix")}
    m.set_coordinates(iter([tuple((x, x + 1) for x in range(3))] * 2))  # any iterable of members
    assert m.properties is props and all(getattr(m, k) is v for k, v in kept.items())
    assert m.lines_n == 4 and len(m.coordinates) == 2
    np.testing.assert_array_equal(m.bbox, [[0, 1], [2, 3]] * 2)

    old_bbox, old_pairs = m.bbox, m.points_in_line_pair
    with pytest.raises(ValueError):
        m.set_coordinates([[(0, 0), (1, 1)], []])
    assert len(m.coordinates) == 2 and len(m.coordinates[1]) == 0
    assert m.bbox is old_bbox and m.points_in_line_pair is old_pairs


# -- module and methods --------------------------------------------------------

@pytest.mark.parametrize("cls, name", [(LineStringRGJ, "_build_segments"), (LineStringRGJ, "set_coordinates"),
                                       (LineStringRGJ, "repulsion_vector"), (MultiLineStringRGJ, "_build_segments"),
                                       (MultiLineStringRGJ, "set_coordinates"),
                                       (MultiLineStringRGJ, "get_center_point")])
def test_method_names(cls, name):
    method = cls.__dict__[name]
    assert method.__qualname__ == f"{cls.__name__}.{name}"
    assert method.__module__ == "orvo.field.geometry.linestring"


def test_classes_and_module_namespace():
    assert LineStringRGJ.RGJType == "LineString" and MultiLineStringRGJ.RGJType == "MultiLineString"
    assert _RGJ_TYPES["LineString"] is LineStringRGJ and _RGJ_TYPES["MultiLineString"] is MultiLineStringRGJ
    assert LineStringRGJ.__bases__ == (MultiRGJGeometry,) and MultiLineStringRGJ.__bases__ == (LineStringRGJ,)
    assert LineStringRGJ.__doc__ is None and MultiLineStringRGJ.__doc__ is None
    assert LineStringRGJ.repulsion_vector.__defaults__ == (True,)
    assert MultiLineStringRGJ.repulsion_vector is LineStringRGJ.repulsion_vector
    assert line_module.np is np and line_module.kernels is orvo.field.kernels
    assert line_module.__test__ == {} and line_module.__doc__ == "LineStringRGJ / MultiLineStringRGJ."


_LINE = LineStringRGJ(coordinates=[[0, 0], [1, 0]])
_MULTI = MultiLineStringRGJ([[(0, 0), (1, 0)]])


@pytest.mark.parametrize("call, message", [
    (lambda: _LINE.set_coordinates(foo=1), "set_coordinates() got an unexpected keyword argument 'foo'"),
    (lambda: _MULTI.set_coordinates(foo=1), "set_coordinates() got an unexpected keyword argument 'foo'"),
    (lambda: _MULTI.set_coordinates([[(0, 0)]], foo=1), "set_coordinates() got an unexpected keyword argument 'foo'"),
    (lambda: _LINE.set_coordinates(), "set_coordinates() takes exactly 1 positional argument (0 given)"),
    (lambda: LineStringRGJ([[0, 0]], coordinates=[[1, 1]]),
     "__init__() got multiple values for keyword argument 'coordinates'"),
    (lambda: LineStringRGJ([[0, 0]], None, repulsion=None),
     "__init__() got multiple values for keyword argument 'repulsion'"),
    (lambda: MultiLineStringRGJ([[(0, 0)]], None, {}, properties={}),
     "__init__() got multiple values for keyword argument 'properties'"),
    (lambda: MultiLineStringRGJ(), "__init__() takes at least 1 positional argument (0 given)"),
    (lambda: LineStringRGJ([[0, 0]], None, {}), "__init__() takes at most 2 positional arguments (3 given)"),
    (lambda: _LINE._build_segments(1), "_build_segments() takes exactly 0 positional arguments (1 given)"),
    (lambda: _MULTI.get_center_point(x=1), "get_center_point() got an unexpected keyword argument 'x'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        call()


# -- pickling ------------------------------------------------------------------

def assert_same_state(a, b):
    assert type(a) is type(b)
    for name in MEMBERS:
        x, y = getattr(a, name), getattr(b, name)
        assert type(x) is type(y) and getattr(x, "dtype", None) == getattr(y, "dtype", None), name
        np.testing.assert_equal(y, x, err_msg=name)  # lists of arrays and dicts compared item by item


@pytest.mark.parametrize("make", [lambda: LineStringRGJ([[0, 0], [2, 0], [2, 3]], [[2, 1], [1, 2]], properties={"a": 1}),
                                  lambda: MultiLineStringRGJ([[(0, 0), (2, 0)], [(4, 4)], [(1, 1), (0, 5)]],
                                                             [[2, 1], [1, 2]], {"a": 1})])
def test_pickle_round_trip(make):
    geom = make()
    func, args, state = geom.__reduce__()
    assert func is getattr(line_module, "__pyx_unpickle_" + type(geom).__name__)
    assert args == (type(geom), 0x6c1788e, None) and len(state) == 12
    for name, item in zip(MEMBERS, state):
        assert item is getattr(geom, name) if name != "lines_n" else type(item) is int and item == geom.lines_n
    x = np.array([[1.0, 1.0], [-3.0, 2.0], [5.0, 5.0]])
    for clone in (pickle.loads(pickle.dumps(geom)), copy.deepcopy(geom)):
        assert_same_state(geom, clone)
        np.testing.assert_array_equal(clone.repulsion_vector(x), geom.repulsion_vector(x))
    geom.lines_n = 0
    clone = pickle.loads(pickle.dumps(geom))
    assert clone.lines_n == 0
    np.testing.assert_array_equal(clone.repulsion_vector(x), np.zeros((3, 2)))


@pytest.mark.parametrize("cls", [LineStringRGJ, MultiLineStringRGJ])
def test_restore_checksums_and_integer_member(cls):
    restore = getattr(line_module, "__pyx_unpickle_" + cls.__name__)
    for checksum in (0x6c1788e, 0xea76c65, 0x175d8fd):
        bare = restore(cls, checksum, None)
        assert type(bare) is cls and bare.lines_n == 0 and bare._p1 is None
    with pytest.raises(pickle.PickleError, match=re.escape(
            "Incompatible checksums (0x1 vs (0x6c1788e, 0xea76c65, 0x175d8fd) = (" + ", ".join(MEMBERS) + "))")):
        restore(cls, 1, None)

    state = list(range(12))
    state[MEMBERS.index("lines_n")] = True
    assert restore(cls, 0x6c1788e, tuple(state)).lines_n == 1
    state[MEMBERS.index("lines_n")] = 2.5
    with pytest.raises(TypeError):
        restore(cls, 0x6c1788e, tuple(state))
    obj = cls.__new__(cls)
    with pytest.raises(TypeError):
        obj.__setstate__(tuple(state))
    assert obj._p1 == 0 and obj.inv_repulsion == 7 and obj.lines_n == 0  # members before lines_n were written


class TaggedMultiLine(MultiLineStringRGJ):
    pass


def test_python_subclass_with_dict_round_trips():
    geom = TaggedMultiLine([[(0, 0), (1, 0)], [(5, 5), (5, 6)]])
    assert len(geom.__reduce__()[2]) == 12
    geom.tag = "river"
    state = geom.__reduce__()[2]
    assert len(state) == 13 and state[-1] == {"tag": "river"}
    clone = pickle.loads(pickle.dumps(geom))
    assert type(clone) is TaggedMultiLine and clone.tag == "river"
    assert_same_state(geom, clone)
    np.testing.assert_array_equal(clone.get_center_point(), [2.5, 3.0])


# -- bad inputs ----------------------------------------------------------------

BAD_INPUTS = {
    "non-numeric vertices": ("L(coordinates=[['a', 'b'], [1, 2]])", "ValueError"),
    "ragged line": ("L(coordinates=[[0, 0], [1]])", "ValueError"),
    "string line": ("L(coordinates='ab')", "ValueError TypeError"),
    "None line": ("L(coordinates=None)", "ValueError TypeError"),
    "empty member list": ("M([])", "ValueError"),
    "member without vertices": ("M([[(0, 0), (1, 1)], []])", "ValueError"),
    "ragged member": ("M([[(0, 0), (1, 0)], [(1, 1), (2,)]])", "ValueError"),
    "non-numeric member": ("M([[('a', 'b'), (1, 0)]])", "ValueError"),
    "None members": ("M(None)", "TypeError"),
    "string members": ("M('abc')", "ValueError TypeError"),
    "scalar member": ("M([5])", "TypeError"),
    "non-numeric query": ("L(coordinates=[[0, 0], [1, 1]]).repulsion_vector([['a', 'b']])", "ValueError"),
    "bare line rebuilt": ("L.__new__(L)._build_segments()", "TypeError"),
    "bare multi rebuilt": ("M.__new__(M)._build_segments()", "TypeError"),
    "bare line with lines_n": ("o = L.__new__(L); o.lines_n = 3; o.repulsion_vector([[0, 0]])", "ValueError TypeError"),
    "bare line unselected": ("o = L.__new__(L); o.lines_n = 3; o.repulsion_vector([[0, 0]], False)", "TypeError"),
    "mismatched cache": ("o = L(coordinates=[[0, 0], [1, 1], [2, 0]]); o._v = o._v[:1]; o.repulsion_vector([[0, 0]])",
                         "ValueError"),
    "multi coordinates None": ("o = M([[(0, 0), (1, 1)]]); o.coordinates = None; o._build_segments()", "TypeError"),
}


def test_bad_inputs_raise_without_crash():
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(f"""
        from orvo.field.geometry.linestring import LineStringRGJ as L, MultiLineStringRGJ as M
        for name, code in {({k: v[0] for k, v in BAD_INPUTS.items()})!r}.items():
            print(name, end=": ", flush=True)
            try:
                exec(code)
                print("no error", flush=True)
            except Exception as e:
                print(type(e).__name__, flush=True)
        print("done")
    """)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout.endswith("done\n"), (proc.returncode, proc.stdout, proc.stderr)
    got = dict(row.split(": ") for row in proc.stdout.splitlines()[:-1])
    for name, (_, allowed) in BAD_INPUTS.items():
        assert got[name] in allowed.split(), (name, got[name])
