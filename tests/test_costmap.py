"""Cost maps read back with each format's own reader equal evaluate at the pixel centres."""

from __future__ import annotations

import json
import subprocess
import sys
from importlib import resources

import numpy as np
import pytest

from orvo.field import evaluate, scene
from orvo.field.costmap import Raster, raster, write_costmap

SAMPLE = resources.files("orvo.field") / "data" / "harbour.geojson"


@pytest.fixture(scope="module")
def harbour():
    with resources.as_file(SAMPLE) as path:
        return scene.load(path)


def centres(extent, cols, rows) -> np.ndarray:
    """The pixel centres by the documented convention, written out independently."""
    xmin, ymin, xmax, ymax = extent
    dx, dy = (xmax - xmin) / cols, (ymax - ymin) / rows
    r, c = np.mgrid[0:rows, 0:cols]
    return np.column_stack([(xmin + (c + 0.5) * dx).ravel(), (ymax - (r + 0.5) * dy).ravel()])


def expected(geometry, grid: Raster):
    values, gradients = evaluate(geometry, centres(grid.extent, grid.cols, grid.rows))
    return values.reshape(grid.rows, grid.cols), gradients


GRID = Raster((-50.0, -20.0, 1050.0, 830.0), 44, 34)  # pixels of 25 x 25


def test_npy_and_its_sidecar(harbour, tmp_path) -> None:
    written = write_costmap(harbour, tmp_path / "map.npy", GRID)
    assert written == [str(tmp_path / "map.npy"), str(tmp_path / "map.json")]
    np.testing.assert_array_equal(np.load(tmp_path / "map.npy"), expected(harbour, GRID)[0])
    meta = json.loads((tmp_path / "map.json").read_text())
    assert meta["extent"] == list(GRID.extent) and meta["shape"] == [34, 44] and "row 0 on top" in meta["convention"]


@pytest.mark.parametrize("gradient", [False, True])
def test_geotiff(harbour, tmp_path, gradient) -> None:
    rasterio = pytest.importorskip("rasterio")
    harbour_crs = scene.load(json.loads(SAMPLE.read_text()) | {"properties": {"crs": "EPSG:32633"}})
    write_costmap(harbour_crs, tmp_path / "map.tif", GRID, gradient=gradient)
    values, gradients = expected(harbour, GRID)
    with rasterio.open(tmp_path / "map.tif") as dataset:
        assert dataset.count == (3 if gradient else 1) and dataset.dtypes[0] == "float64"
        assert str(dataset.crs) == "EPSG:32633"
        np.testing.assert_array_equal(dataset.read(1), values)
        if gradient:
            np.testing.assert_array_equal(dataset.read(2).ravel(), gradients[:, 0])
            np.testing.assert_array_equal(dataset.read(3).ravel(), gradients[:, 1])
        # The transform's pixel centres are the evaluated points.
        t = dataset.transform
        col, row = np.array([0.5, 43.5]), np.array([0.5, 33.5])
        corners = np.column_stack([t.a * col + t.b * row + t.c, t.d * col + t.e * row + t.f])
    np.testing.assert_allclose(corners, centres(GRID.extent, 44, 34)[[0, -1]], rtol=1e-12)


def test_map_server_yaml_and_pgm(harbour, tmp_path) -> None:
    yaml = pytest.importorskip("yaml")
    image = pytest.importorskip("PIL.Image")
    write_costmap(harbour, tmp_path / "map.yaml", GRID, occupied_thresh=0.7, free_thresh=0.2, mode="trinary")
    meta = yaml.safe_load((tmp_path / "map.yaml").read_text())
    assert meta == {"image": "map.pgm", "resolution": 25.0, "origin": [-50.0, -20.0, 0.0], "negate": 0,
                    "occupied_thresh": 0.7, "free_thresh": 0.2, "mode": "trinary"}
    grey = np.asarray(image.open(tmp_path / "map.pgm"))
    assert grey.shape == (34, 44) and grey.dtype == np.uint8
    # What a map server reads as occupancy is the field value, to the grey level's step.
    np.testing.assert_allclose((255 - grey) / 255.0, expected(harbour, GRID)[0], atol=0.5 / 255 + 1e-12)


@pytest.mark.parametrize(
    "extent, kwargs, cols, rows, grown",
    [
        ((0, 0, 10, 5), {"resolution": 3.0}, 4, 2, (0, 0, 12, 6)),
        ((0, 0, 10, 5), {"size": (7, 3)}, 7, 3, (0, 0, 10, 5)),
        ((0, 0, 10, 5), {}, 1000, 500, (0, 0, 10, 5)),
    ],
)
def test_the_raster_follows_size_or_resolution(harbour, extent, kwargs, cols, rows, grown) -> None:
    grid = raster(harbour, extent, **kwargs)
    assert (grid.cols, grid.rows) == (cols, rows)
    np.testing.assert_allclose(grid.extent, grown)
    np.testing.assert_array_equal(grid.centres(), centres(grid.extent, cols, rows))


@pytest.mark.parametrize(
    "target, kwargs, message",
    [
        ("map.png", {}, "unknown cost map format '.png'"),
        ("map.npy", {"gradient": True}, "the gradient bands need a GeoTIFF"),
        ("map.yaml", {"free_thresh": 0.9}, "the thresholds need 0 <= free < occupied <= 1"),
        ("map.yaml", {"grid": Raster((0, 0, 10, 5), 10, 10)}, "needs square pixels"),
    ],
)
def test_bad_settings_fail_before_any_work(harbour, tmp_path, target, kwargs, message) -> None:
    grid = kwargs.pop("grid", GRID)
    with pytest.raises(ValueError, match=message):
        write_costmap(harbour, tmp_path / target, grid, **kwargs)
    assert not list(tmp_path.iterdir())


def test_the_command_writes_what_the_function_writes(harbour, tmp_path) -> None:
    with resources.as_file(SAMPLE) as path:
        proc = subprocess.run([sys.executable, "-m", "orvo.field", "costmap", str(path), "-o", "map.npy", "--extent",
                               "-50,-20,1050,830", "--resolution", "25"], cwd=tmp_path, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["map.npy", "map.json"] and "44x34 pixels" in proc.stderr
    np.testing.assert_array_equal(np.load(tmp_path / "map.npy"), expected(harbour, GRID)[0])
