"""PolygonRGJ and MultiPolygonRGJ: ring reading, segment cache, queries, export, pickling, bad input."""

import copy
import json
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import shapely
from shapely.geometry import Polygon as ShapelyPolygon

import orvo.field.kernels
from orvo.field.geometry import _RGJ_TYPES, MultiRGJGeometry, RGJGeometry
from orvo.field.geometry import polygon as poly_module
from orvo.field.geometry.polygon import MultiPolygonRGJ, PolygonRGJ

POLY_MEMBERS = ("_S", "_p1", "_v", "_v_dot_v", "bbox", "coordinates", "eye_repulsion", "grad_matrix",
                "inv_repulsion", "metric", "points_in_line_pair", "properties", "repulsion", "rings")
MULTI_MEMBERS = ("_S", "_p1", "_v", "_v_dot_v", "bbox", "coordinates", "eye_repulsion", "grad_matrix",
                 "inv_repulsion", "points_in_line_pair", "polygons", "properties", "repulsion")
SQUARE = [[0, 0], [4, 0], [4, 4], [0, 4]]
HOLE = [[1, 1], [1, 3], [3, 3], [3, 1]]
TRIANGLE = [[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 0.0]]


def _run_python(code):
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)
    return proc.returncode, proc.stdout, proc.stderr


def segments_of(rings):
    return [(r[k], r[k + 1]) for r in rings for k in range(len(r) - 1)]


def all_segment_vectors(x, segments):
    """x minus its clipped projection on every segment: shape (S, N, 2)."""
    x = np.atleast_2d(np.asarray(x, dtype=np.float64))
    out = []
    for a, b in segments:
        v = np.asarray(b, float) - a
        t = np.clip((x - a) @ v / (v @ v if v @ v > 0 else 1.0), 0.0, 1.0)
        out.append(x - (a + t[:, None] * v))
    return np.array(out)


def nearest_segment_vectors(x, segments, metric):
    d = all_segment_vectors(x, segments)
    q = np.einsum("sni,ij,snj->sn", d, metric, d)
    return d[np.argmin(q, axis=0), np.arange(d.shape[1])]


def star(rng, center, r_lo, r_hi, k):
    angles = np.sort(rng.uniform(0, 2 * np.pi, k))
    radii = rng.uniform(r_lo, r_hi, k)
    return np.c_[center[0] + radii * np.cos(angles), center[1] + radii * np.sin(angles)]


# -- bad input, first in a separate interpreter ------------------------------------------

BAD_INPUTS = {
    "numpy int first": ("P([np.int64(0), 0, 1, 0, 1, 1])", ValueError),
    "1-D numpy": ("P(np.array([0.0, 0, 1, 0, 1, 1]))", ValueError),
    "ragged rings": ("P([[[0, 0], [1, 0], [1, 1]], [[0, 0], [1]]])", ValueError),
    "ragged points": ("P([[0, 0], [1, 0, 2], [1, 1]])", ValueError),
    "odd flat count": ("P([0, 0, 1, 0, 1])", ValueError),
    "odd ring count": ("P([[0, 0, 1, 0, 1], [0, 0, 1, 1]])", ValueError),
    "strings": ("P([['a', 'b'], ['c', 'd']])", ValueError),
    "object in array": ("P(np.array([[0, 0], [1, object()]], dtype=object))", TypeError),
    "singular": ("P([[0, 0], [1, 0], [1, 1]], repulsion=[[1, 2], [2, 4]])", np.linalg.LinAlgError),
    "None": ("P(None)", TypeError),
    "dict": ("P({'a': 1})", TypeError),
    "string": ("P('0 0 1 0 1 1')", TypeError),
    "generator": ("P(q for q in [[0, 0], [1, 0], [1, 1]])", TypeError),
    "multi None": ("M(None)", TypeError),
    "multi number": ("M(5)", TypeError),
    "multi generator member": ("M([(q for q in [[0, 0], [1, 0]])])", TypeError),
    "multi ragged member": ("M([[[[0, 0], [1, 0]], [[0, 0], [1]]]])", ValueError),
    "bare repulsion vector": ("o = P.__new__(P); o._S = 3; o.repulsion_vector([[0, 0]])", TypeError),
    "bare segment cache": ("P.__new__(P)._build_segment_cache()", AttributeError),
    "export without rings": ("o = P([[0, 0], [1, 0]]); o.rings = None; o.toRGeoJSON()", TypeError),
    "bare in_bbox": ("P.__new__(P).in_bbox([0, 0])", TypeError),
    "multi export without members": ("o = M([]); o.polygons = None; o.toRGeoJSON()", TypeError),
    "multi centre without members": ("o = M([]); o.polygons = None; o.get_center_point()", TypeError),
    "bare multi unselected": ("o = M.__new__(M); o._S = 2; o.repulsion_vector([[0, 0]], False)", TypeError),
    "query strings": ("P([[0, 0], [1, 0], [1, 1]]).repulsion_vector([['a', 'b']])", ValueError),
    "cache rebuilt from junk": ("o = P([[0, 0], [1, 0]]); o.points_in_line_pair = np.ones(3); o._build_segment_cache()",
                                IndexError),
}


