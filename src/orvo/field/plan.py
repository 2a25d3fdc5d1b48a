"""Path planning through a scene: a global search, then a refinement by the field.

:func:`plan_path` has two methods.

``method="grid"`` (the default) finds a path whenever the grid can see
one.  It lays a raster over the scene (the scene's box and both ends, with
a margin), blocks every cell whose centre lies within ``clearance`` plus one
cell of an obstacle (inside a polygon part, near a line or a point, by
Euclidean distance), gives every other cell the cost ``1 + weight * field
value``, and searches the least-cost 8-connected path with A*
(:func:`orvo.field.kernels.grid_path`).  Without a given ``cell`` the raster
starts at 512 cells along the scene's longer side and is refined (cells
halved) up to :data:`MAX_CELLS` cells while start and goal stay apart, so
narrow channels are found.  The path is then shortened (each vertex joined
to the farthest later one it can see with clearance) and pushed off the
obstacles along the field's negated gradient, each move kept only when the
path stays clear.

``method="field"`` is the artificial-potential-field planner: from the
start, steps of fixed length along the sum of a unit attraction towards the
goal and the scene's repulsion, the negated field gradient scaled by
``gain``::

    F = (goal - x) / |goal - x| - gain * gradient(x)
    x <- x + step * F / |F|

It is greedy: a goal behind a concave obstacle (a cove, a U of piers)
traps it.  The repulsion vectors of a multi-point member point towards its
nearest point, so the planner is drawn onto such members; scenes loaded by
:func:`orvo.field.scene.load` hold single points instead.

Every path either method returns is checked against the exact geometry
(:class:`orvo.field.obstacles.Obstacles`): ``"reached"`` means it ends at
the goal, never enters a polygon part, never crosses a line, never passes
through a point, and keeps a positive distance (its ``clearance``) from all
of them.  The statuses:

``"reached"``
    such a path;
``"no path"``
    the start or the goal lies on an obstacle (or within ``clearance`` of
    one), they lie in different enclosed regions (a hole of a polygon), or
    the finest grid found no way between them; ``reason`` says which;
``"stuck"``, ``"iteration limit"`` (field method)
    a local minimum of the potential (the forces cancel, the position
    oscillates, or there was no progress for ``patience`` steps), or
    ``max_iter`` steps without a decision;
``"collision"`` (field method)
    the steps reached the goal over or through an obstacle.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal

import numpy as np
from numpy.typing import NDArray

from orvo.field import kernels
from orvo.field.evaluation import as_collection, evaluate
from orvo.field.geometry import GeometryCollectionRGJ, RGJGeometry
from orvo.field.obstacles import Obstacles

__all__ = ["PlannedPath", "Status", "Method", "plan_path", "default_settings", "MAX_CELLS"]

Status = Literal["reached", "no path", "stuck", "iteration limit", "collision"]
Method = Literal["grid", "field"]

#: The most cells the grid method lays over a scene when it refines.
MAX_CELLS = 4_200_000

# Cells along the longer side of the first raster.
_FIRST_CELLS = 512
# The margin around the scene's box and the route, as a share of its size.
_MARGIN = 0.1


@dataclass(frozen=True)
class PlannedPath:
    """The outcome of :func:`plan_path`."""

    #: (K, 2) positions from the start; ends at the goal when reached.
    path: NDArray[np.float64]
    status: Status
    #: Why the planner stopped, in one line.
    reason: str
    #: Steps taken (field method) or grid levels searched (grid method).
    iterations: int
    start: tuple[float, float]
    goal: tuple[float, float]
    #: The largest field value met along the path's vertices (1 inside a polygon).
    max_field: float
    #: The smallest Euclidean distance from the path to an obstacle (0 on a
    #: collision, NaN when there is no path).
    clearance: float = math.nan
    method: Method = "field"
    #: The method's settings: step, gain and radius (field); cell, weight and clearance (grid).
    settings: Mapping[str, float] = field(default_factory=dict)

    @property
    def reached(self) -> bool:
        """True when the goal was reached by a path clear of every obstacle."""
        return self.status == "reached"

    @property
    def step(self) -> float:
        """The field method's step, or the grid method's cell size."""
        return float(self.settings.get("step", self.settings.get("cell", math.nan)))

    @property
    def gain(self) -> float:
        return float(self.settings.get("gain", math.nan))

    @property
    def radius(self) -> float:
        return float(self.settings.get("radius", math.nan))

    @property
    def length(self) -> float:
        """Length of the path polyline."""
        return float(np.hypot(*np.diff(self.path, axis=0).T).sum()) if len(self.path) > 1 else 0.0

    @property
    def straight_ratio(self) -> float:
        """The length over the straight distance from start to goal (1 for a straight path)."""
        straight = math.dist(self.start, self.goal)
        return self.length / straight if straight > 0.0 else math.nan

    @property
    def distance_to_goal(self) -> float:
        """Distance from the last position before any final hop to the goal."""
        last = self.path[-2] if self.reached and self.method == "field" and len(self.path) > 1 else self.path[-1]
        return float(math.dist(last, self.goal))

    def summary(self) -> str:
        """One line: the status, the reason, and the path's clearance and length."""
        if self.status == "no path":
            return f"{self.status}: {self.reason}"
        ratio = self.straight_ratio
        shape = f"length {self.length:.6g}" + (f" ({ratio:.3g}x the straight line)" if math.isfinite(ratio) else "")
        return f"{self.status}: {self.reason}; clearance {self.clearance:.3g}, {shape}, {len(self.path)} positions"

    def to_feature(self) -> dict[str, Any]:
        """The path as a GeoJSON LineString Feature with the outcome in its properties."""
        coordinates = self.path.tolist()
        if len(coordinates) == 1:  # a LineString needs two positions
            coordinates = coordinates * 2
        ratio = self.straight_ratio
        return {
            "type": "Feature",
            "properties": {
                "status": self.status,
                "reason": self.reason,
                "method": self.method,
                "clearance": _json_number(self.clearance),
                "length": self.length,
                "straight_ratio": _json_number(ratio),
                "iterations": self.iterations,
                "distance_to_goal": self.distance_to_goal,
                "max_field": self.max_field,
                "start": list(self.start),
                "goal": list(self.goal),
                "settings": {name: _json_number(value) for name, value in self.settings.items()},
            },
            "geometry": {"type": "LineString", "coordinates": coordinates},
        }


