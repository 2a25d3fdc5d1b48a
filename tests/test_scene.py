"""Scenes in and out: every source kind, round trips, shapely, bad input."""

from __future__ import annotations

import copy
import errno
import functools
import io
import json
from importlib import resources
from pathlib import Path

import numpy as np
import pytest
import shapely

from orvo.field import evaluate, grid, scene
from orvo.field.geometry import GeometryCollectionRGJ, MultiPointRGJ, PointRGJ

# These tests check the stated classes, so multi-geometries stay whole.
_load = functools.partial(scene.load, split_multi=False)

SAMPLE = resources.files("orvo.field") / "data" / "harbour.geojson"
PROBES = grid((-50.0, -50.0, 1050.0, 850.0), (41, 33))


@pytest.fixture(scope="module")
def document() -> dict:
    return json.loads(SAMPLE.read_text(encoding="utf-8"))


@pytest.fixture(scope="module")
def harbour() -> GeometryCollectionRGJ:
    with resources.as_file(SAMPLE) as path:
        return _load(path)


def assert_same_scene(a: GeometryCollectionRGJ, b: GeometryCollectionRGJ, points: np.ndarray = PROBES) -> None:
    """Same members (types, exports, properties) and the very same answers."""
    assert [type(m) for m in a.rgjs] == [type(m) for m in b.rgjs]
    assert [m.toRGeoJSON() for m in a.rgjs] == [m.toRGeoJSON() for m in b.rgjs]
    assert a.properties == b.properties
    np.testing.assert_array_equal(a.eval(points), b.eval(points))
    np.testing.assert_array_equal(a.gradient(points), b.gradient(points))


def test_sample_scene_has_every_kind_of_member(harbour: GeometryCollectionRGJ) -> None:
    kinds = {m.RGJType for m in harbour.rgjs}
    assert kinds == {"Polygon", "LineString", "MultiLineString", "MultiPoint", "MultiPolygon", "Point"}
    assert any(len(m.coordinates) > 1 for m in harbour.rgjs if m.RGJType == "Polygon"), "a polygon with a hole"
    anisotropic = [m for m in harbour.rgjs if not np.allclose(m.repulsion, m.repulsion[0, 0] * np.eye(2))]
    assert anisotropic, "at least one member with an anisotropic repulsion matrix"
    assert harbour.properties["name"] == "Harbour"


@pytest.mark.parametrize(
    "make_source",
    [
        pytest.param(lambda path, doc: str(path), id="str path"),
        pytest.param(lambda path, doc: Path(path), id="Path"),
        pytest.param(lambda path, doc: open(path, encoding="utf-8"), id="text file"),  # noqa: SIM115
        pytest.param(lambda path, doc: io.StringIO(json.dumps(doc)), id="StringIO"),
        pytest.param(lambda path, doc: doc, id="dict"),
        pytest.param(lambda path, doc: _GeoInterface(doc), id="__geo_interface__"),
    ],
)
def test_every_source_kind_loads_the_same_scene(make_source, document, harbour, tmp_path) -> None:
    path = tmp_path / "scene.geojson"
    path.write_text(json.dumps(document), encoding="utf-8")
    source = make_source(path, document)
    try:
        assert_same_scene(_load(source), harbour)
    finally:
        if hasattr(source, "close"):
            source.close()


def test_a_feature_a_geometry_and_a_geometry_collection_load_as_members(document) -> None:
    features = document["features"]
    one = _load(features[3])
    assert one.rgjs[0].properties == features[3]["properties"]
    bare = _load(features[3]["geometry"])
    assert bare.rgjs[0].toRGeoJSON()["geometry"] == one.rgjs[0].toRGeoJSON()["geometry"]
    collection = _load({"type": "GeometryCollection", "geometries": [f["geometry"] for f in features]})
    assert [m.RGJType for m in collection.rgjs] == [f["geometry"]["type"] for f in features]
    # A Feature holding a GeometryCollection gives every part that Feature's properties.
    nested = _load(
        {"type": "Feature", "properties": {"name": "pair"}, "geometry": {"type": "GeometryCollection",
         "geometries": [features[7]["geometry"], features[2]["geometry"]]}}
    )
    assert [m.properties for m in nested.rgjs] == [{"name": "pair"}] * 2


@pytest.mark.parametrize("to_file", [False, True], ids=["path", "open file"])
def test_dump_then_load_gives_an_equal_collection(harbour, tmp_path, to_file) -> None:
    target = tmp_path / "out.geojson"
    if to_file:
        with open(target, "w", encoding="utf-8") as handle:
            scene.dump(harbour, handle)
    else:
        scene.dump(harbour, target)
    again = _load(target)
    assert_same_scene(again, harbour)
    # and once more: the written file is a fixed point
    second = tmp_path / "again.geojson"
    scene.dump(again, second)
    assert json.loads(second.read_text()) == json.loads(target.read_text())


