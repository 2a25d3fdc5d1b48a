"""The planners: paths judged against the exact geometry with shapely, honest reports, bad settings."""

from __future__ import annotations

import functools
import json
import math
import os
import sys
from pathlib import Path

import numpy as np
import pytest
import shapely

from orvo.field import scene as scenes
from orvo.field.geometry import GeometryCollectionRGJ
from orvo.field.plan import default_settings, plan_path

field_plan = functools.partial(plan_path, method="field")

R = [[4.0, 0.0], [0.0, 4.0]]  # a length scale of 2


def scene(*geometries: dict) -> GeometryCollectionRGJ:
    return GeometryCollectionRGJ(geometries=[dict(g, repulsion=R) for g in geometries])


ROCK = {"type": "Point", "coordinates": [10.0, 0.3]}
# A cup open towards -x; the goal lies behind its bottom.
CUP = {"type": "LineString", "coordinates": [[5.0, 6.0], [12.0, 6.0], [12.0, -6.0], [5.0, -6.0]]}


def test_a_route_past_an_obstacle_reaches_the_goal_around_it() -> None:
    result = field_plan(scene(ROCK), (0.0, 0.0), (20.0, 0.0))
    assert result.status == "reached" and result.reached
    assert result.path[0].tolist() == [0.0, 0.0] and result.path[-1].tolist() == [20.0, 0.0]
    assert result.max_field < 0.5, "it kept clear of the rock"
    assert 20.0 < result.length < 30.0
    assert result.iterations == len(result.path) - 2  # start plus one position per step, then the goal


def test_a_goal_behind_a_cup_leaves_the_planner_stuck_inside() -> None:
    result = field_plan(scene(CUP), (0.0, 0.0), (20.0, 0.0))
    assert result.status == "stuck" and not result.reached
    assert result.path[-1, 0] < 12.0, "it never crossed the cup's bottom"
    assert result.distance_to_goal > 8.0
    assert result.iterations < 5000


def test_the_iteration_cap_is_reported_as_such() -> None:
    result = field_plan(scene(ROCK), (0.0, 0.0), (20.0, 0.0), max_iter=10)
    assert result.status == "iteration limit"
    assert result.iterations == 10 and len(result.path) == 11


def test_defaults_follow_the_scene_scales() -> None:
    settings = default_settings(scene(ROCK))
    assert settings == pytest.approx({"step": 0.2, "gain": 5.0, "radius": 0.3})
    wide = GeometryCollectionRGJ(geometries=[dict(ROCK, repulsion=[[100.0, 0.0], [0.0, 100.0]])])
    assert default_settings(wide)["step"] == pytest.approx(1.0)


def test_the_feature_is_a_geojson_linestring_with_the_outcome() -> None:
    result = field_plan(scene(CUP), (0.0, 0.0), (20.0, 0.0))
    feature = json.loads(json.dumps(result.to_feature()))
    assert feature["type"] == "Feature" and feature["geometry"]["type"] == "LineString"
    assert len(feature["geometry"]["coordinates"]) == len(result.path) >= 2
    props = feature["properties"]
    assert props["status"] == "stuck" and props["reason"]
    assert math.isclose(props["length"], result.length)
    assert props["start"] == [0.0, 0.0] and props["goal"] == [20.0, 0.0]


def test_a_start_at_the_goal_is_reached_at_once() -> None:
    result = field_plan(scene(ROCK), (20.0, 0.0), (20.0, 0.0))
    assert result.status == "reached" and result.iterations == 0
    assert len(result.to_feature()["geometry"]["coordinates"]) == 2


@pytest.mark.parametrize(
    "kwargs",
    [{"step": 0.0}, {"step": -1.0}, {"gain": -1.0}, {"radius": float("nan")}, {"max_iter": 0}, {"window": 1.5},
     {"start": (0.0, float("inf"))}, {"start": (1.0, 2.0, 3.0)},
     {"start": (1e308, 0.0), "goal": (-1e308, 0.0)}],  # the distance overflows
)
def test_bad_settings_are_refused(kwargs) -> None:
    start = kwargs.pop("start", (0.0, 0.0))
    goal = kwargs.pop("goal", (20.0, 0.0))
    with pytest.raises(ValueError):
        field_plan(scene(ROCK), start, goal, **kwargs)


def test_the_path_is_deterministic() -> None:
    a = field_plan(scene(ROCK, CUP), (0.0, 1.0), (20.0, 0.0))
    b = field_plan(scene(ROCK, CUP), (0.0, 1.0), (20.0, 0.0))
    np.testing.assert_array_equal(a.path, b.path)


@pytest.mark.parametrize(
    "start, gain, status, says",
    [((5.0, 0.0), None, "no path", "the start (5, 0) lies on member 0"),
     ((0.0, 0.0), 0.0, "collision", "the steps reached the goal, but it touches member 0"),
     ((0.0, 0.0), None, "reached", "within")],
    ids=["start inside", "no repulsion", "clear"],
)
def test_a_field_path_over_an_obstacle_is_not_reached(start, gain, status, says) -> None:
    block = {"type": "Polygon", "coordinates": [[[4.0, -1.0], [6.0, -1.0], [6.0, 1.0], [4.0, 1.0]]]}
    result = field_plan(scene(block), start, (0.0, 12.0) if status == "reached" else (20.0, 0.0), gain=gain)
    assert (result.status, result.reached) == (status, status == "reached")
    assert says in result.reason