def test_bad_inputs_do_not_crash():
    code = """
        import numpy as np
        from orvo.field.geometry.polygon import PolygonRGJ as P, MultiPolygonRGJ as M
        for src in %r:
            try:
                exec(src)
                print("ok")
            except Exception as e:
                print(type(e).__name__)
    """ % [src for src, _ in BAD_INPUTS.values()]
    rc, out, err = _run_python(code)
    assert rc == 0, err
    assert out.split() == [exc.__name__ for _, exc in BAD_INPUTS.values()]


@pytest.mark.parametrize("src, exc", BAD_INPUTS.values(), ids=BAD_INPUTS.keys())
def test_bad_inputs_raise(src, exc):
    with pytest.raises(exc):
        exec(src, {"np": np, "P": PolygonRGJ, "M": MultiPolygonRGJ})


# -- ring reading and the segment cache --------------------------------------------------

OPEN_CLOSED = [TRIANGLE]
RING_CASES = {
    "open points": ([[0, 0], [1, 0], [1, 1]], OPEN_CLOSED),
    "closed points": (TRIANGLE, OPEN_CLOSED),
    "closed within allclose": ([[0, 0], [1, 0], [1, 1], [1e-10, 0]], [[[0, 0], [1, 0], [1, 1], [1e-10, 0]]]),
    "just beyond allclose": ([[0, 0], [1, 0], [1e-6, 0]], [[[0, 0], [1, 0], [1e-6, 0], [0, 0]]]),
    "flat numbers": ([0, 0, 1, 0, 1, 1], OPEN_CLOSED),
    "flat numpy floats": ([np.float64(0), 0, 1, 0, 1, 1], OPEN_CLOSED),
    "flat bool first": ([False, 0, 1, 0, 1, 1], OPEN_CLOSED),
    "tuple of tuples": (((0, 0), (1, 0), (1, 1)), OPEN_CLOSED),
    "list of rings": ([[[0, 0], [1, 0], [1, 1]]], OPEN_CLOSED),
    "ring of flat numbers": ([[0, 0, 1, 0, 1, 1]], OPEN_CLOSED),
    "numpy (k,2)": (np.array([[0, 0], [1, 0], [1, 1]], dtype=np.int32), OPEN_CLOSED),
    "numpy (m,k,2)": (np.array([SQUARE, HOLE]), [SQUARE + [[0, 0]], HOLE + [[1, 1]]]),
    "outer then hole": ([SQUARE, HOLE], [SQUARE + [[0, 0]], HOLE + [[1, 1]]]),
    "rings of two points": ([[[0, 0], [1, 0]], [[5, 5], [6, 5]]], [[[0, 0], [1, 0], [5, 5], [6, 5], [0, 0]]]),
    "two-point ring": ([[[0, 0], [2, 0]]], [[[0, 0], [2, 0], [0, 0]]]),
    "one-point ring": ([[[1, 2]]], [[[1, 2]]]),
    "one point": ([[1, 2]], [[[1, 2]]]),
    "empty ring then square": ([[], SQUARE], [np.zeros((0, 2)), SQUARE + [[0, 0]]]),
    "repeated vertex": ([[0, 0], [0, 0], [1, 0], [1, 1]], [[[0, 0], [0, 0], [1, 0], [1, 1], [0, 0]]]),
}


