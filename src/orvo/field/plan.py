"""Artificial-potential-field path planning through a scene.

From the start, the planner takes steps of fixed length along the sum of a
unit attraction towards the goal and the scene's repulsion, the negated
field gradient scaled by ``gain``::

    F = (goal - x) / |goal - x| - gain * gradient(x)
    x <- x + step * F / |F|

It stops with one of three statuses, and says which honestly:

``"reached"``
    the position came within ``radius`` of the goal (the path then ends at
    the goal itself);
``"stuck"``
    a local minimum of the potential: the forces cancel, the position
    oscillates (its net displacement over the last ``window`` steps is
    under two steps), or the best distance to the goal has not improved by
    a step for ``patience`` steps;
``"iteration limit"``
    ``max_iter`` steps were taken without either of the above.

Potential-field planning is greedy: a goal behind a concave obstacle (a
cove, a U of piers) traps it, and it does not search for another way.
The repulsion vectors of a multi-point member point towards its nearest
point, so near such a member the planner is drawn in, not pushed away;
keep routes clear of multi-point members or model them as single points.
The field is flat inside polygons (zero gradient), so a start inside one
gets no push out.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
from numpy.typing import NDArray

from orvo.field.evaluation import as_collection, evaluate
from orvo.field.geometry import RGJGeometry

__all__ = ["PlannedPath", "Status", "plan_path", "default_settings"]

Status = Literal["reached", "stuck", "iteration limit"]

# A field value this close to 1 means a position on a geometry (inside a polygon).
_INSIDE = 1.0 - 1e-9


@dataclass(frozen=True)
class PlannedPath:
    """The outcome of :func:`plan_path`."""

    #: (K, 2) positions from the start; ends at the goal when reached.
    path: NDArray[np.float64]
    status: Status
    #: Why the planner stopped, and a warning when the path runs over an obstacle.
    reason: str
    #: Steps taken.
    iterations: int
    start: tuple[float, float]
    goal: tuple[float, float]
    step: float
    gain: float
    radius: float
    #: The largest field value met along the path's vertices (1 inside a polygon).
    max_field: float

    @property
    def reached(self) -> bool:
        """True when the goal was reached."""
        return self.status == "reached"

    @property
    def length(self) -> float:
        """Length of the path polyline."""
        return float(np.hypot(*np.diff(self.path, axis=0).T).sum()) if len(self.path) > 1 else 0.0

    @property
    def distance_to_goal(self) -> float:
        """Distance from the last position before any final hop to the goal."""
        last = self.path[-2] if self.reached and len(self.path) > 1 else self.path[-1]
        return float(math.dist(last, self.goal))

    def to_feature(self) -> dict[str, Any]:
        """The path as a GeoJSON LineString Feature with the outcome in its properties."""
        coordinates = self.path.tolist()
        if len(coordinates) == 1:  # a LineString needs two positions
            coordinates = coordinates * 2
        return {
            "type": "Feature",
            "properties": {
                "status": self.status,
                "reason": self.reason,
                "iterations": self.iterations,
                "length": self.length,
                "distance_to_goal": self.distance_to_goal,
                "max_field": self.max_field,
                "start": list(self.start),
                "goal": list(self.goal),
                "step": self.step,
                "gain": self.gain,
                "radius": self.radius,
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
    step: float | None = None,
    gain: float | None = None,
    radius: float | None = None,
    max_iter: int = 5000,
    window: int = 20,
    patience: int = 300,
) -> PlannedPath:
    """Plan a path from ``start`` to ``goal`` through the field of ``geometry``.

    ``step``, ``gain`` and ``radius`` default to :func:`default_settings` of
    the scene.  ``max_iter`` caps the number of steps; ``window`` and
    ``patience`` tune the stuck detection described in the module
    documentation.  Raises ``ValueError`` for non-finite points, for a
    start and goal so far apart that their distance overflows, or for
    non-positive settings.
    """
    collection = as_collection(geometry)
    defaults = default_settings(collection)
    step = _positive("step", defaults["step"] if step is None else step)
    gain = _non_negative("gain", defaults["gain"] if gain is None else gain)
    radius = _positive("radius", defaults["radius"] if radius is None else radius)
    for name, value in (("max_iter", max_iter), ("window", window), ("patience", patience)):
        if isinstance(value, bool) or not isinstance(value, int) or value < 1:
            raise ValueError(f"{name} must be a positive integer, got {value!r}")
    here = _point("start", start)
    target = _point("goal", goal)
    if not math.isfinite(math.dist(here, target)):
        raise ValueError(f"start and goal are too far apart: their distance overflows, got {start!r} and {goal!r}")

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
    values, _ = evaluate(collection, path, progress=None)
    if values[0] >= _INSIDE:
        reason += "; the start lies on an obstacle, where the field is flat and gives no push"
    elif values.max() >= _INSIDE:
        reason += "; the path runs over an obstacle (field value 1)"
    return PlannedPath(
        path=path,
        status=status,
        reason=reason,
        iterations=iterations,
        start=(float(path[0, 0]), float(path[0, 1])),
        goal=(float(target[0]), float(target[1])),
        step=step,
        gain=gain,
        radius=radius,
        max_field=float(values.max()),
    )


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
