"""orvo.field.dask: lazy evaluation on dask arrays, threaded and on a local cluster.

Every comparison is exact: a block of points is answered by the same
``orvo.field.evaluate`` that answers the whole array in process.
"""

import pickle
from importlib.resources import as_file, files

import cloudpickle
import dask
import dask.array as da
import numpy as np
import pytest
from dask.distributed import Client, LocalCluster, get_task_stream

import orvo.field
from orvo.field import grid, scene
from orvo.field.dask import evaluate
from orvo.field.geometry import GeometryCollectionRGJ, MultiPointRGJ, PolygonRGJ

RESTORE_NAME = b"__pyx_unpickle_GeometryCollectionRGJ"


@pytest.fixture(scope="module")
def harbour():
    with as_file(files("orvo.field") / "data" / "harbour.geojson") as path:
        return scene.load(path)


def raster(geometry, shape):
    (xmin, ymin), (xmax, ymax) = geometry.bbox
    pad = 0.1 * max(xmax - xmin, ymax - ymin)
    return grid((xmin - pad, ymin - pad, xmax + pad, ymax + pad), shape)


def assert_same_answers(lazy, expected):
    (values, gradients), (want_values, want_gradients) = lazy, expected
    assert values.dtype == gradients.dtype == np.float64
    assert values.shape == want_values.shape and gradients.shape == want_gradients.shape
    np.testing.assert_array_equal(values, want_values)
    np.testing.assert_array_equal(gradients, want_gradients)


# -- the threaded scheduler -------------------------------------------------------------


def test_threaded_equals_in_process(harbour):
    points = raster(harbour, (160, 125))
    lazy = da.from_array(points, chunks=(1999, 2))  # uneven blocks, a short last one
    values, gradients = evaluate(harbour, lazy)
    assert values.chunks == (lazy.chunks[0],)
    assert gradients.chunks == (lazy.chunks[0], (2,))
    assert values.dtype == gradients.dtype == np.float64
    computed = dask.compute(values, gradients, scheduler="threads")
    assert_same_answers(computed, orvo.field.evaluate(harbour, points))
    # The raster samples a field that varies, not one constant answer.
    assert len(np.unique(computed[0])) > 1000 and np.count_nonzero(computed[1]) > 1000


def test_single_geometry_is_answered_as_a_collection():
    ring = [[0.0, 0.0], [4.0, 0.0], [4.0, 3.0], [0.0, 3.0]]
    polygon = PolygonRGJ(coordinates=[ring], repulsion=[[2.0, 0.3], [0.3, 1.0]])
    points = grid((-3.0, -3.0, 7.0, 6.0), (50, 40))
    lazy = evaluate(polygon, da.from_array(points, chunks=(300, 2)))
    assert_same_answers(dask.compute(*lazy, scheduler="threads"), orvo.field.evaluate(polygon, points))


def test_unknown_block_sizes(harbour):
    """Points selected by a mask have blocks of unknown length until computed."""
    points = raster(harbour, (60, 50))
    lazy = da.from_array(points, chunks=(700, 2))
    chosen = lazy[lazy[:, 0] > np.median(points[:, 0])]
    assert np.isnan(chosen.shape[0])
    answers = dask.compute(*evaluate(harbour, chosen), scheduler="threads")
    expected = orvo.field.evaluate(harbour, points[points[:, 0] > np.median(points[:, 0])])
    assert_same_answers(answers, expected)


def test_float32_points_are_read_as_float64(harbour):
    points = raster(harbour, (40, 30)).astype(np.float32)
    answers = dask.compute(*evaluate(harbour, da.from_array(points, chunks=(500, 2))), scheduler="sync")
    assert_same_answers(answers, orvo.field.evaluate(harbour, points.astype(np.float64)))