@pytest.mark.parametrize("coords, expected", RING_CASES.values(), ids=RING_CASES.keys())
def test_rings_and_segment_cache(coords, expected):
    p = PolygonRGJ(coords)
    assert type(p.rings) is list and len(p.rings) == len(expected)
    for ring, want in zip(p.rings, expected):
        assert ring.dtype == np.float64 and ring.flags.c_contiguous and ring.ndim == 2
        np.testing.assert_array_equal(ring, np.asarray(want, float).reshape(-1, 2))
    segs = segments_of(p.rings)
    assert p._S == len(segs) and isinstance(p._S, int)
    assert p.points_in_line_pair.shape == (len(segs), 2, 2)
    np.testing.assert_array_equal(p.points_in_line_pair, np.array(segs).reshape(-1, 2, 2))
    vectors = np.array([b - a for a, b in segs]).reshape(-1, 2)
    vdv = (vectors ** 2).sum(axis=1)
    for name, want in (("_p1", p.points_in_line_pair[:, 0]), ("_v", vectors)):
        arr = getattr(p, name)
        assert arr.shape == (len(segs), 2) and arr.dtype == np.float64 and arr.flags.c_contiguous
        np.testing.assert_array_equal(arr, want)
    np.testing.assert_array_equal(p._v_dot_v, np.where(vdv <= 0, 1.0, vdv))
    assert p.coordinates.dtype == object and p.coordinates.tolist() == [r.tolist() for r in p.rings]
    pts = np.vstack(p.rings)
    np.testing.assert_array_equal(p.bbox, [pts.min(0), pts.max(0)] if pts.size else np.zeros((2, 2)))


def test_empty_polygon_and_multipolygon():
    for obj in (PolygonRGJ([]), PolygonRGJ(()), MultiPolygonRGJ([])):
        assert obj.points_in_line_pair.shape == (0, 2, 2) and obj._S == 0
        assert obj._p1.shape == (0, 2) and obj._v.shape == (0, 2) and obj._v_dot_v.shape == (0,)
        np.testing.assert_array_equal(obj.bbox, np.zeros((2, 2)))
        np.testing.assert_array_equal(obj.repulsion_vector(np.ones((3, 2))), np.zeros((3, 2)))
    assert PolygonRGJ([]).rings == [] and PolygonRGJ([]).coordinates.shape == (0,)
    assert PolygonRGJ([]).in_bbox([0, 0]) is True and PolygonRGJ([]).in_bbox([0, 1e-9]) is False
    assert MultiPolygonRGJ([]).polygons == [] and MultiPolygonRGJ([]).in_bbox([0, 0]) is False
    with pytest.raises(ValueError):
        MultiPolygonRGJ([]).get_center_point()
    m = MultiPolygonRGJ([[[2, 2], [3, 2], [3, 3]], [], [[[5, 5]]]])
    assert m._S == 3 and [q._S for q in m.polygons] == [3, 0, 0]
    np.testing.assert_array_equal(m.points_in_line_pair, m.polygons[0].points_in_line_pair)
    np.testing.assert_array_equal(m.bbox, [[0, 0], [5, 5]])  # the empty member's zero box counts


@pytest.mark.parametrize("cls", [PolygonRGJ, MultiPolygonRGJ])
def test_optional_dim_and_ignored_keywords(cls):
    obj = cls(coordinates=[] if cls is MultiPolygonRGJ else SQUARE, optional_dim=3, type="whatever", id=7)
    for name in ("repulsion", "inv_repulsion", "eye_repulsion"):
        np.testing.assert_array_equal(getattr(obj, name), np.eye(3))
    np.testing.assert_array_equal(obj.grad_matrix, 2 * np.eye(3))
    assert obj.properties == {}
    m = MultiPolygonRGJ(iter([[SQUARE], [TRIANGLE]]), type="MultiPolygon")  # any iterable of members
    assert m._S == 7 and len(m.polygons) == 2


def test_bad_coordinates_type_changes_nothing():
    p = PolygonRGJ([SQUARE, HOLE], repulsion=[[2, 0], [0, 1]], properties={"a": 1})
    before = {name: getattr(p, name) for name in POLY_MEMBERS}
    for bad in (None, {"a": 1}, "abc", (x for x in SQUARE), 3.5):
        with pytest.raises(TypeError, match=r"^Coordinates must be ndarray or list/tuple\.$"):
            p.__init__(bad)
        assert all(getattr(p, name) is value for name, value in before.items() if name != "_S")
        assert p._S == before["_S"]


