"""Repulsion fields around GeoJSON geometries.

The geometry classes live in :mod:`orvo.field.geometry`; the per-point
segment work for lines and polygons is done by :mod:`orvo.field.kernels`.
Scenes are read and written by :mod:`orvo.field.scene`, and :func:`grid`
and :func:`evaluate` answer any number of points in bounded memory.
"""

from __future__ import annotations

__version__ = "0.1.0"

from orvo.field.evaluation import evaluate, grid


def sample_path() -> str:
    """The path of the sample harbour scene shipped with the package (a GeoJSON file).

    ``orvo.field.scene.load(sample_path())`` reads it; the ``orvo-field``
    commands use it when no SCENE is given.
    """
    from importlib import resources

    return str(resources.files("orvo.field") / "data" / "harbour.geojson")


__all__ = ["evaluate", "grid", "sample_path", "__version__"]
