"""Field values and gradients of dask arrays of points, on one machine or a cluster.

:func:`evaluate` is the lazy form of :func:`orvo.field.evaluate`: it takes a
dask array of query points and returns dask arrays of the field values and
gradients, one block of answers per block of points. Each block is answered
by :func:`orvo.field.evaluate` wherever the scheduler runs the task, so the
results equal the in-process ones exactly.

The geometry enters the task graph once, as a single ``dask.delayed`` node
that every block depends on; it travels to the workers by pickle (every
geometry pickles with its full state) and is not copied into each task.

The threaded scheduler runs blocks in parallel, since the native kernels
release the interpreter lock. A cluster needs ``orvo-field`` installed on
every worker::

    import dask.array as da
    from dask.distributed import Client

    from orvo.field import grid, sample_path, scene
    from orvo.field.dask import evaluate

    client = Client("tcp://scheduler:8786")  # a running scheduler
    harbour = scene.load(sample_path())
    points = da.from_array(grid((0, 0, 2000, 1500), (2000, 1500)), chunks=(250_000, 2))
    values, gradients = evaluate(harbour, points)
    values, gradients = client.compute([values, gradients], sync=True)

This module needs ``dask`` (``pip install 'dask[array]'``, plus
``distributed`` for clusters).
"""

from __future__ import annotations

import copy

import dask.array as da
import numpy as np
from dask.delayed import delayed
from numpy.typing import NDArray

import orvo.field
from orvo.field.geometry import RGJGeometry

__all__ = ["evaluate"]

_FLOAT64 = np.dtype(np.float64)


def evaluate(geometry: RGJGeometry, points: da.Array) -> tuple[da.Array, da.Array]:
    """Lazy field values (N,) and gradients (N, 2) of ``geometry`` at ``points``.

    ``points`` is an (N, 2) dask array chunked along the point axis only:
    every block must hold whole (x, y) rows, so the coordinate axis is a
    single chunk (``points.rechunk({1: -1})`` makes it one). The results are
    float64 dask arrays whose blocks line up with the blocks of ``points``;
    nothing is computed until they are. Block ``i`` of the answers is
    ``orvo.field.evaluate(geometry, block i of points)``, evaluated once for
    both arrays, so computing them together (``dask.compute(values,
    gradients)``) runs the geometry once per block.

    Any geometry of :mod:`orvo.field.geometry` works; one that is not a
    collection is answered as a collection of that one member, as
    :func:`orvo.field.evaluate` does. The geometry is copied when this is
    called: changing it afterwards does not change the results.

    Raises TypeError when ``points`` is not a dask array or ``geometry`` is
    not a geometry, and ValueError when the shape or the chunking is wrong.
    """
    if not isinstance(geometry, RGJGeometry):
        raise TypeError(f"geometry must be an orvo.field geometry, got {type(geometry).__name__}")
    if not isinstance(points, da.Array):
        raise TypeError(
            f"points must be a dask array, got {type(points).__name__}; "
            "wrap an in-memory array with dask.array.from_array(points, chunks=(n, 2))"
        )
    if points.ndim != 2 or points.shape[1] != 2:
        raise ValueError(f"points must have shape (N, 2), got {points.shape}")
    if len(points.chunks[1]) != 1:
        raise ValueError(
            f"points must be chunked along the point axis only, got column chunks {points.chunks[1]}; "
            "use points.rechunk({1: -1})"
        )
    if points.dtype != _FLOAT64:
        points = points.astype(np.float64)
    # One graph node holds a copy of the geometry as it is now, so later changes
    # to it do not reach the results; pure=True names the node by its content,
    # so the same geometry evaluated twice in one graph is still shipped once.
    shared = delayed(copy.deepcopy(geometry), pure=True)
    answers = da.map_blocks(
        _answer_block,
        points,
        shared,
        chunks=(points.chunks[0], (3,)),
        dtype=_FLOAT64,
        meta=np.empty((0, 3), dtype=_FLOAT64),
        token="orvo-field-evaluate",
    )
    values = answers.map_blocks(
        _values_of, drop_axis=1, dtype=_FLOAT64, meta=np.empty((0,), dtype=_FLOAT64), token="orvo-field-values"
    )
    gradients = answers.map_blocks(
        _gradients_of,
        chunks=(points.chunks[0], (2,)),
        dtype=_FLOAT64,
        meta=np.empty((0, 2), dtype=_FLOAT64),
        token="orvo-field-gradients",
    )
    return values, gradients


def _answer_block(block: NDArray[np.float64], geometry: RGJGeometry) -> NDArray[np.float64]:
    """The (n, 3) answers of one block of points: value, gradient x, gradient y."""
    values, gradients = orvo.field.evaluate(geometry, block, progress=None)
    out = np.empty((len(values), 3), dtype=np.float64)
    out[:, 0] = values
    out[:, 1:] = gradients
    return out


def _values_of(answers: NDArray[np.float64]) -> NDArray[np.float64]:
    return np.ascontiguousarray(answers[:, 0])


def _gradients_of(answers: NDArray[np.float64]) -> NDArray[np.float64]:
    return np.ascontiguousarray(answers[:, 1:])