def test_singular_repulsion_after_rings_replaced():
    p = PolygonRGJ(SQUARE)
    with pytest.raises(np.linalg.LinAlgError):
        p.__init__(HOLE, repulsion=[[1, 1], [1, 1]])
    np.testing.assert_array_equal(p.rings[0], HOLE + [[1, 1]])
    np.testing.assert_array_equal(p.repulsion, [[1, 1], [1, 1]])
    np.testing.assert_array_equal(p.bbox, [[0, 0], [4, 4]])  # the box comes last
    m = MultiPolygonRGJ([SQUARE])
    old = m.polygons
    with pytest.raises(np.linalg.LinAlgError):
        m.__init__([HOLE], repulsion=np.zeros((2, 2)))
    assert m.polygons is old
    with pytest.raises(np.linalg.LinAlgError):
        m.__init__([], repulsion=np.zeros((2, 2)))
    assert m.polygons == [] and not m.repulsion.any()


def test_set_repulsion_refreshes_metric_only():
    p = PolygonRGJ([SQUARE, HOLE])
    kept = {name: getattr(p, name) for name in ("rings", "_p1", "_v", "_v_dot_v", "points_in_line_pair", "bbox")}
    old_metric = p.metric
    m = np.array([[3.0, 1.0], [1.0, 2.0]])
    assert p.set_repulsion(new_repulsion=m) is None
    assert p.metric is not old_metric
    np.testing.assert_allclose(p.metric, np.linalg.inv(m))
    assert all(getattr(p, name) is value for name, value in kept.items())


def test_set_coordinates_keeps_repulsion_and_properties():
    props = {"name": "field"}
    p = PolygonRGJ(SQUARE, repulsion=[[2, 0], [0, 1]], properties=props)
    p.set_coordinates(HOLE)
    np.testing.assert_array_equal(p.rings[0], HOLE + [[1, 1]])
    np.testing.assert_array_equal(p.repulsion, [[2, 0], [0, 1]])
    assert p.properties is props

    m = MultiPolygonRGJ([SQUARE], properties=props)
    m.set_repulsion(np.diag([4.0, 0.5]))
    m.set_coordinates([[HOLE], [TRIANGLE]])
    assert len(m.polygons) == 2 and m.properties is props and m._S == 7
    for member in m.polygons:
        assert member.properties is props
        np.testing.assert_array_equal(member.repulsion, np.diag([4.0, 0.5]))
    own = MultiPolygonRGJ([[SQUARE], [HOLE]])  # no properties given: a new dict each
    assert own.properties is not own.polygons[0].properties is not own.polygons[1].properties

    class Recording(PolygonRGJ):
        def __init__(self, *args, **kwargs):
            self.seen = kwargs
            super().__init__(*args, **kwargs)
    r = Recording(SQUARE)
    r.set_coordinates(HOLE)
    assert sorted(r.seen) == ["coordinates", "properties", "repulsion"]


# -- repulsion_vector with a stub kernel module ------------------------------------------

class StubKernels:
    def __init__(self, inside):
        self.inside, self.calls = inside, []

    def point_in_rings(self, *args):
        self.calls.append(("point_in_rings", args))
        return np.array([int(self.inside(tuple(q))) for q in args[0]], dtype=np.int64)

    def segment_repulsion_vectors(self, *args):
        self.calls.append(("segment_repulsion_vectors", args))
        return args[0] * 10 + 1


@pytest.fixture
def stub(monkeypatch):
    kernels = StubKernels(lambda q: q[0] < 0)
    monkeypatch.setattr(poly_module, "kernels", kernels)
    return kernels


def test_only_outside_points_reach_the_segment_kernel(stub):
    p = PolygonRGJ([SQUARE, HOLE, TRIANGLE])
    x = [[-1, 0], [1, 2], [-3, 3], [5, 6], [2, 9]]
    out = p.repulsion_vector(x)
    (name, (xq, outer, holes)), (kname, args) = stub.calls
    assert name == "point_in_rings" and kname == "segment_repulsion_vectors"
    assert xq.dtype == np.float64 and np.array_equal(xq, x) and outer is p.rings[0]
    assert type(holes) is list and holes is not p.rings and len(holes) == 2
    assert holes[0] is p.rings[1] and holes[1] is p.rings[2]
    xo = args[0]
    assert xo.dtype == np.float64 and xo.flags.c_contiguous
    np.testing.assert_array_equal(xo, [[1, 2], [5, 6], [2, 9]])
    assert args[1] is p._p1 and args[2] is p._v and args[3] is p._v_dot_v and args[4] is p.metric
    np.testing.assert_array_equal(out, [[0, 0], [11, 21], [0, 0], [51, 61], [21, 91]])
    assert out.dtype == np.float64
    np.testing.assert_array_equal(p.repulsion_vector(x, False, scaled=True), out)


