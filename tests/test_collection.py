"""GeometryCollectionRGJ: construction from geometry dictionaries, member forwarding, field evaluation,
export, pickling and bad member input."""

import copy
import json
import pickle
import subprocess
import sys
import textwrap
from types import MappingProxyType

import numpy as np
import pytest

from orvo.field.geometry import GeometryCollectionRGJ as C
from orvo.field.geometry import _RGJ_TYPES
from orvo.field.geometry import collection as cm

MEMBERS = ("bbox", "coordinates", "eye_repulsion", "grad_matrix", "grad_matrixes", "inv_repulsion",
           "inv_repulsions", "properties", "repulsion", "rgjs")
METHODS = ("set_coordinates", "set_repulsion", "in_bbox", "get_dist_matrix", "get_center_point", "squared_dist",
           "repulsion_vector", "gradient", "toRGeoJSON")
ANISO = [[2.0, 0.6], [0.6, 0.8]]


def pt(x, y, **kw):
    return {"type": "Point", "coordinates": [x, y], **kw}


def line(*points, **kw):
    return {"type": "LineString", "coordinates": [list(p) for p in points], **kw}


def poly(*points, **kw):
    return {"type": "Polygon", "coordinates": [[list(p) for p in points]], **kw}


SIX_KINDS = [
    pt(0.0, 0.0, repulsion=ANISO),
    {"type": "MultiPoint", "coordinates": [[5, 5], [6, 5.5]]},
    line((10, 0), (12, 0), (12, 3), properties={"kind": "road"}),
    {"type": "MultiLineString", "coordinates": [[[0, 10], [1, 10]], [[3, 10], [3, 12]]],
     "repulsion": [[0.5, 0.0], [0.0, 2.0]]},
    poly((20, 0), (22, 0), (22, 2), (20, 2)),
    {"type": "MultiPolygon", "coordinates": [[[[30, 0], [31, 0], [31, 1]]], [[[30, 5], [31, 5], [31, 6]]]]},
]
FEATURES = {"type": "FeatureCollection",
            "features": [{"type": "Feature", "properties": {"id": k}, "geometry": g} for k, g in enumerate(SIX_KINDS)]}


def every_type(**kw):
    return C(geometries=[copy.deepcopy(f["geometry"]) for f in FEATURES["features"]], properties={"n": 6}, **kw)


def query_points(n=40, seed=0, lo=-2.0, hi=33.0):
    return np.random.default_rng(seed).uniform(lo, hi, (n, 2))


def answers(c, x):
    """Every query a collection answers, for comparing two collections."""
    dist, idx = c.squared_dist(x, return_reference=True)
    return {"squared_dist": c.squared_dist(x), "dist": dist, "idx": idx, "vectors": c.repulsion_vector(x),
            "gradient": c.gradient(x), "eval": c.eval(x), "dist_matrix": c.get_dist_matrix(),
            "plain": c.get_dist_matrix(scaled=False), "center": c.get_center_point(), "bbox": c.bbox,
            "in_bbox": c.in_bbox(np.array([0.0, 0.0])), "export": json.dumps(c.toRGeoJSON())}


def assert_same_answers(a, b, x):
    got, want = answers(a, x), answers(b, x)
    for key in want:
        np.testing.assert_array_equal(got[key], want[key], err_msg=key)


class Stub:
    """A member that records the calls the collection makes on it."""

    def __init__(self, log, inside=False, dist=1.0, vec=(1.0, 0.0)):
        self.log, self.inside, self.dist, self.vec = log, inside, dist, vec

    def in_bbox(self, x):
        self.log.append((self, x))
        return self.inside

    def squared_dist(self, x, *args, **kw):
        self.log.append(("squared_dist", args, kw))
        return np.full(len(x), self.dist)

    def repulsion_vector(self, x, *args, **kw):
        self.log.append(("repulsion_vector", args, kw))
        return np.tile(self.vec, (len(x), 1))


# -- bad member dictionaries: first in a separate interpreter, then in-process ------------------------------------

