"""Pictures of a scene's field with matplotlib (Agg, no display needed).

:func:`render` draws the field value as a heat map, the geometries on top
(polygon rings, lines, points), arrows of the repulsion direction (the
negated gradient) on a coarse grid, a colour bar as tall as the map, a
legend, a title and, when given, a planned path.  It writes PNG, SVG or PDF.
It works on a figure of its own with the Agg canvas, so it never touches
pyplot's global state or the caller's backend.

The map keeps the extent's aspect (one unit is as long across as up) and is
made as large as the picture allows.  An extent far wider or taller than the
picture would then leave most of it blank; such a map fills the picture
instead and its x axis label says the axes are not to scale.

Arrows show direction only (they all have one length) wherever the gradient
is not negligible.  Near a multi-point member they point towards its points:
its repulsion vectors point from the query to the nearest point.
"""

from __future__ import annotations

import os
import reprlib
import warnings
from collections.abc import Sequence
from typing import IO, Any

import numpy as np
from matplotlib import cbook, rc_context
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.cm import ScalarMappable
from matplotlib.colors import Normalize
from matplotlib.figure import Figure
from matplotlib.font_manager import FontProperties
from matplotlib.lines import Line2D
from matplotlib.mathtext import MathTextParser
from matplotlib.patches import PathPatch
from matplotlib.path import Path

from orvo.field.evaluation import as_collection, evaluate, grid
from orvo.field.geometry import GeometryCollectionRGJ, RGJGeometry
from orvo.field.plan import PlannedPath

__all__ = ["render", "default_extent", "picture_format", "FORMATS", "FlatFieldWarning"]

# Below this largest value the picture is one flat colour.
_FLAT_FIELD = 1e-3


class FlatFieldWarning(UserWarning):
    """The field is nearly 0 over the whole picture: the repulsion scales are small for its extent."""

Extent = tuple[float, float, float, float]

# The picture formats render writes, by file name extension.
FORMATS = ("png", "svg", "pdf")

_EDGE = "#e8f4ff"
# Path colours: the first path, then any others drawn with it.
_PATHS = ("#39ff9f", "#ff5fd7", "#5fd7ff")
_ARROWS_ACROSS = 30
# The arrows' raster has _ARROWS_ACROSS columns and, to keep cells square,
# as many rows as the extent's aspect asks, up to this many.
_ARROWS_MAX_ROWS = 200
# The heat map's raster: about one value per two pixels, within these bounds.
_RASTER_MIN = (60, 40)
_RASTER_MAX = 800
# A map drawn to scale spans at least 1 / _MOST_TO_SCALE of the room for it
# both ways; a more lopsided extent fills the room, not to scale.
_MOST_TO_SCALE = 1.5
# Axis ticks are computed in steps up to ten times an extent's width: larger
# coordinates overflow there.
_LARGEST_COORDINATE = 1e307


def picture_format(target: str | os.PathLike[str]) -> str:
    """The picture format a file name asks for: "png", "svg" or "pdf"; "png" without an extension.

    Raises ``ValueError`` for any other extension.
    """
    suffix = os.path.splitext(os.fspath(target))[1]
    if not suffix:
        return "png"
    kind = suffix[1:].lower()
    if kind not in FORMATS:
        raise ValueError(f"unknown picture format {suffix!r}: the file name must end in .png, .svg or .pdf")
    return kind