def test_dump_keeps_a_single_geometry_and_values_json_cannot_hold_are_refused(tmp_path) -> None:
    point = PointRGJ(coordinates=[1.5, -2.0], repulsion=[[2.0, 0.5], [0.5, 1.0]], properties={"id": 7})
    out = io.StringIO()
    scene.dump(point, out)
    loaded = _load(io.StringIO(out.getvalue()))
    assert loaded.rgjs[0].toRGeoJSON() == point.toRGeoJSON()
    bad = PointRGJ(coordinates=[0.0, 0.0], properties={"depth": float("nan")})
    target = tmp_path / "bad.geojson"
    with pytest.raises(ValueError, match="cannot write the scene as JSON"):
        scene.dump(bad, target)
    assert not target.exists()


def test_dump_on_a_full_disk_keeps_the_old_file(harbour, tmp_path, run_isolated) -> None:
    source, target = tmp_path / "source.geojson", tmp_path / "scene.geojson"
    scene.dump(harbour, source)
    target.write_text("old\n")
    # The child may write 1 KiB per file, less than the scene takes.
    code, out, err = run_isolated(f"""
        import resource, signal
        from orvo.field import scene
        harbour = scene.load({str(source)!r})
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024))
        try:
            scene.dump(harbour, {str(target)!r})
        except OSError as error:
            print(error.errno)
    """)
    assert code == 0, err
    assert out.split() == [str(errno.EFBIG)]
    assert target.read_text() == "old\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["scene.geojson", "source.geojson"], "no temporary left"


def test_default_repulsion_applies_only_to_members_without_one(document) -> None:
    default = [[9.0, 1.0], [1.0, 4.0]]
    doc = copy.deepcopy(document)
    del doc["features"][1]["geometry"]["repulsion"]
    loaded = _load(doc, repulsion=default)
    np.testing.assert_array_equal(loaded.rgjs[1].repulsion, default)
    np.testing.assert_array_equal(loaded.rgjs[0].repulsion, doc["features"][0]["geometry"]["repulsion"])
    assert _load(doc).rgjs[1].repulsion.tolist() == [[1.0, 0.0], [0.0, 1.0]]


def test_shapely_geometries_load_through_geo_interface() -> None:
    island = shapely.Polygon([(0, 0), (10, 0), (10, 8), (0, 8)], holes=[[(3, 3), (6, 3), (6, 5)]])
    mixed = shapely.GeometryCollection(
        [island, shapely.LineString([(0, 12), (9, 14)]), shapely.MultiPoint([(20, 0), (22, 1)]), shapely.Point(15, 15)]
    )
    loaded = _load(mixed, repulsion=[[4.0, 0.0], [0.0, 4.0]])
    assert [m.RGJType for m in loaded.rgjs] == ["Polygon", "LineString", "MultiPoint", "Point"]
    # The same answers as the collection built from the equivalent dictionaries.
    reference = GeometryCollectionRGJ(
        geometries=[dict(json.loads(json.dumps(g.__geo_interface__)), repulsion=[[4.0, 0.0], [0.0, 4.0]])
                    for g in mixed.geoms]
    )
    points = grid((-5, -5, 25, 20), (31, 26))
    np.testing.assert_array_equal(loaded.eval(points), reference.eval(points))
    np.testing.assert_array_equal(loaded.gradient(points), reference.gradient(points))
    # Altitude is dropped, not refused.
    assert _load(shapely.Point(1, 2, 3)).rgjs[0].coordinates.tolist() in ([1.0, 2.0], [[1.0, 2.0]])


def test_geodataframe_like_objects_and_numpy_coordinates_load() -> None:
    frame = _GeoInterface(
        {
            "type": "FeatureCollection",
            "features": [
                {"id": "0", "type": "Feature", "properties": {"name": "a", "depth": np.float64(3.5)},
                 "geometry": {"type": "LineString", "coordinates": np.array([[0.0, 0.0], [4.0, 3.0]])},
                 "bbox": (0.0, 0.0, 4.0, 3.0)},
                {"id": "1", "type": "Feature", "properties": None,
                 "geometry": {"type": "Point", "coordinates": (np.int64(2), np.float32(1.5))}},
            ],
        }
    )
    loaded = _load(frame)
    assert loaded.rgjs[0].properties == {"name": "a", "depth": 3.5}
    assert loaded.rgjs[1].properties == {}
    assert loaded.rgjs[1].toRGeoJSON()["geometry"]["coordinates"] == [2.0, 1.5]