GOOD = "{'type': 'Point', 'coordinates': [9, 9]}"
BAD_MEMBERS = {
    "missing type": ("{'coordinates': [0, 0]}", KeyError),
    "unknown type": ("{'type': 'Circle', 'coordinates': [0, 0]}", KeyError),
    "unhashable type": ("{'type': ['Point'], 'coordinates': [0, 0]}", TypeError),
    "three numbers": ("{'type': 'Point', 'coordinates': [1, 2, 3]}", ValueError),
    "polygon None": ("{'type': 'Polygon', 'coordinates': None}", TypeError),
    "line of text": ("{'type': 'LineString', 'coordinates': 'abc'}", ValueError),
    "empty multi-line": ("{'type': 'MultiLineString', 'coordinates': []}", ValueError),
    "singular repulsion": ("{'type': 'Point', 'coordinates': [0, 0], 'repulsion': [[1, 2], [2, 4]]}",
                           np.linalg.LinAlgError),
    "no coordinates": ("{'type': 'Point'}", TypeError),
    "non-string key": ("{'type': 'Point', 'coordinates': [0, 0], 1: 2}", TypeError),
    "int entry": ("5", TypeError),
    "string entry": ("'Point'", TypeError),
    "list of pairs": ("[('type', 'Point'), ('coordinates', [0, 0])]", TypeError),
    "None entry": ("None", TypeError),
}


def test_bad_members_do_not_crash_the_interpreter():
    code = f"""
        from orvo.field.geometry import GeometryCollectionRGJ as C
        import numpy as np
        old = C([{GOOD}])
        for expr in {[expr for expr, _ in BAD_MEMBERS.values()]!r}:
            for c, before in ((C.__new__(C), None), (old, old.rgjs)):
                try:
                    c.__init__([{GOOD}, eval(expr)])
                except Exception as e:
                    print(type(e).__name__, c.rgjs is before)
    """
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[:-1] == [f"{exc.__name__} True" for _, exc in BAD_MEMBERS.values() for _ in "ab"]


@pytest.mark.parametrize("expr, exc", BAD_MEMBERS.values(), ids=BAD_MEMBERS.keys())
def test_bad_member_raises_and_keeps_members(expr, exc):
    fresh = C.__new__(C)
    with pytest.raises(exc) as err:
        fresh.__init__([eval(GOOD), eval(expr)])
    assert fresh.rgjs is None
    if exc is KeyError:  # the missing key, or the unknown type name
        assert err.value.args == (eval(expr).get("type", "type"),)
    c = C([pt(1, 1), line((0, 0), (2, 0))])
    kept = (c.rgjs, list(c.rgjs), c.inv_repulsions, c.grad_matrixes, c.bbox)
    with pytest.raises(exc):
        c.__init__([eval(GOOD), eval(expr)])
    assert c.rgjs is kept[0] and c.rgjs == kept[1]
    assert c.inv_repulsions is kept[2] and c.grad_matrixes is kept[3] and c.bbox is kept[4]


# -- construction -------------------------------------------------------------------------------------------------

def test_geometries_from_any_iterable_and_mapping_with_extra_keywords_ignored():
    dicts = [pt(1, 2), MappingProxyType(line((0, 0), (3, 0))), poly((5, 5), (6, 5), (6, 6))]
    for geometries in (dicts, tuple(dicts), (g for g in dicts)):
        c = C(geometries, None, type="GeometryCollection", colour="red")
        assert type(c.rgjs) is list
        assert [type(m).__name__ for m in c.rgjs] == ["PointRGJ", "LineStringRGJ", "PolygonRGJ"]
        assert c.properties == {} and c.inv_repulsions.shape == c.grad_matrixes.shape == (3, 2, 2)
        np.testing.assert_array_equal(c.bbox, [[0, 0], [6, 6]])
    with pytest.raises(TypeError, match="multiple values for keyword argument 'geometries'"):
        C([pt(0, 0)], geometries=[])


def test_empty_geometries_set_empty_stacks_then_fail_keeping_bbox():
    c = C([pt(1, 2)])
    old_bbox = c.bbox
    with pytest.raises(ValueError):
        c.__init__([])
    assert c.rgjs == [] and c.inv_repulsions.shape == (0,) and c.grad_matrixes.shape == (0,)
    assert c.bbox is old_bbox


