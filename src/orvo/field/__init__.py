"""Repulsion fields around GeoJSON geometries.

The geometry classes live in :mod:`orvo.field.geometry`; the per-point
segment work for lines and polygons is done by :mod:`orvo.field.kernels`.
"""

__version__ = "0.1.0"