def default_settings(geometry: RGJGeometry) -> dict[str, float]:
    """Step, gain and stop radius suited to a scene's repulsion scales.

    A member with repulsion R has a field that falls off over the length
    ``sqrt(eigenvalue of R)``; its gradient is at most about ``0.86 / s``
    along a direction of length scale s.  The default step is a tenth of the
    shortest such length, so no step jumps a field's slope, the gain is
    2.5 times the longest, so the repulsion of every member can outweigh
    the unit attraction, and the stop radius is 1.5 steps.
    """
    collection = as_collection(geometry)
    scales: list[float] = []
    for member in collection.rgjs or []:
        matrix = np.asarray(member.repulsion, dtype=np.float64)
        eigen = np.linalg.eigvalsh((matrix + matrix.T) / 2.0)
        scales.extend(float(math.sqrt(e)) for e in eigen if e > 0)
    if not scales:
        scales = [1.0]
    step = 0.1 * min(scales)
    return {"step": step, "gain": 2.5 * max(scales), "radius": 1.5 * step}


def plan_path(
    geometry: RGJGeometry,
    start: Sequence[float],
    goal: Sequence[float],
    *,
    method: Method = "grid",
    clearance: float = 0.0,
    cell: float | None = None,
    weight: float = 4.0,
    step: float | None = None,
    gain: float | None = None,
    radius: float | None = None,
    max_iter: int = 5000,
    window: int = 20,
    patience: int = 300,
) -> PlannedPath:
    """Plan a path from ``start`` to ``goal`` through ``geometry``.

    Grid method: ``clearance`` is the least distance to keep from every
    obstacle, ``cell`` the raster's cell size (default: chosen and refined
    as the module documentation says), ``weight`` how strongly the field
    value adds to a cell's cost (0: the shortest path).  Field method:
    ``step``, ``gain`` and ``radius`` default to :func:`default_settings`
    of the scene; ``max_iter`` caps the number of steps; ``window`` and
    ``patience`` tune the stuck detection.  Raises ``ValueError`` for
    non-finite points, for a start and goal so far apart that their
    distance overflows, for bad settings, or for a scene without obstacles.
    """
    collection = as_collection(geometry)
    here = _point("start", start)
    target = _point("goal", goal)
    if not math.isfinite(math.dist(here, target)):
        raise ValueError(f"start and goal are too far apart: their distance overflows, got {start!r} and {goal!r}")
    if method == "grid":
        settings = {
            "cell": math.nan if cell is None else _positive("cell", cell),
            "weight": _non_negative("weight", weight),
            "clearance": _non_negative("clearance", clearance),
        }
    elif method == "field":
        defaults = default_settings(collection)
        settings = {
            "step": _positive("step", defaults["step"] if step is None else step),
            "gain": _non_negative("gain", defaults["gain"] if gain is None else gain),
            "radius": _positive("radius", defaults["radius"] if radius is None else radius),
        }
        for name, value in (("max_iter", max_iter), ("window", window), ("patience", patience)):
            if isinstance(value, bool) or not isinstance(value, int) or value < 1:
                raise ValueError(f"{name} must be a positive integer, got {value!r}")
    else:
        raise ValueError(f"method must be 'grid' or 'field', got {method!r}")
    obstacles = Obstacles(collection)
    report = _Report(collection, here, target, method, settings)
    blocked = _blocked_end(obstacles, np.stack([here, target]), settings.get("clearance", 0.0))
    if blocked is not None:
        return report.no_path(blocked, 0)
    if method == "grid":
        return _plan_grid(collection, obstacles, report, here, target, settings)
    return _plan_field(collection, obstacles, report, here, target, settings, max_iter, window, patience)


