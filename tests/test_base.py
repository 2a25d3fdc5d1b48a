"""RGJGeometry / MultiRGJGeometry: construction, setters, metrics, boxes, export."""

import json

import numpy as np
import pytest
import shapely.geometry

from conftest import FIELDS, fields_of
from orvo.field.geometry import MultiPointRGJ, MultiRGJGeometry, PointRGJ, PolygonRGJ, RGJGeometry
from orvo.field.geometry import base as base_module
from orvo.field.geometry import polygon as polygon_module

ANISO = [[2.0, 0.5], [0.5, 1.0]]


# -- construction ------------------------------------------------------------

@pytest.mark.parametrize("coords, shape", [
    ([3, 4], (2,)),
    ([[3, 4]], (1, 2)),
    ([[0, 0], [1, 2], [-3, 5]], (3, 2)),
    ((np.int32(1), 2), (2,)),
    ([], (0, 2)),
    ([[]], (0, 2)),
    (np.empty((0, 5)), (0, 2)),
])
def test_coordinate_shapes(coords, shape):
    g = RGJGeometry(coordinates=coords)
    assert g.coordinates.dtype == np.float64 and g.coordinates.shape == shape
    np.testing.assert_array_equal(g.coordinates.reshape(-1), np.asarray(coords, dtype=float).reshape(-1))


@pytest.mark.parametrize("coords, shape", [
    (5, "()"), ([1, 2, 3], "(3,)"), ([[1, 2, 3]], "(1, 3)"), ([[[1, 2]]], "(1, 1, 2)"), ([[1], [2]], "(2, 1)"),
])
def test_bad_coordinate_shape_message(coords, shape):
    with pytest.raises(ValueError) as exc:
        RGJGeometry(coords)
    assert str(exc.value) == f"coordinates must be an (x, y) pair or a sequence of (x, y) pairs, got shape {shape}"


def test_empty_coordinates_zero_bbox():
    g = RGJGeometry([])
    np.testing.assert_array_equal(g.bbox, np.zeros((2, 2)))
    assert g.in_bbox([0, 0]) is True and g.in_bbox([0, 1e-9]) is False


def test_defaults_and_derived_matrices():
    g = RGJGeometry([[0, 0], [2, -1]], type="MultiPoint", unknown=object())
    for name in ("repulsion", "inv_repulsion", "eye_repulsion"):
        np.testing.assert_array_equal(getattr(g, name), np.eye(2))
    np.testing.assert_array_equal(g.grad_matrix, 2 * np.eye(2))
    np.testing.assert_array_equal(g.bbox, [[0, -1], [2, 0]])
    assert g.properties == {} and RGJGeometry([1, 1]).properties is not g.properties


@pytest.mark.parametrize("dim", [1, 3])
def test_optional_dim(dim):
    g = RGJGeometry([1, 2], optional_dim=dim)
    np.testing.assert_array_equal(g.repulsion, np.eye(dim))
    np.testing.assert_array_equal(g.eye_repulsion, np.eye(dim))
    g.set_repulsion(None)  # identity of the current size
    assert g.repulsion.shape == (dim, dim)


def test_non_symmetric_repulsion():
    r = [[2, 1], [0, 4]]  # integers become float64
    g = RGJGeometry([0, 0], r, None, 2)
    inv = np.linalg.inv(np.array(r, dtype=float))
    assert g.repulsion.dtype == np.float64
    np.testing.assert_allclose(g.inv_repulsion, inv)
    np.testing.assert_allclose(g.grad_matrix, inv + inv.T)


def test_properties_by_reference():
    props = {"a": 1}
    g = PointRGJ([0, 0], properties=props)
    assert g.properties is props and g.toRGeoJSON()["properties"] is props


# -- setters -----------------------------------------------------------------

@pytest.mark.parametrize("bad, exc", [
    ([[1, 1], [1, 1]], np.linalg.LinAlgError),
    ([[1, 2, 3], [4, 5, 6]], ValueError),
    ([1, 2], ValueError),
    (np.ones((2, 2, 2)), ValueError),
])
def test_bad_repulsion_changes_nothing(aniso_point, bad, exc):
    before = fields_of(aniso_point)
    with pytest.raises(exc):
        aniso_point.set_repulsion(bad)
    for name, value in before.items():
        assert getattr(aniso_point, name) is value, name
    with pytest.raises(exc):
        PointRGJ([0, 0], repulsion=bad)