ONE_MEMBER = {
    "point": (pt(3, -1), [[3, -1], [3, -1]]),
    "multipoint": ({"type": "MultiPoint", "coordinates": [[0, 4], [2, 1], [-1, 3]]}, [[-1, 1], [2, 4]]),
    "line": (line((0, 0), (4, 2), (1, 5)), [[0, 0], [4, 5]]),
    "multiline": ({"type": "MultiLineString", "coordinates": [[[0, 0], [1, 0]], [[5, 5], [5, 6]]]},
                  [[0, 0], [5, 6]]),
    "polygon": (poly((1, 1), (3, 1), (2, 4)), [[1, 1], [3, 4]]),
    "multipolygon": ({"type": "MultiPolygon", "coordinates": [[[[0, 0], [1, 0], [1, 1]]], [[[4, 4], [5, 4], [5, 7]]]]},
                     [[0, 0], [5, 7]]),
}


@pytest.mark.parametrize("geometry, box", ONE_MEMBER.values(), ids=ONE_MEMBER.keys())
def test_one_member_bbox_and_center(geometry, box):
    c = C([geometry])
    assert c.bbox.shape == (2, 2)
    np.testing.assert_array_equal(c.bbox, box)
    center = c.get_center_point()
    assert center.shape == (2,) and center.dtype == np.float64
    np.testing.assert_allclose(center, np.asarray(c.rgjs[0].get_center_point(), float).reshape(2))


def test_in_bbox_stops_at_first_true_member():
    c, log, x = C([pt(0, 0)]), [], object()
    c.rgjs = [Stub(log, inside=0), Stub(log, inside="yes"), Stub(log, inside=True)]
    assert c.in_bbox(x) is True
    assert log == [(c.rgjs[0], x), (c.rgjs[1], x)]
    c.rgjs = [Stub(log), Stub(log, inside=[])]
    assert c.in_bbox(x) is False and log[2:] == [(c.rgjs[0], x), (c.rgjs[1], x)]
    c.rgjs = []
    assert c.in_bbox(x) is False


def test_set_repulsion_forwards_and_refreshes_stacks():
    c = every_type()
    r = np.array([[1.5, 0.3], [0.3, 0.7]])
    assert c.set_repulsion(r) is None
    inv = np.linalg.inv(r)
    for member in c.rgjs:
        np.testing.assert_allclose(member.repulsion, r)
    np.testing.assert_allclose(c.inv_repulsions, [inv] * 6)
    np.testing.assert_allclose(c.grad_matrixes, [inv + inv.T] * 6)


def test_assigned_stacks_are_stored_and_used():
    c = C([pt(0, 0), pt(3, 0)])
    x = np.array([[1.0, 0.0]])
    np.testing.assert_array_equal(c.repulsion_vector(x), [[1.0, 0.0]])
    marker = object()
    c.grad_matrixes = marker
    assert c.grad_matrixes is marker and c.inv_repulsions.shape == (2, 2, 2)
    weights = np.array([100 * np.eye(2), np.eye(2)])
    c.inv_repulsions = weights
    assert c.inv_repulsions is weights and c.grad_matrixes is marker
    np.testing.assert_array_equal(c.repulsion_vector(x), [[-2.0, 0.0]])
    c.grad_matrixes = np.zeros((2, 2, 2))
    np.testing.assert_array_equal(c.gradient(x), [[0.0, 0.0]])


def test_rgjs_accepts_exactly_list_or_none():
    c = C([pt(0, 0)])
    kept = c.rgjs
    for bad in (tuple(kept), type("L", (list,), {})(kept), {0: kept[0]}):
        with pytest.raises(TypeError, match=f"^Expected list, got {type(bad).__name__}$"):
            c.rgjs = bad
        assert c.rgjs is kept
    c.rgjs = None
    assert c.rgjs is None


@pytest.mark.parametrize("call", [
    lambda c: c.in_bbox([0, 0]), lambda c: c.get_dist_matrix(), lambda c: c.get_center_point(),
    lambda c: c.squared_dist([[0, 0]]), lambda c: c.repulsion_vector([[0, 0]]), lambda c: c.gradient([[0, 0]]),
    lambda c: c.toRGeoJSON(), lambda c: c.set_repulsion(np.eye(2)),
], ids=["in_bbox", "get_dist_matrix", "get_center_point", "squared_dist", "repulsion_vector", "gradient",
        "toRGeoJSON", "set_repulsion"])
def test_deleted_members_make_methods_fail(call):
    c = C([pt(0, 0)])
    del c.rgjs
    assert c.rgjs is None
    with pytest.raises(TypeError, match="^'NoneType' object is not iterable$"):
        call(c)


