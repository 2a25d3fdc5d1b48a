"""Cost maps: the field value on a raster, written for numpy, GIS tools and robot map servers.

Every format uses one raster convention.  The extent (xmin, ymin, xmax,
ymax) is the raster's outer edges; pixel (row r, column c) has its centre at

    (xmin + (c + 0.5) * dx,  ymax - (r + 0.5) * dy)

with dx = (xmax - xmin) / COLS and dy = (ymax - ymin) / ROWS, row 0 on top.
The values are exactly :func:`orvo.field.evaluate` at those centres.

By the extension of the target:

``.npy``
    the (ROWS, COLS) float64 array, and beside it a JSON sidecar (the same
    name with ``.json``) holding the extent, the shape and the convention;
``.tif`` / ``.tiff``
    a GeoTIFF (needs rasterio: ``pip install 'orvo-field[geo]'``): one
    float64 band of the field value, two more (d/dx, d/dy) with
    ``gradient=True``; its affine transform puts pixel centres where the
    values were evaluated, and it carries the scene's CRS (the collection's
    ``properties["crs"]``) when it has one;
``.yaml``
    the occupancy-grid map that robot navigation map servers load: a YAML
    file (``image``, ``resolution``, ``origin`` = [xmin, ymin, 0],
    ``negate: 0``, ``occupied_thresh``, ``free_thresh``, ``mode``) and
    beside it an 8-bit binary PGM whose grey level is round(255 * (1 -
    value)), so that the occupancy such a server reads, (255 - grey) / 255,
    is the field value.  Map servers take one resolution, so the pixels
    must be square.
"""

from __future__ import annotations

import io
import json
import math
import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from orvo.field.evaluation import as_collection, evaluate
from orvo.field.geometry import RGJGeometry
from orvo.field.scene import _write_file

__all__ = ["Raster", "raster", "write_costmap", "FORMATS", "MAX_PIXELS"]

Extent = tuple[float, float, float, float]

#: The extensions :func:`write_costmap` knows.
FORMATS = (".npy", ".tif", ".tiff", ".yaml")
#: The most pixels a cost map may have.
MAX_PIXELS = 10**8
#: The map servers' modes.
MODES = ("trinary", "scale", "raw")
# The default raster's longer side, in pixels, and the margin of the default extent.
_DEFAULT_SIDE = 1000
_MARGIN = 0.05

CONVENTION = (
    "extent = outer edges (xmin, ymin, xmax, ymax); pixel (row r, column c) has its centre at "
    "(xmin + (c + 0.5) * dx, ymax - (r + 0.5) * dy), dx = (xmax - xmin) / cols, dy = (ymax - ymin) / rows, "
    "row 0 on top"
)


@dataclass(frozen=True)
class Raster:
    """A raster's extent (outer edges) and its size in pixels."""

    extent: Extent
    cols: int
    rows: int

    @property
    def dx(self) -> float:
        return (self.extent[2] - self.extent[0]) / self.cols

    @property
    def dy(self) -> float:
        return (self.extent[3] - self.extent[1]) / self.rows

    def centres(self) -> NDArray[np.float64]:
        """The (ROWS * COLS, 2) pixel centres, row by row from the top."""
        xmin, _, _, ymax = self.extent
        xs = xmin + (np.arange(self.cols) + 0.5) * self.dx
        ys = ymax - (np.arange(self.rows) + 0.5) * self.dy
        return np.stack(np.meshgrid(xs, ys), axis=-1).reshape(-1, 2)