@dataclass(frozen=True)
class _Report:
    """Builds a :class:`PlannedPath`: the path, its clearance as checked, and the field along it."""

    collection: GeometryCollectionRGJ
    here: NDArray[np.float64]
    target: NDArray[np.float64]
    method: Method
    settings: dict[str, float]

    def __call__(
        self, path: NDArray[np.float64], status: Status, reason: str, iterations: int, clearance: float, **settings: float
    ) -> PlannedPath:
        values, _ = evaluate(self.collection, path, progress=None)
        return PlannedPath(
            path=path, status=status, reason=reason, iterations=iterations,
            start=(float(self.here[0]), float(self.here[1])), goal=(float(self.target[0]), float(self.target[1])),
            max_field=float(values.max()), clearance=clearance, method=self.method,
            settings={**self.settings, **settings},
        )

    def no_path(self, reason: str, iterations: int, **settings: float) -> PlannedPath:
        return self(self.here[None].copy(), "no path", reason, iterations, math.nan, **settings)


# --------------------------------------------------------------------------
# The grid method


def _plan_grid(
    collection: GeometryCollectionRGJ,
    obstacles: Obstacles,
    report: _Report,
    here: NDArray[np.float64],
    target: NDArray[np.float64],
    settings: dict[str, float],
) -> PlannedPath:
    clearance = settings["clearance"]
    apart = _enclosures_apart(obstacles, here, target)
    if apart is not None:
        return report.no_path(apart, 0)
    extent = _extent(obstacles.box, np.stack([here, target]), clearance)
    cells = [settings["cell"]] if math.isfinite(settings["cell"]) else _cell_sizes(extent)
    for level, cell in enumerate(cells, start=1):
        raw = _search(collection, obstacles, extent, cell, here, target, clearance, settings["weight"])
        if raw is None:
            continue
        for path in (_smooth(collection, obstacles, raw, cell, clearance, settings["weight"]), raw):
            check = obstacles.check(path)
            if check.clear and check.clearance >= clearance:
                reason = f"found on a grid of cell {cell:.3g} ({level} level{'s' if level > 1 else ''})"
                return report(path, "reached", reason, level, check.clearance, cell=cell)
    finest = cells[-1]
    reason = (
        f"start and goal are not connected on a grid of cell {finest:.3g} with clearance {clearance:g}; "
        f"a passage narrower than about {2 * clearance + 3 * finest:.3g} is not seen (give a smaller cell)"
    )
    return report.no_path(reason, len(cells), cell=finest)


def _blocked_end(obstacles: Obstacles, ends: NDArray[np.float64], clearance: float) -> str | None:
    """Why the start or the goal cannot be left or reached, or None."""
    reach = obstacles.distance(ends)
    for name, point, distance in zip(("start", "goal"), ends, reach):
        where = f"({point[0]:g}, {point[1]:g})"
        if distance == 0.0:
            return f"the {name} {where} lies on {obstacles.nearest(point)}"
        if distance <= clearance:
            return f"the {name} {where} lies within the clearance {clearance:g} of {obstacles.nearest(point)}"
    return None