def test_export_shares_properties_and_drops_member_properties():
    c = every_type()
    out = c.toRGeoJSON()
    assert list(out) == ["type", "properties", "geometry"] and out["type"] == "Feature"
    assert out["properties"] is c.properties
    assert list(out["geometry"]) == ["type", "geometries"] and out["geometry"]["type"] == "GeometryCollection"
    assert c.rgjs[2].properties == {"kind": "road"}
    for member, g in zip(c.rgjs, out["geometry"]["geometries"], strict=True):
        assert "properties" not in g and g["type"] == member.RGJType
        assert json.dumps(g) == json.dumps(member.toRGeoJSON()["geometry"])
    renamed = type("Renamed", (C,), {"RGJType": "Group"})([pt(0, 0)])
    assert renamed.toRGeoJSON()["geometry"]["type"] == "Group"


@pytest.mark.parametrize("arg", [None, [[0, 0]], np.zeros((3, 2))])
def test_set_coordinates_is_refused_and_changes_nothing(arg):
    c = every_type()
    before = c.__reduce__()[2]
    with pytest.raises(NotImplementedError) as err:
        c.set_coordinates(arg)
    assert err.value.args == ()
    assert all(a is b for a, b in zip(c.__reduce__()[2], before, strict=True))


# -- field evaluation ---------------------------------------------------------------------------------------------

def test_two_point_members_ties_and_member_major_vectors():
    x = np.array([[0.0, 0.0], [0.0, 3.0], [0.5, 0.0]])
    out = C([pt(0, 0), pt(5, 1)]).repulsion_vector(x, min_dist_select=False)
    np.testing.assert_array_equal(out, np.vstack([x - [0, 0], x - [5, 1]]))
    dist, idx = C([pt(-1, 0), pt(1, 0)]).squared_dist(x, return_reference=True)
    np.testing.assert_allclose(dist, [1.0, 10.0, 0.25])
    np.testing.assert_array_equal(idx, [0, 0, 1])
    dist, idx = C([pt(1, 0), pt(-1, 0)]).squared_dist(x, return_reference=1)
    np.testing.assert_array_equal(idx, [0, 0, 0])
    np.testing.assert_allclose(C([pt(1, 0), pt(-1, 0)]).squared_dist(x, return_reference=0), [1.0, 10.0, 0.25])


def test_squared_dist_extra_keywords_stay_with_the_collection():
    c, log, x = C([pt(0, 0)]), [], np.zeros((3, 2))
    c.rgjs = [Stub(log, dist=4.0), Stub(log, dist=2.0)]
    plain = c.squared_dist(x, "S", "I")
    extra = c.squared_dist(x, "S", "I", colour="red", min_dist_select=False)
    np.testing.assert_array_equal(plain, extra)
    np.testing.assert_array_equal(extra, [2.0, 2.0, 2.0])
    assert log == [("squared_dist", (), {"scaled": "S", "inverted": "I"})] * 4


@pytest.mark.parametrize("select", [True, False])
def test_repulsion_vector_passes_extra_keywords_to_members(select):
    c, log, x = C([pt(0, 0)]), [], np.zeros((3, 2))
    c.rgjs = [Stub(log, vec=(1.0, 0.0)), Stub(log, vec=(0.0, 0.5))]
    out = c.repulsion_vector(x, select, colour="red")
    assert log == [("repulsion_vector", (), {"min_dist_select": select, "colour": "red"})] * 2
    want = [[0.0, 0.5]] * 3 if select else [[1.0, 0.0]] * 3 + [[0.0, 0.5]] * 3
    np.testing.assert_array_equal(out, want)


def test_gradient_is_zero_where_field_vanishes():
    c = C([pt(0, 0), line((0, 5), (3, 5))])
    x = np.array([[100.0, 0.0], [0.0, -200.0], [0.5, 0.5]])
    assert c.eval(x)[0] == c.eval(x)[1] == 0.0
    g = c.gradient(x)
    np.testing.assert_array_equal(g[:2], 0.0)
    assert np.all(g[2] != 0.0)


class Recording(C):
    """Records the calls gradient makes on the collection itself."""

    sd_result = None

    def squared_dist(self, x, *args, **kw):
        self.log.append(("squared_dist", kw))
        return self.sd_result if self.sd_result is not None else super().squared_dist(x, *args, **kw)

    def repulsion_vector(self, x, *args, **kw):
        self.log.append(("repulsion_vector", kw))
        return super().repulsion_vector(x, *args, **kw)

    def eval(self, *args, **kw):
        self.log.append(("eval", args, list(kw)))
        return np.full((1, len(kw["x"])), 2.0)


