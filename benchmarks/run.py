#!/usr/bin/env python3
"""Benchmarks of the installed orvo.field.

    python benchmarks/run.py                  # full run, several minutes
    python benchmarks/run.py --quick          # smoke run, a few minutes
    python benchmarks/run.py --only segments  # one section (segments, inside, latency, grid, scenes, planner)

Sections:
  segments  kernels.segment_repulsion_vectors against a numpy brute force and
            shapely distance; 1 and 2 threads (ORVO_FIELD_NUM_THREADS)
  inside    kernels.point_in_rings against shapely contains_xy, matplotlib
            Path.contains_points and a numpy crossing test
  latency   one-point calls of every geometry class, fast path on and off
            (ORVO_FIELD_NO_FASTPATH=1)
  grid      a collection's gradient on a 1000 x 1000 raster: seconds and peak memory
  scenes    whole scenes (a fractal coastline, a mosaic of countries) as
            MultiPolygons and as Polygons: evaluate on a raster against a
            shapely STRtree, the segment kernel and a distance transform;
            construction, first calls and one-point latency
  planner   kernels.grid_path (A*) on 1000 x 1000 cost rasters (random costs, a
            maze of walls, the coastline scene) against scipy csgraph.dijkstra on
            the same 8-neighbour graph (graph build excluded, path costs checked
            equal); plan.plan_path across the coastline scene on two routes; the
            times against the targets "a 10^6-cell search under 1 s" and "a plan
            across a 10^5-vertex scene under 10 s" as PASS/FAIL lines

Each timing is the median of several repeats; ratios are baseline time / our
time measured in the same run. The baselines need shapely>=2, matplotlib and
scipy (`python -m pip install shapely matplotlib scipy`); a missing one is
skipped (the scenes section needs shapely to generate its scenes).
Results depend on the build installed in the running interpreter's
environment, so run `make install` first (`make bench` does both).
"""

from __future__ import annotations

import argparse
import importlib
import json
import math
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import numpy as np  # noqa: E402

import _baselines  # noqa: E402
import _data  # noqa: E402
import _tasks  # noqa: E402
from _timing import (  # noqa: E402
    Config,
    Stats,
    clean_env,
    digest,
    fmt,
    fmt_spread,
    machine_info,
    machine_lines,
    markdown_table,
    measure,
    pick_size,
    ratio,
    run_task,
    text_table,
)

SECTIONS = ("segments", "inside", "latency", "grid", "scenes", "planner")
N_QUERIES = 100_000


def optional(module):
    """The module, or None when this optional baseline is not installed."""
    try:
        return importlib.import_module(module)
    except ImportError:
        return None


def loadavg():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "?"


def progress(message):
    print(f"[{time.strftime('%H:%M:%S')} load {loadavg()}] {message}", file=sys.stderr, flush=True)


class Report:
    """Collects the Markdown rows of every section that ran."""

    def __init__(self):
        self.rows = []
        self.data = {}

    def add(self, section, case, ours, baseline, baseline_value, speedup):
        self.rows.append([section, case, ours, baseline, baseline_value, speedup])