def default_extent(geometry: RGJGeometry, margin: float = 0.06, include: Sequence[Sequence[float]] = ()) -> Extent:
    """The box around the scene and the ``include`` points, grown by ``margin`` of its size on every side.

    Raises ``ValueError`` when that box does not fit in floating point (a
    scene spanning more than the largest float).
    """
    box = np.asarray(as_collection(geometry).bbox, dtype=np.float64).reshape(-1, 2)
    if len(include):
        box = np.concatenate([box, np.asarray(include, dtype=np.float64).reshape(-1, 2)])
    low, high = box.min(0), box.max(0)
    with np.errstate(over="ignore", invalid="ignore"):
        span = np.maximum(high - low, 1e-9)
        pad = np.maximum(span * margin, 1.0 if not np.any(high > low) else 0.0)
        low, high = low - pad, high + pad
        sizes = high - low
    if not (np.all(np.isfinite(low)) and np.all(np.isfinite(high)) and np.all(np.isfinite(sizes))):
        raise ValueError("the scene is too large to draw: its bounding box overflows")
    return float(low[0]), float(low[1]), float(high[0]), float(high[1])


def render(
    geometry: RGJGeometry,
    target: str | os.PathLike[str] | IO[bytes],
    *,
    size: tuple[int, int] = (900, 700),
    extent: Sequence[float] | None = None,
    path: PlannedPath | Sequence[PlannedPath] | None = None,
    title: str | None = None,
    progress: bool | None = False,
    dpi: int = 100,
    format: str | None = None,  # noqa: A002 - the name savefig uses
) -> None:
    """Write a picture of ``geometry``'s field to ``target``, a file name or a binary stream.

    ``format`` is "png", "svg" or "pdf"; it defaults to the one the
    target's extension names (see :func:`picture_format`), and to "png" for
    a stream or a name without an extension.  ``size`` is (width, height)
    in pixels and is the exact size of a PNG (an SVG or PDF is as large at
    ``dpi`` pixels per inch).  ``extent`` is (xmin, ymin, xmax, ymax) in
    scene coordinates and defaults to :func:`default_extent`, grown to take
    in the path's start and goal when there is a ``path``.  ``path`` adds a
    planned path with its start, goal and status.  ``title`` defaults to the
    scene's ``name`` property and a description of the picture; the path's
    status is drawn below either.  ``progress`` is passed to
    :func:`~orvo.field.evaluate` for the heat map's raster.

    The work is bounded whatever the extent: the heat map has at most 800 x
    800 values and the arrows at most 30 x 200.  Raises ``ValueError`` for
    an extent that is not finite and ordered, whose width or height
    overflows, that reaches beyond +-1e307, or that is too narrow for its
    raster cells to differ at its coordinates, and for a ``title`` that is not valid matplotlib math text
    (a scene's ``name`` is always drawn as plain text), and for a format,
    given or by the target's extension, other than those three.
    """
    width, height = (int(v) for v in size)
    if width < 100 or height < 100:
        raise ValueError(f"size must be at least 100x100 pixels, got {width}x{height}")
    if format is None:
        format = picture_format(target) if isinstance(target, (str, os.PathLike)) else "png"  # noqa: A001
    elif str(format).lower() not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}, got {format!r}")
    if title is not None:
        _check_math_text("title", title)
    collection = as_collection(geometry)
    paths = [] if path is None else [path] if isinstance(path, PlannedPath) else list(path)
    if extent is None:
        ends = [end for p in paths for end in (p.start, p.goal)]
        box = _checked_extent(default_extent(collection, include=ends), "the scene's extent")
    else:
        box = _checked_extent(extent)
    xmin, ymin, xmax, ymax = box
    aspect = (ymax - ymin) / (xmax - xmin)  # finite and positive: see _checked_extent

    # Type, lines and markers scale with the picture's shorter side, so that
    # thumbnails and posters alike stay legible.
    scale = max(min(width, height) / 700.0, 0.5)
    font = 10.0 * scale
    with rc_context({"font.size": font, "legend.fontsize": font * 0.8, "axes.titlesize": font * 1.1}):
        figure = Figure(figsize=(width / dpi, height / dpi), dpi=dpi)
        FigureCanvasAgg(figure)
        axes = figure.add_axes((0.1, 0.1, 0.7, 0.8))
        colour_axes = figure.add_axes((0.85, 0.1, 0.03, 0.8))
        title_text = _title(collection) if title is None else title
        for planned in paths:
            title_text += "\n" + _status(planned, len(paths) > 1)
        _decorate(axes, colour_axes, box, title_text, parse_math=title is not None)
        map_width, map_height, to_scale = _place(figure, axes, colour_axes, aspect, font * dpi / 72.0)
        if not to_scale:
            ratio = (map_height / map_width) / aspect
            stretched = f"y drawn {ratio:.3g} times the x scale" if ratio > 1 else f"x drawn {1 / ratio:.3g} times the y scale"
            axes.set_xlabel(f"x    (axes not to scale: {stretched})")
        shown = map_height / map_width  # the map's own aspect on the picture

        # The heat map's raster: about one value per two pixels of the map.
        nx = int(np.clip(map_width // 2, _RASTER_MIN[0], _RASTER_MAX))
        ny = int(round(float(np.clip(nx * shown, _RASTER_MIN[1], _RASTER_MAX))))
        _check_cells(box, nx, ny)
        values, _ = evaluate(collection, grid(box, (nx, ny)), progress=progress)
        # Off the obstacles (where the value is 1), is there any slope to see?
        off = values[np.isfinite(values) & (values < 1.0 - 1e-12)]
        largest = float(off.max()) if len(off) else 1.0
        if largest < _FLAT_FIELD:
            warnings.warn(
                f"the field is nearly 0 over the whole picture off the obstacles (largest value {largest:.2g}): "
                "the repulsion scales are small for this extent; give a larger scale",
                FlatFieldWarning,
                stacklevel=2,
            )

        # The arrows' raster: a fixed number across, cells square on the picture up to a cap.
        ay_n = int(round(float(np.clip(_ARROWS_ACROSS * shown, 2, _ARROWS_MAX_ROWS))))
        arrows = grid(_inset(box, _ARROWS_ACROSS, ay_n), (_ARROWS_ACROSS, ay_n))
        _, gradients = evaluate(collection, arrows, progress=None)

        _draw(axes, collection, box, values.reshape(ny, nx), arrows, gradients, paths, scale)
        figure.savefig(target, format=format.lower(), dpi=dpi)


def _checked_extent(extent: Sequence[float], what: str = "extent") -> Extent:
    try:
        xmin, ymin, xmax, ymax = (float(v) for v in extent)
    except (TypeError, ValueError):
        raise ValueError(f"extent must be four numbers (xmin, ymin, xmax, ymax), got {extent!r}") from None
    if not (all(np.isfinite([xmin, ymin, xmax, ymax])) and xmax > xmin and ymax > ymin):
        raise ValueError(f"extent must be finite with xmin < xmax and ymin < ymax, got {tuple(extent)!r}")
    with np.errstate(over="ignore"):
        sizes = np.array([xmax - xmin, ymax - ymin])
        aspect = sizes[1] / sizes[0]
    if not np.all(np.isfinite(sizes)):
        raise ValueError(f"extent is too large: its width or height overflows, got {tuple(extent)!r}")
    if not (np.isfinite(aspect) and aspect > 0.0):
        raise ValueError(f"extent is too lopsided: its height over its width overflows, got {tuple(extent)!r}")
    if max(abs(xmin), abs(ymin), abs(xmax), abs(ymax)) > _LARGEST_COORDINATE:
        raise ValueError(
            f"{what} is too large to draw: its coordinates must lie within +-{_LARGEST_COORDINATE:g}, "
            f"got {tuple(extent)!r}"
        )
    return xmin, ymin, xmax, ymax


def _check_cells(extent: Extent, nx: int, ny: int) -> None:
    """Refuse an extent too narrow for ``nx`` x ``ny`` distinct raster points at its coordinates."""
    xmin, ymin, xmax, ymax = extent
    for low, high, n, axis in ((xmin, xmax, nx, "width"), (ymin, ymax, ny, "height")):
        # Spacing below a few units in the last place rounds neighbours together.
        if (high - low) / n <= 4.0 * np.spacing(max(abs(low), abs(high))):
            raise ValueError(f"extent is too narrow: its {axis} {high - low:g} is too small at these coordinates")


def _check_math_text(what: str, text: str) -> None:
    """Raise a one-line ValueError when matplotlib would refuse ``text`` as math text."""
    if not cbook.is_math_text(text):
        return
    try:
        MathTextParser("path").parse(text, 72, FontProperties())
    except ValueError as error:
        lines = [line.strip() for line in str(error).splitlines() if line.strip()]
        reason = lines[-1] if lines else "cannot be parsed"
        raise ValueError(f"the {what} is not valid math text: {reason}") from None


def _decorate(axes: Any, colour_axes: Any, extent: Extent, title: str, *, parse_math: bool) -> None:
    """Limits, labels, tick format, title and colour bar: what the layout must make room for."""
    xmin, ymin, xmax, ymax = extent
    axes.set_xlim(xmin, xmax)
    axes.set_ylim(ymin, ymax)
    axes.set_xlabel("x")
    axes.set_ylabel("y")
    # Coordinates are written out in full (no offset, no power of ten) up to
    # ten digits; beyond that a power of ten keeps the labels short.
    axes.ticklabel_format(axis="both", style="sci", scilimits=(-6, 10), useOffset=False)
    # A title from the scene's name is data: drawn as it is, never as math text.
    axes.set_title(title, parse_math=parse_math)
    colour_bar = axes.figure.colorbar(
        ScalarMappable(Normalize(0.0, 1.0), cmap="magma"), cax=colour_axes, label="field value"
    )
    colour_bar.outline.set_linewidth(0.8)


def _place(figure: Figure, axes: Any, colour_axes: Any, aspect: float, font_px: float) -> tuple[float, float, bool]:
    """Make the map as large as the picture allows next to its colour bar, which is as tall as the map.

    ``aspect`` is the extent's height over its width.  The map keeps it
    unless that would leave more than a third of the room unused (see
    _MOST_TO_SCALE); it then fills the room.  Returns the map's width and
    height in pixels and whether it is drawn to scale.
    """
    renderer = figure.canvas.get_renderer()
    width, height = figure.bbox.width, figure.bbox.height
    edge, gap, bar = 0.6 * font_px, 0.8 * font_px, 1.4 * font_px
    map_width = map_height = 0.0
    to_scale = True
    # Tick labels change with the map's size: measure again after each move.
    for _ in range(3):
        box = axes.get_window_extent(renderer)
        decorated = axes.get_tightbbox(renderer)
        title = axes.title.get_window_extent(renderer)
        x_axis, y_axis = axes.xaxis.get_tightbbox(renderer), axes.yaxis.get_tightbbox(renderer)
        bar_box, bar_decorated = colour_axes.get_window_extent(renderer), colour_axes.get_tightbbox(renderer)
        left = box.x0 - min(b.x0 for b in (x_axis, y_axis) if b is not None)
        right = gap + bar + (bar_decorated.x1 - bar_box.x1)
        below = max(box.y0 - decorated.y0, bar_box.y0 - bar_decorated.y0)
        above = max(title.y1 - box.y1 if axes.get_title() else 0.0, bar_decorated.y1 - bar_box.y1)
        room_width = max(width - 2 * edge - left - right, 0.1 * width)
        room_height = max(height - 2 * edge - below - above, 0.1 * height)
        lopsided = (room_height / room_width) / aspect
        to_scale = max(lopsided, 1.0 / lopsided) <= _MOST_TO_SCALE
        if not to_scale:
            map_width, map_height = room_width, room_height
        elif lopsided > 1.0:
            map_width, map_height = room_width, room_width * aspect
        else:
            map_width, map_height = room_height / aspect, room_height
        x0 = edge + left + (room_width - map_width) / 2.0
        y0 = edge + below + (room_height - map_height) / 2.0
        axes.set_position((x0 / width, y0 / height, map_width / width, map_height / height))
        colour_axes.set_position(((x0 + map_width + gap) / width, y0 / height, bar / width, map_height / height))
    return map_width, map_height, to_scale


def _draw(
    axes: Any,
    collection: GeometryCollectionRGJ,
    extent: Extent,
    image_values: np.ndarray,
    arrows: np.ndarray,
    gradients: np.ndarray,
    paths: list[PlannedPath],
    scale: float,
) -> None:
    xmin, ymin, xmax, ymax = extent
    axes.imshow(
        image_values,
        origin="lower",
        extent=(xmin, xmax, ymin, ymax),
        cmap="magma",
        vmin=0.0,
        vmax=1.0,
        interpolation="bilinear",
        aspect="auto",  # the map's box already has the aspect it should
    )
    handles = _draw_geometries(axes, collection, scale)
    if _draw_arrows(axes, arrows, -gradients, scale):
        handles.append(
            Line2D([], [], linestyle="", marker=r"$\rightarrow$", markersize=11 * scale, color="white",
                   alpha=0.8, label="repulsion direction")
        )
    for index, planned in enumerate(paths):
        handles.extend(_draw_path(axes, planned, scale, _PATHS[index % len(_PATHS)], len(paths) > 1, index == 0))
    axes.set_xlim(xmin, xmax)
    axes.set_ylim(ymin, ymax)
    if handles:
        axes.legend(
            handles=handles, loc="lower left", facecolor="#202020", labelcolor="white", framealpha=0.8
        )


def _inset(extent: Extent, nx: int, ny: int) -> Extent:
    """``extent`` shrunk by half a cell, so arrows sit at cell centres."""
    xmin, ymin, xmax, ymax = extent
    dx, dy = (xmax - xmin) / nx / 2.0, (ymax - ymin) / ny / 2.0
    return xmin + dx, ymin + dy, xmax - dx, ymax - dy


def _draw_arrows(axes: Any, points: np.ndarray, vectors: np.ndarray, scale: float) -> bool:
    """Arrows of one length on the picture along ``vectors``; False when every one is negligible."""
    lengths = np.hypot(vectors[:, 0], vectors[:, 1])
    top = float(lengths.max()) if len(lengths) else 0.0
    shown = lengths > max(top * 1e-2, 1e-12)
    if not np.any(shown):
        return False
    # Lengths in map widths: 0.6 of an arrow cell whatever the axes' scales;
    # directions as drawn in the map's coordinates.
    unit = vectors[shown] / lengths[shown, np.newaxis] * (0.6 / _ARROWS_ACROSS)
    axes.quiver(
        points[shown, 0],
        points[shown, 1],
        unit[:, 0],
        unit[:, 1],
        angles="xy",
        scale_units="width",
        scale=1.0,
        pivot="middle",
        color="white",
        alpha=0.55,
        units="dots",
        width=1.6 * scale * axes.figure.dpi / 100.0,
    )
    return True


def _draw_geometries(axes: Any, collection: GeometryCollectionRGJ, scale: float) -> list[Any]:
    """Draw every member from its RGeoJSON coordinates; legend handles per kind."""
    edge, line_width = 1.2 * scale, 2.0 * scale
    kinds: set[str] = set()
    for member in collection.rgjs or []:
        geometry = member.toRGeoJSON()["geometry"]
        kind, coordinates = geometry["type"], geometry["coordinates"]
        if kind in ("Polygon", "MultiPolygon"):
            polygons = [coordinates] if kind == "Polygon" else coordinates
            for rings in polygons:
                vertices: list[Sequence[float]] = []
                codes: list[Any] = []
                for ring in rings:
                    vertices.extend(ring)
                    codes.extend([Path.MOVETO] + [Path.LINETO] * (len(ring) - 1))
                hatch = "//" if kind == "MultiPolygon" else None
                axes.add_patch(
                    PathPatch(Path(vertices, codes), facecolor="none", edgecolor=_EDGE, linewidth=edge, hatch=hatch)
                )
            kinds.add(kind)
        elif kind in ("LineString", "MultiLineString"):
            for line in [coordinates] if kind == "LineString" else coordinates:
                xy = np.asarray(line, dtype=np.float64)
                axes.plot(xy[:, 0], xy[:, 1], color=_EDGE, linewidth=line_width, solid_capstyle="round")
            kinds.add("LineString")
        elif kind == "MultiPoint":
            xy = np.asarray(coordinates, dtype=np.float64).reshape(-1, 2)
            axes.scatter(xy[:, 0], xy[:, 1], s=18 * scale**2, marker="o", facecolor="#4fc3ff", edgecolor=_EDGE,
                         linewidths=scale, zorder=3)
            kinds.add(kind)
        elif kind == "Point":
            xy = np.asarray(coordinates, dtype=np.float64).reshape(-1, 2)
            axes.scatter(xy[:, 0], xy[:, 1], s=90 * scale**2, marker="*", color="#ffd54f", edgecolor="black",
                         linewidths=scale, zorder=3)
            kinds.add(kind)

    legend = {
        "Polygon": Line2D([], [], color=_EDGE, linewidth=edge, label="polygon"),
        "MultiPolygon": PathPatch(Path([(0, 0)]), facecolor="none", edgecolor=_EDGE, linewidth=edge, hatch="//",
                                  label="multi-polygon"),
        "LineString": Line2D([], [], color=_EDGE, linewidth=line_width, label="line"),
        "MultiPoint": Line2D([], [], linestyle="", marker="o", markersize=6 * scale, color="#4fc3ff",
                             markeredgecolor=_EDGE, label="multi-point"),
        "Point": Line2D([], [], linestyle="", marker="*", markersize=10 * scale, color="#ffd54f",
                        markeredgecolor="black", label="point"),
    }
    return [handle for kind, handle in legend.items() if kind in kinds]


def _draw_path(axes: Any, path: PlannedPath, scale: float, colour: str, named: bool, ends: bool) -> list[Any]:
    """One planned path, and its start and goal when ``ends``; ``named`` puts the method in the label."""
    xy = path.path
    label = f"{path.method} path: {path.status}" if named else f"path: {path.status}"
    dashes = (0, (4, 2)) if path.method == "field" and named else "solid"
    line = axes.plot(xy[:, 0], xy[:, 1], color=colour, linewidth=2.2 * scale, zorder=4, linestyle=dashes,
                     label=label)[0]
    if not ends:
        return [line]
    marks = {"color": colour, "edgecolor": "black", "linewidths": scale, "zorder": 5}
    start = axes.scatter(*path.start, s=60 * scale**2, marker="o", label="start", **marks)
    goal = axes.scatter(*path.goal, s=90 * scale**2, marker="X", label="goal", **marks)
    return [line, start, goal]


def _title(collection: GeometryCollectionRGJ) -> str:
    properties = collection.properties if isinstance(collection.properties, dict) else {}
    name = _label(properties.get("name", "scene"))
    return f"{name}: field value and repulsion direction"


def _status(path: PlannedPath, named: bool) -> str:
    """The line under the title for a planned path."""
    what = f"{path.method} path" if named else "path"
    if path.status == "no path":
        return f"{what}: no path"
    clearance = f", clearance {path.clearance:.3g}" if path.status == "reached" else ""
    return f"{what} {path.status} (length {path.length:.4g}{clearance})"


def _label(value: Any, limit: int = 80) -> str:
    """A property value as a short label (a name may be any JSON value, of any size)."""
    text = value if isinstance(value, str) else reprlib.repr(value)
    text = " ".join(text.split())
    return text if len(text) <= limit else text[: limit - 3] + "..."
