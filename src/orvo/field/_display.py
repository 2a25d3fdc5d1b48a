"""How geometries show in the REPL and in notebooks, and a collection's members as a sequence.

The base module installs these on the base types at load: ``__repr__`` and
``_repr_svg_`` on ``RGJGeometry``; ``__len__``, ``__getitem__``,
``__iter__`` and ``__bool__`` on ``MultiRGJGeometry``, which answer for a
geometry collection's members (``rgjs``) and refuse other multi-part
geometries as objects without a length.  This module imports nothing of the
package: the base module loads it while the package is being imported.
"""

from __future__ import annotations

import math
from collections.abc import Iterator
from typing import Any
from xml.sax.saxutils import escape

__all__ = ["install", "shape_counts"]

_COLOURS = {"Polygon": "#7a9a5a", "LineString": "#3060c0", "Point": "#c03030"}
_SVG_SIZE = 300.0
_MAX_VERTICES = 20_000  # drawn per picture; larger scenes are thinned


def install(base: type, multi: type) -> None:
    """Put the display and sequence methods on the two base types."""
    base.__repr__ = _repr  # type: ignore[method-assign]
    base._repr_svg_ = _repr_svg  # type: ignore[attr-defined]
    multi.__len__ = _len  # type: ignore[attr-defined]
    multi.__getitem__ = _getitem  # type: ignore[attr-defined]
    multi.__iter__ = _iter  # type: ignore[attr-defined]
    multi.__bool__ = _bool  # type: ignore[attr-defined]


# --------------------------------------------------------------------------
# A collection's members


def _members(self: Any) -> list[Any]:
    if not hasattr(type(self), "rgjs"):
        raise TypeError(f"object of type '{type(self).__name__}' has no len()")
    members = self.rgjs
    if members is None:
        raise TypeError("the collection has no members (rgjs is None)")
    return members


def _len(self: Any) -> int:
    """The number of members of a geometry collection."""
    return len(_members(self))


def _getitem(self: Any, index: Any) -> Any:
    """The member (or, for a slice, the list of members) at ``index``."""
    if not hasattr(type(self), "rgjs"):
        raise TypeError(f"'{type(self).__name__}' object is not subscriptable")
    return _members(self)[index]


def _iter(self: Any) -> Iterator[Any]:
    """The members of a geometry collection, in order."""
    if not hasattr(type(self), "rgjs"):
        raise TypeError(f"'{type(self).__name__}' object is not iterable")
    return iter(list(_members(self)))


def _bool(self: Any) -> bool:
    """Always true, as for any geometry: an empty collection is still a geometry."""
    return True


# --------------------------------------------------------------------------
# repr


def _repr(self: Any) -> str:
    name = type(self).__name__
    try:
        return f"<{name}: {_summary(self)}>"
    except Exception:  # a repr must not fail, whatever a caller did to the fields
        return f"<{name} object at {id(self):#x}>"


def _summary(self: Any) -> str:
    parts = []
    members = getattr(self, "rgjs", None) if hasattr(type(self), "rgjs") else None
    if members is not None:
        kinds: dict[str, int] = {}
        for member in members:
            kinds[type(member).__name__] = kinds.get(type(member).__name__, 0) + 1
        listed = ", ".join(f"{count} {kind}" for kind, count in kinds.items())
        parts.append(f"{len(members)} member{'s' if len(members) != 1 else ''}" + (f" ({listed})" if listed else ""))
        vertices = sum(_counts(member)[0] for member in members)
        segments = sum(_counts(member)[1] for member in members)
    else:
        vertices, segments = _counts(self)
    parts.append(f"{vertices} point{'s' if vertices != 1 else ''}")
    if segments:
        parts.append(f"{segments} segments")
    box = _box(self)
    if box is not None:
        parts.append(f"box ({box[0]:g}, {box[1]:g}) .. ({box[2]:g}, {box[3]:g})")
    return ", ".join(parts)


def _counts(geometry: Any) -> tuple[int, int]:
    """(points, segments) from the geometry's export."""
    shape = _shape(geometry)
    return (0, 0) if shape is None else shape_counts(*shape)


