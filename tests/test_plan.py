"""The potential-field planner: the three outcomes, honest reports, bad settings."""

from __future__ import annotations

import json
import math

import numpy as np
import pytest

from orvo.field.geometry import GeometryCollectionRGJ
from orvo.field.plan import default_settings, plan_path

R = [[4.0, 0.0], [0.0, 4.0]]  # a length scale of 2


def scene(*geometries: dict) -> GeometryCollectionRGJ:
    return GeometryCollectionRGJ(geometries=[dict(g, repulsion=R) for g in geometries])


ROCK = {"type": "Point", "coordinates": [10.0, 0.3]}
# A cup open towards -x; the goal lies behind its bottom.
CUP = {"type": "LineString", "coordinates": [[5.0, 6.0], [12.0, 6.0], [12.0, -6.0], [5.0, -6.0]]}


def test_a_route_past_an_obstacle_reaches_the_goal_around_it() -> None:
    result = plan_path(scene(ROCK), (0.0, 0.0), (20.0, 0.0))
    assert result.status == "reached" and result.reached
    assert result.path[0].tolist() == [0.0, 0.0] and result.path[-1].tolist() == [20.0, 0.0]
    assert result.max_field < 0.5, "it kept clear of the rock"
    assert 20.0 < result.length < 30.0
    assert result.iterations == len(result.path) - 2  # start plus one position per step, then the goal


def test_a_goal_behind_a_cup_leaves_the_planner_stuck_inside() -> None:
    result = plan_path(scene(CUP), (0.0, 0.0), (20.0, 0.0))
    assert result.status == "stuck" and not result.reached
    assert result.path[-1, 0] < 12.0, "it never crossed the cup's bottom"
    assert result.distance_to_goal > 8.0
    assert result.iterations < 5000


def test_the_iteration_cap_is_reported_as_such() -> None:
    result = plan_path(scene(ROCK), (0.0, 0.0), (20.0, 0.0), max_iter=10)
    assert result.status == "iteration limit"
    assert result.iterations == 10 and len(result.path) == 11


def test_defaults_follow_the_scene_scales() -> None:
    settings = default_settings(scene(ROCK))
    assert settings == pytest.approx({"step": 0.2, "gain": 5.0, "radius": 0.3})
    wide = GeometryCollectionRGJ(geometries=[dict(ROCK, repulsion=[[100.0, 0.0], [0.0, 100.0]])])
    assert default_settings(wide)["step"] == pytest.approx(1.0)


def test_the_feature_is_a_geojson_linestring_with_the_outcome() -> None:
    result = plan_path(scene(CUP), (0.0, 0.0), (20.0, 0.0))
    feature = json.loads(json.dumps(result.to_feature()))
    assert feature["type"] == "Feature" and feature["geometry"]["type"] == "LineString"
    assert len(feature["geometry"]["coordinates"]) == len(result.path) >= 2
    props = feature["properties"]
    assert props["status"] == "stuck" and props["reason"]
    assert math.isclose(props["length"], result.length)
    assert props["start"] == [0.0, 0.0] and props["goal"] == [20.0, 0.0]


def test_a_start_at_the_goal_is_reached_at_once() -> None:
    result = plan_path(scene(ROCK), (20.0, 0.0), (20.0, 0.0))
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
        plan_path(scene(ROCK), start, goal, **kwargs)


def test_the_path_is_deterministic() -> None:
    a = plan_path(scene(ROCK, CUP), (0.0, 1.0), (20.0, 0.0))
    b = plan_path(scene(ROCK, CUP), (0.0, 1.0), (20.0, 0.0))
    np.testing.assert_array_equal(a.path, b.path)


@pytest.mark.parametrize(
    "start, gain, warning",
    [((5.0, 0.0), None, "the start lies on an obstacle"), ((0.0, 0.0), 0.0, "runs over an obstacle"),
     ((0.0, 0.0), None, None)],
    ids=["start inside", "no repulsion", "clear"],
)
def test_a_path_over_an_obstacle_says_so(start, gain, warning) -> None:
    block = {"type": "Polygon", "coordinates": [[[4.0, -1.0], [6.0, -1.0], [6.0, 1.0], [4.0, 1.0]]]}
    result = plan_path(scene(block), start, (0.0, 12.0) if warning is None else (20.0, 0.0), gain=gain)
    assert result.status == "reached"
    if warning is None:
        assert "obstacle" not in result.reason and result.max_field < 1.0
    else:
        assert warning in result.reason and result.max_field == 1.0