def _fc(*geometries, properties=None) -> dict:
    return {"type": "FeatureCollection",
            "features": [{"type": "Feature", "properties": properties, "geometry": g} for g in geometries]}


POINT = {"type": "Point", "coordinates": [0, 0]}


def _nested(depth: int) -> list:
    """A list nested ``depth`` deep, built without recursion."""
    value: list = []
    for _ in range(depth):
        value = [value]
    return value


@pytest.mark.parametrize(
    "document, message",
    [
        (_fc(), "the scene has no features"),
        (_fc(POINT, {"type": "Circle", "coordinates": [0, 0]}), "feature 1: unknown geometry type 'Circle'"),
        (_fc(POINT, POINT, {"type": "LineString"}), "feature 2 (LineString): the coordinates are missing"),
        (_fc({"type": "LineString", "coordinates": [[0, 0]]}), "feature 0 (LineString): needs at least 2 positions"),
        (_fc({"type": "Polygon", "coordinates": [[[0, 0], [1, 1], [0, 0]]]}), "ring 0: a ring needs at least 3 corners"),
        (_fc({"type": "MultiPolygon", "coordinates": [[[[0, 0], [1, 0], [1, 1]]], [[[0, 0], [1, "a"], [1, 1]]]]}),
         "feature 0 (MultiPolygon): polygon 1: ring 0: position 1: a position must hold numbers"),
        (_fc({"type": "Point", "coordinates": [0, float("nan")]}), "finite"),
        (_fc({"type": "MultiPoint", "coordinates": []}), "the list of points is empty"),
        (_fc(POINT, dict(POINT, repulsion=[[1, 0], [0, -1]])), "feature 1 (Point): the repulsion must be a 2x2 positive-definite"),
        (_fc(dict(POINT, repulsion=[[1, 3], [3, 1]])), "positive-definite"),  # symmetric, indefinite
        (_fc(dict(POINT, repulsion=[[1, 0, 0], [0, 1, 0]])), "2x2"),
        (_fc(dict(POINT, repulsion="eye")), "2x2"),
        (_fc(POINT, properties={"repulsion": "[[1, 0]"}), "feature 0 (Point): the 'repulsion' property is not JSON"),
        (_fc(POINT, properties={"repulsion": -2}), "the 'repulsion' property must be a positive length"),
        (_fc(POINT, properties={"repulsion": [[1, 2], [2, 1]]}), "the 'repulsion' property: the repulsion must be"),
        (_fc({"type": "MultiPoint", "coordinates": [[0, 0], [1, "a"]]}), "feature 0 (MultiPoint): point 1: a position must hold"),
        (_fc(POINT, properties=["not", "a", "dict"]), "feature 0: properties must be an object"),
        ({"type": "GeometryCollection", "geometries": [POINT, {"type": "Point", "coordinates": []}]},
         "geometry 1 (Point): a position must be an [x, y] pair"),
        ({"type": "GeometryCollection", "geometries": [{"type": "GeometryCollection", "geometries": []}]},
         "geometry 0: nested GeometryCollections are not supported"),
        ({"type": "Topology"}, "unknown GeoJSON type 'Topology'"),
        ({"features": []}, "no GeoJSON 'type'"),
        ([POINT], "cannot read a scene from list"),
        (_fc({"type": "Point", "coordinates": [10**400, 0]}), "feature 0 (Point): a position must hold finite numbers"),
        (_fc(dict(POINT, repulsion=[[10**400, 0], [0, 1]])), "feature 0 (Point): the repulsion must be a 2x2"),
        (_fc(dict(POINT, repulsion=[[1e-310, 0], [0, 1e-310]])), "whose inverse is finite"),
        (_fc(dict(POINT, repulsion=[[1e-308, 0], [0, 1e-308]])), "whose inverse is finite"),  # M + Mᵀ overflows
        (_fc({"type": "LineString", "coordinates": [[0, 0], [0, 1e151]]}), "position 1: a position must lie within"),
        (_fc(dict(POINT, repulsion=[[1e-170, 2e-170], [2e-170, 1e-170]])), "positive-definite"),  # tiny, indefinite
        (_fc(dict(POINT, repulsion=[[0, 0], [0, 0]])), "positive-definite"),
        ({"type": ["Point"], "coordinates": [0, 0]}, "the scene's GeoJSON 'type' must be a string, got ['Point']"),
        (_fc({"type": {"kind": "Point"}, "coordinates": [0, 0]}), "feature 0: unknown geometry type {'kind': 'Point'}"),
        (_fc({"type": ["Point"], "coordinates": [0, 0]}), "feature 0: unknown geometry type ['Point']"),
        ({"type": "FeatureCollection", "features": [{"type": {}, "geometry": POINT}]}, "expected type 'Feature', got {}"),
        (_fc({"type": "Polygon", "coordinates": [[[1, 1], [1, 1], [1, 1], [1, 1]]]}),
         "feature 0 (Polygon): ring 0: a ring needs at least 3 distinct corners, got 1"),
        (_fc({"type": "Polygon", "coordinates": [[[0, 0], [1, 0], [0, 0], [1, 0]]]}), "3 distinct corners, got 2"),
        (_fc({"type": "Point", "coordinates": _nested(10**5)}), "feature 0 (Point): a position must be an [x, y] pair"),
    ],
)
def test_bad_scenes_raise_one_line_value_errors(document, message) -> None:
    with pytest.raises(ValueError) as caught:
        scene.load(document)  # splitting multi-geometries finds the same faults
    assert message in str(caught.value)
    with pytest.raises(ValueError) as caught:
        _load(document)
    text = str(caught.value)
    assert message in text
    assert "\n" not in text