@pytest.mark.parametrize("coords, x, calls", [
    ([], [[1, 1]], []),
    ([[[1, 2]]], [[1, 1], [2, 2]], []),
    (SQUARE, [[-1, 1], [-2, 2]], ["point_in_rings"]),
    (SQUARE, np.zeros((0, 2)), ["point_in_rings"]),
])
def test_kernels_skipped_when_not_needed(stub, coords, x, calls):
    out = PolygonRGJ(coords).repulsion_vector(x)
    assert [name for name, _ in stub.calls] == calls
    assert out.shape == (len(x), 2) and not out.any()


def test_multipolygon_calls_segment_kernel_only(stub):
    m = MultiPolygonRGJ([[SQUARE], [TRIANGLE]], repulsion=[[2, 0], [0, 4]])
    out = m.repulsion_vector([-1, 3])
    [(name, args)] = stub.calls
    assert name == "segment_repulsion_vectors" and args[1] is m._p1 and args[3] is m._v_dot_v
    np.testing.assert_array_equal(args[4], np.diag([0.5, 0.25]))
    np.testing.assert_array_equal(out, [[-9, 31]])


# -- repulsion_vector numerics -----------------------------------------------------------

def random_polygon(rng):
    center = rng.uniform(-3, 3, 2)
    outer, hole = star(rng, center, 3.0, 5.0, 9), star(rng, center, 0.5, 1.5, 5)
    return outer, hole, ShapelyPolygon(outer, [hole])


@pytest.mark.parametrize("seed", range(6))
def test_euclidean_repulsion_matches_boundary_distance(seed):
    rng = np.random.default_rng(seed)
    outer, hole, shape = random_polygon(rng)
    x = rng.uniform(-9, 9, size=(400, 2))
    x = x[shapely.distance(shape.boundary, shapely.points(x)) > 1e-3]
    out = PolygonRGJ([outer.tolist(), hole]).repulsion_vector(x)
    inside = shapely.contains_xy(shape, x[:, 0], x[:, 1])
    assert inside.any() and (~inside).any()
    assert not out[inside].any()
    dist = shapely.distance(shape.boundary, shapely.points(x[~inside]))
    np.testing.assert_allclose(np.linalg.norm(out[~inside], axis=1), dist, rtol=1e-9)
    foot = shapely.points(x[~inside] - out[~inside])
    assert shapely.distance(shape.boundary, foot).max() < 1e-9


@pytest.mark.parametrize("seed", range(4))
def test_anisotropic_repulsion_matches_brute_force(seed):
    rng = np.random.default_rng(100 + seed)
    outer, hole, shape = random_polygon(rng)
    rot = np.linalg.qr(rng.normal(size=(2, 2)))[0]
    rep = rot @ np.diag(rng.uniform(0.1, 10.0, 2)) @ rot.T
    p = PolygonRGJ([outer, hole], repulsion=rep)
    m = MultiPolygonRGJ([[outer, hole], [[20, 20], [21, 20], [21, 22]]], repulsion=rep)
    x = rng.uniform(-9, 9, size=(300, 2))
    x = x[shapely.distance(shape.boundary, shapely.points(x)) > 1e-3]
    inside = shapely.contains_xy(shape, x[:, 0], x[:, 1])
    metric = np.linalg.inv(rep)
    want = nearest_segment_vectors(x, segments_of(p.rings), metric)
    got = p.repulsion_vector(x)
    np.testing.assert_allclose(got[~inside], want[~inside], atol=1e-12)
    assert not got[inside].any()
    multi_want = nearest_segment_vectors(x, segments_of(p.rings) + segments_of(m.polygons[1].rings), metric)
    multi_got = m.repulsion_vector(x)
    np.testing.assert_allclose(multi_got, multi_want, atol=1e-12)
    assert (np.abs(multi_got[inside]).sum(axis=1) > 0).all()


