"""Scenes in and out: RGeoJSON FeatureCollections as geometry collections.

A *scene* is a :class:`~orvo.field.geometry.GeometryCollectionRGJ` whose
members come from the Features of a GeoJSON FeatureCollection: each
Feature's geometry dictionary becomes one member (its entries passed as the
member class's keywords), and the Feature's ``properties`` become the
member's ``properties``.  A geometry may carry its own 2x2 ``repulsion``
matrix next to its ``coordinates``; that is the RGeoJSON extension::

    {"type": "Feature", "properties": {"name": "pier"},
     "geometry": {"type": "LineString", "coordinates": [[0, 0], [0, 40]],
                  "repulsion": [[25, 0], [0, 25]]}}

A scene is meant as a set of obstacles, so by default :func:`load` makes
each MultiPolygon Feature one ``PolygonRGJ`` member per part and each
MultiPoint Feature one ``PointRGJ`` member per point.  A
``MultiPolygonRGJ`` makes no inside test (points inside its parts get the
distance to the boundary), and a ``MultiPointRGJ``'s vectors point from the
query towards its points; one member per part has neither surprise.  Each
part keeps the Feature's properties and repulsion, plus its position in the
Feature as the property ``part``.  ``split_multi=False`` keeps
multi-geometries as the multi-geometry classes.

A Feature's repulsion comes, in this order, from its geometry's
``repulsion`` entry, from its ``repulsion`` property (what GIS tools keep,
since they drop foreign geometry members; see :data:`REPULSION_PROPERTY`),
from the ``repulsion=`` or ``scale=`` argument of :func:`load`, or is the
identity.

:func:`load` checks the whole input before it builds anything, so a bad
scene raises one :class:`ValueError` whose one-line message names the
feature and the problem, and never yields a half-built collection.  A
Feature whose geometry is null (valid GeoJSON: a feature without a place)
is skipped with a :class:`SceneWarning`, or refused with ``strict=True``.

A path that does not end in ``.geojson`` or ``.json`` (a Shapefile, a
GeoPackage, a FlatGeobuf file, a folder of Shapefiles, ...) is read through
pyogrio, one layer (``layer=``) at a time, into the same kind of
FeatureCollection; its CRS becomes the collection property ``crs``.

:func:`dump` writes a FeatureCollection that :func:`load` reads back into a
collection with the same members, matrices, properties and answers.  It
writes the members as they are: a split MultiPolygon comes back as its
Polygons (each with its ``part`` property), so ``load(dump(load(f)))``
has the members of ``load(f)``, not the Features of ``f``.
"""

from __future__ import annotations

import json
import math
import numbers
import os
import reprlib
import secrets
import stat
import warnings
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import IO, Any, Union

from orvo.field.geometry import _RGJ_TYPES, GeometryCollectionRGJ, RGJGeometry

__all__ = ["load", "read", "dump", "Scene", "SceneSource", "SceneWarning", "auto_scale", "REPULSION_PROPERTY"]

#: Anything :func:`load` accepts.
SceneSource = Union[str, os.PathLike, IO[str], Mapping[str, Any], Any]

# How deep the coordinate arrays of each member type nest above a position,
# and the fewest entries each level needs.
_SIMPLE_TYPES: dict[str, tuple[int, ...]] = {
    "Point": (),
    "MultiPoint": (1,),
    "LineString": (2,),
    "MultiLineString": (1, 2),
    "Polygon": (1, 3),
    "MultiPolygon": (1, 1, 3),
}
_LEVEL_NAMES: dict[str, tuple[str, ...]] = {
    "Point": (),
    "MultiPoint": ("points",),
    "LineString": ("positions",),
    "MultiLineString": ("lines", "positions"),
    "Polygon": ("rings", "positions"),
    "MultiPolygon": ("polygons", "rings", "positions"),
}


#: Positions must lie within this distance of the origin on either axis: the
#: field squares coordinate differences, which overflow beyond about 1e154.
COORDINATE_LIMIT = 1e150


#: The Feature property that may carry a member's repulsion: a 2x2 matrix,
#: a number D (the matrix D²·I, a field that falls off over the length D),
#: or a string holding either as JSON (for formats whose fields hold no lists).
REPULSION_PROPERTY = "repulsion"

#: The property that numbers the parts of a split multi-geometry.
PART_PROPERTY = "part"

# The scale auto_scale chooses is the larger side of the scene's box over this.
_AUTO_SCALE_DIVISOR = 50.0


class _SceneError(ValueError):
    """Internal: a problem found while checking one part of a scene."""


class SceneWarning(UserWarning):
    """Something in a scene that :func:`load` skipped or guessed."""


