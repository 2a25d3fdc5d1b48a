"""Repulsion-field geometries built from RGeoJSON geometry dictionaries.

``_RGJ_TYPES`` maps each GeoJSON geometry type name to the class that
models it, so a geometry dictionary ``d`` becomes an object with
``_RGJ_TYPES[d["type"]](**d)``.
"""

from orvo.field.geometry.base import MultiRGJGeometry, RGJGeometry
from orvo.field.geometry.collection import GeometryCollectionRGJ
from orvo.field.geometry.linestring import LineStringRGJ, MultiLineStringRGJ
from orvo.field.geometry.point import MultiPointRGJ, PointRGJ
from orvo.field.geometry.polygon import MultiPolygonRGJ, PolygonRGJ

# Each class names the GeoJSON type it models in its ``RGJType``.
_RGJ_TYPES: dict[str, type[RGJGeometry]] = {
    cls.RGJType: cls
    for cls in (
        PointRGJ,
        MultiPointRGJ,
        LineStringRGJ,
        MultiLineStringRGJ,
        PolygonRGJ,
        MultiPolygonRGJ,
        GeometryCollectionRGJ,
    )
}

__all__ = [
    "RGJGeometry",
    "MultiRGJGeometry",
    "PointRGJ",
    "MultiPointRGJ",
    "LineStringRGJ",
    "MultiLineStringRGJ",
    "PolygonRGJ",
    "MultiPolygonRGJ",
    "GeometryCollectionRGJ",
]