def _enclosures_apart(obstacles: Obstacles, here: NDArray[np.float64], target: NDArray[np.float64]) -> str | None:
    """Why start and goal lie in different regions at any clearance (one is in a hole the other is not), or None."""
    start_holes, goal_holes = set(obstacles.enclosure(here)), set(obstacles.enclosure(target))
    if start_holes == goal_holes:
        return None
    name, (label, number) = ("goal", min(goal_holes - start_holes)) if goal_holes - start_holes else (
        "start", min(start_holes - goal_holes))
    return (
        f"start and goal are not connected at any clearance: the {name} lies in hole {number} of {label}, "
        "which only land surrounds"
    )


def _extent(box: Sequence[float], ends: NDArray[np.float64], clearance: float) -> tuple[float, float, float, float]:
    low = np.minimum(np.asarray(box[:2]), ends.min(0))
    high = np.maximum(np.asarray(box[2:]), ends.max(0))
    # Room to pass an obstacle at the box's edge with the clearance.
    pad = _MARGIN * float(np.max(high - low)) + 2.0 * clearance or 1.0
    return float(low[0] - pad), float(low[1] - pad), float(high[0] + pad), float(high[1] + pad)


def _cell_sizes(extent: tuple[float, float, float, float]) -> list[float]:
    """Cell sizes from coarse to fine, halving while the raster stays within MAX_CELLS."""
    width, height = extent[2] - extent[0], extent[3] - extent[1]
    cell = max(width, height) / _FIRST_CELLS
    sizes = [cell]
    while math.ceil(width / (cell / 2)) * math.ceil(height / (cell / 2)) <= MAX_CELLS:
        cell /= 2
        sizes.append(cell)
    return sizes


def _search(
    collection: GeometryCollectionRGJ,
    obstacles: Obstacles,
    extent: tuple[float, float, float, float],
    cell: float,
    here: NDArray[np.float64],
    target: NDArray[np.float64],
    clearance: float,
    weight: float,
) -> NDArray[np.float64] | None:
    """The least-cost raster path from ``here`` to ``target`` as positions, or None.

    A cell is open when its centre lies farther than ``clearance + cell``
    from every obstacle: a step between neighbouring centres (at most
    cell * sqrt 2 long) then keeps more than ``clearance + 0.29 cell``.
    """
    cols = max(1, math.ceil((extent[2] - extent[0]) / cell))
    rows = max(1, math.ceil((extent[3] - extent[1]) / cell))
    if rows * cols > MAX_CELLS:
        raise ValueError(f"a grid of cell {cell:g} over the scene has {rows * cols} cells, more than {MAX_CELLS}")
    xs = extent[0] + (np.arange(cols) + 0.5) * cell
    ys = extent[1] + (np.arange(rows) + 0.5) * cell
    centres = np.stack(np.meshgrid(xs, ys), axis=-1).reshape(-1, 2)
    reach = obstacles.distance(centres)
    values, _ = evaluate(collection, centres, progress=None)
    cost = 1.0 + weight * np.nan_to_num(values, nan=1.0, posinf=1.0)
    cost[reach <= clearance + cell] = np.inf
    first = _entry(obstacles, centres, cost, rows, cols, cell, here, clearance)
    last = _entry(obstacles, centres, cost, rows, cols, cell, target, clearance)
    if first is None or last is None:
        return None
    cells = kernels.grid_path(cost.reshape(rows, cols), divmod(first, cols), divmod(last, cols))
    if not len(cells):
        return None
    return np.concatenate([here[None], centres[cells], target[None]])


def _entry(
    obstacles: Obstacles,
    centres: NDArray[np.float64],
    cost: NDArray[np.float64],
    rows: int,
    cols: int,
    cell: float,
    point: NDArray[np.float64],
    clearance: float,
) -> int | None:
    """The nearest open cell whose centre ``point`` sees with clearance, or None."""
    extent_low = centres[0] - cell / 2
    r0, c0 = (int(v) for v in np.floor((point - extent_low) / cell)[::-1])
    rr, cc = np.mgrid[max(r0 - 3, 0) : min(r0 + 4, rows), max(c0 - 3, 0) : min(c0 + 4, cols)]
    candidates = (rr * cols + cc).ravel()
    candidates = candidates[np.isfinite(cost[candidates])]
    if not len(candidates):
        return None
    candidates = candidates[np.argsort(np.hypot(*(centres[candidates] - point).T), kind="stable")]
    need = float(_need(obstacles.distance(point)[0], clearance, cell))
    clear = obstacles.clear_segments(np.broadcast_to(point, (len(candidates), 2)), centres[candidates], need, need)
    return int(candidates[np.argmax(clear)]) if clear.any() else None