def test_unselected_forms():
    p = PolygonRGJ([SQUARE, HOLE])
    m = MultiPolygonRGJ([[SQUARE, HOLE], [[[6, 0], [7, 0], [7, 1]]]])
    x = np.array([[2.0, 2.0], [-1.0, 5.0], [6.5, 0.2]])
    np.testing.assert_array_equal(p.repulsion_vector(x, min_dist_select=False), p.repulsion_vector(x))
    out = m.repulsion_vector(x, min_dist_select=False)
    assert out.shape == (m._S * 3, 2) and m._S == 11
    segs = segments_of(m.polygons[0].rings) + segments_of(m.polygons[1].rings)
    np.testing.assert_allclose(out, all_segment_vectors(x, segs).reshape(-1, 2), atol=1e-12)
    np.testing.assert_allclose(m.repulsion_vector(x[1]), [[-1.0, 1.0]])
    np.testing.assert_array_equal(m.repulsion_vector([1.5, 2]), [[0.5, 0.0]])  # in the hole, nearest hole edge
    assert m.repulsion_vector(x[0], min_dist_select=0).shape == (11, 2)


# -- in_bbox -----------------------------------------------------------------------------

@pytest.mark.parametrize("x, expected", [([4, 4], True), ([0, 2], True), ([2, 2], True), ([4.0001, 2], False),
                                         ([[0, 0], [4, 4], [1, 3]], True), ([[0, 0], [5, 1]], False),
                                         ([[-1, 1], [1, 1]], False), (np.zeros((0, 2)), True)])
def test_in_bbox_inclusive_single_answer(x, expected):
    assert PolygonRGJ([SQUARE, HOLE]).in_bbox(x) is expected


def test_multipolygon_in_bbox_stops_at_first_member():
    class Member:
        def __init__(self, answer):
            self.answer, self.seen = answer, []

        def in_bbox(self, x):
            self.seen.append(x)
            return self.answer

    m = MultiPolygonRGJ([[SQUARE], [HOLE]])
    assert m.in_bbox([10, 10]) is False and m.in_bbox([[1, 1], [3, 3]]) is True
    members = [Member(0), Member(np.array([1])), Member(True)]
    m.polygons = members
    x = [[1, 2]]
    assert m.in_bbox(x) is True
    assert members[0].seen[0] is x and members[1].seen[0] is x and members[2].seen == []
    m.polygons = None
    with pytest.raises(TypeError):
        m.in_bbox(x)


def test_multipolygon_center_point():
    m = MultiPolygonRGJ([[SQUARE], [[[10, 4], [12, 4], [12, 8], [10, 8]]], [[[5, 0], [6, 0], [6, 1]]]])
    np.testing.assert_allclose(m.get_center_point(), [6.5, 3.25])


# -- RGeoJSON export ---------------------------------------------------------------------

@pytest.mark.parametrize("cls, coords", [(PolygonRGJ, [SQUARE, HOLE]),
                                         (MultiPolygonRGJ, [[SQUARE, HOLE], [[[6, 0], [7, 0], [7, 1]]], []])])
def test_json_round_trip(cls, coords):
    props = {"name": "zone"}
    obj = cls(coords, repulsion=[[2.0, 0.5], [0.5, 1.0]], properties=props)
    d = obj.toRGeoJSON()
    assert list(d) == ["type", "properties", "geometry"] and d["properties"] is props
    assert list(d["geometry"]) == ["type", "coordinates", "repulsion"] and d["geometry"]["type"] == cls.RGJType
    if cls is MultiPolygonRGJ:
        assert d["geometry"]["coordinates"] == [[r.tolist() for r in q.rings] for q in obj.polygons]
    g = json.loads(json.dumps(d))["geometry"]
    back = _RGJ_TYPES[g["type"]](**g)
    assert type(back) is cls
    np.testing.assert_array_equal(back.repulsion, obj.repulsion)
    np.testing.assert_array_equal(back.points_in_line_pair, obj.points_in_line_pair)
    pairs = zip(back.polygons, obj.polygons) if cls is MultiPolygonRGJ else [(back, obj)]
    for a, b in pairs:
        assert len(a.rings) == len(b.rings)
        for ra, rb in zip(a.rings, b.rings):
            np.testing.assert_array_equal(ra, rb)
    assert obj.toRGeoJSON() == d