def test_gradient_call_order_and_formula():
    c = Recording([pt(0, 0), pt(4, 0, repulsion=ANISO)])
    c.log = []
    x = np.array([[1.0, 1.0], [3.0, 0.5]])
    g = c.gradient(x, colour="red")
    assert c.log == [("squared_dist", {"return_reference": True, "colour": "red"}),
                     ("repulsion_vector", {"min_dist_select": True, "colour": "red"}), ("eval", (), ["x"])]
    inv = np.linalg.inv(ANISO)
    np.testing.assert_allclose(g, [-2.0 * 2 * (x[0] - [0, 0]), -2.0 * (inv + inv.T) @ (x[1] - [4, 0])])
    for key, calls in (("return_reference", []), ("min_dist_select", ["squared_dist"])):
        c.log = []
        with pytest.raises(TypeError, match=f"^function\\(\\) got multiple values for keyword argument '{key}'$"):
            c.gradient(x, **{key: True})
        assert [entry[0] for entry in c.log] == calls


@pytest.mark.parametrize("result, message", [
    ((1, 2, 3), r"^too many values to unpack \(expected 2\)$"),
    ((np.zeros(2),), "^need more than 1 value to unpack$"),
    ((), "^need more than 0 values to unpack$"),
])
def test_gradient_needs_a_pair_from_squared_dist(result, message):
    c = Recording([pt(0, 0)])
    c.log, c.sd_result = [], result
    with pytest.raises(ValueError, match=message):
        c.gradient(np.zeros((2, 2)))
    assert [entry[0] for entry in c.log] == ["squared_dist"]
    c.sd_result = iter([None, np.zeros(2, int)])
    assert c.gradient(np.ones((2, 2))).shape == (2, 2)


def test_method_signatures_and_module_namespace():
    assert cm.__doc__ == "GeometryCollectionRGJ." and cm.__test__ == {} and cm.np is np
    assert not hasattr(cm, "kernels") and C.RGJType == "GeometryCollection" and _RGJ_TYPES["GeometryCollection"] is C
    assert [name for name in vars(C) if name in METHODS] == list(METHODS)
    defaults = {"get_dist_matrix": (True, True), "squared_dist": (True, True, False), "repulsion_vector": (True,)}
    for name in METHODS:
        method = vars(C)[name]
        assert method.__qualname__ == f"GeometryCollectionRGJ.{name}"
        assert method.__module__ == "orvo.field.geometry.collection"
        assert method.__defaults__ == defaults.get(name)


# -- end to end ---------------------------------------------------------------------------------------------------

def test_typical_use_on_a_feature_collection():
    c = every_type()
    assert [type(m).RGJType for m in c.rgjs] == [g["type"] for g in SIX_KINDS]
    got = answers(c, query_points(25))
    assert {k: np.shape(v) for k, v in got.items() if k != "export"} == {
        "squared_dist": (25,), "dist": (25,), "idx": (25,), "vectors": (25, 2), "gradient": (25, 2), "eval": (25,),
        "dist_matrix": (6, 2, 2), "plain": (6, 2, 2), "center": (2,), "bbox": (2, 2), "in_bbox": ()}
    assert got["idx"].dtype.kind == "i" and all(got[k].dtype == np.float64 for k in ("vectors", "gradient", "eval"))
    np.testing.assert_array_equal(got["dist"], got["squared_dist"])
    np.testing.assert_array_equal(got["bbox"], [[0, 0], [31, 12]])
    assert got["in_bbox"] is True and np.all(np.isfinite(got["gradient"]))


def chains_of(g):
    """Vertex chains of a geometry dictionary: closed rings for polygons, a doubled vertex for each point."""
    kind, coords = g["type"], g["coordinates"]
    if kind in ("Point", "MultiPoint"):
        return [[p, p] for p in (coords if kind == "MultiPoint" else [coords])]
    if kind in ("Polygon", "MultiPolygon"):
        return [r + r[:1] for p in (coords if kind == "MultiPolygon" else [coords]) for r in p]
    return coords if kind == "MultiLineString" else [coords]