def _need(reach: Any, clearance: float, cell: float) -> Any:
    """What the samples of a segment from points ``reach`` away must keep: a quarter cell beyond
    the clearance, less from an end that lies closer than that (the check proves half of it)."""
    return np.minimum(clearance + 0.25 * cell, clearance + 0.9 * (reach - clearance))


def _smooth(
    collection: GeometryCollectionRGJ,
    obstacles: Obstacles,
    raw: NDArray[np.float64],
    cell: float,
    clearance: float,
    weight: float,
) -> NDArray[np.float64]:
    """``raw`` shortened, then pushed off the obstacles; every new segment is checked."""
    path = _Shortcut(collection, obstacles, raw, cell, clearance, weight).path()
    return _push_off(collection, obstacles, path, cell, clearance)


class _Shortcut:
    """The raw path with each vertex joined to the farthest later vertex that a segment reaches
    clear of the obstacles and no dearer than the raw path between them (a string pull that
    keeps the search's preference for low field values)."""

    def __init__(
        self,
        collection: GeometryCollectionRGJ,
        obstacles: Obstacles,
        raw: NDArray[np.float64],
        cell: float,
        clearance: float,
        weight: float,
    ) -> None:
        self.collection, self.obstacles, self.raw = collection, obstacles, raw
        self.cell, self.weight = cell, weight
        self.need = _need(obstacles.distance(raw), clearance, cell)
        self.spent = np.concatenate([[0.0], np.cumsum(self._costs(raw[:-1], raw[1:]))])

    def path(self) -> NDArray[np.float64]:
        kept = [0]
        while kept[-1] < len(self.raw) - 1:
            kept.append(self._farthest(kept[-1]))
        return self.raw[kept]

    def _farthest(self, i: int) -> int:
        """The farthest good vertex after ``i``, by galloping then narrowing the gap.

        The next vertex always qualifies: the raw path's own steps are clear.
        """
        last = len(self.raw) - 1
        seen, blocked = i + 1, last + 1
        ahead = np.unique(np.minimum(i + (1 << np.arange(1, 40)), last))
        while len(ahead := ahead[(ahead > seen) & (ahead < blocked)]):
            good = self._good(i, ahead)
            run = len(good) if good.all() else int(np.argmin(good))  # trust only the good prefix
            if run:
                seen = int(ahead[run - 1])
            if run < len(ahead):
                blocked = int(ahead[run])
            ahead = np.unique(np.linspace(seen, blocked, 10)[1:-1].astype(np.int64))
        return seen

    def _good(self, i: int, ahead: NDArray[np.int64]) -> NDArray[np.bool_]:
        need = np.minimum(self.need[i], self.need[ahead])
        starts = np.broadcast_to(self.raw[i], (len(ahead), 2))
        good = self.obstacles.clear_segments(starts, self.raw[ahead], need, np.minimum(need, 0.25 * self.cell))
        if good.any():
            costs = self._costs(starts[good], self.raw[ahead[good]])
            # A little slack lets a chord cut a curve of equal cost.
            good[good] = costs <= (self.spent[ahead[good]] - self.spent[i]) * 1.01
        return good

    def _costs(self, starts: NDArray[np.float64], ends: NDArray[np.float64]) -> NDArray[np.float64]:
        """Each segment's cost, the integral of 1 + weight * field value, from samples a cell apart."""
        lengths = np.hypot(*(ends - starts).T)
        pieces = np.maximum(np.ceil(lengths / self.cell).astype(np.int64), 1)
        owner = np.repeat(np.arange(len(starts)), pieces)
        t = (np.arange(len(owner)) - np.repeat(np.cumsum(pieces) - pieces, pieces) + 0.5) / pieces[owner]
        values, _ = evaluate(self.collection, starts[owner] + (ends - starts)[owner] * t[:, None], progress=None)
        sampled = 1.0 + self.weight * np.nan_to_num(values, nan=1.0, posinf=1.0)
        return np.bincount(owner, weights=sampled, minlength=len(starts)) * lengths / pieces


