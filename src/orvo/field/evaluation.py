"""Field values and gradients for any number of points, in bounded memory.

:func:`grid` lays out the query points of a raster and :func:`evaluate`
answers them chunk by chunk, so the temporary arrays the geometries build
(one row per point and member) never exceed ``chunk_size`` points.  Every
answer is computed per point, so the chunked results are exactly the ones a
single call on the whole array gives.
"""

from __future__ import annotations

import os
import sys
import time
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any, Protocol, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

if TYPE_CHECKING:
    from orvo.field.geometry import GeometryCollectionRGJ, RGJGeometry

__all__ = ["grid", "evaluate", "evaluate_nearest", "as_collection", "DEFAULT_CHUNK_SIZE"]

#: Points per chunk unless told otherwise: a few MB of temporaries per member.
DEFAULT_CHUNK_SIZE = 65536

# Without progress=True, a bar appears only when the first chunk predicts at
# least this many seconds of work and stderr is a terminal.
_LONG_WORK_SECONDS = 2.0


class _Bar(Protocol):
    def update(self, n: int) -> Any: ...
    def close(self) -> Any: ...


def grid(extent: Sequence[float], shape: Sequence[int]) -> NDArray[np.float64]:
    """The (nx·ny, 2) points of a regular raster over ``extent``.

    ``extent`` is ``(xmin, ymin, xmax, ymax)`` and ``shape`` is ``(nx, ny)``,
    the number of columns and rows.  Points sit on ``nx`` evenly spaced x
    values from ``xmin`` to ``xmax`` (both included) and ``ny`` y values
    from ``ymin`` to ``ymax``.  Rows are ordered row-major from the bottom:
    x varies fastest, y slowest, so point ``k`` lies in raster row
    ``k // nx`` (counted from ``ymin``) and column ``k % nx``, and
    ``values.reshape(ny, nx)`` is an image to show with ``origin="lower"``.
    """
    try:
        xmin, ymin, xmax, ymax = (float(v) for v in extent)
    except (TypeError, ValueError):
        raise ValueError(f"extent must be four numbers (xmin, ymin, xmax, ymax), got {extent!r}") from None
    if not all(np.isfinite([xmin, ymin, xmax, ymax])) or not (xmax > xmin and ymax > ymin):
        raise ValueError(f"extent must be finite with xmin < xmax and ymin < ymax, got {tuple(extent)!r}")
    # The spacing of the points is (xmax - xmin) / (nx - 1): a width that
    # overflows would place them at infinities and NaNs.
    if not (np.isfinite(xmax - xmin) and np.isfinite(ymax - ymin)):
        raise ValueError(f"extent is too large: its width or height overflows, got {tuple(extent)!r}")
    try:
        nx, ny = (_count(v) for v in shape)
    except (TypeError, ValueError):
        raise ValueError(f"shape must be two positive integers (nx, ny), got {shape!r}") from None
    xs = np.linspace(xmin, xmax, nx)
    ys = np.linspace(ymin, ymax, ny)
    points = np.empty((ny, nx, 2), dtype=np.float64)
    points[:, :, 0] = xs[np.newaxis, :]
    points[:, :, 1] = ys[:, np.newaxis]
    return points.reshape(-1, 2)