def smooth_points(x, geometries, repulsion=None):
    """The query points away from kinks and inside no polygon, their squared distances and nearest members.

    Every segment (a point is one of length zero) gives the quadratic form of x minus its clipped projection
    under the member's inverse repulsion; a point is kept when the smallest form is clearly the only smallest.
    """
    cols, owner, inside = [], [], np.zeros(len(x), bool)
    for m, g in enumerate(geometries):
        a = np.linalg.inv(repulsion if repulsion is not None else g.get("repulsion", np.eye(2)))
        for chain in chains_of(g):
            r = np.asarray(chain, float)
            if "Polygon" in g["type"]:  # counter-clockwise convex rings
                e = r[1:] - r[:-1]
                inside |= ((e[:, 0] * (x[:, None, 1] - r[:-1, 1]) - e[:, 1] * (x[:, None, 0] - r[:-1, 0])) > 0).all(1)
            for p, v in zip(r[:-1], r[1:] - r[:-1]):
                t = np.clip((x - p) @ v / (v @ v if v @ v > 0 else 1.0), 0.0, 1.0)
                d = x - (p + t[:, None] * v)
                cols.append(np.einsum("ni,ij,nj->n", d, a, d))
                owner.append(m)
    d = np.array(cols).T
    two = np.sort(d, axis=1)[:, :2]
    keep = (two[:, 0] > 1e-2) & (two[:, 1] - two[:, 0] > 1e-3) & ~inside
    return x[keep], d[keep].min(1), np.array(owner)[d[keep].argmin(1)]


def fd_gradient(c, x, h=1e-6):
    return np.stack([(c.eval(x + s) - c.eval(x - s)) / (2 * h) for s in np.eye(2) * h], axis=1)


D1, D2 = [[2.0, 0.0], [0.0, 0.5]], [[0.6, 0.0], [0.0, 1.7]]
POINTS = [pt(0, 0), pt(2, 1), pt(1, 3), pt(3.5, 2.5)]
AXIS_LINES = [line((0, 0), (3, 0), (3, 2)), line((0, 1), (0, 4)), line((1, 2), (2, 2), (2, 4))]
FD_CASES = {
    "points": (POINTS, None),
    "lines": ([line((0, 0), (2, 1), (3, 3)), line((4, 0), (4, 2)), line((0, 4), (1, 2.5))], None),
    "polygons": ([poly((0, 0), (2, 0), (1, 1.5)), poly((3, 2), (4, 2), (4, 3), (3, 3)),
                  poly((0, 3), (1, 2.8), (1.5, 4))], None),
    "multilines": ([{"type": "MultiLineString", "coordinates": [[[0, 0], [1, 2]], [[2, 0], [3, 1], [3, 3]]]},
                    {"type": "MultiLineString", "coordinates": [[[0, 4], [2, 4]], [[4, 4], [4.5, 1]]]}], None),
    "mixed": ([pt(0, 0), line((2, 0), (4, 1)), poly((0, 2), (1.5, 2), (1, 3.5)),
               {"type": "MultiLineString", "coordinates": [[[3, 3], [4, 4]]]},
               {"type": "MultiPolygon", "coordinates": [[[[3, 2], [3.5, 2], [3.5, 2.5]]]]}], None),
    "anisotropic points": ([pt(0, 0, repulsion=ANISO), pt(2, 1, repulsion=[[0.7, -0.2], [-0.2, 1.5]]),
                            pt(1, 3), pt(3.5, 2.5, repulsion=ANISO)], None),
    "axis-parallel lines": ([dict(AXIS_LINES[0], repulsion=D1), dict(AXIS_LINES[1], repulsion=D2), AXIS_LINES[2]],
                            None),
    "points after set_repulsion": (POINTS, ANISO),
    "axis-parallel lines after set_repulsion": (AXIS_LINES, D1),
}


@pytest.mark.parametrize("geometries, repulsion", FD_CASES.values(), ids=FD_CASES.keys())
def test_gradient_matches_finite_differences(geometries, repulsion):
    c = C(copy.deepcopy(geometries))
    if repulsion is not None:
        c.set_repulsion(repulsion)
    x, d, nearest = smooth_points(query_points(600, seed=1, lo=-1.0, hi=5.0), geometries, repulsion)
    assert len(x) >= 100
    np.testing.assert_allclose(c.eval(x), np.exp(-d), rtol=1e-9)
    np.testing.assert_array_equal(c.squared_dist(x, return_reference=True)[1], nearest)
    g, fd = c.gradient(x), fd_gradient(c, x)
    err = np.linalg.norm(g - fd, axis=1) / np.linalg.norm(fd, axis=1)
    assert err.max() < 1e-5, x[err.argmax()]