@dataclass(frozen=True)
class Scene:
    """What :func:`read` built, and how."""

    collection: GeometryCollectionRGJ
    #: Members whose repulsion came from the scene itself (geometry or property).
    own_repulsions: int
    #: The scale D given to members without their own repulsion (D²·I), or
    #: None when they kept ``repulsion=`` or the identity.
    scale: float | None
    #: True when ``scale`` was chosen from the scene's extent.
    scale_chosen: bool
    #: Features skipped because their geometry is null.
    skipped: int


def load(
    source: SceneSource,
    *,
    repulsion: Any = None,
    scale: float | None = None,
    split_multi: bool = True,
    strict: bool = False,
    layer: str | int | None = None,
) -> GeometryCollectionRGJ:
    """Build a geometry collection from a GeoJSON scene.

    Parameters
    ----------
    source:
        One of

        * a path (``str`` or path-like) to a ``.geojson`` / ``.json`` file,
        * a path to any other vector file or folder GDAL reads (Shapefile,
          GeoPackage, FlatGeobuf, GML, KML, File Geodatabase, ...), read
          through pyogrio (``pip install 'orvo-field[io]'``); the source's
          CRS, if any, is kept as the collection property ``crs``, and a
          geographic CRS (degrees) gives a :class:`SceneWarning`,
        * an open text file holding GeoJSON,
        * a dict holding a ``FeatureCollection``, a single ``Feature`` or a
          geometry (a ``GeometryCollection`` or one geometry),
        * any object with ``__geo_interface__`` (shapely geometries,
          GeoDataFrames, the geometries of this package).

        A ``GeometryCollection``, as the scene or as one Feature's geometry,
        contributes one member per geometry it holds.  A position's third
        coordinate (altitude), if any, is dropped: the field is planar.
        A FeatureCollection's own ``properties`` entry, if present, becomes
        the collection's ``properties``.
    repulsion:
        The 2x2 repulsion matrix for members whose Feature carries none.
        ``None`` leaves such members with the identity (or ``scale``).
    scale:
        A length D: members whose Feature carries no repulsion get D²·I,
        a field that falls off over D.  Not together with ``repulsion``.
    split_multi:
        One ``PolygonRGJ`` per part of a MultiPolygon and one ``PointRGJ``
        per point of a MultiPoint (the default), or keep them whole.
    strict:
        Refuse a Feature with a null geometry instead of skipping it with a
        :class:`SceneWarning`.
    layer:
        The layer (name or index) of a file read through pyogrio; the first
        layer without it (with a :class:`SceneWarning` when there are more).
        Refused for GeoJSON sources.

    Raises
    ------
    ValueError
        With a one-line message naming the feature (by its index) and the
        problem: an unreadable file, invalid or too deeply nested JSON, an
        unknown type, missing or malformed coordinates (positions must hold
        finite numbers within ±:data:`COORDINATE_LIMIT`, rings at least three
        distinct corners), a repulsion matrix that is not a 2x2
        positive-definite matrix with a finite inverse, or a scene without
        features.  The work done before the error is bounded by the size of
        the input, and no other exception escapes for any JSON text.
    """
    return read(
        source, repulsion=repulsion, scale=scale, split_multi=split_multi, strict=strict, layer=layer
    ).collection


def read(
    source: SceneSource,
    *,
    repulsion: Any = None,
    scale: float | str | None = None,
    split_multi: bool = True,
    strict: bool = False,
    layer: str | int | None = None,
) -> Scene:
    """:func:`load`, telling how the scene was built.

    ``scale="auto"`` gives members :func:`auto_scale` of the scene when no
    Feature carries a repulsion of its own, and leaves them as they are
    otherwise; the returned :class:`Scene` says which happened.
    """
    default = _default_repulsion(repulsion, scale)
    _check_layer(layer)
    document = _read(source, layer)
    collection_properties, entries, skipped = _members(document, strict)
    members: list[tuple[str, dict, bool]] = []
    for where, geometry, properties in entries:
        members.extend(_member(where, geometry, properties, default, split_multi))
    if not members:
        raise ValueError("the scene has no features")
    own = sum(1 for _, _, has_own in members if has_own)
    chosen = None
    if scale == "auto" and own == 0:
        chosen = auto_scale([member for _, member, _ in members])
        for _, member, _ in members:
            member["repulsion"] = _scaled_identity(chosen)
    collection = _build(members, collection_properties)
    if scale == "auto":
        return Scene(collection, own, chosen, chosen is not None, skipped)
    return Scene(collection, own, None if isinstance(scale, str) else scale, False, skipped)


