"""repr and SVG of every geometry, and a collection's members as a sequence."""

from __future__ import annotations

import xml.etree.ElementTree as ET

import numpy as np
import pytest

from orvo.field.geometry import (
    GeometryCollectionRGJ,
    LineStringRGJ,
    MultiLineStringRGJ,
    MultiPointRGJ,
    MultiPolygonRGJ,
    PointRGJ,
    PolygonRGJ,
)

SQUARE = [[0, 0], [4, 0], [4, 4], [0, 4]]
HOLE = [[1, 1], [2, 1], [2, 2]]
CASES = [
    (PointRGJ(coordinates=[1, 2]), "<PointRGJ: 1 point, box (1, 2) .. (1, 2)>", {"circle": 1}),
    (MultiPointRGJ(coordinates=[[0, 0], [3, 1]]), "<MultiPointRGJ: 2 points, box (0, 0) .. (3, 1)>", {"circle": 2}),
    (LineStringRGJ(coordinates=[[0, 0], [1, 0], [1, 5]]), "<LineStringRGJ: 3 points, 2 segments, box (0, 0) .. (1, 5)>",
     {"path": 1}),
    (MultiLineStringRGJ(coordinates=[[[0, 0], [1, 0]], [[2, 2], [3, 3]]]), "2 segments", {"path": 1}),
    (PolygonRGJ(coordinates=[SQUARE, HOLE]), "<PolygonRGJ: 7 points, 7 segments, box (0, 0) .. (4, 4)>", {"path": 1}),
    (MultiPolygonRGJ(coordinates=[[SQUARE], [[[5, 5], [6, 5], [6, 6]]]]), "7 points, 7 segments", {"path": 1}),
    (GeometryCollectionRGJ(geometries=[{"type": "Polygon", "coordinates": [SQUARE, HOLE]},
                                       {"type": "Point", "coordinates": [9, 9]}]),
     "<GeometryCollectionRGJ: 2 members (1 PolygonRGJ, 1 PointRGJ), 8 points, 7 segments, box (0, 0) .. (9, 9)>",
     {"path": 1, "circle": 1}),
]


@pytest.mark.parametrize("geometry, text, elements", CASES, ids=[type(c[0]).__name__ for c in CASES])
def test_repr_and_svg(geometry, text, elements) -> None:
    assert text in repr(geometry)
    root = ET.fromstring(geometry._repr_svg_())
    assert root.tag == "{http://www.w3.org/2000/svg}svg"
    found = {tag: len(root.findall(f"{{http://www.w3.org/2000/svg}}{tag}")) for tag in elements}
    assert found == elements


def test_holes_are_drawn_as_holes() -> None:
    path = ET.fromstring(PolygonRGJ(coordinates=[SQUARE, HOLE])._repr_svg_())[0]
    assert path.get("fill-rule") == "evenodd" and path.get("d").count("M") == 2


def test_a_broken_geometry_still_has_a_repr() -> None:
    line = LineStringRGJ(coordinates=[[0, 0], [1, 1]])
    line.bbox = None
    line.coordinates = "broken"
    assert repr(line).startswith("<LineStringRGJ")


def test_a_collection_is_a_sequence_of_its_members() -> None:
    collection = CASES[-1][0]
    assert len(collection) == 2 and bool(collection)
    assert collection[0] is collection.rgjs[0] and collection[-1] is collection.rgjs[1]
    assert list(collection) == collection.rgjs and collection[:1] == collection.rgjs[:1]
    with pytest.raises(IndexError):
        collection[2]
    # The stated class dictionary is untouched: these live on the base type.
    assert not {"__len__", "__getitem__", "__iter__", "__repr__"} & set(vars(GeometryCollectionRGJ))


@pytest.mark.parametrize("geometry", [c[0] for c in CASES[:-1]], ids=[type(c[0]).__name__ for c in CASES[:-1]])
def test_other_geometries_are_no_sequences(geometry) -> None:
    assert bool(geometry)
    for attempt in (len, iter, lambda g: g[0]):
        with pytest.raises(TypeError):
            attempt(geometry)
    assert np.array([geometry], dtype=object).shape == (1,)