def test_polygon_export_closes_open_ring():
    d = PolygonRGJ([[0, 0], [1, 0], [1, 1]]).toRGeoJSON()
    assert d["geometry"]["coordinates"] == [TRIANGLE]
    assert d["geometry"]["repulsion"] == [[1.0, 0.0], [0.0, 1.0]]
    with pytest.raises(TypeError):
        PolygonRGJ(SQUARE).toRGeoJSON(indent=2)

    class Zone(MultiPolygonRGJ):
        RGJType = "Zone"
    assert Zone([[SQUARE]]).toRGeoJSON()["geometry"]["type"] == "Zone"


# -- attributes, methods, module ---------------------------------------------------------

class ListChild(list):
    pass


@pytest.mark.parametrize("cls, coords, name", [(PolygonRGJ, SQUARE, "rings"), (MultiPolygonRGJ, [SQUARE], "polygons")])
def test_list_and_index_attributes(cls, coords, name):
    obj = cls(coords)
    old = getattr(obj, name)
    for bad, type_name in ((tuple(old), "tuple"), (ListChild(old), "ListChild"), ({}, "dict")):
        with pytest.raises(TypeError, match=rf"^Expected list, got {type_name}$"):
            setattr(obj, name, bad)
        assert getattr(obj, name) is old
    setattr(obj, name, None)
    assert getattr(obj, name) is None
    fresh = []
    setattr(obj, name, fresh)
    assert getattr(obj, name) is fresh
    delattr(obj, name)
    assert getattr(obj, name) is None
    for value, stored in ((True, 1), (np.int64(7), 7), (-2, -2)):
        obj._S = value
        assert obj._S == stored and type(obj._S) is int
    for bad in (2.5, "3", None):
        with pytest.raises(TypeError):
            obj._S = bad
        assert obj._S == -2
    with pytest.raises(OverflowError):
        obj._S = 2 ** 80
    with pytest.raises(NotImplementedError, match="^__del__$"):
        del obj._S
    obj._p1 = "anything"
    assert obj._p1 == "anything"
    del obj._v_dot_v
    assert obj._v_dot_v is None


@pytest.mark.parametrize("cls, names", [
    (PolygonRGJ, ["_build_segment_cache", "set_coordinates", "set_repulsion", "in_bbox", "repulsion_vector",
                  "toRGeoJSON"]),
    (MultiPolygonRGJ, ["set_coordinates", "in_bbox", "get_center_point", "repulsion_vector", "toRGeoJSON"])])
def test_class_dictionaries(cls, names):
    assert [n for n in cls.__dict__ if n in names] == names
    for name in names:
        assert cls.__dict__[name].__qualname__ == f"{cls.__name__}.{name}"
        assert cls.__dict__[name].__module__ == "orvo.field.geometry.polygon"
    assert cls.repulsion_vector.__defaults__ == (True,)
    assert "__reduce_cython__" in cls.__dict__ and "__setstate_cython__" in cls.__dict__


def test_classes_and_module_namespace():
    assert PolygonRGJ.RGJType == "Polygon" and MultiPolygonRGJ.RGJType == "MultiPolygon"
    assert _RGJ_TYPES["Polygon"] is PolygonRGJ and _RGJ_TYPES["MultiPolygon"] is MultiPolygonRGJ
    assert PolygonRGJ.__bases__ == (RGJGeometry,) and MultiPolygonRGJ.__bases__ == (MultiRGJGeometry,)
    assert PolygonRGJ.__doc__ is None
    assert poly_module.np is np and poly_module.kernels is orvo.field.kernels
    assert poly_module.__test__ == {} and poly_module.__doc__ == "PolygonRGJ / MultiPolygonRGJ."
    assert "set_repulsion" not in MultiPolygonRGJ.__dict__ and MultiPolygonRGJ([]).coordinates is None
    bare = PolygonRGJ.__new__(PolygonRGJ)
    assert bare._S == 0 and all(getattr(bare, n) is None for n in ("rings", "metric", "_p1", "points_in_line_pair"))
    assert not hasattr(bare, "__dict__")
    p = PolygonRGJ(SQUARE)
    del p.metric, p.rings
    assert p.metric is None and p.rings is None


# -- pickling ----------------------------------------------------------------------------

def _make_polygon():
    return PolygonRGJ([SQUARE, HOLE], repulsion=[[2.0, 0.3], [0.3, 1.0]], properties={"k": [1, 2]})


def _make_multi():
    return MultiPolygonRGJ([[SQUARE, HOLE], [[[6, 0], [7, 0], [7, 1]]]], repulsion=np.diag([2.0, 3.0]),
                           properties={"k": 1})