def auto_scale(members: Sequence[Mapping[str, Any]] | RGJGeometry) -> float:
    """A length for a scene without repulsions: 1/50 of its box's larger side.

    The field then falls off over a few percent of the scene, whatever its
    units (metres, feet, degrees).  Rounded to two significant digits.
    ``members`` are member dictionaries or a geometry.
    """
    if isinstance(members, RGJGeometry):
        box = [float(v) for v in _box_of(members)]
    else:
        box = _coordinate_box(member["coordinates"] for member in members)
    side = max(box[2] - box[0], box[3] - box[1])
    if not (math.isfinite(side) and side > 0.0):
        return 1.0
    length = side / _AUTO_SCALE_DIVISOR
    digits = 1 - math.floor(math.log10(length))
    return float(round(length, digits)) or length


def _box_of(geometry: RGJGeometry) -> list[float]:
    import numpy as np  # only here: scenes are read without numpy's import cost elsewhere

    box = np.asarray(geometry.bbox, dtype=np.float64).reshape(-1, 2)
    return [*box.min(0).tolist(), *box.max(0).tolist()]


def _coordinate_box(coordinates: Iterator[Any]) -> list[float]:
    """[xmin, ymin, xmax, ymax] of nested coordinate lists."""
    low = [math.inf, math.inf]
    high = [-math.inf, -math.inf]
    stack = list(coordinates)
    while stack:
        item = stack.pop()
        if item and isinstance(item[0], float):
            for axis in (0, 1):
                low[axis] = min(low[axis], item[axis])
                high[axis] = max(high[axis], item[axis])
        else:
            stack.extend(item)
    return [low[0], low[1], high[0], high[1]]


def _scaled_identity(length: float) -> list[list[float]]:
    square = length * length
    return [[square, 0.0], [0.0, square]]


def _default_repulsion(repulsion: Any, scale: float | str | None) -> list[list[float]] | None:
    """The checked matrix for members without their own, from ``repulsion=`` or ``scale=``."""
    if repulsion is not None and scale is not None:
        raise ValueError("give repulsion= or scale=, not both")
    if scale is not None and scale != "auto":
        if isinstance(scale, bool) or not isinstance(scale, numbers.Real) or not (_finite(scale) or 0.0) > 0.0:
            raise ValueError(f"scale= must be a positive finite length, got {_describe(scale)}")
        repulsion = _scaled_identity(float(scale))
    if repulsion is None:
        return None
    try:
        return _check_repulsion(repulsion)
    except _SceneError as error:
        raise ValueError(f"{'scale' if scale is not None else 'repulsion'}= argument: {error}") from None


def _build(members: list[tuple[str, dict, bool]], properties: dict[str, Any] | None) -> GeometryCollectionRGJ:
    try:
        return GeometryCollectionRGJ(geometries=[member for _, member, _ in members], properties=properties)
    except Exception as error:  # our checks should have caught it: say which member
        for where, member, _ in members:
            try:
                _RGJ_TYPES[member["type"]](**member)
            except Exception as member_error:
                raise ValueError(f"{where}: {_one_line(member_error)}") from member_error
        raise ValueError(f"cannot build the scene: {_one_line(error)}") from error


def dump(geometry: RGJGeometry, target: str | os.PathLike | IO[str], *, indent: int | None = None) -> None:
    """Write ``geometry`` as an RGeoJSON FeatureCollection.

    Each member of a collection becomes one Feature (its ``toRGeoJSON()``
    dictionary: geometry with coordinates and repulsion matrix, and the
    member's properties); a single geometry becomes a collection of one.
    The collection's own properties, when not empty, are written as the
    FeatureCollection's ``properties`` entry.  ``target`` is a path or an
    open text file.  The text is built in full before anything is written,
    so a value that JSON cannot hold (raised as ``ValueError``) leaves the
    target untouched.  A path is written through a temporary file in the
    same folder that replaces the target only once it is complete, so a
    failed write (a full disk, raised as ``OSError``) leaves any previous
    file as it was.
    """
    members = geometry.rgjs if isinstance(geometry, GeometryCollectionRGJ) else [geometry]
    if members is None:
        raise ValueError("the collection has no members (rgjs is None)")
    document: dict[str, Any] = {"type": "FeatureCollection"}
    if isinstance(geometry, GeometryCollectionRGJ) and geometry.properties:
        document["properties"] = geometry.properties
    document["features"] = [member.toRGeoJSON() for member in members]
    try:
        text = json.dumps(document, indent=indent, allow_nan=False)
    except (TypeError, ValueError, RecursionError) as error:
        raise ValueError(f"cannot write the scene as JSON: {_one_line(error)}") from error
    if isinstance(target, (str, os.PathLike)):
        _write_file(target, (text + "\n").encode("utf-8"))
    else:
        target.write(text + "\n")


