"""Measurements of the installed library that also run in a fresh interpreter.

``python benchmarks/_tasks.py TASK PARAMS_JSON`` runs one task and prints its
answer as one JSON line. The parent process starts these with the library's
tuning variables (ORVO_FIELD_NUM_THREADS, ORVO_FIELD_NO_FASTPATH) set in the
environment, since the library may read them when it is imported.
"""

from __future__ import annotations

import functools
import json
import resource
import sys
import time
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import numpy as np  # noqa: E402

import _data  # noqa: E402
from _timing import Config, Stats, digest, measure  # noqa: E402

# ---------------------------------------------------------------------------
# Segment kernel


def segment_inputs(case: dict):
    """(queries, p1, v, vdv, metric, vertices) of a segment-kernel case.

    ``kind`` "ring": the closed star polyline of ``S`` segments with the first
    ``n`` of ``n_max`` uniform query points. ``kind`` "coast": the open
    coastline of ``S`` segments with a ``side`` x ``side`` raster, in raster
    order (``order`` "grid") or shuffled (``order`` "shuffled").
    """
    s = case["S"]
    if case["kind"] == "ring":
        vertices = _data.star_polyline(s)
        p1, v, vdv = _data.segments_of(vertices, close=True)
        x = _data.uniform_queries(vertices, case["n_max"])
        if "n" in case:
            x = x[: case["n"]]
    else:
        vertices = _data.coastline(s)
        p1, v, vdv = _data.segments_of(vertices, close=False)
        x = _data.raster(vertices, case["side"])
        if case["order"] == "shuffled":
            x = _data.shuffled(x)
    return x, p1, v, vdv, _data.METRICS[case["metric"]], vertices


def time_segment_case(case: dict, cfg: Config) -> Stats:
    from orvo.field import kernels

    x, p1, v, vdv, metric, _ = segment_inputs(case)
    kernel = kernels.segment_repulsion_vectors
    return measure(lambda: kernel(x, p1, v, vdv, metric), cfg)


def task_segments(params):
    cfg = Config(**params["cfg"])
    out = {}
    for case in params["cases"]:
        stats = time_segment_case(case, cfg)
        out[case["id"]] = {**stats.as_dict(), "digest": digest(stats.result)}
    return out


# ---------------------------------------------------------------------------
# Single-point latency


def latency_cases():
    """[(label, bound method, query point)] of the single-point latency section."""
    from orvo.field.geometry import _RGJ_TYPES, GeometryCollectionRGJ

    cases = []
    for name, (geometry, point) in _data.latency_shapes().items():
        obj = _RGJ_TYPES[geometry["type"]](**geometry)
        cases.append((f"{name}.repulsion_vector", obj.repulsion_vector, point))
    members, point = _data.latency_collection()
    collection = GeometryCollectionRGJ(geometries=members)
    cases.append(("GeometryCollectionRGJ (10 members).gradient", collection.gradient, point))
    return cases


def time_call(f, arg, repeats: int, min_time: float):
    """timeit of f(arg): calls per repeat picked so a repeat lasts min_time; median seconds per call."""
    timer = timeit.Timer("f(p)", globals={"f": f, "p": arg})
    timer.timeit(20)  # warm-up
    single = max(timer.timeit(20) / 20, 1e-9)
    number = max(1, int(min_time / single))
    samples = [t / number for t in timer.repeat(repeat=repeats, number=number)]
    samples.sort()
    return {
        "median": float(np.median(samples)),
        "low": samples[0],
        "high": samples[-1],
        "repeats": repeats,
        "number": number,
    }


def task_latency(params):
    repeats, min_time = params["repeats"], params["min_time"]
    out = {}
    for label, f, point in latency_cases():
        for form, arg in (("ndarray (2,)", np.array(point, dtype=float)), ("list [x, y]", list(point))):
            entry = time_call(f, arg, repeats, min_time)
            entry["result"] = np.asarray(f(arg)).tolist()
            out[f"{label} | {form}"] = entry
    return out


# ---------------------------------------------------------------------------
# Large grid through a collection