def shape_counts(kind: str, coordinates: Any) -> tuple[int, int]:
    """(vertices, segments) of exported coordinates; a ring's closing vertex counts once."""
    if kind == "Point":
        return 1, 0
    if kind == "MultiPoint":
        return len(coordinates), 0
    lines = _lines(kind, coordinates)
    closing = 1 if kind in ("Polygon", "MultiPolygon") else 0
    return sum(len(line) - closing for line in lines), sum(max(len(line) - 1, 0) for line in lines)


def _shape(geometry: Any) -> tuple[str, Any] | None:
    exported = geometry.toRGeoJSON()
    inner = exported.get("geometry", exported) if isinstance(exported, dict) else None
    if not isinstance(inner, dict) or "coordinates" not in inner:
        return None
    return str(inner.get("type")), inner["coordinates"]


def _lines(kind: str, coordinates: Any) -> list[Any]:
    if kind in ("LineString",):
        return [coordinates]
    if kind in ("MultiLineString", "Polygon"):
        return list(coordinates)
    if kind == "MultiPolygon":
        return [ring for polygon in coordinates for ring in polygon]
    return []


def _box(geometry: Any) -> tuple[float, float, float, float] | None:
    rows = [row for row in geometry.bbox.tolist()] if hasattr(geometry.bbox, "tolist") else list(geometry.bbox)
    if not rows:
        return None
    xs = [float(r[0]) for r in rows]
    ys = [float(r[1]) for r in rows]
    return min(xs), min(ys), max(xs), max(ys)


# --------------------------------------------------------------------------
# SVG


def _repr_svg(self: Any) -> str:
    """An SVG picture of the geometry: polygons filled (holes left open), lines, points."""
    members = self.rgjs if hasattr(type(self), "rgjs") and self.rgjs is not None else [self]
    shapes = [shape for shape in (_shape(m) for m in members) if shape is not None]
    box = _box(self) or (0.0, 0.0, 1.0, 1.0)
    width, height = max(box[2] - box[0], 1e-12), max(box[3] - box[1], 1e-12)
    pad = 0.04 * max(width, height)
    x0, y0, w, h = box[0] - pad, box[1] - pad, width + 2 * pad, height + 2 * pad
    scale = _SVG_SIZE / max(w, h)
    total = sum(_counts(m)[0] for m in members) or 1
    step = max(1, math.ceil(total / _MAX_VERTICES))

    def point(p: Any) -> str:
        return f"{(float(p[0]) - x0) * scale:.2f},{(y0 + h - float(p[1])) * scale:.2f}"

    def ring(r: Any, closed: bool) -> str:
        kept = list(r[::step]) + ([r[-1]] if len(r) and (len(r) - 1) % step else [])
        return "M" + " L".join(point(p) for p in kept) + (" Z" if closed else "")

    body = []
    for kind, coordinates in shapes:
        if kind in ("Polygon", "MultiPolygon"):
            polygons = [coordinates] if kind == "Polygon" else coordinates
            d = " ".join(ring(r, True) for rings in polygons for r in rings if len(r))
            body.append(f'<path d="{d}" fill="{_COLOURS["Polygon"]}" fill-opacity="0.6" fill-rule="evenodd" '
                        f'stroke="#34502a" stroke-width="1"><title>{escape(kind)}</title></path>')
        elif kind in ("LineString", "MultiLineString"):
            d = " ".join(ring(line, False) for line in _lines(kind, coordinates) if len(line))
            body.append(f'<path d="{d}" fill="none" stroke="{_COLOURS["LineString"]}" stroke-width="2">'
                        f"<title>{escape(kind)}</title></path>")
        else:
            points = [coordinates] if kind == "Point" else coordinates
            body.extend(f'<circle cx="{point(p).split(",")[0]}" cy="{point(p).split(",")[1]}" r="3" '
                        f'fill="{_COLOURS["Point"]}"><title>{escape(kind)}</title></circle>' for p in points)
    size = f'width="{w * scale:.0f}" height="{h * scale:.0f}"'
    return (f'<svg xmlns="http://www.w3.org/2000/svg" {size} viewBox="0 0 {w * scale:.2f} {h * scale:.2f}">'
            + "".join(body) + "</svg>")