# --------------------------------------------------------------------------
# Reading


def _read(source: SceneSource, layer: str | int | None = None) -> Any:
    """The GeoJSON document behind ``source``, as plain Python objects."""
    if isinstance(source, (str, os.PathLike)) and not _is_json_path(os.fspath(source)):
        return _read_vector(os.fspath(source), layer)
    if layer is not None:
        raise ValueError("layer= applies only to files read through pyogrio, not to a GeoJSON source")
    if isinstance(source, RGJGeometry):
        # Our own geometries: keep the members' properties, which a
        # collection's __geo_interface__ leaves out.
        members = source.rgjs if isinstance(source, GeometryCollectionRGJ) else [source]
        if members is None:
            raise ValueError("the collection has no members (rgjs is None)")
        document: dict[str, Any] = {"type": "FeatureCollection", "features": [m.toRGeoJSON() for m in members]}
        if isinstance(source, GeometryCollectionRGJ):
            document["properties"] = source.properties
        return document
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        try:
            with open(path, encoding="utf-8") as handle:
                text = handle.read()
        except (OSError, UnicodeDecodeError) as error:
            reason = error.strerror if isinstance(error, OSError) and error.strerror else _one_line(error)
            raise ValueError(f"cannot read scene file {path!r}: {reason}") from error
        return _parse(text, f"scene file {path!r}")
    if hasattr(source, "read"):
        name = getattr(source, "name", None)
        try:
            text = source.read()
        except (OSError, UnicodeDecodeError) as error:
            raise ValueError(f"cannot read the scene: {_one_line(error)}") from error
        return _parse(text, f"scene file {name!r}" if isinstance(name, str) else "the scene")
    if isinstance(source, Mapping):
        return source
    if hasattr(source, "__geo_interface__"):
        return source.__geo_interface__
    raise ValueError(
        f"cannot read a scene from {type(source).__name__}: expected a path, a text file, "
        "a GeoJSON dict or an object with __geo_interface__"
    )


def _parse(text: str | bytes, what: str) -> Any:
    try:
        return json.loads(text)
    except RecursionError:
        # The parser recurses once per nesting level; no scene needs that many.
        raise ValueError(f"{what} is not valid JSON: it is nested too deeply") from None
    except (TypeError, ValueError) as error:
        # JSONDecodeError, bad bytes, and integers longer than int() accepts.
        raise ValueError(f"{what} is not valid JSON: {_one_line(error)}") from error


def _members(document: Any, strict: bool) -> tuple[dict[str, Any] | None, list[tuple[str, Any, Any]], int]:
    """(collection properties, [(where, geometry, properties)], null geometries skipped) of a document."""
    if not isinstance(document, Mapping):
        raise ValueError(f"a scene must be a GeoJSON object, got {_describe(document)}")
    kind = document.get("type")
    if not isinstance(kind, str):
        raise ValueError(
            f"the scene's GeoJSON 'type' must be a string, got {_quoted(kind)}"
            if kind is not None
            else "the scene has no GeoJSON 'type'"
        )
    if kind in ("FeatureCollection", "Feature"):
        features = [document] if kind == "Feature" else document.get("features")
        if not isinstance(features, Sequence) or isinstance(features, (str, bytes)):
            raise ValueError("the FeatureCollection has no list of features")
        entries: list[tuple[str, Any, Any]] = []
        skipped: list[int] = []
        for index, feature in enumerate(features):
            if _feature_is_null(f"feature {index}", feature, strict):
                skipped.append(index)
            else:
                entries.extend(_feature(f"feature {index}", feature))
        if skipped:
            listed = ", ".join(str(i) for i in skipped[:5]) + (", ..." if len(skipped) > 5 else "")
            count = f"{len(skipped)} features" if len(skipped) > 1 else "1 feature"
            warnings.warn(f"skipped {count} with a null geometry (feature {listed})", SceneWarning, stacklevel=4)
        properties = document.get("properties") if kind == "FeatureCollection" else None
        return (dict(properties) if isinstance(properties, Mapping) else None), entries, len(skipped)
    if kind == "GeometryCollection" or kind in _SIMPLE_TYPES:
        return None, list(_geometries("geometry", document, None, top=True)), 0
    raise ValueError(f"unknown GeoJSON type {_quoted(kind)}")


def _feature_is_null(where: str, feature: Any, strict: bool) -> bool:
    """True for a Feature whose geometry is null, which is skipped unless ``strict``."""
    if not isinstance(feature, Mapping) or feature.get("type") != "Feature" or feature.get("geometry", 0) is not None:
        return False
    if strict:
        raise ValueError(f"{where}: the geometry is null")
    return True