def test_later_changes_to_the_geometry_do_not_reach_the_results():
    buoys = MultiPointRGJ(coordinates=[[0.0, 0.0], [5.0, 1.0]], repulsion=[[3.0, 0.0], [0.0, 1.0]])
    points = grid((-2.0, -2.0, 7.0, 3.0), (30, 20))
    expected = orvo.field.evaluate(buoys, points)
    lazy = evaluate(buoys, da.from_array(points, chunks=(100, 2)))
    buoys.set_repulsion([[0.5, 0.0], [0.0, 0.5]])
    assert not np.array_equal(orvo.field.evaluate(buoys, points)[0], expected[0])
    assert_same_answers(dask.compute(*lazy, scheduler="threads"), expected)


# -- how the geometry travels ------------------------------------------------------------


@pytest.mark.parametrize("dumps", [pickle.dumps, cloudpickle.dumps], ids=["pickle", "cloudpickle"])
def test_sample_scene_pickles_with_its_answers(harbour, dumps):
    back = pickle.loads(dumps(harbour))
    assert type(back) is GeometryCollectionRGJ and back is not harbour
    assert back.toRGeoJSON() == harbour.toRGeoJSON()
    assert [type(m) for m in back.rgjs] == [type(m) for m in harbour.rgjs]
    points = raster(harbour, (50, 40))
    assert_same_answers(orvo.field.evaluate(back, points), orvo.field.evaluate(harbour, points))


def test_geometry_is_one_node_of_the_graph(harbour):
    """The blocks refer to the geometry by key: it is serialised once per graph, not per block."""
    lazy = da.from_array(raster(harbour, (40, 25)), chunks=(100, 2))  # 10 blocks
    values, gradients = evaluate(harbour, lazy)
    graph = dict(gradients.__dask_graph__())
    holding = [key for key, task in graph.items() if RESTORE_NAME in cloudpickle.dumps(task)]
    assert len(holding) == 1
    assert sum(1 for key in graph if isinstance(key, tuple) and key[0].startswith("orvo-field-evaluate")) == 10


# -- bad input ---------------------------------------------------------------------------


def test_coordinate_axis_split_across_chunks_raises(harbour):
    lazy = da.from_array(raster(harbour, (10, 10)), chunks=(50, 1))
    with pytest.raises(ValueError, match=r"chunked along the point axis only.*rechunk\(\{1: -1\}\)"):
        evaluate(harbour, lazy)
    # The fix the message names works.
    values, _ = evaluate(harbour, lazy.rechunk({1: -1}))
    assert values.chunks == (lazy.chunks[0],)


@pytest.mark.parametrize("shape", [(100, 3), (100,), (10, 10, 2)])
def test_points_of_the_wrong_shape_raise(harbour, shape):
    with pytest.raises(ValueError, match=r"shape \(N, 2\)"):
        evaluate(harbour, da.zeros(shape, chunks=10))


def test_non_dask_points_and_non_geometries_raise(harbour):
    points = raster(harbour, (10, 10))
    with pytest.raises(TypeError, match="dask array"):
        evaluate(harbour, points)
    with pytest.raises(TypeError, match="orvo.field geometry"):
        evaluate(harbour.toRGeoJSON(), da.from_array(points, chunks=(10, 2)))


# -- a local cluster of worker processes --------------------------------------------------


def test_local_cluster_equals_in_process(harbour):
    points = raster(harbour, (400, 250))
    assert points.shape == (100_000, 2)
    expected = orvo.field.evaluate(harbour, points)
    lazy = da.from_array(points, chunks=(12_500, 2))
    values, gradients = evaluate(harbour, lazy)
    with LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None, worker_dashboard_address=None
    ) as cluster, Client(cluster) as client, get_task_stream(client) as stream:
        client.wait_for_workers(2, timeout=30)
        workers = set(client.scheduler_info()["workers"])
        assert len(workers) == 2
        answers = client.gather(client.compute([values, gradients]))
    assert_same_answers(answers, expected)
    # Every block was answered in a worker process, from the geometry it unpickled.
    ran = [task["worker"] for task in stream.data if task["key"][0].startswith("orvo-field-evaluate-")]
    assert len(ran) == 8 and set(ran) <= workers