def work_start(work):
    """A first calibration size doing about a million units of work."""
    return max(1, min(4096, (1 << 20) // max(1, work)))


# ---------------------------------------------------------------------------
# 1. Segment kernel


def n_points(case):
    return case["n"] if case["kind"] == "ring" else case["side"] ** 2


def per_unit(case, seconds, n):
    """Seconds per (point, segment) pair for the ring cases, per point for the coastline cases."""
    return seconds / (n * case["S"]) if case["kind"] == "ring" else seconds / n


def section_segments(cfg: Config, report: Report):
    from orvo.field import kernels

    shapely = optional("shapely")
    kernel = kernels.segment_repulsion_vectors
    # Our kernel runs on all N points whenever a call takes at most ~1.5 s.
    ours_target = cfg.target if cfg.quick else max(cfg.target, 1.0)
    entries = []

    def run_baselines(case, x_all, p1, v, vdv, metric, line_vertices, ours):
        found = {}

        def numpy_fn(xs):
            return _baselines.numpy_segment_repulsion_vectors(xs, p1, v, vdv, metric)

        n = pick_size(lambda n: numpy_fn(x_all[:n]), len(x_all), cfg.target, n_start=work_start(case["S"]), n_min=1)
        xs = x_all[:n]
        st = measure(lambda: numpy_fn(xs), cfg)
        m = min(n, len(ours.result), 2000)
        diff = np.max(np.abs(st.result[:m] - ours.result[:m]))
        found["numpy brute force"] = (st, n, f"numpy max |diff| {diff:.1e}")
        if shapely is not None and case["metric"] == "identity":
            line = shapely.linestrings(line_vertices)
            shapely.prepare(line)
            points = shapely.points(x_all)
            n = pick_size(
                lambda n: shapely.distance(line, points[:n]), len(x_all), cfg.target, n_start=work_start(case["S"]), n_min=1
            )
            ps = points[:n]
            st = measure(lambda: shapely.distance(line, ps), cfg)
            m = min(n, len(ours.result), 2000)
            diff = np.max(np.abs(st.result[:m] - np.hypot(ours.result[:m, 0], ours.result[:m, 1])))
            found["shapely.distance (prepared)"] = (st, n, f"shapely max |dist diff| {diff:.1e}")
        return found

    # 1a: closed star polylines of S segments, N uniform queries over the bbox enlarged 20%.
    for s, metric in ((16, "identity"), (100, "identity"), (1000, "identity"), (1000, "anisotropic")):
        progress(f"segments: closed star polyline S={s}, {metric} metric")
        case = {"id": f"ring-{s}-{metric}", "kind": "ring", "S": s, "metric": metric, "n_max": N_QUERIES}
        x_all, p1, v, vdv, metric_m, vertices = _tasks.segment_inputs(case)
        case["n"] = pick_size(
            lambda n: kernel(x_all[:n], p1, v, vdv, metric_m), N_QUERIES, ours_target, n_start=work_start(s)
        )
        ours = _tasks.time_segment_case(case, cfg)
        base = run_baselines(case, x_all, p1, v, vdv, metric_m, _data.closed(vertices), ours)
        entries.append({"case": case, "label": f"S={s}, {metric}", "ours": ours, "base": base})

    # 1b: a coastline of 10^5 segments; a raster of queries in raster order and shuffled.
    s = 100_000
    progress(f"segments: coastline S={s}, sizing the raster")
    vertices = _data.coastline(s)
    p1, v, vdv = _data.segments_of(vertices, close=False)
    dense_side = math.isqrt(N_QUERIES)
    dense = _data.shuffled(_data.raster(vertices, dense_side))
    n = pick_size(lambda n: kernel(dense[:n], p1, v, vdv, np.eye(2)), len(dense), cfg.target, n_start=work_start(s))
    side = max(8, min(dense_side, math.isqrt(n)))
    shared_base = None
    for order, metric in (("shuffled", "identity"), ("grid", "identity"), ("shuffled", "anisotropic")):
        progress(f"segments: coastline S={s}, {side}x{side} raster, {order} order, {metric} metric")
        case = {"id": f"coast-{order}-{metric}", "kind": "coast", "S": s, "metric": metric, "order": order, "side": side}
        x_all, p1, v, vdv, metric_m, _ = _tasks.segment_inputs(case)
        ours = _tasks.time_segment_case(case, cfg)
        if order == "grid":
            base = shared_base  # neither baseline depends on the query order
        else:
            base = run_baselines(case, x_all, p1, v, vdv, metric_m, vertices, ours)
            if metric == "identity":
                shared_base = base
        label = f"{'raster' if order == 'grid' else 'random'} order, {metric}"
        entries.append({"case": case, "label": label, "ours": ours, "base": base})

    cases = [e["case"] for e in entries]
    threads = {}
    for t in (1, 2):
        progress(f"segments: all cases again in a subprocess with ORVO_FIELD_NUM_THREADS={t}")
        threads[t] = run_task(
            "segments", {"cfg": cfg.as_dict(), "cases": cases}, clean_env(ORVO_FIELD_NUM_THREADS=t), label=f"T={t}"
        )

    baseline_names = ("numpy brute force", "shapely.distance (prepared)")
    headers = ["case", "points", "ours", "T=1", "T=2", "T1/T2", "same", "numpy", "numpy/ours", "shapely", "shapely/ours"]
    for kind, title, unit, scale, md_prefix in (
        ("ring", "1a. segment kernel: closed star polylines, N=100000 uniform queries (ns per point-segment pair)",
         "ns/pair", 1e9, "closed polyline "),
        ("coast", "1b. segment kernel: coastline of 100000 segments (us per point)", "us/point", 1e6,
         "coastline S=100000, "),
    ):
        rows, notes = [], []
        for e in entries:
            case = e["case"]
            if case["kind"] != kind:
                continue
            n = n_points(case)
            ours = per_unit(case, e["ours"].median, n)
            t1 = per_unit(case, threads[1][case["id"]]["median"], n)
            t2 = per_unit(case, threads[2][case["id"]]["median"], n)
            same = {threads[1][case["id"]]["digest"], threads[2][case["id"]]["digest"], digest(e["ours"].result)}
            row = [e["label"], str(n), fmt_spread(e["ours"], scale / (n * (case["S"] if kind == "ring" else 1))),
                   fmt(t1 * scale), fmt(t2 * scale), ratio(t1, t2), "yes" if len(same) == 1 else "NO"]
            sizes, checks = [], []
            for name in baseline_names:
                if name not in e["base"]:
                    row += ["-", "-"]
                    continue
                st, nb, check = e["base"][name]
                b = per_unit(case, st.median, nb)
                row += [fmt_spread(st, scale / (nb * (case["S"] if kind == "ring" else 1))), ratio(b, ours)]
                sizes.append(f"{name.split()[0]} on {nb} points")
                checks.append(check)
                report.add("segment kernel", md_prefix + e["label"], f"{fmt(ours * scale)} {unit}", name,
                           f"{fmt(b * scale)} {unit}", ratio(b, ours))
            report.add("segment kernel", md_prefix + e["label"] + ", 2 threads", f"{fmt(t2 * scale)} {unit}",
                       "1 thread", f"{fmt(t1 * scale)} {unit}", ratio(t1, t2))
            rows.append(row)
            notes.append(f"{e['label']}: " + ", ".join(sizes) + "; " + ", ".join(checks))
        notes[:0] = [
            "ours: this process, default threads (median ±half-range); T=1, T=2: fresh subprocess with "
            "ORVO_FIELD_NUM_THREADS set; same: identical output bytes in all three",
            "ratios: baseline time / ours; baselines timed on a prefix of the same queries; shapely gives distances only",
        ]
        if kind == "coast":
            notes.insert(2, "queries: a raster over the bbox enlarged 20%; random order = the same points shuffled; "
                            "the raster-order row reuses the random-order baselines")
        print(text_table(title, headers, rows, notes), end="\n\n", flush=True)
    report.data["segments"] = {
        "cases": cases,
        "ours": {e["case"]["id"]: e["ours"].as_dict() for e in entries},
        "threads": threads,
        "baselines": {e["case"]["id"]: {k: {**v[0].as_dict(), "n": v[1], "check": v[2]} for k, v in e["base"].items()}
                      for e in entries},
    }


# ---------------------------------------------------------------------------
# 2. Inside test


def section_inside(cfg: Config, report: Report):
    from orvo.field import kernels

    shapely = optional("shapely")
    mpl_path = optional("matplotlib.path")
    ours_target = cfg.target if cfg.quick else max(cfg.target, 1.0)
    headers = ["outer+hole vertices", "points", "ours", "shapely", "shapely/ours", "matplotlib", "mpl/ours",
               "numpy", "numpy/ours"]
    rows, notes, data = [], [], {}
    for k in (16, 100, 1000, 100_000):
        kh = _data.hole_vertices(k)
        label = f"{k} + {kh}"
        progress(f"inside: polygon of {label} vertices")
        outer, hole = _data.polygon_with_hole(k)
        x_all = _data.uniform_queries(outer, N_QUERIES, salt=1)
        start = work_start(k + kh)

        def ours_fn(xs):
            return kernels.point_in_rings(xs, outer, [hole])

        n = pick_size(lambda n: ours_fn(x_all[:n]), N_QUERIES, ours_target, n_start=start)
        xo = x_all[:n]
        ours = measure(lambda: ours_fn(xo), cfg)
        ours_ns = ours.median / n * 1e9
        row = [label, str(n), fmt_spread(ours, 1e9 / n)]
        checks = []
        entry = {"n": n, "ours": ours.as_dict()}

        def baseline(name, make_fn, compare_to):
            nb = pick_size(lambda m: make_fn(m)(), N_QUERIES, cfg.target, n_start=start, n_min=1)
            st = measure(make_fn(nb), cfg)
            m = min(nb, n)
            wrong = int(np.count_nonzero(np.asarray(st.result[:m]) != compare_to[:m]))
            checks.append(f"{name} on {nb} points, {wrong} of {m} differ")
            b_ns = st.median / nb * 1e9
            row.extend([fmt_spread(st, 1e9 / nb), ratio(b_ns, ours_ns)])
            md_name = {"shapely": "shapely.contains_xy (prepared)", "matplotlib": "matplotlib Path.contains_points (outer ring only)",
                       "numpy": "numpy crossing test"}[name]
            report.add("inside test", f"polygon {label} vertices", f"{fmt(ours_ns)} ns/point", md_name,
                       f"{fmt(b_ns)} ns/point", ratio(b_ns, ours_ns))
            entry[name] = {**st.as_dict(), "n": nb, "differ": wrong}

        if shapely is not None:
            poly = shapely.Polygon(_data.closed(outer), [_data.closed(hole)])
            shapely.prepare(poly)
            px, py = np.ascontiguousarray(x_all[:, 0]), np.ascontiguousarray(x_all[:, 1])
            baseline("shapely", lambda m: (lambda: shapely.contains_xy(poly, px[:m], py[:m])), ours.result)
        else:
            row += ["-", "-"]
        if mpl_path is not None:
            path = mpl_path.Path(_data.closed(outer), closed=True)
            outer_only = kernels.point_in_rings(xo, outer, [])
            baseline("matplotlib", lambda m: (lambda: path.contains_points(x_all[:m])), outer_only)
        else:
            row += ["-", "-"]
        baseline("numpy", lambda m: (lambda: _baselines.numpy_point_in_rings(x_all[:m], outer, [hole])), ours.result)
        rows.append(row)
        notes.append(f"{label}: " + "; ".join(checks))
        data[label] = entry
    notes[:0] = [
        "ns per query point; queries uniform over the bbox enlarged 20%; ratios: baseline time / ours",
        "matplotlib tests the outer ring only (it ignores holes), so it is checked against ours without the hole",
    ]
    print(text_table("2. inside test: kernels.point_in_rings, polygon with one hole", headers, rows, notes),
          end="\n\n", flush=True)
    report.data["inside"] = data


# ---------------------------------------------------------------------------
# 3. Single-point latency


def section_latency(cfg: Config, report: Report):
    params = {"repeats": 9, "min_time": 0.01} if cfg.quick else {"repeats": 25, "min_time": 0.04}
    progress("latency: fast path on (ORVO_FIELD_NO_FASTPATH unset), in a subprocess")
    on = run_task("latency", params, clean_env(), label="fast path on")
    progress("latency: fast path off (ORVO_FIELD_NO_FASTPATH=1), in a subprocess")
    off = run_task("latency", params, clean_env(ORVO_FIELD_NO_FASTPATH=1), label="fast path off")
    headers = ["call", "argument", "fast path on", "off", "off/on", "same result"]
    rows = []
    for key, a in on.items():
        b = off[key]
        call, form = key.split(" | ")
        same = np.allclose(np.asarray(a["result"]), np.asarray(b["result"]), rtol=1e-12, atol=0.0, equal_nan=True)
        spread = lambda e: (e["high"] - e["low"]) / (2 * e["median"])  # noqa: E731
        rows.append([call, form, f"{fmt(a['median'] * 1e6)} ±{spread(a) * 100:.0f}%",
                     f"{fmt(b['median'] * 1e6)} ±{spread(b) * 100:.0f}%", ratio(b["median"], a["median"]),
                     "yes" if same else "NO"])
        report.add("one-point latency", f"{call}, {form}", f"{fmt(a['median'] * 1e6)} us", "fast path off",
                   f"{fmt(b['median'] * 1e6)} us", ratio(b["median"], a["median"]))
    notes = [
        f"microseconds per call, timeit median of {params['repeats']} repeats, each a fresh subprocess per setting",
        "off/on: time with ORVO_FIELD_NO_FASTPATH=1 / time without it; same result: outputs agree to 1e-12",
    ]
    print(text_table("3. one-point latency", headers, rows, notes), end="\n\n", flush=True)
    report.data["latency"] = {"on": on, "off": off}


# ---------------------------------------------------------------------------
# 4. Large grid through a collection


def section_grid(cfg: Config, report: Report, side: int | None):
    side = side or (100 if cfg.quick else 1000)
    params = {
        "polygon_vertices": 10_000,
        "side": side,
        "budget": 5.0 if cfg.quick else 120.0,
        "max_repeats": 3,
    }
    progress(f"grid: scene only (memory baseline), {side}x{side} raster")
    base = run_task("grid", {**params, "build_only": True}, clean_env(), label="build only")
    runs = {}
    for t in (2, 1):
        progress(f"grid: gradient on {side * side} points with ORVO_FIELD_NUM_THREADS={t} "
                 f"(one call may take minutes on a slow build)")
        runs[t] = run_task("grid", params, clean_env(ORVO_FIELD_NUM_THREADS=t), label=f"T={t}")
    members = _data.grid_scene(params["polygon_vertices"])
    outer_n = len(members[0]["coordinates"][0]) - 1
    hole_n = [len(h) - 1 for h in members[0]["coordinates"][1:]]
    headers = ["threads", "points", "seconds", "us/point", "runs", "peak RSS +MiB", "T=1 / this", "same"]
    rows = []
    same = "yes" if runs[1]["digest"] == runs[2]["digest"] else "NO"
    t1 = float(np.median(runs[1]["times"]))
    for t in (2, 1):
        r = runs[t]
        sec = float(np.median(r["times"]))
        extra = (r["maxrss_kib"] - base["maxrss_kib"]) / 1024
        rows.append([f"ORVO_FIELD_NUM_THREADS={t}", str(r["points"]), fmt(sec), fmt(sec / r["points"] * 1e6),
                     str(len(r["times"])), fmt(extra), ratio(t1, sec), same])
    r2 = runs[2]
    sec2 = float(np.median(r2["times"]))
    extra2 = (r2["maxrss_kib"] - base["maxrss_kib"]) / 1024
    report.add("collection gradient", f"{side}x{side} raster, 2 threads",
               f"{fmt(sec2)} s, +{fmt(extra2)} MiB peak", "1 thread",
               f"{fmt(t1)} s, +{fmt((runs[1]['maxrss_kib'] - base['maxrss_kib']) / 1024)} MiB peak", ratio(t1, sec2))
    notes = [
        f"scene: a polygon of {outer_n} outer vertices with holes of {hole_n} vertices, a point, a 20-point "
        "multipoint, a 200-vertex line and a 50-vertex polygon; raster over the bbox enlarged 20%",
        f"seconds: median over runs of one gradient call; peak RSS: ru_maxrss minus that of a subprocess that only "
        f"builds the scene and the raster ({base['maxrss_kib'] / 1024:.0f} MiB; scene build {base['build_s']:.2f} s)",
        f"finite rows: {runs[2]['finite'] * 100:.1f}%; same: identical output bytes with 1 and 2 threads",
    ]
    print(text_table("4. collection gradient on a large raster", headers, rows, notes), end="\n\n", flush=True)
    report.data["grid"] = {"params": params, "baseline": base, "runs": runs}


# ---------------------------------------------------------------------------
# 5. Whole scenes

# A scene's evaluate repeats stop once they have taken this many seconds
# (keyed by --quick). One call of ours may take a third of it: a slower one
# runs on evenly spaced whole rows of the raster (the table gives the count).
SCENE_BUDGET = {True: 12.0, False: 120.0}
SCENE_SAMPLE = 2000  # points per scene whose distances are checked
SCENE_TOL = 1e-9  # relative tolerance of our squared distances against shapely's
SCENE_NEARBY = 32  # nearby points in the one-point sequence


def rel_diff(ours, ref, scale: float) -> float:
    """max |ours - ref| / ref, with ref floored at (1e-9 * scale)^2 so that zeros compare absolutely."""
    ours, ref = np.asarray(ours, dtype=float), np.asarray(ref, dtype=float)
    if not len(ref):
        return 0.0
    return float(np.max(np.abs(ours - ref) / np.maximum(ref, (1e-9 * scale) ** 2)))


def checked(err: float) -> str:
    return f"{err:.1e}" + ("" if err <= SCENE_TOL else f" (OVER {SCENE_TOL:.0e})")


def extent_size(scene) -> float:
    lo, hi = scene.extent()
    return float(np.max(hi - lo))


def as_stats(timing) -> Stats:
    """Stats of a subprocess's answer: a list of seconds per call, or a time_call-style dictionary."""
    if isinstance(timing, list):
        return Stats(float(np.median(timing)), min(timing), max(timing), len(timing), 1)
    return Stats(timing["median"], timing["low"], timing["high"], timing["repeats"], timing["number"])


def scene_label(name: str, form: str) -> str:
    return f"{name} {_data.SCENE_FORMS[form]}"


def section_scenes(cfg: Config, report: Report, side: int | None, check: bool):
    if optional("shapely") is None:
        print("5. scenes: skipped, the scene generators and baselines need shapely>=2\n", flush=True)
        return
    scenes, generated = {}, {}
    for name in _data.SCENES:
        progress(f"scenes: generating the {name}")
        t0 = time.perf_counter()
        scenes[name] = _data.scene(name)
        generated[name] = time.perf_counter() - t0
    if check:
        for name, sc in scenes.items():
            progress(f"scenes: checking the {name} with shapely")
            measures = _data.check_scene(sc)
            print(f"scene check, {name}: valid; " + ", ".join(
                f"{k} {fmt(v) if isinstance(v, float) else v}" for k, v in measures.items()), flush=True)
    grid = scenes_on_raster(cfg, report, scenes, side or (200 if cfg.quick else 1000))
    latency = scenes_latency(cfg, report, scenes, generated)
    report.data["scenes"] = {"raster": grid, "latency": latency, "generated_s": generated}


def scenes_on_raster(cfg: Config, report: Report, scenes: dict, side: int) -> dict:
    """5a: orvo.field.evaluate on each scene's raster (subprocesses at 1 and 2 threads) and the baselines."""
    import orvo.field
    from orvo.field import kernels

    ndimage = optional("scipy.ndimage")
    # Size ours in this process on a random sample of the raster, then time it in subprocesses.
    cases, collections, grids = [], {}, {}
    for name, sc in scenes.items():
        grids[name] = sc.raster(side)
        for form in _data.SCENE_FORMS:
            progress(f"scenes: sizing evaluate on the {scene_label(name, form)}")
            collection = _tasks.scene_collection(name, form)
            collections[f"{name}-{form}"] = collection
            probe = _data.shuffled(grids[name])[: 1000 if cfg.quick else 2000]
            orvo.field.evaluate(collection, probe[:1])
            t0 = time.perf_counter()
            orvo.field.evaluate(collection, probe)
            per_point = (time.perf_counter() - t0) / len(probe)
            n = min(side * side, int(SCENE_BUDGET[cfg.quick] / 3.0 / per_point))
            m = len(_data.grid_row_index(side, n)) * side
            rng = np.random.default_rng([_data.SEED_QUERIES, len(cases)])
            sample = np.sort(rng.choice(m, min(SCENE_SAMPLE, m), replace=False))
            cases.append({"id": f"{name}-{form}", "scene": name, "form": form, "points": n, "sample": sample.tolist()})
    params = {"side": side, "repeats": cfg.repeats, "budget": SCENE_BUDGET[cfg.quick], "cases": cases}
    threads = {}
    for t in (2, 1):
        progress(f"scenes: evaluate on every scene's raster in a subprocess with ORVO_FIELD_NUM_THREADS={t} "
                 "(minutes on a slow build)")
        threads[t] = run_task("scene_grid", params, clean_env(ORVO_FIELD_NUM_THREADS=t), label=f"T={t}")

    rows, notes, data = [], [], {}
    for case in cases:
        name, form, case_id = case["scene"], case["form"], case["id"]
        sc, x, label = scenes[name], grids[name], scene_label(name, form)
        progress(f"scenes: baselines on the {label}")
        t2, t1 = threads[2][case_id], threads[1][case_id]
        n_ours = t2["points"]
        ours = float(np.median(t2["times"])) / n_ours
        ours_t1 = float(np.median(t1["times"])) / n_ours
        row = [label, str(n_ours), fmt_spread(as_stats(t2["times"]), 1e6 / n_ours), str(len(t2["times"])),
               fmt(ours_t1 * 1e6), ratio(ours_t1, ours), "yes" if t1["digest"] == t2["digest"] else "NO"]
        report.add("scene evaluate", f"{label}, {n_ours} raster points, 2 threads", f"{fmt(ours * 1e6)} us/point",
                   "1 thread", f"{fmt(ours_t1 * 1e6)} us/point", ratio(ours_t1, ours))

        def compare(baseline: str, seconds: float):
            report.add("scene evaluate", f"{label}, 2 threads", f"{fmt(ours * 1e6)} us/point", baseline,
                       f"{fmt(seconds * 1e6)} us/point", ratio(seconds, ours))

        def sized(fn):
            """fn timed on whole raster rows, as many as take about cfg.target seconds."""
            n = pick_size(lambda k: fn(_data.grid_rows(x, side, k)), side * side, cfg.target, n_start=side, n_min=side)
            xb = _data.grid_rows(x, side, n)
            return measure(lambda: fn(xb), cfg), len(xb)

        # Our squared distances and values on a sample of our points against shapely's.
        xs = _data.grid_rows(x, side, case["points"])[case["sample"]]
        index = _baselines.ShapelySceneIndex(sc, polygons=form == "split")
        ref = index.squared_distance(xs)
        ours_d2 = np.asarray(collections[case_id].squared_dist(xs))
        err_values = max(rel_diff(t["sample_values"], np.exp(-ours_d2), 1.0) for t in (t1, t2))
        checks = [f"ours vs shapely squared distance max rel diff {checked(rel_diff(ours_d2, ref, extent_size(sc)))}",
                  f"values vs exp(-squared_dist) {err_values:.1e}"]
        entry = {"ours_T2": t2, "ours_T1": t1}

        # A: shapely STRtree over the edges (+ the inside test for Polygon members).
        st, n_a = sized(index.squared_distance)
        a = st.median / n_a
        row += [fmt_spread(st, 1e6 / n_a), ratio(a, ours)]
        compare("shapely STRtree.query_nearest" + (" + contains_xy" if form == "split" else ""), a)
        entry["shapely"] = {**st.as_dict(), "n": n_a}

        # B: the segment kernel over all the scene's edges, no inside test.
        p1, v, vdv = sc.segments()
        eye = np.eye(2)
        st, n_b = sized(lambda xb: kernels.segment_repulsion_vectors(xb, p1, v, vdv, eye))
        b = st.median / n_b
        row += [fmt_spread(st, 1e6 / n_b), ratio(b, ours)]
        compare(f"segment kernel over all {len(p1)} edges", b)
        vb = kernels.segment_repulsion_vectors(xs, p1, v, vdv, eye)
        err_b = rel_diff(np.einsum("ij,ij->i", vb, vb), index.boundary_squared_distance(xs), extent_size(sc))
        checks.append(f"kernel vs shapely boundary squared distance {checked(err_b)}")
        entry["kernel"] = {**st.as_dict(), "n": n_b}

        # C: burn the scene into the raster, then a Euclidean distance transform of it all.
        if ndimage is not None:
            burnt = _baselines.SceneRaster(sc, side, land=form == "split")
            st = measure(lambda: burnt.distance(burnt.rasterise()), cfg)
            mask = burnt.rasterise()
            st_edt = measure(lambda: burnt.distance(mask), cfg)
            c, e = st.median / side**2, st_edt.median / side**2
            sample = np.asarray(case["sample"])
            flat = _data.grid_row_index(side, case["points"])[sample // side] * side + sample % side
            err_c = float(np.max(np.abs(st_edt.result[flat] - np.sqrt(ref))) / np.max(burnt.step))
            checks.append(f"raster distance max error {err_c:.2f} pixels")
            row += [fmt_spread(st, 1e6 / side**2), ratio(c, ours), fmt(e * 1e6), ratio(e, ours)]
            compare(f"rasterise + distance_transform_edt ({side}x{side})", c)
            compare(f"distance_transform_edt alone ({side}x{side})", e)
            entry["raster"] = {**st.as_dict(), "n": side * side, "edt": st_edt.as_dict(), "error_px": err_c}
        else:
            row += ["-", "-", "-", "-"]
        rows.append(row)
        notes.append(f"{label}: shapely on {n_a} points, kernel on {n_b}; " + "; ".join(checks))
        entry["checks"] = checks
        data[case_id] = entry
    headers = ["scene", "points", "ours T=2", "runs", "T=1", "T1/T2", "same", "shapely", "shapely/ours",
               "kernel", "kernel/ours", "raster+edt", "r+edt/ours", "edt", "edt/ours"]
    notes[:0] = [
        f"us per point; raster {side}x{side} over the scene's bbox enlarged 20%; ours: orvo.field.evaluate "
        "(values and gradients) after a first call on one point, median of the runs in a fresh subprocess per "
        "ORVO_FIELD_NUM_THREADS, on evenly "
        f"spaced whole raster rows when the whole raster would take over {fmt(SCENE_BUDGET[cfg.quick] / 3)} s a call",
        "shapely: shapely.points + STRtree.query_nearest over the edges as linestrings, plus for Polygon members "
        "contains_xy of the bbox candidates; kernel: kernels.segment_repulsion_vectors over all edges (no inside "
        "test); raster: boundary (and land for Polygons) burnt into the raster, scipy distance_transform_edt",
        "ratios: baseline time / ours at 2 threads; same: identical output bytes with 1 and 2 threads; "
        f"checks on {SCENE_SAMPLE} of our points",
    ]
    print(text_table("5a. whole scenes: evaluate on a raster (us per point)", headers, rows, notes),
          end="\n\n", flush=True)
    return {"side": side, "cases": cases, "results": data}


def scenes_latency(cfg: Config, report: Report, scenes: dict, generated: dict) -> dict:
    """5b, 5c: construction, first calls and one-point calls, in a fresh subprocess."""
    main = _data.mainland(scenes["coastline"])
    by_name = {**scenes, "mainland": main}
    cases = []
    for name, sc in by_name.items():
        probe, walk = scene_probe(_baselines.ShapelySceneIndex(sc, polygons=True), *sc.extent(), salt=len(cases))
        for form in ("split",) if name == "mainland" else _data.SCENE_FORMS:
            cases.append({"id": f"{name}-{form}", "scene": name, "form": form, "probe": probe, "nearby": walk})
    params = {"repeats": 9 if cfg.quick else 25, "min_time": 0.01 if cfg.quick else 0.04,
              "fresh": 3 if cfg.quick else 7, "cases": cases}
    progress("scenes: construction, first calls and one-point latency in a subprocess")
    lat = run_task("scene_latency", params, clean_env(), label="scene latency")

    headers = ["scene", "members", "parts", "holes", "edges", "build ms", "+1st evaluate ms", "+1st gradient ms",
               "shapely build ms", "+1st query ms", "shapely/ours"]
    rows = []
    for case in cases:
        if case["scene"] == "mainland":
            continue
        sc, r, label = scenes[case["scene"]], lat[case["id"]], scene_label(case["scene"], case["form"])
        ours_first = r["build_eval"] + r["first_evaluate"]
        theirs_first = r["shapely_build"] + r["shapely_first"]
        members = len(sc.features) if case["form"] == "multi" else len(sc.parts)
        rows.append([label, str(members), str(len(sc.parts)), str(sum(len(p) - 1 for p in sc.parts)),
                     str(sc.vertices), fmt(r["build"] * 1e3), fmt(r["first_evaluate"] * 1e3),
                     fmt(r["first_call"] * 1e3), fmt(r["shapely_build"] * 1e3), fmt(r["shapely_first"] * 1e3),
                     ratio(theirs_first, ours_first)])
        report.add("scene build", f"{label}: construction + first evaluate on 1 point", f"{fmt(ours_first * 1e3)} ms",
                   "shapely STRtree build + first query", f"{fmt(theirs_first * 1e3)} ms",
                   ratio(theirs_first, ours_first))
    notes = [
        f"medians over {params['fresh']} fresh objects, in one fresh subprocess; build: "
        "GeometryCollectionRGJ(geometries=...); +1st: the first call on a just-built object, one point",
        "shapely build: edge linestrings and their STRtree (plus the parts prepared and their STRtree for Polygon "
        "members); shapely/ours: (build + first query) / (build + first evaluate)",
        "scene generation in this process: " + ", ".join(f"{k} {fmt(v)} s" for k, v in generated.items()),
    ]
    print(text_table("5b. whole scenes: construction and first call", headers, rows, notes), end="\n\n", flush=True)

    headers = ["scene", "call", "first ms", "same point us", "nearby us", "shapely same us", "shapely nearby us",
               "shapely/ours same", "shapely/ours nearby", "d2 rel diff"]
    rows = []
    for case in cases:
        r = lat[case["id"]]
        if case["scene"] == "mainland":
            label, call = f"mainland PolygonRGJ ({main.vertices} edges)", "repulsion_vector"
        else:
            label, call = scene_label(case["scene"], case["form"]), "gradient"
        same, near = r["same"]["median"], r["nearby"]["median"]
        s_same, s_near = r["shapely_same"]["median"], r["shapely_nearby"]["median"]
        err = rel_diff(r["ours_d2"], r["shapely_d2"], extent_size(by_name[case["scene"]]))
        rows.append([label, call, fmt(r["first_call"] * 1e3), fmt_spread(as_stats(r["same"]), 1e6),
                     fmt(near * 1e6), fmt(s_same * 1e6), fmt(s_near * 1e6), ratio(s_same, same),
                     ratio(s_near, near), checked(err)])
        baseline = "shapely one-point query_nearest" + (" + contains_xy" if case["form"] == "split" else "")
        for what, o, t in (("same point", same, s_same), (f"{SCENE_NEARBY} nearby points", near, s_near)):
            report.add("scene latency", f"{label}.{call}, (1, 2) array, {what}", f"{fmt(o * 1e6)} us", baseline,
                       f"{fmt(t * 1e6)} us", ratio(t, o))
    notes = [
        f"one (1, 2) ndarray point per call; medians of {params['repeats']} repeats; same point: the probe "
        f"again and again; nearby: a walk of {SCENE_NEARBY} points in steps of 0.1% of the extent around it",
        "probe: a point in the open at 0.5-2% of the extent from the boundary; first: the first call on a "
        "just-built object (median over fresh objects); shapely: shapely.points + STRtree.query_nearest (+ "
        "bbox candidates and contains_xy for Polygon members)",
        "d2 rel diff: our squared distances at the probe and the walk against shapely's",
    ]
    print(text_table("5c. whole scenes: one-point latency", headers, rows, notes), end="\n\n", flush=True)
    return {"cases": cases, "results": lat}


def scene_probe(index, lo, hi, salt: int):
    """A query point in the open near a scene's boundary, and a short walk of points around it.

    The first of 4096 uniform points over the extent that lies outside every
    part at 0.5% to 2% of the extent from the boundary (else the nearest
    outside one); the walk takes steps of 0.1% of the extent.
    """
    rng = np.random.default_rng([_data.SEED_QUERIES, salt])
    size = float(np.max(hi - lo))
    pts = rng.uniform(lo, hi, (4096, 2))
    d = np.sqrt(index.squared_distance(pts))
    fits = np.flatnonzero((d >= 0.005 * size) & (d <= 0.02 * size))
    outside = np.flatnonzero(d > 0)
    probe = pts[fits[0]] if len(fits) else pts[outside[np.argmin(d[outside])]]
    walk = probe + np.cumsum(rng.normal(0.0, 1e-3 * size, (SCENE_NEARBY, 2)), axis=0)
    return probe.tolist(), walk.tolist()


# ---------------------------------------------------------------------------
# 6. Planner

PLAN_REPEATS = 3  # plans timed per route after the first; the median is reported
SEARCH_TARGET = (10**6, 1.0)  # (cells, seconds): a search of this many cells should take under this long
PLAN_TARGET = (10**5, 10.0)  # (scene vertices, seconds): a whole plan should take under this long
PATH_TOL = 1e-9  # relative tolerance of our path cost against scipy's least cost


def section_planner(cfg: Config, report: Report, side: int | None):
    from orvo.field import kernels

    side = side or (300 if cfg.quick else 1000)
    have_shapely = optional("shapely") is not None
    have_scipy = optional("scipy.sparse.csgraph") is not None
    names = [n for n in _tasks.PLANNER_CASES if have_shapely or n != "coastline"]
    headers = ["case", "cells", "open", "path cells", "ours s", "scipy s", "scipy/ours", "graph build s",
               "cost rel diff"]
    rows, notes, searches = [], [], {}
    for name in names:
        progress(f"planner: building the {name} cost raster, {side}x{side} cells")
        t0 = time.perf_counter()
        cost, start, goal, description = _tasks.planner_case(name, side)
        made = time.perf_counter() - t0
        s_flat, g_flat = start[0] * side + start[1], goal[0] * side + goal[1]
        progress(f"planner: kernels.grid_path on the {name} raster")
        ours = measure(lambda: kernels.grid_path(cost, start, goal), cfg)
        path = np.asarray(ours.result)
        if len(path) == 0 or path[0] != s_flat or path[-1] != g_flat:
            raise RuntimeError(f"planner: grid_path found no path from {start} to {goal} on the {name} raster")
        ours_cost = _baselines.grid_path_cost(cost, path)
        open_share = float(np.mean(np.isfinite(cost)))
        row = [name, str(side * side), f"{open_share * 100:.1f}%", str(len(path)), fmt_spread(ours, 1.0)]
        entry = {"description": description, "side": side, "start": list(start), "goal": list(goal),
                 "raster_s": made, "ours": ours.as_dict(), "path_cells": len(path), "path_cost": ours_cost}
        label = f"{side}x{side} cells, {description}"
        if have_scipy:
            progress(f"planner: scipy csgraph.dijkstra on the {name} raster's graph")
            t0 = time.perf_counter()
            graph = _baselines.grid_graph(cost)
            build = time.perf_counter() - t0
            st = measure(lambda: _baselines.scipy_grid_distance(graph, s_flat), cfg)
            ref = float(st.result[g_flat])
            err = abs(ours_cost - ref) / ref
            del graph
            st.result = None  # the (cells,) distances are not kept
            row += [fmt_spread(st, 1.0), ratio(st.median, ours.median), fmt(build),
                    f"{err:.1e}" + ("" if err <= PATH_TOL else f" (OVER {PATH_TOL:.0e})")]
            report.add("grid search", label, f"{fmt(ours.median)} s", "scipy csgraph.dijkstra (graph build excluded)",
                       f"{fmt(st.median)} s", ratio(st.median, ours.median))
            entry["scipy"] = {**st.as_dict(), "graph_build_s": build, "least_cost": ref, "rel_diff": err}
        else:
            row += ["-", "-", "-", "-"]
            report.add("grid search", label, f"{fmt(ours.median)} s", "-", "-", "-")
        rows.append(row)
        notes.append(f"{name}: {description}; cells {start} -> {goal}; raster built in {fmt(made)} s")
        searches[name] = entry
    notes[:0] = [
        f"seconds per search, median of {cfg.repeats} repeats (±half-range); ours: kernels.grid_path, A* from "
        "the start cell to the goal cell; open: cells with a positive finite cost",
        "scipy: scipy.sparse.csgraph.dijkstra(graph, directed=True, indices=start, min_only=True) over the same "
        "8-neighbour graph and edge weights (length x mean cost of the two cells, no corner cutting); it settles "
        "every reachable cell, as it has no goal; building the CSR graph (graph build s) is excluded",
        f"ratio: scipy time / ours; cost rel diff: our path's cost against scipy's least cost to the goal "
        f"(at most {PATH_TOL:.0e} required); our path is checked step by step (8-neighbour, open cells, no corner cut)",
    ]
    if not have_scipy:
        notes.append("scipy is not installed: no baseline (python -m pip install scipy)")
    if not have_shapely:
        notes.append("shapely is not installed: the coastline case and the plans are skipped (the scene needs it)")
    print(text_table("6a. planner: least-cost grid search", headers, rows, notes), end="\n\n", flush=True)

    cells, limit = SEARCH_TARGET
    judged = [e["ours"]["median"] for e in searches.values()]
    if side * side >= cells:
        slowest = max(judged)
        verdict = "PASS" if slowest < limit else "FAIL"
        print(f"{verdict}: a 10^6-cell search under {fmt(limit)} s (slowest of {len(judged)} searches on "
              f"{side * side} cells: {fmt(slowest)} s median)", flush=True)
    else:
        print(f"NOT JUDGED: a 10^6-cell search under {fmt(limit)} s (this run searched {side}x{side} cells; "
              f"slowest {fmt(max(judged))} s)", flush=True)
    print(flush=True)
    data = {"searches": searches}

    if have_shapely:
        progress(f"planner: plan.plan_path on the coastline scene, first plan and {PLAN_REPEATS} more per route, "
                 "in a subprocess")
        plans = run_task("plans", {"repeats": PLAN_REPEATS}, clean_env(), label="plans")
        vertices, members = plans.pop("vertices"), plans.pop("members")
        headers = ["route", "start", "goal", "build s", "first plan s", "plan s", "status", "clearance",
                   "length ratio", "positions", "cell"]
        rows, lines = [], []
        v_limit = PLAN_TARGET[1]
        for route, r in plans.items():
            st = Stats(float(np.median(r["times"])), min(r["times"]), max(r["times"]), len(r["times"]), 1)
            where = lambda p: f"({p[0]:.2f}, {p[1]:.2f})"  # noqa: E731
            rows.append([route, where(r["start"]), where(r["goal"]), fmt(r["build"]), fmt(r["first"]),
                         fmt_spread(st, 1.0), r["status"], fmt(r["clearance"]), fmt(r["straight_ratio"]),
                         str(r["positions"]), fmt(r["cell"])])
            lines.append(f"{route}: {r['summary']}")
            verdict = "PASS" if st.median < v_limit and r["status"] == "reached" else "FAIL"
            r["verdict"] = verdict
            report.add("plan", f"coastline ({vertices} vertices) {route}: {r['status']}, clearance "
                       f"{fmt(r['clearance'])}, {fmt(r['straight_ratio'])}x the straight line",
                       f"{fmt(st.median)} s", "target (no baseline)", f"{fmt(v_limit)} s", verdict)
        notes = [
            f"plan.plan_path(collection, start, goal) with its defaults (grid method) on the coastline scene, "
            f"{members} Polygon members, {vertices} vertices, in a fresh subprocess with default threads",
            f"build: GeometryCollectionRGJ(geometries=...); first plan: the first on the just-built collection; "
            f"plan s: median of {PLAN_REPEATS} more on it (±half-range); lo, hi: the scene's extent",
            "length ratio: path length / straight distance; cell: the grid cell the path was found on",
            *lines,
        ]
        print(text_table("6b. planner: whole plans across the coastline scene", headers, rows, notes),
              end="\n\n", flush=True)
        for route, r in plans.items():
            print(f"{r['verdict']}: a plan across a 10^5-vertex scene under {fmt(v_limit)} s ({route}: "
                  f"{fmt(float(np.median(r['times'])))} s median, first plan {fmt(r['first'])} s, {r['status']})",
                  flush=True)
        print(flush=True)
        data["plans"] = {"vertices": vertices, "members": members, "routes": plans}
    else:
        print("6b. planner plans: skipped, the coastline scene needs shapely>=2\n", flush=True)
    report.data["planner"] = data


# ---------------------------------------------------------------------------


def parse_only(value):
    aliases = {"1": "segments", "2": "inside", "3": "latency", "4": "grid", "5": "scenes", "6": "planner"}
    names = []
    for part in value.split(","):
        part = part.strip().lower()
        name = aliases.get(part, part)
        if name not in SECTIONS:
            raise argparse.ArgumentTypeError(f"unknown section {part!r}; choose from {', '.join(SECTIONS)} or 1-6")
        names.append(name)
    return names


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0], formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="Sections: " + ", ".join(SECTIONS))
    parser.add_argument("--quick", action="store_true", help="small sizes and few repeats: a smoke run of a few minutes")
    parser.add_argument("--only", type=parse_only, default=list(SECTIONS), metavar="NAME[,NAME]",
                        help="run only these sections: segments, inside, latency, grid, scenes, planner (or 1-6)")
    parser.add_argument("--repeats", type=int, help="timed repeats per measurement (default 5)")
    parser.add_argument("--grid-side", type=int,
                        help="raster side of the grid, scenes and planner sections (default 1000; with --quick 100 "
                             "for grid, 200 for scenes, 300 for planner)")
    parser.add_argument("--check", action="store_true",
                        help="scenes: first check the generated scenes with shapely (simple rings, holes inside, "
                             "parts disjoint or tiling)")
    parser.add_argument("--json", type=Path, help="also write all measurements to this JSON file")
    args = parser.parse_args(argv)

    cfg = Config.make(args.quick, args.repeats)
    info = machine_info()
    print(f"orvo.field benchmarks ({'quick' if cfg.quick else 'full'} run, {cfg.repeats} repeats, medians)")
    for line in machine_lines(info):
        print("  " + line)
    missing = [m for m in ("shapely", "matplotlib", "scipy") if info[m] is None]
    if missing:
        print(f"  missing baselines: {', '.join(missing)} (python -m pip install 'shapely>=2' matplotlib scipy)")
    print(flush=True)

    report = Report()
    started = time.perf_counter()
    for name in args.only:
        if name == "segments":
            section_segments(cfg, report)
        elif name == "inside":
            section_inside(cfg, report)
        elif name == "latency":
            section_latency(cfg, report)
        elif name == "grid":
            section_grid(cfg, report, args.grid_side)
        elif name == "scenes":
            section_scenes(cfg, report, args.grid_side, args.check)
        elif name == "planner":
            section_planner(cfg, report, args.grid_side)
    elapsed = time.perf_counter() - started

    print("Markdown summary")
    print("================")
    print()
    print(markdown_table(["Benchmark", "Case", "orvo.field", "Baseline", "Baseline time", "Speed-up"], report.rows,
                         "llrlrr"))
    print()
    print(f"Medians of {cfg.repeats} repeats ({'quick' if cfg.quick else 'full'} run, {elapsed:.0f} s); "
          "speed-up = baseline time / orvo.field time, measured in the same run.")
    if "planner" in report.data and "plans" in report.data["planner"]:
        print("Plan rows have no baseline library: the baseline column gives the target time and the last "
              "column PASS when the median plan is under it and reaches the goal.")
    print()
    for line in machine_lines(info) + [f"load average at end: {loadavg()}"]:
        print(f"- {line}")
    if args.json:
        args.json.write_text(json.dumps({"machine": info, "config": cfg.as_dict(), "elapsed_s": elapsed,
                                         "results": report.data}, indent=1, default=str))
        print(f"\nwrote {args.json}", file=sys.stderr)


if __name__ == "__main__":
    main()