def raster(
    geometry: RGJGeometry,
    extent: Sequence[float] | None = None,
    *,
    size: tuple[int, int] | None = None,
    resolution: float | None = None,
) -> Raster:
    """The raster of a cost map.

    ``extent`` defaults to the scene's box grown by 5% on every side.
    ``size`` is (COLS, ROWS); ``resolution`` R instead makes COLS and ROWS
    the ceilings of the extent's sides over R and grows the extent from
    (xmin, ymin) to fit, so pixels are R x R.  Neither: square pixels, 1000
    along the longer side.  Raises ``ValueError`` for a bad extent, both
    options at once, or more than :data:`MAX_PIXELS` pixels.
    """
    box = _extent(geometry) if extent is None else _checked(extent)
    if size is not None and resolution is not None:
        raise ValueError("give a size or a resolution, not both")
    width, height = box[2] - box[0], box[3] - box[1]
    if resolution is None and size is None:
        resolution = max(width, height) / _DEFAULT_SIDE
    if size is not None:
        cols, rows = (int(v) for v in size)
        if cols < 1 or rows < 1:
            raise ValueError(f"the size must be at least 1x1 pixels, got {cols}x{rows}")
    else:
        assert resolution is not None
        if not (math.isfinite(resolution) and resolution > 0.0):
            raise ValueError(f"the resolution must be a positive number, got {resolution!r}")
        cols, rows = max(1, math.ceil(width / resolution - 1e-9)), max(1, math.ceil(height / resolution - 1e-9))
        box = (box[0], box[1], box[0] + cols * resolution, box[1] + rows * resolution)
    if cols * rows > MAX_PIXELS:
        raise ValueError(f"the cost map would have {cols}x{rows} pixels, more than {MAX_PIXELS}")
    return Raster(box, cols, rows)


def write_costmap(
    geometry: RGJGeometry,
    target: str | os.PathLike[str],
    grid: Raster,
    *,
    gradient: bool = False,
    occupied_thresh: float = 0.65,
    free_thresh: float = 0.25,
    mode: str = "scale",
    progress: bool | None = False,
) -> list[str]:
    """Evaluate ``geometry`` on ``grid`` and write it to ``target`` by its extension (see the module).

    ``gradient`` adds the two gradient bands (GeoTIFF only).  The
    thresholds and ``mode`` go into a map server's YAML.  ``progress`` is
    passed to :func:`~orvo.field.evaluate`.  Returns the files written.
    Every file goes through a temporary file and a rename, so a failed
    write leaves an old one as it was.  Raises ``ValueError`` for an
    unknown extension or bad settings before any work.
    """
    path = os.fspath(target)
    kind = os.path.splitext(path)[1].lower()
    if kind not in FORMATS:
        raise ValueError(f"unknown cost map format {kind or '(no extension)'!r}: use one of {', '.join(FORMATS)}")
    if gradient and kind not in (".tif", ".tiff"):
        raise ValueError("the gradient bands need a GeoTIFF (.tif) target")
    if kind == ".yaml":
        _check_map_settings(grid, occupied_thresh, free_thresh, mode)
    rasterio = _rasterio() if kind in (".tif", ".tiff") else None
    collection = as_collection(geometry)
    values, gradients = evaluate(collection, grid.centres(), progress=progress)
    image = values.reshape(grid.rows, grid.cols)
    if kind == ".npy":
        return _write_npy(path, image, grid)
    if kind == ".yaml":
        return _write_map(path, image, grid, occupied_thresh, free_thresh, mode)
    bands = [image] + ([gradients[:, 0].reshape(image.shape), gradients[:, 1].reshape(image.shape)] if gradient else [])
    crs = collection.properties.get("crs") if isinstance(collection.properties, dict) else None
    return _write_geotiff(rasterio, path, bands, grid, crs)


# --------------------------------------------------------------------------


def _write_npy(path: str, image: NDArray[np.float64], grid: Raster) -> list[str]:
    buffer = io.BytesIO()
    np.save(buffer, image)
    sidecar = os.path.splitext(path)[0] + ".json"
    meta = {"extent": list(grid.extent), "shape": [grid.rows, grid.cols], "dx": grid.dx, "dy": grid.dy,
            "values": "field value", "convention": CONVENTION}
    _write_file(sidecar, (json.dumps(meta, indent=1) + "\n").encode("utf-8"))
    _write_file(path, buffer.getvalue())
    return [path, sidecar]


