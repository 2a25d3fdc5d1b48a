"""A scene's geometry as obstacles, in plain Euclidean distance.

The planner needs to know where a vessel may not go, whatever the field
looks like: inside any polygon part, across any line, through any point.
:class:`Obstacles` rebuilds a scene's members with the identity repulsion,
one ``PolygonRGJ`` per polygon part (a ``MultiPolygonRGJ`` makes no inside
test), so that the collection's ``squared_dist`` is the squared Euclidean
distance to the nearest obstacle and 0 on one.  :meth:`Obstacles.check`
measures a polyline against the exact geometry.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from orvo.field import kernels
from orvo.field.evaluation import as_collection
from orvo.field.geometry import GeometryCollectionRGJ, LineStringRGJ, PolygonRGJ, RGJGeometry

__all__ = ["Obstacles", "PathCheck", "member_label"]

Points = NDArray[np.float64]


@dataclass(frozen=True)
class PathCheck:
    """How a polyline meets the obstacles."""

    #: The smallest Euclidean distance from the polyline to an obstacle (0 on a collision).
    clearance: float
    #: What the polyline hits, or None when it keeps clear.
    collision: str | None

    @property
    def clear(self) -> bool:
        return self.collision is None and self.clearance > 0.0


def member_label(properties: Any, index: int) -> str:
    """A member as a message names it: its ``name`` property, else its index."""
    if isinstance(properties, Mapping):
        for key in ("name", "NAME", "Name"):
            if isinstance(properties.get(key), str) and properties[key]:
                part = properties.get("part")
                return properties[key] + (f" (part {part})" if isinstance(part, int) else "")
    return f"member {index}"


class Obstacles:
    """The members of ``geometry`` as obstacles: polygon parts, lines and points."""

    def __init__(self, geometry: RGJGeometry) -> None:
        collection = as_collection(geometry)
        parts: list[dict[str, Any]] = []
        labels: list[str] = []
        #: Per polygon part: (label, outer ring, hole rings), for enclosure tests.
        self.polygons: list[tuple[str, Points, list[Points]]] = []
        segments: list[Points] = []
        vertices: list[Points] = []
        for index, member in enumerate(collection.rgjs or []):
            exported = member.toRGeoJSON()["geometry"]
            kind, coordinates = exported["type"], exported["coordinates"]
            label = member_label(member.properties, index)
            if kind in ("Polygon", "MultiPolygon"):
                for rings in [coordinates] if kind == "Polygon" else coordinates:
                    polygon = PolygonRGJ(coordinates=rings)
                    if polygon._S == 0:
                        continue
                    closed = [np.asarray(ring, dtype=np.float64) for ring in polygon.rings]
                    self.polygons.append((label, closed[0], closed[1:]))
                    segments.extend(np.stack([ring[:-1], ring[1:]], axis=1) for ring in closed)
                    vertices.extend(closed)
                    parts.append({"type": "Polygon", "coordinates": rings})
                    labels.append(label)
                continue
            if kind in ("LineString", "MultiLineString"):
                lines = [coordinates] if kind == "LineString" else coordinates
                for line in lines:
                    line = np.asarray(line, dtype=np.float64).reshape(-1, 2)
                    segments.append(np.stack([line[:-1], line[1:]], axis=1))
                    vertices.append(line)
            else:
                vertices.append(np.asarray(coordinates, dtype=np.float64).reshape(-1, 2))
            parts.append({"type": kind, "coordinates": coordinates})
            labels.append(label)
        if not parts:
            raise ValueError("the scene has no obstacles")
        self.labels = labels
        self._collection = GeometryCollectionRGJ(geometries=parts)
        self.segments = np.concatenate(segments) if segments else np.empty((0, 2, 2))
        self.vertices = np.concatenate(vertices)
        box = np.asarray(collection.bbox, dtype=np.float64).reshape(-1, 2)
        self.box = (*box.min(0).tolist(), *box.max(0).tolist())

    def distance(self, points: Points) -> Points:
        """The Euclidean distance of each point to the nearest obstacle (0 on one)."""
        return np.sqrt(self._collection.squared_dist(np.asarray(points, dtype=np.float64).reshape(-1, 2)))

    def nearest(self, point: Points) -> str:
        """The label of the obstacle nearest to one point."""
        _, index = self._collection.squared_dist(np.asarray(point, dtype=np.float64).reshape(1, 2), return_reference=True)
        return self.labels[int(index[0])]

    def clear_segments(self, starts: Points, ends: Points, need: Points | float, spacing: Points | float) -> NDArray[np.bool_]:
        """Per segment, True when it is proven to keep ``need - spacing / 2`` from the obstacles.

        The distance to the obstacles changes by at most the distance moved,
        so on a piece of length l whose ends lie d_a and d_b away, no point
        is nearer than (d_a + d_b - l) / 2.  Pieces that this does not prove
        clear are halved until they are ``spacing`` long; a segment fails as
        soon as one of its sample points lies nearer than ``need``.  Work
        goes where the segment runs close to an obstacle.  ``need`` and
        ``spacing`` are numbers or one per segment, with ``need > spacing / 2``.
        """
        starts = np.asarray(starts, dtype=np.float64).reshape(-1, 2)
        ends = np.asarray(ends, dtype=np.float64).reshape(-1, 2)
        count = len(starts)
        need = np.broadcast_to(np.asarray(need, dtype=np.float64), (count,))
        spacing = np.broadcast_to(np.asarray(spacing, dtype=np.float64), (count,))
        lengths = np.hypot(*(ends - starts).T)
        pieces = np.maximum(np.ceil(lengths / (16.0 * spacing)).astype(np.int64), 1)
        along = ends - starts
        # The pieces' ends, each measured once: pieces + 1 nodes per segment.
        nodes = pieces + 1
        node_owner = np.repeat(np.arange(count), nodes)
        k = np.arange(len(node_owner)) - np.repeat(np.cumsum(nodes) - nodes, nodes)
        t = k / pieces[node_owner]
        reach = self.distance(starts[node_owner] + along[node_owner] * t[:, None])
        head, tail = k < pieces[node_owner], k > 0
        owner, t0, t1, d0, d1 = node_owner[head], t[head], t[tail], reach[head], reach[tail]
        ok = np.ones(count, dtype=bool)
        while len(owner):
            ok[owner[(d0 < need[owner]) | (d1 < need[owner])]] = False
            piece = (t1 - t0) * lengths[owner]
            proven = (d0 + d1 - piece) / 2.0 >= need[owner] - spacing[owner] / 2.0
            split = ok[owner] & ~proven & (piece > spacing[owner])
            owner, t0, t1, d0, d1 = owner[split], t0[split], t1[split], d0[split], d1[split]
            middle = (t0 + t1) / 2.0
            dm = self.distance(starts[owner] + along[owner] * middle[:, None])
            owner = np.concatenate([owner, owner])
            t0, t1 = np.concatenate([t0, middle]), np.concatenate([middle, t1])
            d0, d1 = np.concatenate([d0, dm]), np.concatenate([dm, d1])
        return ok

    def enclosure(self, point: Points) -> list[tuple[str, int]]:
        """The holes (polygon label, hole number) that hold ``point``."""
        inside = []
        x = np.asarray(point, dtype=np.float64).reshape(1, 2)
        for label, outer, holes in self.polygons:
            for number, hole in enumerate(holes):
                if kernels.point_in_rings(x, hole, [])[0] and kernels.point_in_rings(x, outer, [])[0]:
                    inside.append((label, number))
        return inside

    def check(self, path: Points) -> PathCheck:
        """The polyline ``path`` against the exact obstacles.

        Two segments that do not cross are closest at an end of one of them,
        so the clearance is the smaller of the path's vertices' distances to
        the obstacles and the obstacles' vertices' distances to the path;
        crossings are found by exact orientation tests.
        """
        path = np.asarray(path, dtype=np.float64).reshape(-1, 2)
        keep = np.ones(len(path), dtype=bool)
        keep[1:] = np.any(path[1:] != path[:-1], axis=1)
        path = path[keep]
        reach = self.distance(path)
        if reach.min() == 0.0:
            at = int(np.argmin(reach))
            return PathCheck(0.0, f"it touches {self.nearest(path[at])} at ({path[at, 0]:g}, {path[at, 1]:g})")
        if len(path) == 1:
            return PathCheck(float(reach[0]), None)
        crossed = self._crossing(path, reach)
        if crossed is not None:
            return PathCheck(0.0, crossed)
        back = np.sqrt(LineStringRGJ(coordinates=path).squared_dist(self.vertices))
        clearance = float(min(reach.min(), back.min()))
        if clearance == 0.0:
            at = self.vertices[int(np.argmin(back))]
            return PathCheck(0.0, f"it passes through {self.nearest(at)} at ({at[0]:g}, {at[1]:g})")
        return PathCheck(clearance, None)

    def _crossing(self, path: Points, reach: Points) -> str | None:
        """A description of the first obstacle segment a path segment crosses, or None."""
        if not len(self.segments):
            return None
        lengths = np.hypot(*np.diff(path, axis=0).T)
        # A crossing point lies within half a segment of one of its ends,
        # so a segment whose ends are both farther than that crosses nothing.
        suspects = np.nonzero(np.minimum(reach[:-1], reach[1:]) <= lengths / 2.0)[0]
        a, b = self.segments[:, 0], self.segments[:, 1]
        low, high = np.minimum(a, b), np.maximum(a, b)
        for k in suspects:
            p, q = path[k], path[k + 1]
            near = np.nonzero(np.all(low <= np.maximum(p, q), axis=1) & np.all(high >= np.minimum(p, q), axis=1))[0]
            if not len(near):
                continue
            sa, sb = a[near], b[near]
            hits = (_side(p, q, sa) * _side(p, q, sb) < 0) & (_side(sa, sb, p) * _side(sa, sb, q) < 0)
            if hits.any():
                point = sa[np.argmax(hits)]
                return f"it crosses {self.nearest(point)} near ({point[0]:g}, {point[1]:g})"
        return None


def _side(p: Any, q: Any, r: Any) -> Any:
    """The sign of the turn p -> q -> r (+1 left, -1 right, 0 straight), element-wise."""
    p, q, r = np.asarray(p), np.asarray(q), np.asarray(r)
    cross = (q[..., 0] - p[..., 0]) * (r[..., 1] - p[..., 1]) - (q[..., 1] - p[..., 1]) * (r[..., 0] - p[..., 0])
    return np.sign(cross)