# --------------------------------------------------------------------------
# The grid method, judged with shapely


def obstacles_of(collection: GeometryCollectionRGJ) -> list:
    return [shapely.geometry.shape(m.toRGeoJSON()["geometry"]) for m in collection.rgjs]


def assert_clear(result, collection: GeometryCollectionRGJ) -> None:
    """Reached, from start to goal, never touching an obstacle, with the clearance it reports."""
    assert result.status == "reached", result.reason
    assert result.path[0].tolist() == list(result.start) and result.path[-1].tolist() == list(result.goal)
    line = shapely.LineString(result.path) if len(result.path) > 1 else shapely.Point(result.path[0])
    gap = min(shapely.distance(line, shapely.make_valid(o)) for o in obstacles_of(collection))
    assert gap > 0.0 and result.clearance == pytest.approx(gap, rel=1e-9, abs=1e-12)


HOLED = {"type": "Polygon", "coordinates": [[[30, -5], [40, -5], [40, 5], [30, 5]], [[33, -2], [37, -2], [37, 2], [33, 2]]]}
BUOYS = {"type": "MultiPoint", "coordinates": [[5.0, 0.0], [10.0, 0.0], [15.0, 0.0]]}
U_PIER = {"type": "MultiLineString", "coordinates": [CUP["coordinates"], [[20.0, -10.0], [20.0, 10.0]]]}


@pytest.mark.parametrize(
    "members, goal, clearance",
    [
        ([CUP], (20.0, 0.0), 0.0),  # behind a concave obstacle, where the field method sticks
        ([CUP], (20.0, 0.0), 1.5),
        ([CUP, ROCK], (10.0, 0.0), 0.0),  # inside the cup, beside a rock
        ([U_PIER], (8.0, 0.0), 0.5),
        ([BUOYS], (20.0, 0.0), 0.0),  # one multi-point's points on the straight line
        ([HOLED, ROCK], (45.0, 0.0), 0.0),
    ],
)
def test_grid_paths_reach_the_goal_clear_of_every_obstacle(members, goal, clearance) -> None:
    collection = scene(*members)
    result = plan_path(collection, (0.0, 0.0), goal, clearance=clearance)
    assert_clear(result, collection)
    assert result.clearance >= clearance
    assert 1.0 <= result.straight_ratio < 3.0
    props = json.loads(json.dumps(result.to_feature()))["properties"]
    assert props["clearance"] == result.clearance and props["straight_ratio"] == result.straight_ratio


def test_split_buoys_push_the_field_planner_away() -> None:
    # Loaded as a scene, a multi-point becomes points whose field pushes away,
    # so the field planner passes them instead of sticking on one.
    loaded = scenes.load({"type": "FeatureCollection", "features": [
        {"type": "Feature", "properties": {}, "geometry": dict(BUOYS, coordinates=[[5.0, 0.5], [10.0, -0.5]], repulsion=R)}]})
    assert_clear(field_plan(loaded, (0.0, 0.0), (20.0, 0.0)), loaded)


@pytest.mark.parametrize(
    "start, goal, says",
    [
        ((0.0, 0.0), (35.0, 0.0), "not connected at any clearance: the goal lies in hole 0 of member 0"),
        ((35.0, 0.0), (0.0, 0.0), "the start lies in hole 0"),
        ((0.0, 0.0), (31.0, 0.0), "the goal (31, 0) lies on member 0"),
        ((30.0, 1.0), (0.0, 0.0), "the start (30, 1) lies on member 0"),  # on the boundary
    ],
)
def test_no_path_says_why(start, goal, says) -> None:
    result = plan_path(scene(HOLED), start, goal)
    assert (result.status, result.reached) == ("no path", False)
    assert says in result.reason and math.isnan(result.clearance)
    assert json.loads(json.dumps(result.to_feature()))["properties"]["clearance"] is None


def test_a_pen_with_a_gap_the_grid_cannot_see_is_no_path() -> None:
    pen = {"type": "LineString", "coordinates": [[5.0, -4.999], [5.0, -5.0], [15.0, -5.0], [15.0, 5.0], [5.0, 5.0], [5.0, -4.998]]}
    result = plan_path(scene(pen), (0.0, 0.0), (10.0, 0.0))
    assert result.status == "no path" and "not connected on a grid of cell" in result.reason


@pytest.mark.skipif(bool(os.environ.get("ORVO_FIELD_NO_FASTPATH")), reason="the planner is the same; the plain steps take half a minute here")
def test_a_coastline_with_islands_and_narrow_channels() -> None:
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))
    try:
        import _data
    finally:
        sys.path.pop(0)
    coast = _data.fractal_coastline()
    collection = GeometryCollectionRGJ(geometries=coast.members("split"))
    assert coast.vertices > 10**5
    lo, hi = coast.extent()
    # Across the sea around the mainland, and into a channel between it and a near-shore island.
    for start, goal in [((lo[0] + 1, 0.0), (hi[0] - 1, 0.0)), ((lo[0] + 1, lo[1] + 1), (-18.28, 27.05))]:
        assert_clear(plan_path(collection, start, goal), collection)
    lake = plan_path(collection, (lo[0] + 1, 0.0), tuple(coast.features[0][0][1].mean(0)))
    assert lake.status == "no path" and "not connected at any clearance" in lake.reason