def task_grid(params):
    from orvo.field.geometry import GeometryCollectionRGJ

    t0 = time.perf_counter()
    members = _data.grid_scene(params["polygon_vertices"])
    collection = GeometryCollectionRGJ(geometries=members)
    build = time.perf_counter() - t0
    x = _data.scene_raster(members, params["side"])
    answer = {"build_s": build, "points": len(x)}
    if not params.get("build_only"):
        times = []
        while True:
            t0 = time.perf_counter()
            g = collection.gradient(x)
            times.append(time.perf_counter() - t0)
            if len(times) >= params["max_repeats"] or sum(times) + times[-1] > params["budget"]:
                break
        g = np.asarray(g)
        answer.update(
            times=times,
            digest=digest(g),
            shape=list(g.shape),
            finite=float(np.isfinite(g).all(axis=-1).mean()) if g.size else 1.0,
        )
    answer["maxrss_kib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return answer


# ---------------------------------------------------------------------------
# Whole scenes


def scene_collection(name: str, form: str):
    from orvo.field.geometry import GeometryCollectionRGJ

    return GeometryCollectionRGJ(geometries=_data.scene(name).members(form))


def task_scene_grid(params):
    """orvo.field.evaluate over each case's raster rows: seconds per call, output digest, sample values.

    After one warm-up call on one point, a case runs up to ``repeats`` calls
    and stops early once they have taken ``budget`` seconds; ``points`` picks
    the raster rows (:func:`_data.grid_rows`) and ``sample`` indexes the
    points whose values are returned.
    """
    import orvo.field

    out = {}
    for case in params["cases"]:
        collection = scene_collection(case["scene"], case["form"])
        x = _data.grid_rows(_data.scene(case["scene"]).raster(params["side"]), params["side"], case["points"])
        # The first call on a new collection may build an index; the latency task times it.
        orvo.field.evaluate(collection, x[:1])
        times = []
        while True:
            t0 = time.perf_counter()
            values, gradients = orvo.field.evaluate(collection, x)
            times.append(time.perf_counter() - t0)
            if len(times) >= params["repeats"] or sum(times) >= params["budget"]:
                break
        out[case["id"]] = {
            "times": times,
            "points": len(x),
            "digest": digest(np.concatenate([values, gradients.ravel()])),
            "sample_values": values[case["sample"]].tolist(),
        }
    return out


def _firsts(make, call, repeats: int):
    """Medians over fresh objects of (seconds to make one, seconds of its first call)."""
    build, first = [], []
    for _ in range(repeats):
        t0 = time.perf_counter()
        obj = make()
        t1 = time.perf_counter()
        call(obj)
        t2 = time.perf_counter()
        build.append(t1 - t0)
        first.append(t2 - t1)
    return float(np.median(build)), float(np.median(first))


def time_sequence(f, args: list, repeats: int, min_time: float):
    """Median seconds per call of f over passes through ``args``, each repeat at least min_time long.

    One warm-up pass; unlike time_call, it makes no 40 warm-up calls, which
    matters when one call takes milliseconds.
    """
    for a in args:
        f(a)
    t0 = time.perf_counter()
    for a in args:
        f(a)
    passes = max(1, int(min_time / max(time.perf_counter() - t0, 1e-9)))
    samples = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        for _ in range(passes):
            for a in args:
                f(a)
        samples.append((time.perf_counter() - t0) / (passes * len(args)))
    samples.sort()
    return {"median": float(np.median(samples)), "low": samples[0], "high": samples[-1], "repeats": repeats,
            "number": passes * len(args)}


def _one_point_timings(f, probe, nearby, repeats: int, min_time: float):
    """Seconds per call of f on the same (1, 2) point again and again, and on a sequence of nearby ones."""
    return time_sequence(f, [probe], repeats, min_time), time_sequence(f, nearby, repeats, min_time)


def task_scene_latency(params):
    """One-point calls on whole scenes and on the coastline's mainland polygon, ours and shapely's."""
    import orvo.field
    from orvo.field.geometry import PolygonRGJ

    import _baselines

    repeats, min_time, fresh = params["repeats"], params["min_time"], params["fresh"]
    out = {}
    for case in params["cases"]:
        probe = np.array([case["probe"]])
        nearby = [np.array([p]) for p in case["nearby"]]
        points = np.concatenate([probe, *nearby])
        if case["scene"] == "mainland":
            scene = _data.mainland(_data.scene("coastline"))
            make = functools.partial(PolygonRGJ, coordinates=scene.parts[0])
            method = "repulsion_vector"
        else:
            scene = _data.scene(case["scene"])
            make = functools.partial(scene_collection, case["scene"], case["form"])
            method = "gradient"
        entry = {}
        entry["build"], entry["first_call"] = _firsts(make, lambda obj: getattr(obj, method)(probe), fresh)
        if method == "gradient":
            entry["build_eval"], entry["first_evaluate"] = _firsts(
                make, lambda obj: orvo.field.evaluate(obj, probe), fresh)
        obj = make()
        entry["same"], entry["nearby"] = _one_point_timings(getattr(obj, method), probe, nearby, repeats, min_time)
        if method == "gradient":
            entry["ours_d2"] = np.asarray(obj.squared_dist(points)).tolist()
        else:
            v = np.asarray(obj.repulsion_vector(points))
            entry["ours_d2"] = np.einsum("ij,ij->i", v, v).tolist()
        # shapely: the trees (edge linestrings, and prepared parts for polygons) and one-point queries.
        polygons = case["form"] == "split"
        entry["shapely_build"], entry["shapely_first"] = _firsts(
            lambda: _baselines.ShapelySceneIndex(scene, polygons), lambda index: index.one_point(probe[0]), fresh)
        index = _baselines.ShapelySceneIndex(scene, polygons)
        entry["shapely_same"], entry["shapely_nearby"] = _one_point_timings(
            lambda p: index.one_point(p[0]), probe, nearby, repeats, min_time)
        entry["shapely_d2"] = [index.one_point(p) for p in points]
        out[case["id"]] = entry
    return out


# ---------------------------------------------------------------------------
# Planner

# Cost rasters of the grid-search cases: the first two need nothing but numpy.
PLANNER_CASES = ("random", "maze", "coastline")
MAZE_WALLS = 8  # full-height walls of the maze case, each with one gap at alternate ends
PLAN_ROUTES = ("across", "to channel")


def _maze_costs(side: int) -> np.ndarray:
    """Unit costs with MAZE_WALLS one-cell walls across the raster's full height.

    Wall k stands in column (k + 1) * side / (MAZE_WALLS + 1) and is open for
    2% of the height (at least 2 cells), at the last rows for even k and the
    first rows for odd k, so a path between opposite corners snakes through
    every gap: about MAZE_WALLS + 1 times the raster's height.
    """
    cost = np.ones((side, side))
    gap = max(2, side // 50)
    for k in range(MAZE_WALLS):
        col = (k + 1) * side // (MAZE_WALLS + 1)
        cost[:, col] = np.inf
        rows = slice(side - gap, side) if k % 2 == 0 else slice(0, gap)
        cost[rows, col] = 1.0
    return cost


def coastline_grid(side: int):
    """(lo, cell) of a side x side raster of square cells over the coastline scene's extent.

    The cell is the extent's longer side over ``side``; cell (row, column)
    has its centre at lo + ((column + 0.5) cell, (row + 0.5) cell), so rows
    run along y from the bottom.
    """
    lo, hi = _data.scene("coastline").extent()
    return lo, float(np.max(hi - lo)) / side


def cell_of(point, lo, cell: float) -> tuple[int, int]:
    """The (row, column) of the square cell holding ``point``."""
    return int((point[1] - lo[1]) // cell), int((point[0] - lo[0]) // cell)


def planner_case(name: str, side: int):
    """(cost raster, start cell, goal cell, description) of a grid-search case on side x side cells.

    "random": costs uniform in [1, 4] (fixed seed), corner to corner.
    "maze": :func:`_maze_costs`, corner to corner. "coastline": the coastline
    scene (one Polygon member per part) on :func:`coastline_grid`, cost
    1 + 4 * field value at the cell centre (``orvo.field.evaluate``), blocked
    where the centre lies within one cell of land (Euclidean distance, from
    ``squared_dist``: the members carry no repulsion matrix), from the cell
    of (lo_x + 1, 0) to that of (hi_x - 1, 0), the route the first plan takes.
    """
    if name == "random":
        rng = np.random.default_rng([_data.SEED_QUERIES, 101])
        cost = rng.uniform(1.0, 4.0, (side, side))
        return cost, (0, 0), (side - 1, side - 1), "random costs in [1, 4], corner to corner"
    if name == "maze":
        return (_maze_costs(side), (0, 0), (side - 1, side - 1),
                f"unit costs, {MAZE_WALLS} walls with gaps at alternate ends, corner to corner")
    if name != "coastline":
        raise ValueError(f"unknown planner case {name!r}")
    import orvo.field
    from orvo.field.geometry import GeometryCollectionRGJ

    scene = _data.scene("coastline")
    collection = GeometryCollectionRGJ(geometries=scene.members("split"))
    lo, cell = coastline_grid(side)
    centres = (np.arange(side) + 0.5) * cell
    gx, gy = np.meshgrid(lo[0] + centres, lo[1] + centres)
    x = np.ascontiguousarray(np.stack([gx.ravel(), gy.ravel()], axis=1))
    values, _ = orvo.field.evaluate(collection, x)
    distance = np.sqrt(np.asarray(collection.squared_dist(x)))
    cost = (1.0 + 4.0 * np.asarray(values)).reshape(side, side)
    cost[(distance < cell).reshape(side, side)] = np.inf
    _, hi = scene.extent()
    start, goal = cell_of((lo[0] + 1.0, 0.0), lo, cell), cell_of((hi[0] - 1.0, 0.0), lo, cell)
    return cost, start, goal, "coastline scene, cost 1 + 4 x field value, land + 1 cell blocked, across"


def plan_routes(scene) -> dict:
    """The plans' (start, goal) pairs on the coastline scene, by name.

    "across": from (lo_x + 1, 0) to (hi_x - 1, 0), around the mainland;
    "to channel": from (lo_x + 1, lo_y + 1) to (-18.28, 27.05), where lo and
    hi are the corners of the scene's extent.
    """
    lo, hi = scene.extent()
    return {
        "across": ((float(lo[0]) + 1.0, 0.0), (float(hi[0]) - 1.0, 0.0)),
        "to channel": ((float(lo[0]) + 1.0, float(lo[1]) + 1.0), (-18.28, 27.05)),
    }


def task_plans(params):
    """``plan.plan_path`` (grid method, defaults) across the coastline scene, in a fresh interpreter.

    Per route: the collection's construction and its first plan, timed
    apart, then ``repeats`` more plans on the same collection; the outcome
    of the last one.
    """
    from orvo.field.geometry import GeometryCollectionRGJ
    from orvo.field.plan import plan_path

    scene = _data.scene("coastline")
    out = {}
    for name, (start, goal) in plan_routes(scene).items():
        t0 = time.perf_counter()
        collection = GeometryCollectionRGJ(geometries=scene.members("split"))
        t1 = time.perf_counter()
        result = plan_path(collection, start, goal)
        t2 = time.perf_counter()
        times = []
        for _ in range(params["repeats"]):
            t3 = time.perf_counter()
            result = plan_path(collection, start, goal)
            times.append(time.perf_counter() - t3)
        out[name] = {
            "start": list(start),
            "goal": list(goal),
            "build": t1 - t0,
            "first": t2 - t1,
            "times": times,
            "status": result.status,
            "reason": result.reason,
            "summary": result.summary(),
            "clearance": result.clearance,
            "length": result.length,
            "straight_ratio": result.straight_ratio,
            "positions": len(result.path),
            "cell": result.settings.get("cell"),
        }
    out["vertices"] = scene.vertices
    out["members"] = len(scene.parts)
    return out


TASKS = {
    "segments": task_segments,
    "latency": task_latency,
    "grid": task_grid,
    "scene_grid": task_scene_grid,
    "scene_latency": task_scene_latency,
    "plans": task_plans,
}

if __name__ == "__main__":
    task, params = sys.argv[1], json.loads(sys.argv[2])
    print(json.dumps(TASKS[task](params)))