def _feature(where: str, feature: Any) -> Iterator[tuple[str, Any, Any]]:
    if not isinstance(feature, Mapping):
        raise ValueError(f"{where}: expected a Feature object, got {_describe(feature)}")
    if feature.get("type") != "Feature":
        raise ValueError(f"{where}: expected type 'Feature', got {_quoted(feature.get('type'))}")
    properties = feature.get("properties")
    if properties is not None and not isinstance(properties, Mapping):
        raise ValueError(f"{where}: properties must be an object or null, got {_describe(properties)}")
    if "geometry" not in feature:
        raise ValueError(f"{where}: the geometry is missing")
    yield from _geometries(where, feature["geometry"], properties, top=False)


def _geometries(where: str, geometry: Any, properties: Any, *, top: bool) -> Iterator[tuple[str, Any, Any]]:
    """The members one geometry stands for: itself, or a collection's geometries."""
    if not isinstance(geometry, Mapping):
        raise ValueError(f"{where}: the geometry must be an object, got {_describe(geometry)}")
    if geometry.get("type") != "GeometryCollection":
        yield (where if not top else "geometry 0"), geometry, properties
        return
    parts = geometry.get("geometries")
    if not isinstance(parts, Sequence) or isinstance(parts, (str, bytes)):
        raise ValueError(f"{where}: the GeometryCollection has no list of geometries")
    for index, part in enumerate(parts):
        label = f"geometry {index}" if top else f"{where}, geometry {index}"
        if isinstance(part, Mapping) and part.get("type") == "GeometryCollection":
            raise ValueError(f"{label}: nested GeometryCollections are not supported")
        if not isinstance(part, Mapping):
            raise ValueError(f"{label}: the geometry must be an object, got {_describe(part)}")
        yield label, part, properties


def _member(
    where: str, geometry: Mapping[str, Any], properties: Any, default: list[list[float]] | None, split_multi: bool
) -> list[tuple[str, dict, bool]]:
    """The checked keyword dictionaries of the members one geometry makes.

    Each entry is (where, keywords, whether the repulsion came from the scene).
    """
    kind = geometry.get("type")
    if not isinstance(kind, str) or kind not in _SIMPLE_TYPES:
        known = ", ".join(_SIMPLE_TYPES)
        raise ValueError(f"{where}: unknown geometry type {_quoted(kind)} (expected one of {known})")
    if geometry.get("coordinates") is None:
        raise ValueError(f"{where} ({kind}): the coordinates are missing")
    try:
        coordinates = _coordinates(geometry["coordinates"], _SIMPLE_TYPES[kind], _LEVEL_NAMES[kind])
        own = _own_repulsion(geometry, properties)
        dim = geometry.get("optional_dim")
        if dim is not None and (not isinstance(dim, numbers.Integral) or dim != 2):
            raise _SceneError(f"optional_dim must be 2, got {_describe(dim)}")
    except _SceneError as error:
        raise ValueError(f"{where} ({kind}): {error}") from None
    matrix = own if own is not None else default
    member = dict(geometry)
    member["coordinates"] = coordinates
    if matrix is None:
        member.pop("repulsion", None)
    else:
        member["repulsion"] = matrix
    member["properties"] = dict(properties) if properties is not None else {}
    part_kind = {"MultiPolygon": "Polygon", "MultiPoint": "Point"}.get(kind)
    if not split_multi or part_kind is None:
        return [(where, member, own is not None)]
    parts = []
    for index, part in enumerate(coordinates):
        keywords = {**member, "type": part_kind, "coordinates": part}
        keywords["properties"] = {**member["properties"], PART_PROPERTY: index}
        parts.append((f"{where}, part {index}", keywords, own is not None))
    return parts


def _own_repulsion(geometry: Mapping[str, Any], properties: Any) -> list[list[float]] | None:
    """The checked repulsion a geometry or its Feature's properties carry, or None."""
    if geometry.get("repulsion") is not None:
        return _check_repulsion(geometry["repulsion"])
    value = properties.get(REPULSION_PROPERTY) if isinstance(properties, Mapping) else None
    if value is None:
        return None
    if isinstance(value, str):
        try:
            value = json.loads(value)
        except (ValueError, RecursionError):
            raise _SceneError(f"the {REPULSION_PROPERTY!r} property is not JSON, got {_describe(value)}") from None
    if isinstance(value, numbers.Real) and not isinstance(value, bool):
        length = _finite(value)
        if length is None or length <= 0.0:
            raise _SceneError(f"the {REPULSION_PROPERTY!r} property must be a positive length, got {_describe(value)}")
        value = _scaled_identity(length)
    try:
        return _check_repulsion(value)
    except _SceneError as error:
        raise _SceneError(f"the {REPULSION_PROPERTY!r} property: {error}") from None