@pytest.mark.parametrize(
    "matrix",
    [[[1e-170, 0.0], [0.0, 1e-170]], [[1e-300, 0.0], [0.0, 1.0]], [[1e150, 9e149], [9e149, 1e150]],
     [[2.0, 1.0], [0.0, 2.0]]],
    ids=["tiny", "anisotropic", "huge", "not symmetric, definite symmetric part"],
)
def test_positive_definite_repulsions_of_any_scale_load(matrix) -> None:
    loaded = _load(dict(POINT, repulsion=matrix))
    assert loaded.rgjs[0].repulsion.tolist() == matrix


def test_a_bad_default_repulsion_is_refused() -> None:
    with pytest.raises(ValueError, match=r"^repulsion= argument: .*positive-definite"):
        _load(POINT, repulsion=[[0.0, 0.0], [0.0, 1.0]])


@pytest.mark.parametrize(
    "content, message",
    [
        (None, "cannot read scene file .*: No such file or directory"),
        ('{"type": "FeatureCollection", "features": [ }', r"is not valid JSON: Expecting value: line 1"),
        (b"\xff\xfe\x00garbage", "cannot read scene file"),
        ('{"type": "Feature", "geometry": {"type": "Point", "coordinates": [0, 0]}, "properties": {"a": '
         + "[" * 5000 + "]" * 5000 + "}}", "is not valid JSON: it is nested too deeply"),
        ('{"type": "Point", "coordinates": ' + "[" * 10**5 + "]" * 10**5 + "}", "nested too deeply"),
        ('{"type": "Point", "coordinates": [1' + "0" * 5000 + ", 0]}", "is not valid JSON: Exceeds the limit"),
        ('{"type": "Point", "coordinates": [1' + "0" * 400 + ", 0]}", r"\(Point\): a position must hold finite"),
    ],
    ids=["missing", "bad JSON", "not text", "deep properties", "deep coordinates", "integer too long",
         "integer too large"],
)
def test_unreadable_files_raise_value_errors(tmp_path, content, message) -> None:
    path = tmp_path / "scene.geojson"
    if isinstance(content, bytes):
        path.write_bytes(content)
    elif content is not None:
        path.write_text(content)
    with pytest.raises(ValueError, match=message) as caught:
        _load(path)
    assert "\n" not in str(caught.value)


def test_nothing_is_built_when_a_later_feature_is_bad(monkeypatch) -> None:
    built = []

    class Recording(GeometryCollectionRGJ):
        def __init__(self, *args, **kwargs):
            built.append(kwargs)
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(scene, "GeometryCollectionRGJ", Recording)
    polygons = [{"type": "Polygon", "coordinates": [[[0, 0], [4, 0], [4, 4]]]}] * 3
    with pytest.raises(ValueError, match="feature 3"):
        _load(_fc(*polygons, {"type": "Polygon", "coordinates": [[[0, 0], [4, 0]]]}))
    assert built == []
    assert len(_load(_fc(*polygons)).rgjs) == 3 and len(built) == 1


