"""Scenes from Shapefile, GeoPackage and FlatGeobuf files, read through pyogrio."""

from __future__ import annotations

import sys
import warnings

import numpy as np
import pytest

pyogrio = pytest.importorskip("pyogrio")
import pyogrio.raw  # noqa: E402
import shapely  # noqa: E402
from shapely.geometry import LineString, MultiPoint, MultiPolygon, Polygon, mapping  # noqa: E402

from orvo.field import scene  # noqa: E402

# Exteriors clockwise and holes counter-clockwise, as Shapefile stores them,
# so that every format gives back the rings as they were written.
BASIN = Polygon(
    [(0, 0), (0, 100), (100, 100), (100, 0), (0, 0)],
    [[(40, 40), (60, 40), (60, 60), (40, 60), (40, 40)]],
)
ISLANDS = MultiPolygon([
    Polygon([(200, 0), (200, 20), (220, 20), (220, 0), (200, 0)]),
    Polygon([(240, 0), (240, 20), (260, 20), (260, 0), (240, 0)]),
])
PIER = LineString([(0, 150), (80, 150), (80, 190)])
BUOYS = MultiPoint([(300, 50), (320, 80), (340, 50)])

# (geometry, name, depth, count, repulsion): a repulsion as JSON text, a
# missing depth (null), and a feature without a place.
ROWS = [
    (BASIN, "basin", 12.5, 3, "[[25, 0], [0, 4]]"),
    (ISLANDS, "islands", None, 2, None),
    (None, "nothing", 1.0, 0, None),
    (PIER, "pier", 4.0, 1, "9"),
    (BUOYS, "buoys", 0.5, 3, None),
]
# Shapefile holds one geometry type per layer: one file each.
SHAPE_LAYERS = {"areas": ["basin", "islands", "nothing"], "pier": ["pier"], "buoys": ["buoys"]}
TYPES = {"areas": "Polygon", "pier": "LineString", "buoys": "MultiPoint"}

POINTS = np.array([[50.0, 50.0], [10.0, 10.0], [150.0, 50.0], [230.0, 10.0], [70.0, 170.0], [330.0, 60.0]])


def write(path, names, *, layer=None, crs="EPSG:3857", geometry_type="Unknown", append=False) -> None:
    rows = [row for row in ROWS if row[1] in names]
    geometry = np.array([None if g is None else shapely.to_wkb(g) for g, *_ in rows], dtype=object)
    fields = [
        np.array([r[1] for r in rows], dtype=object),
        np.array([np.nan if r[2] is None else r[2] for r in rows]),
        np.array([r[3] for r in rows], dtype=np.int64),
        np.array([r[4] for r in rows], dtype=object),
    ]
    # FlatGeobuf's spatial index has no place for a null geometry.
    options = {"SPATIAL_INDEX": "NO"} if str(path).endswith(".fgb") else None
    pyogrio.raw.write(str(path), geometry, fields, ["name", "depth", "count", "repulsion"], layer=layer, crs=crs,
                      geometry_type=geometry_type, append=append, layer_options=options)


def as_geojson(names, crs="EPSG:3857") -> dict:
    """The same features as a GeoJSON FeatureCollection: the oracle."""
    features = [
        {"type": "Feature", "geometry": None if g is None else mapping(g),
         "properties": {"name": name, "depth": depth, "count": count, "repulsion": repulsion}}
        for g, name, depth, count, repulsion in ROWS if name in names
    ]
    return {"type": "FeatureCollection", "properties": {"crs": crs}, "features": features}


def quiet_read(source, **options) -> scene.Scene:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", scene.SceneWarning)
        return scene.read(source, **options)


def shapefiles(tmp_path):
    for layer, names in SHAPE_LAYERS.items():
        write(tmp_path / f"{layer}.shp", names, geometry_type=TYPES[layer])
    return [(tmp_path / f"{layer}.shp", None, names) for layer, names in SHAPE_LAYERS.items()] + [
        (tmp_path, layer, names) for layer, names in SHAPE_LAYERS.items()  # the folder as one dataset
    ]


def single_file(suffix):
    def make(tmp_path):
        path = tmp_path / f"scene{suffix}"
        names = [row[1] for row in ROWS]
        write(path, names)
        return [(path, None, names)]

    return make


@pytest.mark.parametrize("make", [shapefiles, single_file(".gpkg"), single_file(".fgb")],
                         ids=["Shapefile", "GeoPackage", "FlatGeobuf"])
@pytest.mark.parametrize("split_multi", [True, False], ids=["split", "whole"])
def test_vector_files_load_like_the_same_features_as_geojson(tmp_path, make, split_multi) -> None:
    for source, layer, names in make(tmp_path):
        got = quiet_read(source, layer=layer, split_multi=split_multi)
        expected = quiet_read(as_geojson(names), split_multi=split_multi)
        a, b = got.collection, expected.collection
        assert [type(m) for m in a.rgjs] == [type(m) for m in b.rgjs]
        assert [m.toRGeoJSON() for m in a.rgjs] == [m.toRGeoJSON() for m in b.rgjs]
        assert a.properties == b.properties == {"crs": "EPSG:3857"}
        assert (got.own_repulsions, got.skipped) == (expected.own_repulsions, expected.skipped)
        np.testing.assert_array_equal(a.squared_dist(POINTS), b.squared_dist(POINTS))