def _coordinates(value: Any, minimum: tuple[int, ...], names: tuple[str, ...]) -> Any:
    """``value`` checked against the nesting of one geometry type, as lists of floats."""
    if not minimum:
        return _position(value)
    if not _is_sequence(value):
        raise _SceneError(f"expected a list of {names[0]}, got {_describe(value)}")
    if len(value) < minimum[0]:
        if not value:
            raise _SceneError(f"the list of {names[0]} is empty")
        raise _SceneError(f"needs at least {minimum[0]} {names[0]}, got {len(value)}")
    out = []
    for index, item in enumerate(value):
        try:
            out.append(_coordinates(item, minimum[1:], names[1:]))
        except _SceneError as error:
            raise _SceneError(f"{names[0][:-1]} {index}: {error}") from None
    if minimum[0] == 3:
        # A ring: 3 distinct corners at least, whether or not it is closed.
        corners = out[:-1] if len(out) > 1 and out[0] == out[-1] else out
        if len(corners) < 3:
            raise _SceneError(f"a ring needs at least 3 corners, got {len(corners)}")
        distinct = len({(x, y) for x, y in corners})
        if distinct < 3:
            raise _SceneError(f"a ring needs at least 3 distinct corners, got {distinct}")
    return out


def _position(value: Any) -> list[float]:
    if not _is_sequence(value) or len(value) < 2:
        raise _SceneError(f"a position must be an [x, y] pair, got {_describe(value)}")
    out = []
    for number in (value[0], value[1]):
        if isinstance(number, bool) or not isinstance(number, numbers.Real):
            raise _SceneError(f"a position must hold numbers, got {_describe(number)}")
        converted = _finite(number)
        if converted is None:
            raise _SceneError(f"a position must hold finite numbers, got {_describe(number)}")
        if abs(converted) > COORDINATE_LIMIT:
            raise _SceneError(f"a position must lie within ±{COORDINATE_LIMIT:g}, got {_describe(number)}")
        out.append(converted)
    return out


def _check_repulsion(value: Any) -> list[list[float]]:
    """``value`` as a 2x2 list of floats; raises unless it is positive definite.

    Positive definite means dᵀ·R·d > 0 for every d ≠ 0, i.e. the symmetric
    part (R + Rᵀ)/2 has two positive eigenvalues; only then does the field
    fall off in every direction.
    """
    problem = "the repulsion must be a 2x2 positive-definite matrix"
    if not _is_sequence(value) or len(value) != 2 or not all(_is_sequence(row) and len(row) == 2 for row in value):
        raise _SceneError(f"{problem}, got {_describe(value)}")
    rows = []
    for row in value:
        converted = []
        for number in (row[0], row[1]):
            entry = None if isinstance(number, bool) or not isinstance(number, numbers.Real) else _finite(number)
            if entry is None:
                raise _SceneError(f"{problem}, got the entry {_describe(number)}")
            converted.append(entry)
        rows.append(converted)
    (a, b), (c, d) = rows
    # Sylvester's criterion on the symmetric part, after dividing by the
    # largest entry: the test does not depend on the matrix's scale, so
    # [[1e-170, 0], [0, 1e-170]] passes although its determinant underflows.
    scale = max(abs(a), abs(b), abs(c), abs(d))
    if scale == 0.0:
        raise _SceneError(f"{problem}, got {rows}")
    a, b, c, d = a / scale, b / scale, c / scale, d / scale
    off = b / 2.0 + c / 2.0
    if not (a > 0.0 and a * d - off * off > 0.0):
        raise _SceneError(f"{problem}, got {rows}")
    # The field uses the inverse M and the gradient M + Mᵀ: a matrix so small
    # that they overflow would give NaN values everywhere.
    det = (a * d - b * c) * scale
    if det == 0.0 or not all(math.isfinite(2.0 * (entry / det)) for entry in (a, b, c, d)):
        raise _SceneError(f"{problem} whose inverse is finite, got {rows}")
    return rows


# --------------------------------------------------------------------------
# Other vector formats, through pyogrio

# Paths with these endings are read as GeoJSON text; any other path goes to
# pyogrio.  (Line-delimited GeoJSON is not one JSON document, so it goes to
# pyogrio as well.)
_JSON_SUFFIXES = (".geojson", ".json")

# Geographic CRSs recognised without pyproj.
_GEOGRAPHIC_CODES = frozenset({"EPSG:4326", "EPSG:4269", "OGC:CRS84"})