def test_set_repulsion_none_on_bare_object():
    g = PointRGJ.__new__(PointRGJ)
    g.set_repulsion(None)
    np.testing.assert_array_equal(g.repulsion, np.eye(2))
    np.testing.assert_array_equal(g.grad_matrix, 2 * np.eye(2))
    assert g.coordinates is None and g.bbox is None


def test_set_coordinates_touches_only_coordinates_and_bbox(aniso_point):
    before = fields_of(aniso_point)
    aniso_point.set_coordinates([[5, 1], [-1, 7]])
    np.testing.assert_array_equal(aniso_point.bbox, [[-1, 1], [5, 7]])
    assert aniso_point.coordinates.dtype == np.float64
    for name in set(FIELDS) - {"coordinates", "bbox"}:
        assert getattr(aniso_point, name) is before[name]
    with pytest.raises(ValueError, match=r"got shape \(3,\)"):
        aniso_point.set_coordinates([1, 2, 3])


# -- distance matrices and field value --------------------------------------

@pytest.mark.parametrize("scaled, inverted, expected", [
    (True, True, np.linalg.inv(ANISO)),
    (True, False, np.array(ANISO)),
    (False, True, np.eye(2)),
    (False, False, np.eye(2)),
])
def test_get_dist_matrix(aniso_point, scaled, inverted, expected):
    for m in (aniso_point.get_dist_matrix(scaled=scaled, inverted=inverted),
              aniso_point.get_dist_matrix(scaled, inverted)):
        assert m.dtype == np.float64
        np.testing.assert_allclose(m, expected)
        assert all(not np.shares_memory(m, getattr(aniso_point, f)) for f in ("repulsion", "inv_repulsion", "eye_repulsion"))
    assert aniso_point.get_dist_matrix() is not aniso_point.get_dist_matrix()


def test_get_dist_matrix_converts_to_float64(point):
    point.inv_repulsion = np.array([[1, 0], [0, 3]], dtype=np.int64)
    m = point.get_dist_matrix()
    assert m.dtype == np.float64 and m[1, 1] == 3.0


def test_squared_dist_and_eval_against_numpy(aniso_point):
    rng = np.random.default_rng(7)
    x = rng.normal(scale=3, size=(25, 2))
    v = x - np.array([1.0, -2.0])
    for kw, metric in [({}, np.linalg.inv(ANISO)), ({"inverted": False}, np.array(ANISO)),
                       ({"scaled": False}, np.eye(2))]:
        expected = np.einsum("ni,ij,nj->n", v, metric, v)
        got = aniso_point.squared_dist(x, **kw)
        assert got.shape == (25,)
        np.testing.assert_allclose(got, expected)
    np.testing.assert_allclose(aniso_point.eval(x), np.exp(-np.einsum("ni,ij,nj->n", v, np.linalg.inv(ANISO), v)))
    np.testing.assert_allclose(aniso_point.eval(x=[1, -2], extra=1), [1.0])


def test_squared_dist_multipoint_uses_nearest_member(multi):
    np.testing.assert_allclose(multi.squared_dist([[1, 0], [9, 1], [4, 4]]), [1, 2, 1])


# -- boxes and centre ----------------------------------------------------------

@pytest.mark.parametrize("x, inside", [
    ([0, 0], True), ([2, 1], True), ([1, 0.5], True), ([[0, 0], [2, 1], [1, 1]], True),
    ([[0, 0], [2.5, 1]], False), ([-1e-12, 0], False), (1, True), ((2, 1.0000001), False),
])
def test_in_bbox_single_box(x, inside):
    g = RGJGeometry([[0, 0], [2, 1]])
    assert g.in_bbox(x) is inside


def test_in_bbox_stack_of_boxes():
    g = RGJGeometry([0, 0])
    g.bbox = np.array([[0, 0], [1, 1], [10, 10], [11, 11]], dtype=float)
    assert g.in_bbox([10.5, 11]) is True
    assert g.in_bbox([[0.5, 0.5], [10.5, 10.5]]) is False  # one box has to hold every value
    assert g.in_bbox([5, 5]) is False


def test_get_center_point():
    c = RGJGeometry([[0, 0], [4, -2], [1, 6]]).get_center_point()
    assert c.shape == (2,) and c.dtype == np.float64
    np.testing.assert_array_equal(c, [2, 2])
    g = RGJGeometry([0, 0])
    g.bbox = np.array([[0, 0], [1, 1], [10, -4], [11, 5]])
    np.testing.assert_array_equal(g.get_center_point(), [5.5, 0.5])


