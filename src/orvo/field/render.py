"""Pictures of a scene's field with matplotlib (Agg, no display needed).

:func:`render` draws the field value as a heat map, the geometries on top
(polygon rings, lines, points), arrows of the repulsion direction (the
negated gradient) on a coarse grid, a colour bar, a title and, when given,
a planned path.  It works on a figure of its own with the Agg canvas, so it
never touches pyplot's global state or the caller's backend.

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
from matplotlib.figure import Figure
from matplotlib.font_manager import FontProperties
from matplotlib.lines import Line2D
from matplotlib.mathtext import MathTextParser
from matplotlib.patches import PathPatch
from matplotlib.path import Path

from orvo.field.evaluation import as_collection, evaluate, grid
from orvo.field.geometry import GeometryCollectionRGJ, RGJGeometry
from orvo.field.plan import PlannedPath

__all__ = ["render", "default_extent"]

Extent = tuple[float, float, float, float]

_EDGE = "#e8f4ff"
_PATH = "#39ff9f"
_ARROWS_ACROSS = 30
# The arrows' raster has _ARROWS_ACROSS columns and, to keep cells square,
# as many rows as the extent's aspect asks, up to this many.
_ARROWS_MAX_ROWS = 200
# The heat map's raster: about one value per two pixels, within these bounds.
_RASTER_MIN = (60, 40)
_RASTER_MAX = 800


def default_extent(geometry: RGJGeometry, margin: float = 0.06) -> Extent:
    """The scene's bounding box grown by ``margin`` of its size on every side.

    Raises ``ValueError`` when that box does not fit in floating point (a
    scene spanning more than the largest float).
    """
    box = np.asarray(as_collection(geometry).bbox, dtype=np.float64).reshape(-1, 2)
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
    path: PlannedPath | None = None,
    title: str | None = None,
    progress: bool | None = False,
    dpi: int = 100,
) -> None:
    """Write a PNG picture of ``geometry``'s field to ``target``.

    ``size`` is (width, height) in pixels and is the exact size of the PNG;
    ``extent`` is (xmin, ymin, xmax, ymax) in scene coordinates and defaults
    to :func:`default_extent`.  ``path`` adds a planned path with its start,
    goal and status.  ``title`` defaults to the scene's ``name`` property
    and a description of the picture.  ``progress`` is passed to
    :func:`~orvo.field.evaluate` for the heat map's raster.

    The work is bounded whatever the extent: the heat map has at most 800 x
    800 values and the arrows at most 30 x 200.  Raises ``ValueError`` for
    an extent that is not finite and ordered, whose width or height
    overflows, or that is too narrow for its raster cells to differ at its
    coordinates, and for a ``title`` that is not valid matplotlib math text
    (a scene's ``name`` is always drawn as plain text).
    """
    width, height = (int(v) for v in size)
    if width < 100 or height < 100:
        raise ValueError(f"size must be at least 100x100 pixels, got {width}x{height}")
    if title is not None:
        _check_math_text("title", title)
    collection = as_collection(geometry)
    box = default_extent(collection) if extent is None else _checked_extent(extent)
    xmin, ymin, xmax, ymax = box
    aspect = (ymax - ymin) / (xmax - xmin)  # finite and positive: see _checked_extent

    # The heat map's raster: about one value per two pixels across.
    nx = int(np.clip(width // 2, _RASTER_MIN[0], _RASTER_MAX))
    ny = int(round(float(np.clip(nx * aspect, _RASTER_MIN[1], _RASTER_MAX))))
    _check_cells(box, nx, ny)
    values, _ = evaluate(collection, grid(box, (nx, ny)), progress=progress)

    # The arrows' raster: a fixed number across, cells kept square up to a cap.
    ay_n = int(round(float(np.clip(_ARROWS_ACROSS * aspect, 2, _ARROWS_MAX_ROWS))))
    arrows = grid(_inset(box, _ARROWS_ACROSS, ay_n), (_ARROWS_ACROSS, ay_n))
    _, gradients = evaluate(collection, arrows, progress=None)

    # Type scales with the picture, so small thumbnails stay legible.
    font = float(np.clip(10.0 * min(width / 900, height / 700), 5.0, 12.0))
    with rc_context({"font.size": font, "legend.fontsize": font * 0.8, "axes.titlesize": font}):
        figure = Figure(figsize=(width / dpi, height / dpi), dpi=dpi, layout="constrained")
        FigureCanvasAgg(figure)
        _draw(figure, collection, box, values.reshape(ny, nx), arrows, gradients, path, title)
        with warnings.catch_warnings():
            # In the smallest pictures the colour bar, legend and title leave the
            # layout no room; the picture is then drawn without it, which is fine.
            warnings.filterwarnings("ignore", "constrained_layout not applied", UserWarning)
            figure.savefig(target, format="png", dpi=dpi)


def _checked_extent(extent: Sequence[float]) -> Extent:
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


def _draw(
    figure: Figure,
    collection: GeometryCollectionRGJ,
    extent: Extent,
    image_values: np.ndarray,
    arrows: np.ndarray,
    gradients: np.ndarray,
    path: PlannedPath | None,
    title: str | None,
) -> None:
    xmin, ymin, xmax, ymax = extent
    axes = figure.add_subplot()
    image = axes.imshow(
        image_values,
        origin="lower",
        extent=(xmin, xmax, ymin, ymax),
        cmap="magma",
        vmin=0.0,
        vmax=1.0,
        interpolation="bilinear",
    )
    figure.colorbar(image, ax=axes, label="field value", shrink=0.9)

    _draw_arrows(axes, arrows, -gradients, (xmax - xmin) / _ARROWS_ACROSS)
    handles = _draw_geometries(axes, collection)
    if path is not None:
        handles.extend(_draw_path(axes, path))

    axes.set_xlim(xmin, xmax)
    axes.set_ylim(ymin, ymax)
    axes.set_aspect("equal")
    axes.set_xlabel("x")
    axes.set_ylabel("y")
    if handles:
        axes.legend(
            handles=handles, loc="lower left", facecolor="#202020", labelcolor="white", framealpha=0.8
        )
    # A title from the scene's name is data: drawn as it is, never as math text.
    if title is not None:
        axes.set_title(title)
    else:
        axes.set_title(_title(collection, path), parse_math=False)


def _inset(extent: Extent, nx: int, ny: int) -> Extent:
    """``extent`` shrunk by half a cell, so arrows sit at cell centres."""
    xmin, ymin, xmax, ymax = extent
    dx, dy = (xmax - xmin) / nx / 2.0, (ymax - ymin) / ny / 2.0
    return xmin + dx, ymin + dy, xmax - dx, ymax - dy


def _draw_arrows(axes: Any, points: np.ndarray, vectors: np.ndarray, cell: float) -> None:
    lengths = np.hypot(vectors[:, 0], vectors[:, 1])
    top = float(lengths.max()) if len(lengths) else 0.0
    shown = lengths > max(top * 1e-2, 1e-12)
    if not np.any(shown):
        return
    unit = vectors[shown] / lengths[shown, np.newaxis]
    axes.quiver(
        points[shown, 0],
        points[shown, 1],
        unit[:, 0] * cell * 0.6,
        unit[:, 1] * cell * 0.6,
        angles="xy",
        scale_units="xy",
        scale=1.0,
        pivot="middle",
        color="white",
        alpha=0.55,
        width=0.0022,
    )


def _draw_geometries(axes: Any, collection: GeometryCollectionRGJ) -> list[Any]:
    """Draw every member from its RGeoJSON coordinates; legend handles per kind."""
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
                    PathPatch(Path(vertices, codes), facecolor="none", edgecolor=_EDGE, linewidth=1.2, hatch=hatch)
                )
            kinds.add(kind)
        elif kind in ("LineString", "MultiLineString"):
            for line in [coordinates] if kind == "LineString" else coordinates:
                xy = np.asarray(line, dtype=np.float64)
                axes.plot(xy[:, 0], xy[:, 1], color=_EDGE, linewidth=2.0, solid_capstyle="round")
            kinds.add("LineString")
        elif kind == "MultiPoint":
            xy = np.asarray(coordinates, dtype=np.float64).reshape(-1, 2)
            axes.scatter(xy[:, 0], xy[:, 1], s=18, marker="o", facecolor="#4fc3ff", edgecolor=_EDGE, zorder=3)
            kinds.add(kind)
        elif kind == "Point":
            xy = np.asarray(coordinates, dtype=np.float64).reshape(-1, 2)
            axes.scatter(xy[:, 0], xy[:, 1], s=90, marker="*", color="#ffd54f", edgecolor="black", zorder=3)
            kinds.add(kind)

    legend = {
        "Polygon": Line2D([], [], color=_EDGE, linewidth=1.2, label="polygon"),
        "MultiPolygon": PathPatch(Path([(0, 0)]), facecolor="none", edgecolor=_EDGE, hatch="//", label="multi-polygon"),
        "LineString": Line2D([], [], color=_EDGE, linewidth=2.0, label="line"),
        "MultiPoint": Line2D([], [], linestyle="", marker="o", color="#4fc3ff", markeredgecolor=_EDGE, label="multi-point"),
        "Point": Line2D([], [], linestyle="", marker="*", markersize=10, color="#ffd54f", markeredgecolor="black", label="point"),
    }
    return [handle for kind, handle in legend.items() if kind in kinds]


def _draw_path(axes: Any, path: PlannedPath) -> list[Any]:
    xy = path.path
    line = axes.plot(xy[:, 0], xy[:, 1], color=_PATH, linewidth=2.2, zorder=4, label=f"path: {path.status}")[0]
    start = axes.scatter(*path.start, s=60, marker="o", color=_PATH, edgecolor="black", zorder=5, label="start")
    goal = axes.scatter(*path.goal, s=90, marker="X", color=_PATH, edgecolor="black", zorder=5, label="goal")
    return [line, start, goal]


def _title(collection: GeometryCollectionRGJ, path: PlannedPath | None) -> str:
    properties = collection.properties if isinstance(collection.properties, dict) else {}
    name = _label(properties.get("name", "scene"))
    text = f"{name}: field value and repulsion direction"
    if path is not None:
        text += f"\npath {path.status} ({path.iterations} steps, length {path.length:.4g})"
    return text


def _label(value: Any, limit: int = 80) -> str:
    """A property value as a short label (a name may be any JSON value, of any size)."""
    text = value if isinstance(value, str) else reprlib.repr(value)
    text = " ".join(text.split())
    return text if len(text) <= limit else text[: limit - 3] + "..."