def _is_json_path(path: str | bytes) -> bool:
    name = os.fsdecode(path).lower()
    return name.endswith(_JSON_SUFFIXES)


def _check_layer(layer: Any) -> None:
    if layer is None or isinstance(layer, str):
        return
    if isinstance(layer, bool) or not isinstance(layer, numbers.Integral) or layer < 0:
        raise ValueError(f"layer= must be a layer name or a non-negative index, got {_describe(layer)}")


def _read_vector(path: str | bytes, layer: str | int | None) -> dict[str, Any]:
    """A FeatureCollection of the features of one layer of a file GDAL reads."""
    path = os.fsdecode(path)
    try:
        import pyogrio
        import pyogrio.raw
        import shapely
        import shapely.geometry
    except ImportError as error:
        raise ValueError(
            f"reading {path!r} needs pyogrio and shapely ({error.name} is missing): pip install 'orvo-field[io]'"
        ) from None
    what = f"cannot read scene file {path!r}"
    # GDAL's own warnings are held back: a failed read says what went wrong
    # in its error, and a read that works passes them on as SceneWarnings.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            if layer is None:
                layer = _first_layer(path, pyogrio)
            meta, _, wkb, columns = pyogrio.raw.read(path, layer=layer, force_2d=True, datetime_as_string=True)
        except Exception as error:  # GDAL's errors (missing, broken, unknown layer) as one line
            raise ValueError(f"{what}: {_reason(error, path, layer, pyogrio)}") from error
    for warning in caught:
        category = warning.category if issubclass(warning.category, SceneWarning) else SceneWarning
        warnings.warn(f"{path!r}: {_one_line(warning.message)}" if category is not warning.category
                      else str(warning.message), category, stacklevel=5)
    if wkb is None:
        raise ValueError(f"{what}: the layer {_layer_name(layer)} has no geometry column")
    geometries = _from_wkb(wkb, what, shapely)
    names = [str(name) for name in meta.get("fields", ())]
    values = [_plain_column(column) for column in columns]
    features = []
    for index, geometry in enumerate(geometries):
        mapping = None if geometry is None or geometry.is_empty else shapely.geometry.mapping(geometry)
        properties = {name: column[index] for name, column in zip(names, values)}
        features.append({"type": "Feature", "properties": properties, "geometry": mapping})
    document: dict[str, Any] = {"type": "FeatureCollection", "features": features}
    crs = meta.get("crs")
    if crs:
        document["properties"] = {"crs": crs}
        if _is_geographic(crs):
            warnings.warn(
                f"{path!r} has the geographic CRS {_short_crs(crs)}: distances, repulsion lengths and scales "
                "are in degrees; reproject it to a projected CRS first (for example with geopandas' to_crs)",
                SceneWarning,
                stacklevel=5,
            )
    return document


def _first_layer(path: str, pyogrio: Any) -> int:
    """Index 0, warning when the file holds more layers than that one."""
    layers = pyogrio.list_layers(path)
    if len(layers) > 1:
        listed = ", ".join(repr(str(name)) for name in layers[:5, 0]) + (", ..." if len(layers) > 5 else "")
        warnings.warn(
            f"{path!r} has {len(layers)} layers ({listed}): reading the first; choose one with layer=",
            SceneWarning,
        )
    return 0


def _reason(error: Exception, path: str, layer: str | int | None, pyogrio: Any) -> str:
    """Why reading failed, in one line; for an unknown layer, the layers there are."""
    reason = _one_line(error)
    if reason.startswith(path + ": "):
        reason = reason[len(path) + 2 :]
    if "not recognized as being in a supported file format" in reason:
        # GDAL's advice on driver prefixes follows; the file's name is already said.
        reason = "not a vector format GDAL recognises (nor a .geojson/.json file)"
    if isinstance(error, pyogrio.errors.DataLayerError) and layer is not None:
        try:
            layers = [str(name) for name in pyogrio.list_layers(path)[:, 0]]
        except Exception:  # the file cannot even be listed: keep GDAL's reason
            return reason
        listed = ", ".join(repr(name) for name in layers[:10]) + (", ..." if len(layers) > 10 else "")
        return f"no layer {_layer_name(layer)} (the layers are {listed})"
    return reason


def _layer_name(layer: str | int | None) -> str:
    return repr(layer) if isinstance(layer, str) else f"number {layer}"


def _from_wkb(wkb: Any, what: str, shapely: Any) -> list[Any]:
    """Shapely geometries (None for null ones) from WKB; a geometry GEOS cannot read names its feature."""
    try:
        return list(shapely.from_wkb(wkb))
    except Exception:
        for index, item in enumerate(wkb):
            try:
                shapely.from_wkb(item)
            except Exception as error:
                raise ValueError(f"{what}: feature {index}: cannot read the geometry: {_one_line(error)}") from None
        raise