# -- export --------------------------------------------------------------------

@pytest.mark.parametrize("geom, coords", [
    (PointRGJ([1, 2], properties={"k": [1, "v"]}), [1.0, 2.0]),
    (MultiPointRGJ([[1, 2], [3, 4]]), [[1.0, 2.0], [3.0, 4.0]]),
    (MultiPointRGJ([]), []),
])
def test_to_rgeojson(geom, coords):
    d = geom.toRGeoJSON()
    assert d == {"type": "Feature", "properties": geom.properties,
                 "geometry": {"type": type(geom).RGJType, "coordinates": coords, "repulsion": [[1.0, 0.0], [0.0, 1.0]]}}
    got = d["geometry"]["coordinates"]
    flat = got if not got or type(got[0]) is float else [v for row in got for v in row]
    assert type(got) is list and all(type(v) is float for v in flat)
    assert json.loads(json.dumps(d)) == d
    assert geom.__geo_interface__ == d["geometry"]


def test_to_rgeojson_list_of_arrays():
    g = MultiPointRGJ([0, 0])
    g.coordinates = [np.array([[0.0, 1.0], [2.0, 3.0]]), np.array([[4.0, 5.0]])]
    assert g.toRGeoJSON()["geometry"]["coordinates"] == [[[0.0, 1.0], [2.0, 3.0]], [[4.0, 5.0]]]


def test_geo_interface_read_by_shapely():
    assert shapely.geometry.shape(PointRGJ([1, 2])).equals(shapely.geometry.Point(1, 2))
    mp = shapely.geometry.shape(MultiPointRGJ([[0, 0], [3, 4]]))
    assert mp.geom_type == "MultiPoint" and mp.equals(shapely.geometry.MultiPoint([(0, 0), (3, 4)]))
    with pytest.raises(AttributeError):
        PointRGJ([1, 2]).__geo_interface__ = {}


# -- field descriptors ---------------------------------------------------------

@pytest.mark.parametrize("cls", [RGJGeometry, MultiRGJGeometry, PointRGJ, MultiPointRGJ])
@pytest.mark.parametrize("name", FIELDS)
def test_field_descriptor_read_write_delete(cls, name):
    g = cls.__new__(cls)
    assert getattr(g, name) is None
    for value in (object(), "text", 3, [1], None):
        setattr(g, name, value)
        assert getattr(g, name) is value
    setattr(g, name, 1.5)
    delattr(g, name)
    assert getattr(g, name) is None
    delattr(g, name)  # deleting twice is fine as well


def test_no_instance_dict():
    g = PointRGJ([0, 0])
    with pytest.raises(AttributeError):
        g.tag = 1
    assert not hasattr(g, "__dict__")
    assert issubclass(MultiRGJGeometry, RGJGeometry) and set(vars(MultiRGJGeometry)).isdisjoint(FIELDS)


# -- hostile inputs: errors propagate, nothing is read past a buffer -----------------

class FailingLen(list):
    def __len__(self):
        raise ZeroDivisionError("no length")


def _exported_with_failing_len():
    p = PointRGJ([0.0, 0.0])
    p.coordinates = FailingLen([1.0, 2.0])
    return p.toRGeoJSON()


@pytest.mark.parametrize("call", [lambda: PolygonRGJ(FailingLen([[[0, 0], [1, 0], [0, 1]]])),
                                  _exported_with_failing_len], ids=["polygon-coordinates", "toRGeoJSON"])
def test_failing_len_propagates_its_own_error(call):
    with pytest.raises(ZeroDivisionError, match="no length"):
        call()


@pytest.mark.parametrize("module, build", [(base_module, lambda: PointRGJ([[1.0, 2.0]])),
                                           (polygon_module, lambda: PolygonRGJ([[[0, 0], [1, 0], [0, 1]]]))])
def test_replaced_np_with_non_tuple_shape_raises_instead_of_reading_garbage(monkeypatch, module, build):
    class OddShape(np.ndarray):
        shape = property(lambda self: 12345)

    class FakeNumpy:
        def __getattr__(self, name):
            real = getattr(np, name)
            if name in ("array", "asarray", "ascontiguousarray"):
                return lambda *a, **k: real(*a, **k).view(OddShape)
            return real

    monkeypatch.setattr(module, "np", FakeNumpy())
    with pytest.raises(TypeError, match="shape is a tuple"):
        build()