def _push_off(
    collection: GeometryCollectionRGJ, obstacles: Obstacles, path: NDArray[np.float64], cell: float, clearance: float,
    rounds: int = 6,
) -> NDArray[np.float64]:
    """Inner vertices moved down the field's slope while that widens the clearance and keeps the path clear."""
    path = path.copy()
    for _ in range(rounds):
        for parity in (1, 2):
            inner = np.arange(parity, len(path) - 1, 2)
            if not len(inner):
                continue
            slope = collection.gradient(path[inner])
            size = np.hypot(*slope.T)
            moving = size > 0.0
            inner, slope, size = inner[moving], slope[moving], size[moving]
            if not len(inner):
                continue
            moved = path[inner] - 0.5 * cell * slope / size[:, None]
            better = obstacles.distance(moved) > obstacles.distance(path[inner])
            need = clearance + 0.25 * cell
            spacing = 0.25 * cell
            ok = better & obstacles.clear_segments(path[inner - 1], moved, need, spacing) & obstacles.clear_segments(
                moved, path[inner + 1], need, spacing)
            path[inner[ok]] = moved[ok]
    return path


# --------------------------------------------------------------------------
# The field method


def _plan_field(
    collection: GeometryCollectionRGJ,
    obstacles: Obstacles,
    report: _Report,
    here: NDArray[np.float64],
    target: NDArray[np.float64],
    settings: dict[str, float],
    max_iter: int,
    window: int,
    patience: int,
) -> PlannedPath:
    step, gain, radius = settings["step"], settings["gain"], settings["radius"]
    positions = [here.copy()]
    best = float(np.linalg.norm(target - here))
    best_at = 0
    status: Status = "iteration limit"
    reason = f"no decision after {max_iter} steps"
    iterations = 0
    while True:
        distance = float(np.linalg.norm(target - here))
        if distance <= radius:
            status, reason = "reached", f"within {radius:g} of the goal after {iterations} steps"
            positions.append(target.copy())
            break
        if iterations >= max_iter:
            break
        if distance < best - step:
            best, best_at = distance, iterations
        elif iterations - best_at >= patience:
            status = "stuck"
            reason = f"no progress towards the goal for {patience} steps (closest {best:g})"
            break
        if iterations >= window and float(np.linalg.norm(here - positions[-1 - window])) < 2.0 * step:
            status = "stuck"
            reason = f"oscillating near ({here[0]:g}, {here[1]:g}), {distance:g} from the goal"
            break
        gradient = collection.gradient(here.reshape(1, 2))[0]
        force = (target - here) / distance - gain * gradient
        size = float(np.linalg.norm(force))
        if not math.isfinite(size) or size <= 1e-12:
            status = "stuck"
            reason = f"attraction and repulsion cancel at ({here[0]:g}, {here[1]:g})"
            break
        here = here + (step / size) * force
        positions.append(here.copy())
        iterations += 1

    path = np.array(positions, dtype=np.float64)
    check = obstacles.check(path)
    if not check.clear:
        what = check.collision or "it touches an obstacle"
        if status == "reached":
            status, reason = "collision", f"the steps reached the goal, but {what}"
        else:
            reason += f"; {what}"
    return report(path, status, reason, iterations, check.clearance)


def _json_number(value: float) -> float | None:
    """``value`` as JSON can hold it: None for NaN (a quantity that does not apply)."""
    return float(value) if math.isfinite(value) else None


def _point(name: str, value: Sequence[float]) -> NDArray[np.float64]:
    try:
        point = np.asarray(value, dtype=np.float64).reshape(2)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be an (x, y) pair, got {value!r}") from None
    if not np.all(np.isfinite(point)):
        raise ValueError(f"{name} must be finite, got {value!r}")
    return point


def _positive(name: str, value: float) -> float:
    value = float(value)
    if not (math.isfinite(value) and value > 0.0):
        raise ValueError(f"{name} must be a positive number, got {value!r}")
    return value


def _non_negative(name: str, value: float) -> float:
    value = float(value)
    if not (math.isfinite(value) and value >= 0.0):
        raise ValueError(f"{name} must be a non-negative number, got {value!r}")
    return value