def _plain_column(column: Any) -> list[Any]:
    """A field's values as plain Python objects, with None for null values (NaN, NaT)."""
    kind = column.dtype.kind
    if kind in "biuUS":
        return column.tolist()
    if kind == "f":
        return [None if value != value else value for value in column.tolist()]
    if kind in "mM":
        import numpy as np

        return [None if np.isnat(value) else str(value) for value in column]
    return [_plain(value) for value in column]


def _plain(value: Any) -> Any:
    """One value of an object column (str, bytes, a list field, None) as plain Python."""
    if hasattr(value, "tolist"):  # numpy scalars and list fields
        value = value.tolist()
    if isinstance(value, float) and value != value:
        return None
    if isinstance(value, list):
        return [_plain(item) for item in value]
    return value


def _is_geographic(crs: str) -> bool:
    """True when ``crs`` measures in degrees (pyproj decides when it is installed)."""
    try:
        import pyproj
    except ImportError:
        pyproj = None
    if pyproj is not None:
        try:
            return bool(pyproj.CRS.from_user_input(crs).is_geographic)
        except Exception:  # a CRS pyproj cannot parse: fall back to the names below
            pass
    text = crs.strip().upper()
    return text in _GEOGRAPHIC_CODES or text.startswith(("GEOGCS[", "GEOGCRS[", "GEOGCS ", "GEOGCRS "))


def _short_crs(crs: str) -> str:
    text = " ".join(crs.split())
    return text if len(text) <= 40 else text[:37] + "..."


# --------------------------------------------------------------------------
# Small helpers


def _is_sequence(value: Any) -> bool:
    if isinstance(value, (str, bytes, Mapping)):
        return False
    if isinstance(value, Sequence):
        return True
    # numpy arrays (from __geo_interface__ providers) are sequences in all but name.
    return hasattr(value, "__len__") and hasattr(value, "__getitem__") and getattr(value, "ndim", 1) > 0


def _finite(number: numbers.Real) -> float | None:
    """``number`` as a finite float, or None (infinite, NaN, or too large for a float)."""
    try:
        converted = float(number)
    except (OverflowError, ValueError, TypeError):
        return None
    return converted if math.isfinite(converted) else None


# A short repr that stops after a few levels and items, so describing a value
# costs little whatever its size or depth (reprlib also caps large integers).
_SHORT = reprlib.Repr()
_SHORT.maxlevel = 3
_SHORT.maxstring = 30
_SHORT.maxother = 30
_SHORT.maxlong = 30


def _describe(value: Any) -> str:
    try:
        text = _SHORT.repr(value)
    except Exception:  # a __repr__ of a foreign object may raise anything
        text = f"<{type(value).__name__}>"
    if len(text) > 40:
        text = text[:37] + "..."
    return f"{type(value).__name__} {text}" if not isinstance(value, (list, dict)) else text


def _quoted(value: Any) -> str:
    """A type name as the scene spells it: a string quoted, anything else described."""
    return _SHORT.repr(value) if isinstance(value, str) else _describe(value)


def _one_line(error: BaseException) -> str:
    text = str(error) or type(error).__name__
    return " ".join(text.split())


# --------------------------------------------------------------------------
# Writing files


def _write_file(target: str | os.PathLike, data: bytes) -> None:
    """Put ``data`` in the file ``target`` whole or not at all.

    The bytes go to a temporary file in the target's folder, which is
    flushed to disk and then renamed over the target, so a reader sees the
    old file or the new one and a failure (a full disk, a lost permission)
    leaves the old one as it was.  A target that exists but is not a
    regular file (``/dev/null``, a pipe) is written in place: it cannot be
    replaced.  Raises ``OSError``; the temporary file is gone by then.
    """
    path = os.path.realpath(os.fspath(target))  # through a symlink, not over it
    try:
        existing = os.stat(path)
    except FileNotFoundError:
        existing = None
    if existing is not None and not stat.S_ISREG(existing.st_mode):
        with open(path, "wb") as handle:
            handle.write(data)
        return
    folder, name = os.path.split(path)
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0)
    while True:
        temporary = os.path.join(folder, f".{name}.{secrets.token_hex(4)}.tmp")
        try:
            descriptor = os.open(temporary, flags, 0o666)  # the umask applies, as for open()
            break
        except FileExistsError:
            continue
    try:
        with open(descriptor, "wb") as handle:
            if existing is not None:
                os.chmod(temporary, stat.S_IMODE(existing.st_mode))
            handle.write(data)
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