def test_evaluate_on_the_scene_matches_the_collection_and_flags_multi_point_sign(harbour) -> None:
    values, gradients = evaluate(harbour, PROBES, chunk_size=97)
    np.testing.assert_array_equal(values, harbour.eval(PROBES))
    np.testing.assert_array_equal(gradients, harbour.gradient(PROBES))
    # Beside a mooring buoy the gradient points away from the buoy, i.e. uphill:
    # the multi-point member's vectors point towards its points.
    buoys = next(m for m in harbour.rgjs if isinstance(m, MultiPointRGJ))
    buoy = buoys.coordinates[0]
    beside = buoy + np.array([[6.0, 0.0]])
    _, gradient = evaluate(harbour, beside)
    assert gradient[0, 0] > 0.0, "documented: the sign near a multi-point member is that of the vector to it"


class _GeoInterface:
    """Stands in for GeoDataFrames and other __geo_interface__ providers."""

    def __init__(self, mapping: dict) -> None:
        self.__geo_interface__ = mapping


SQUARE = [[0, 0], [4, 0], [4, 4], [0, 4], [0, 0]]
TWO_PARTS = {"type": "MultiPolygon", "coordinates": [[SQUARE], [[[10, 0], [14, 0], [14, 4], [10, 0]]]],
             "repulsion": [[4, 0], [0, 1]]}
BUOYS = {"type": "MultiPoint", "coordinates": [[20, 20], [30, 20]]}


def test_multi_geometries_split_into_one_member_per_part() -> None:
    document = _fc(TWO_PARTS, BUOYS, properties={"name": "x"})
    split = scene.load(document)
    assert [m.RGJType for m in split.rgjs] == ["Polygon", "Polygon", "Point", "Point"]
    assert [m.properties for m in split.rgjs] == [{"name": "x", "part": i} for i in (0, 1, 0, 1)]
    np.testing.assert_array_equal(split.rgjs[1].repulsion, TWO_PARTS["repulsion"])
    # Sound as obstacles: inside a part the distance is 0, and beside a buoy the
    # field pushes away from it.
    assert split.squared_dist(np.array([[2.0, 2.0]]))[0] == 0.0
    assert _load(document).squared_dist(np.array([[2.0, 2.0]]))[0] > 0.0
    assert split.gradient(np.array([[21.0, 20.0]]))[0, 0] < 0.0
    # What dump writes, load reads back into the same members.
    out = io.StringIO()
    scene.dump(split, out)
    assert_same_scene(scene.load(io.StringIO(out.getvalue())), split)


@pytest.mark.parametrize(
    "properties, geometry_repulsion, expected",
    [
        ({"repulsion": 3}, None, [[9, 0], [0, 9]]),
        ({"repulsion": "[[4, 1], [1, 2]]"}, None, [[4, 1], [1, 2]]),
        ({"repulsion": "2.5"}, None, [[6.25, 0], [0, 6.25]]),
        ({"repulsion": 3}, [[1, 0], [0, 2]], [[1, 0], [0, 2]]),  # the geometry's own wins
        ({}, None, [[25, 0], [0, 25]]),  # scale=5 below
    ],
)
def test_a_repulsion_comes_from_the_geometry_the_properties_or_the_scale(properties, geometry_repulsion, expected) -> None:
    geometry = dict(POINT, repulsion=geometry_repulsion) if geometry_repulsion else POINT
    loaded = scene.read(_fc(geometry, properties=properties), scale=5)
    np.testing.assert_array_equal(loaded.collection.rgjs[0].repulsion, expected)
    assert loaded.own_repulsions == (1 if properties or geometry_repulsion else 0)


def test_auto_scale_applies_only_to_scenes_without_repulsions() -> None:
    bare = scene.read(_fc(TWO_PARTS | {"repulsion": None}, BUOYS), scale="auto")
    assert (bare.scale, bare.scale_chosen) == (0.6, True)  # the box is 30 wide
    np.testing.assert_allclose(bare.collection.rgjs[3].repulsion, 0.36 * np.eye(2))
    kept = scene.read(_fc(TWO_PARTS, BUOYS), scale="auto")
    assert (kept.scale, kept.own_repulsions) == (None, 2)
    np.testing.assert_array_equal(kept.collection.rgjs[3].repulsion, np.eye(2))
    with pytest.raises(ValueError, match="not both"):
        scene.load(_fc(POINT), scale=2, repulsion=[[1, 0], [0, 1]])


def test_null_geometries_are_skipped_with_a_warning_unless_strict() -> None:
    document = _fc(POINT, None, None)
    with pytest.warns(scene.SceneWarning, match=r"skipped 2 features with a null geometry \(feature 1, 2\)"):
        assert scene.read(document).skipped == 2
    with pytest.raises(ValueError, match="feature 1: the geometry is null"):
        scene.load(document, strict=True)