def test_multipoint_vectors_point_to_the_member_so_the_gradient_flips_sign():
    geometries = [{"type": "MultiPoint", "coordinates": [[0, 0], [2, 1], [1, 3]], "repulsion": ANISO}]
    c = C(copy.deepcopy(geometries))
    x = smooth_points(query_points(300, seed=2, lo=-1.0, hi=4.0), geometries)[0]
    np.testing.assert_allclose(c.gradient(x), -fd_gradient(c, x), rtol=1e-5, atol=1e-9)


# -- export and pickling round trips ------------------------------------------------------------------------------

def test_export_is_json_and_rebuilds_an_equal_collection():
    c = every_type()
    text = json.dumps(c.toRGeoJSON())
    rebuilt = C(**json.loads(text)["geometry"])
    assert [type(m) for m in rebuilt.rgjs] == [type(m) for m in c.rgjs]
    np.testing.assert_allclose(rebuilt.inv_repulsions, c.inv_repulsions)
    np.testing.assert_allclose(rebuilt.grad_matrixes, c.grad_matrixes)
    x = query_points(60, seed=3)
    for name in ("squared_dist", "repulsion_vector", "gradient", "eval"):
        np.testing.assert_allclose(getattr(rebuilt, name)(x), getattr(c, name)(x), rtol=1e-12, err_msg=name)
    assert json.dumps(rebuilt.toRGeoJSON()["geometry"]) == json.dumps(json.loads(text)["geometry"])


@pytest.mark.parametrize("clone", [lambda c: pickle.loads(pickle.dumps(c)), lambda c: pickle.loads(pickle.dumps(c, 2)),
                                   copy.copy, copy.deepcopy], ids=["pickle", "pickle-2", "copy", "deepcopy"])
def test_clones_answer_like_the_original(clone):
    c = every_type()
    twin = clone(c)
    assert type(twin) is C and twin is not c
    assert_same_answers(twin, c, query_points(50, seed=4))
    if clone is copy.copy:
        assert twin.rgjs is c.rgjs
    else:
        assert twin.rgjs is not c.rgjs and all(a is not b for a, b in zip(twin.rgjs, c.rgjs))


def test_reduce_value_and_accepted_checksums():
    c = every_type()
    restore, args, state = c.__reduce__()
    assert restore is cm.__pyx_unpickle_GeometryCollectionRGJ and args == (C, 0x96a235a, None)
    assert len(state) == 10 and all(s is getattr(c, name) for s, name in zip(state, MEMBERS))
    for checksum in (0x96a235a, 0x3eb5c46, 0x7a84316):
        assert_same_answers(restore(C, checksum, state), c, query_points(10, seed=5))
    text = ("Incompatible checksums (0x1 vs (0x96a235a, 0x3eb5c46, 0x7a84316) = (" + ", ".join(MEMBERS) + "))")
    with pytest.raises(pickle.PickleError) as err:
        restore(C, 1, state)
    assert str(err.value) == text
    obj, bad = C.__new__(C), state[:9] + (tuple(c.rgjs),)
    with pytest.raises(TypeError, match="^Expected list, got tuple$"):
        obj.__setstate__(bad)
    assert all(getattr(obj, name) is value for name, value in zip(MEMBERS, bad[:9])) and obj.rgjs is None


def test_collection_inside_a_collection_round_trips():
    inner = {"type": "GeometryCollection", "geometries": [pt(1, 1), line((3, 0), (3, 2))]}
    c = C([inner], properties={"nested": True})
    twin = pickle.loads(pickle.dumps(c))
    assert type(twin.rgjs[0]) is C and [type(m).__name__ for m in twin.rgjs[0].rgjs] == ["PointRGJ", "LineStringRGJ"]
    x = query_points(20, seed=6, lo=-1, hi=4)
    np.testing.assert_array_equal(twin.squared_dist(x), c.squared_dist(x))
    np.testing.assert_array_equal(twin.bbox, [[1, 0], [3, 2]])
    assert twin.properties == {"nested": True}
