"""grid and the chunked evaluate: layout, exactness, single geometries, bad input."""

from __future__ import annotations

import numpy as np
import pytest

from orvo.field import evaluate, grid
from orvo.field.evaluation import evaluate_nearest
from orvo.field.geometry import (
    GeometryCollectionRGJ,
    LineStringRGJ,
    MultiLineStringRGJ,
    MultiPointRGJ,
    MultiPolygonRGJ,
    PointRGJ,
    PolygonRGJ,
)

ANISO = [[3.0, 1.0], [1.0, 2.0]]
GEOMETRIES = {
    "point": lambda: PointRGJ(coordinates=[1.0, 2.0], repulsion=ANISO),
    "multipoint": lambda: MultiPointRGJ(coordinates=[[0, 0], [4, 1], [2, 5]], repulsion=ANISO),
    "line": lambda: LineStringRGJ(coordinates=[[0, 0], [3, 1], [5, 4]], repulsion=ANISO),
    "multiline": lambda: MultiLineStringRGJ(coordinates=[[[0, 0], [2, 0]], [[0, 3], [4, 5], [6, 3]]]),
    "polygon": lambda: PolygonRGJ(
        coordinates=[[[0, 0], [6, 0], [6, 6], [0, 6]], [[2, 2], [4, 2], [4, 4], [2, 4]]], repulsion=ANISO
    ),
    "multipolygon": lambda: MultiPolygonRGJ(coordinates=[[[[0, 0], [2, 0], [1, 2]]], [[[4, 4], [6, 4], [5, 6]]]]),
}


def collection() -> GeometryCollectionRGJ:
    return GeometryCollectionRGJ(geometries=[make().__geo_interface__ for make in GEOMETRIES.values()])


def test_grid_layout_is_row_major_from_the_bottom() -> None:
    points = grid((0.0, 10.0, 4.0, 12.0), (5, 3))
    assert points.shape == (15, 2) and points.dtype == np.float64
    k = np.arange(15)
    np.testing.assert_array_equal(points[:, 0], np.linspace(0.0, 4.0, 5)[k % 5])
    np.testing.assert_array_equal(points[:, 1], np.linspace(10.0, 12.0, 3)[k // 5])
    # corners: first is (xmin, ymin), last is (xmax, ymax)
    assert points[0].tolist() == [0.0, 10.0] and points[-1].tolist() == [4.0, 12.0]


@pytest.mark.parametrize(
    "extent, shape",
    [((0, 0, 0, 1), (2, 2)), ((0, 1, 1, 0), (2, 2)), ((0, 0, 1, float("inf")), (2, 2)), ((0, 0, 1), (2, 2)),
     ((0, 0, 1, 1), (0, 2)), ((0, 0, 1, 1), (2.5, 2)), ((0, 0, 1, 1), (2,)), ((-1e308, 0, 1e308, 1), (2, 2)),
     ((0, -1e308, 1, 1e308), (2, 2))],
)
def test_grid_refuses_bad_extents_and_shapes(extent, shape) -> None:
    with pytest.raises(ValueError):
        grid(extent, shape)


@pytest.mark.parametrize("chunk_size", [1, 7, 250, 1000, 65536])
def test_chunked_results_equal_one_call_on_the_whole_array(chunk_size) -> None:
    field = collection()
    points = grid((-3, -3, 9, 9), (25, 21))
    values, gradients = evaluate(field, points, chunk_size=chunk_size)
    np.testing.assert_array_equal(values, field.eval(points))
    np.testing.assert_array_equal(gradients, field.gradient(points))
    v, g, nearest = evaluate_nearest(field, points, chunk_size=chunk_size)
    np.testing.assert_array_equal(v, values)
    np.testing.assert_array_equal(g, gradients)
    np.testing.assert_array_equal(nearest, field.squared_dist(points, return_reference=True)[1])


@pytest.mark.parametrize(
    "bad",
    [[np.nan, 1.0], [1.0, np.inf], [-np.inf, -np.inf], [np.nan, np.nan]],
    ids=["nan x", "inf y", "both -inf", "both nan"],
)
def test_a_non_finite_point_has_no_nearest_member(bad) -> None:
    field = collection()
    points = np.array([[0.5, 0.5], bad, [7.0, 2.0]])
    with np.errstate(invalid="ignore", over="ignore"):
        _, _, nearest = evaluate_nearest(field, points, chunk_size=2)
        reference = field.squared_dist(points, return_reference=True)[1]
    assert nearest[1] == -1
    np.testing.assert_array_equal(nearest[[0, 2]], reference[[0, 2]])


@pytest.mark.parametrize("name", list(GEOMETRIES))
def test_a_single_geometry_answers_as_a_collection_of_itself(name) -> None:
    geometry = GEOMETRIES[name]()
    points = grid((-3, -3, 9, 9), (17, 13))
    values, gradients = evaluate(geometry, points, chunk_size=50)
    single = GeometryCollectionRGJ(geometries=[geometry.__geo_interface__])
    np.testing.assert_array_equal(values, geometry.eval(points))
    np.testing.assert_array_equal(gradients, single.gradient(points))
    # and that is the gradient formula -eval * grad_matrix . v
    v = geometry.repulsion_vector(points)
    expected = -values[:, None] * (v @ geometry.grad_matrix.T)
    np.testing.assert_allclose(gradients, expected, rtol=1e-12, atol=1e-15)


@pytest.mark.parametrize(
    "points, shape",
    [([1.0, 2.0], (1,)), ([[1.0, 2.0], [3.0, 4.0]], (2,)), (np.empty((0, 2)), (0,)),
     (np.arange(20.0).reshape(10, 2)[::2], (5,))],
    ids=["one pair", "list", "empty", "strided"],
)
def test_points_in_any_array_like_form(points, shape) -> None:
    field = collection()
    values, gradients = evaluate(field, points, chunk_size=2)
    assert values.shape == shape and gradients.shape == shape + (2,)
    if shape[0]:
        xy = np.atleast_2d(np.asarray(points, dtype=np.float64))
        np.testing.assert_array_equal(values, field.eval(xy))


@pytest.mark.parametrize(
    "points, chunk_size, error",
    [(np.zeros((4, 3)), 10, ValueError), (np.zeros((4, 2)), 0, ValueError), (np.zeros((4, 2)), 2.5, ValueError)],
)
def test_bad_points_and_chunk_sizes_are_refused(points, chunk_size, error) -> None:
    with pytest.raises(error):
        evaluate(collection(), points, chunk_size=chunk_size)


def test_a_non_geometry_is_refused() -> None:
    with pytest.raises(TypeError, match="expected an orvo.field geometry"):
        evaluate(object(), [[0.0, 0.0]])  # type: ignore[arg-type]


def test_progress_goes_to_stderr_only(capsys) -> None:
    evaluate(collection(), grid((0, 0, 1, 1), (10, 10)), chunk_size=10, progress=True)
    captured = capsys.readouterr()
    assert captured.out == ""
    assert captured.err.strip()
    evaluate(collection(), grid((0, 0, 1, 1), (10, 10)), chunk_size=10, progress=None)
    assert capsys.readouterr().err == ""