def evaluate(
    geometry: RGJGeometry,
    points: ArrayLike,
    *,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    progress: bool | None = False,
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Field values (N,) and gradients (N, 2) of ``geometry`` at ``points``.

    ``points`` is anything numpy reads as (N, 2) (a single (x, y) pair counts
    as one point).  For a :class:`GeometryCollectionRGJ` the answers are its
    ``eval`` and ``gradient``; any other geometry is answered as a collection
    of that one member, so the gradient is ``-eval · grad_matrix · v`` with
    ``v`` the geometry's repulsion vector.  The points are processed
    ``chunk_size`` at a time and the results equal one call on the whole
    array exactly.

    ``progress=True`` shows a progress bar on stderr (tqdm when installed);
    with the default ``False`` a bar appears only for long work (several
    seconds, judged after the first chunk) when stderr is a terminal;
    ``None`` never shows one.

    Note that a multi-point member's repulsion vectors point from the query
    towards its nearest point, so near such a member the gradient has the
    opposite sign to the true slope of the field.
    """
    values, gradients, _ = _run(geometry, points, chunk_size, progress, nearest=False)
    return values, gradients


def evaluate_nearest(
    geometry: RGJGeometry,
    points: ArrayLike,
    *,
    chunk_size: int = DEFAULT_CHUNK_SIZE,
    progress: bool | None = False,
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.intp]]:
    """:func:`evaluate` plus, per point, the index of the nearest member.

    The nearest member is the one with the smallest squared distance, as the
    collection's ``squared_dist(x, return_reference=True)`` reports it.  A
    query point with a NaN or infinite coordinate has no nearest member and
    gets -1 (the collection's own ``squared_dist`` reports member 0 for it:
    an argmin over NaN distances).
    """
    values, gradients, nearest = _run(geometry, points, chunk_size, progress, nearest=True)
    return values, gradients, cast("NDArray[np.intp]", nearest)


def _run(
    geometry: RGJGeometry, points: ArrayLike, chunk_size: int, progress: bool | None, *, nearest: bool
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.intp] | None]:
    field = as_collection(geometry)
    size = _count(chunk_size, "chunk_size")
    xy = _points(points)
    n = len(xy)
    values = np.empty(n, dtype=np.float64)
    gradients = np.empty((n, 2), dtype=np.float64)
    members = np.empty(n, dtype=np.intp) if nearest else None
    one_pass = _one_pass()
    for start, stop in _chunked(n, size, progress):
        chunk = xy[start:stop]
        # One indexed pass gives all three answers when the collection is a
        # plain one; otherwise its methods answer, each in its own pass.
        fused = one_pass(field, chunk)
        if fused is not None:
            values[start:stop], gradients[start:stop] = fused[0], fused[1]
        else:
            values[start:stop] = field.eval(chunk)
            gradients[start:stop] = field.gradient(chunk)
        if members is not None:
            members[start:stop] = fused[2] if fused is not None else field.squared_dist(chunk, return_reference=True)[1]
            members[start:stop][~np.isfinite(chunk).all(axis=1)] = -1
    return values, gradients, members


def _one_pass() -> Any:
    from orvo.field.geometry import collection

    return collection._evaluate


def as_collection(geometry: RGJGeometry) -> GeometryCollectionRGJ:
    """``geometry`` itself if it is a collection, else a collection of it alone."""
    # Imported here so that `import orvo.field` loads no native module.
    from orvo.field.geometry import GeometryCollectionRGJ, RGJGeometry

    if isinstance(geometry, GeometryCollectionRGJ):
        return geometry
    if isinstance(geometry, RGJGeometry):
        return GeometryCollectionRGJ(geometries=[geometry.toRGeoJSON()["geometry"]], properties=geometry.properties)
    raise TypeError(f"expected an orvo.field geometry, got {type(geometry).__name__}")


# --------------------------------------------------------------------------


def _points(points: ArrayLike) -> NDArray[np.float64]:
    xy = np.ascontiguousarray(np.atleast_2d(np.asarray(points, dtype=np.float64)))
    if xy.ndim != 2 or xy.shape[1] != 2:
        raise ValueError(f"points must have shape (N, 2), got {np.shape(points)}")
    return xy


def _count(value: Any, name: str = "size") -> int:
    if isinstance(value, bool) or int(value) != value or int(value) < 1:
        raise ValueError(f"{name} must be a positive integer, got {value!r}")
    return int(value)


def _chunked(n: int, size: int, progress: bool | None) -> Iterator[tuple[int, int]]:
    """Yield (start, stop) slices of ``n`` points, driving the progress bar."""
    bar: _Bar | None = None
    started = time.perf_counter()
    try:
        for start in range(0, n, size):
            stop = min(start + size, n)
            if bar is None and start > 0 and progress is False and _is_long(started, start, n):
                bar = _progress_bar(n, start)
            elif bar is None and start == 0 and progress is True:
                bar = _progress_bar(n, 0)
            yield start, stop
            if bar is not None:
                bar.update(stop - start)
    finally:
        if bar is not None:
            bar.close()


def _is_long(started: float, done: int, total: int) -> bool:
    elapsed = time.perf_counter() - started
    if elapsed * total / done < _LONG_WORK_SECONDS:
        return False
    try:
        return os.isatty(sys.stderr.fileno())
    except (AttributeError, OSError, ValueError):
        return False


def _progress_bar(total: int, initial: int) -> _Bar:
    try:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        return _PlainBar(total, initial)
    return tqdm(total=total, initial=initial, unit="pt", unit_scale=True, desc="evaluating", file=sys.stderr)


class _PlainBar:
    """A percentage on stderr for when tqdm is not installed."""

    def __init__(self, total: int, initial: int) -> None:
        self.total = max(total, 1)
        self.done = initial
        self.shown = -1
        self._show()

    def update(self, n: int) -> None:
        self.done += n
        self._show()

    def close(self) -> None:
        sys.stderr.write("\n")
        sys.stderr.flush()

    def _show(self) -> None:
        percent = 100 * self.done // self.total
        if percent != self.shown:
            self.shown = percent
            sys.stderr.write(f"\revaluating: {percent:3d}%")
            sys.stderr.flush()