@pytest.mark.parametrize("make, members, checksum", [(_make_polygon, POLY_MEMBERS, 0x5381b98),
                                                     (_make_multi, MULTI_MEMBERS, 0xe734440)])
def test_reduce_value(make, members, checksum):
    obj = make()
    fn, args, state = obj.__reduce__()
    assert fn is getattr(poly_module, f"__pyx_unpickle_{type(obj).__name__}")
    assert args == (type(obj), checksum, None) and len(state) == len(members)
    for name, item in zip(members, state):
        assert item is getattr(obj, name) if name != "_S" else (item == obj._S and type(item) is int)


@pytest.mark.parametrize("make", [_make_polygon, _make_multi])
@pytest.mark.parametrize("how", ["pickle", "copy", "deepcopy"])
def test_round_trips(make, how):
    obj = make()
    clone = {"pickle": lambda o: pickle.loads(pickle.dumps(o)), "copy": copy.copy, "deepcopy": copy.deepcopy}[how](obj)
    assert type(clone) is type(obj) and clone is not obj
    members = POLY_MEMBERS if isinstance(obj, PolygonRGJ) else MULTI_MEMBERS
    for name in members:
        if name in ("rings", "polygons"):
            continue
        a, b = getattr(obj, name), getattr(clone, name)
        assert (a is b) == (how == "copy") or name == "_S" or a is None
        if isinstance(a, np.ndarray):
            np.testing.assert_array_equal(a, b)
        else:
            assert a == b
    x = np.array([[-1.0, 2.0], [2.0, 2.0], [6.6, 0.5], [9.0, 9.0]])
    np.testing.assert_array_equal(clone.repulsion_vector(x), obj.repulsion_vector(x))
    if isinstance(obj, MultiPolygonRGJ):
        assert all(type(q) is PolygonRGJ for q in clone.polygons)
        for a, b in zip(obj.polygons, clone.polygons):
            np.testing.assert_array_equal(a.rings[0], b.rings[0])
            np.testing.assert_array_equal(a.repulsion_vector(x), b.repulsion_vector(x))


@pytest.mark.parametrize("cls, accepted, member_text", [
    (PolygonRGJ, (0x5381b98, 0x1976dbf, 0xbdeaa06), ", ".join(POLY_MEMBERS)),
    (MultiPolygonRGJ, (0xe734440, 0xc1cbf44, 0xd9d07e6), ", ".join(MULTI_MEMBERS))])
def test_checksums(cls, accepted, member_text):
    restore = getattr(poly_module, f"__pyx_unpickle_{cls.__name__}")
    for checksum in accepted:
        bare = restore(cls, checksum, None)
        assert type(bare) is cls and bare._S == 0
    text = "Incompatible checksums (0x1 vs (0x%x, 0x%x, 0x%x) = (%s))" % (*accepted, member_text)
    with pytest.raises(pickle.PickleError) as info:
        restore(cls, 1, None)
    assert str(info.value) == text


def test_setstate_partial_writes():
    p = _make_polygon()
    state = list(p.__reduce__()[2])
    state[-1] = tuple(state[-1])
    bare = PolygonRGJ.__new__(PolygonRGJ)
    with pytest.raises(TypeError, match="^Expected list, got tuple$"):
        bare.__setstate__(tuple(state))
    assert bare._S == p._S and bare.metric is p.metric and bare.repulsion is p.repulsion and bare.rings is None
    for value, stored in ((True, 1), (np.int64(4), 4)):
        state = list(p.__reduce__()[2])
        state[0] = value
        bare.__setstate__(tuple(state))
        assert bare._S == stored and bare.rings is p.rings
    state[0] = 2.5
    with pytest.raises(TypeError):
        bare.__setstate__(tuple(state))
    assert bare._S == 4

    m = _make_multi()
    state = list(m.__reduce__()[2])
    state[10] = tuple(state[10])
    bare = MultiPolygonRGJ.__new__(MultiPolygonRGJ)
    with pytest.raises(TypeError, match="^Expected list, got tuple$"):
        bare.__setstate__(tuple(state))
    assert bare._S == m._S and bare.points_in_line_pair is m.points_in_line_pair
    assert bare.inv_repulsion is m.inv_repulsion
    assert bare.polygons is None and bare.properties is not m.properties and bare.repulsion is not m.repulsion