def test_the_repulsion_property_and_nulls_arrive_as_plain_values(tmp_path) -> None:
    write(tmp_path / "scene.gpkg", [row[1] for row in ROWS])
    read = quiet_read(tmp_path / "scene.gpkg", split_multi=False)
    assert (read.own_repulsions, read.skipped) == (2, 1)
    members = {m.properties["name"]: m for m in read.collection.rgjs}
    np.testing.assert_array_equal(members["basin"].repulsion, [[25, 0], [0, 4]])
    np.testing.assert_array_equal(members["pier"].repulsion, [[81, 0], [0, 81]])
    assert members["islands"].properties == {"name": "islands", "depth": None, "count": 2, "repulsion": None}
    assert all(type(v) in (str, int, float, type(None)) for m in members.values() for v in m.properties.values())


@pytest.fixture
def two_layers(tmp_path):
    path = tmp_path / "two.gpkg"
    write(path, ["basin", "islands"], layer="areas")
    write(path, ["pier"], layer="pier", append=True)
    return path


@pytest.mark.parametrize("layer, names", [("pier", ["pier"]), (1, ["pier"]), (0, ["basin", "islands"]),
                                          ("areas", ["basin", "islands"])])
def test_layer_chooses_one_layer_of_a_geopackage(two_layers, layer, names) -> None:
    members = scene.load(two_layers, layer=layer, split_multi=False).rgjs
    assert [m.properties["name"] for m in members] == names


def test_without_layer_the_first_of_several_is_read_with_a_warning(two_layers) -> None:
    with pytest.warns(scene.SceneWarning, match=r"has 2 layers \('areas', 'pier'\): reading the first; choose one"):
        members = scene.load(two_layers, split_multi=False).rgjs
    assert [m.properties["name"] for m in members] == ["basin", "islands"]


@pytest.mark.parametrize("crs, geographic", [("EPSG:4326", True), ("EPSG:3857", False)])
def test_the_crs_is_kept_and_degrees_give_one_warning(tmp_path, crs, geographic) -> None:
    path = tmp_path / "scene.fgb"
    write(path, ["pier"], crs=crs)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        collection = scene.load(path)
    assert collection.properties == {"crs": crs}
    messages = [str(w.message) for w in caught if issubclass(w.category, scene.SceneWarning)]
    assert len(caught) == len(messages) == int(geographic)
    if geographic:
        assert "geographic CRS EPSG:4326" in messages[0] and "in degrees" in messages[0]
        assert "projected CRS" in messages[0] and "to_crs" in messages[0]


@pytest.mark.parametrize("crs, geographic", [
    ("EPSG:4326", True), ("epsg:4269", True), ("OGC:CRS84", True),
    ('GEOGCS["WGS 84",DATUM["WGS_1984"]]', True), ('GEOGCRS["NAD83",DATUM["North American Datum 1983"]]', True),
    ("EPSG:3857", False), ('PROJCRS["WGS 84 / UTM zone 33N",BASEGEOGCRS["WGS 84"]]', False),
])
def test_geographic_crs_names_are_recognised_without_pyproj(monkeypatch, crs, geographic) -> None:
    monkeypatch.setitem(sys.modules, "pyproj", None)
    assert scene._is_geographic(crs) is geographic


def broken_file(tmp_path):
    (tmp_path / "broken.gpkg").write_bytes(b"SQLite format 3\x00" + b"\x07" * 500)
    return tmp_path / "broken.gpkg", {}


def unknown_format(tmp_path):
    (tmp_path / "notes.txt").write_text("neither a table nor a map\n")
    return tmp_path / "notes.txt", {}


def geojson_with_layer(tmp_path):
    (tmp_path / "scene.geojson").write_text('{"type": "Point", "coordinates": [0, 0]}')
    return tmp_path / "scene.geojson", {"layer": 0}


@pytest.mark.parametrize("make, message", [
    (lambda tmp: (tmp / "missing.shp", {}), r"^cannot read scene file '.*missing\.shp': .*No such file"),
    (broken_file, r"^cannot read scene file '.*broken\.gpkg': .*not a database"),
    (unknown_format, r"^cannot read scene file '.*notes\.txt': not a vector format GDAL recognises"),
    (lambda tmp: (tmp / "two.gpkg", {"layer": "roads"}),
     r"^cannot read scene file '.*two\.gpkg': no layer 'roads' \(the layers are 'areas', 'pier'\)$"),
    (lambda tmp: (tmp / "two.gpkg", {"layer": 7}), r"^cannot read scene file '.*two\.gpkg': no layer number 7 "),
    (lambda tmp: (tmp / "two.gpkg", {"layer": True}), r"^layer= must be a layer name or a non-negative index"),
    (lambda tmp: (tmp / "two.gpkg", {"layer": -1}), r"^layer= must be a layer name or a non-negative index"),
    (geojson_with_layer, r"^layer= applies only to files read through pyogrio"),
    (lambda tmp: ({"type": "Point", "coordinates": [0, 0]}, {"layer": "x"}), r"^layer= applies only"),
], ids=["missing", "broken", "unknown format", "unknown layer", "layer out of range", "bool layer", "negative layer",
        "GeoJSON file", "GeoJSON dict"])
def test_bad_files_and_layers_raise_one_line_value_errors(two_layers, make, message) -> None:
    source, options = make(two_layers.parent)
    with pytest.raises(ValueError, match=message) as caught:
        scene.load(source, **options)
    assert "\n" not in str(caught.value)


@pytest.mark.parametrize("module", ["pyogrio", "shapely"])
def test_without_the_io_extra_the_error_says_what_to_install(tmp_path, monkeypatch, module) -> None:
    write(tmp_path / "scene.fgb", ["pier"])
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ValueError, match=rf"needs pyogrio and shapely \({module} is missing\): "
                                         r"pip install 'orvo-field\[io\]'$"):
        scene.load(tmp_path / "scene.fgb")
