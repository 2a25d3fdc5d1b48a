"""Repulsion fields around GeoJSON geometries.

The geometry classes live in :mod:`orvo.field.geometry`; the per-point
segment work for lines and polygons is done by :mod:`orvo.field.kernels`.
Scenes are read and written by :mod:`orvo.field.scene`, and :func:`grid`
and :func:`evaluate` answer any number of points in bounded memory.
"""

from __future__ import annotations

__version__ = "0.1.0"

from orvo.field.evaluation import evaluate, grid

__all__ = ["evaluate", "grid", "__version__"]