def _check_map_settings(grid: Raster, occupied: float, free: float, mode: str) -> None:
    if mode not in MODES:
        raise ValueError(f"mode must be one of {', '.join(MODES)}, got {mode!r}")
    if not (0.0 <= free < occupied <= 1.0):
        raise ValueError(f"the thresholds need 0 <= free < occupied <= 1, got free {free:g}, occupied {occupied:g}")
    if not math.isclose(grid.dx, grid.dy, rel_tol=1e-9):
        raise ValueError(
            f"a map server's map needs square pixels, got {grid.dx:g} x {grid.dy:g}: give a resolution instead of a size"
        )


def _write_map(path: str, image: NDArray[np.float64], grid: Raster, occupied: float, free: float, mode: str) -> list[str]:
    picture = os.path.splitext(path)[0] + ".pgm"
    grey = np.rint(255.0 * (1.0 - np.clip(np.nan_to_num(image, nan=1.0), 0.0, 1.0))).astype(np.uint8)
    header = f"P5\n{grid.cols} {grid.rows}\n255\n".encode("ascii")
    text = (
        f"image: {json.dumps(os.path.basename(picture))}\n"
        f"resolution: {grid.dx!r}\n"
        f"origin: [{grid.extent[0]!r}, {grid.extent[1]!r}, 0.0]\n"
        "negate: 0\n"
        f"occupied_thresh: {occupied!r}\n"
        f"free_thresh: {free!r}\n"
        f"mode: {mode}\n"
    )
    _write_file(picture, header + grey.tobytes())
    _write_file(path, text.encode("utf-8"))
    return [path, picture]


def _rasterio() -> Any:
    try:
        import rasterio
    except ImportError as error:
        raise ValueError(f"a GeoTIFF needs rasterio ({error}); install it with: pip install 'orvo-field[geo]'") from None
    return rasterio


def _write_geotiff(rasterio: Any, path: str, bands: list[NDArray[np.float64]], grid: Raster, crs: Any) -> list[str]:
    from rasterio.io import MemoryFile

    profile = {
        "driver": "GTiff", "width": grid.cols, "height": grid.rows, "count": len(bands), "dtype": "float64",
        # x = xmin + col * dx, y = ymax - row * dy at pixel corners.
        "transform": rasterio.Affine(grid.dx, 0.0, grid.extent[0], 0.0, -grid.dy, grid.extent[3]),
    }
    if crs is not None:
        profile["crs"] = crs
    names = ["field value", "gradient x", "gradient y"]
    with MemoryFile() as memory:
        with memory.open(**profile) as dataset:
            for index, band in enumerate(bands, start=1):
                dataset.write(band, index)
                dataset.set_band_description(index, names[index - 1])
        data = memory.read()
    _write_file(path, data)
    return [path]


def _extent(geometry: RGJGeometry) -> Extent:
    box = np.asarray(as_collection(geometry).bbox, dtype=np.float64).reshape(-1, 2)
    low, high = box.min(0), box.max(0)
    pad = _MARGIN * float(np.max(high - low)) or 1.0
    return _checked((low[0] - pad, low[1] - pad, high[0] + pad, high[1] + pad))


def _checked(extent: Sequence[float]) -> Extent:
    try:
        xmin, ymin, xmax, ymax = (float(v) for v in extent)
    except (TypeError, ValueError):
        raise ValueError(f"the extent must be four numbers xmin, ymin, xmax, ymax, got {extent!r}") from None
    if not (all(math.isfinite(v) for v in (xmin, ymin, xmax, ymax)) and xmax > xmin and ymax > ymin):
        raise ValueError(f"the extent needs finite numbers with xmin < xmax and ymin < ymax, got {tuple(extent)!r}")
    if not math.isfinite(xmax - xmin) or not math.isfinite(ymax - ymin):
        raise ValueError(f"the extent is too large: its width or height overflows, got {tuple(extent)!r}")
    return xmin, ymin, xmax, ymax
