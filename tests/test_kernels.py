"""orvo.field.kernels: nearest-segment repulsion vectors and point-in-rings."""

import array
import re
import subprocess
import sys

import numpy as np
import pytest
import shapely
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

from orvo.field import kernels

METRICS = {
    "identity": np.eye(2),
    "aniso": np.array([[10.0, 3.0], [3.0, 1.0]]),
    "diagonal": np.diag([1.0, 25.0]),
    "asymmetric": np.array([[2.0, 1.5], [-0.5, 1.0]]),
}


def brute_vectors(x, p1, v, vdv, metric):
    """The projection written out with numpy over all (segment, point) pairs."""
    x, p1, v, vdv, m = (np.asarray(a, dtype=np.float64) for a in (x, p1, v, vdv, metric))
    w = x[None, :, :] - p1[:, None, :]
    t = np.clip((w * v[:, None, :]).sum(axis=2) / vdv[:, None], 0.0, 1.0)
    d = x[None, :, :] - (p1[:, None, :] + t[..., None] * v[:, None, :])
    dx, dy = d[..., 0], d[..., 1]
    q = dx * (m[0, 0] * dx + m[0, 1] * dy) + dy * (m[1, 0] * dx + m[1, 1] * dy)  # d . (M d)
    return d[np.argmin(q, axis=0), np.arange(x.shape[0])].reshape(-1, 2)


def segments(starts, ends):
    p1 = np.asarray(starts, dtype=np.float64)
    v = np.asarray(ends, dtype=np.float64) - p1
    vdv = (v * v).sum(axis=1)
    vdv[vdv <= 0] = 1.0
    return p1, v, vdv


def random_problem(seed, n, s, degenerate=0):
    rng = np.random.default_rng(seed)
    starts = rng.uniform(-10, 10, (s, 2))
    ends = starts + rng.normal(0, 3, (s, 2))
    ends[:degenerate] = starts[:degenerate]
    return (rng.uniform(-15, 15, (n, 2)), *segments(starts, ends))


# -- segment_repulsion_vectors -----------------------------------------------

@pytest.mark.parametrize("metric", METRICS.values(), ids=METRICS.keys())
@pytest.mark.parametrize("seed, n, s, degenerate", [(0, 500, 1, 0), (1, 400, 7, 2), (2, 300, 60, 10), (3, 5, 3, 3)])
def test_vectors_match_brute_force(metric, seed, n, s, degenerate):
    x, p1, v, vdv = random_problem(seed, n, s, degenerate)
    out = kernels.segment_repulsion_vectors(x, p1, v, vdv, metric)
    assert out.dtype == np.float64 and out.shape == (n, 2) and out.flags.c_contiguous
    np.testing.assert_array_equal(out, brute_vectors(x, p1, v, vdv, metric))


coord = st.floats(-100, 100, allow_nan=False, allow_subnormal=False)


@st.composite
def problems(draw):
    s, n = draw(st.integers(1, 6)), draw(st.integers(0, 8))
    starts = draw(arrays(np.float64, (s, 2), elements=coord))
    ends = draw(arrays(np.float64, (s, 2), elements=coord))
    # Shared endpoints and zero-length segments make exact ties likely.
    shared = draw(arrays(np.bool_, s))
    ends[shared] = starts[shared]
    x = draw(arrays(np.float64, (n, 2), elements=coord))
    return (x, *segments(starts, ends), draw(st.sampled_from(list(METRICS.values()))))


@settings(max_examples=200, deadline=None)
@given(problems())
def test_vectors_match_brute_force_generated(problem):
    np.testing.assert_array_equal(kernels.segment_repulsion_vectors(*problem), brute_vectors(*problem))


def test_zero_length_segment_points_at_its_start():
    p1, v, vdv = segments([[1.0, 2.0]], [[1.0, 2.0]])
    x = np.array([[4.0, 6.0], [1.0, 2.0], [-3.0, 0.5]])
    np.testing.assert_array_equal(kernels.segment_repulsion_vectors(x, p1, v, vdv, np.eye(2)), x - p1)


# Segments all at the same q from the origin: (metric, starts, ends, vector from each).
TIES = {
    "identity": (np.eye(2), [[-1, 1], [-1, -1], [-1, -1]], [[1, 1], [1, -1], [-1, 1]], [[0, -1], [0, 1], [1, 0]]),
    "diagonal": (np.diag([4.0, 1.0]), [[1, -5], [-5, 2], [-1, 5]], [[1, 5], [5, 2], [-1, -5]],
                 [[-1, 0], [0, -2], [1, 0]]),
}


@pytest.mark.parametrize("order", [[0, 1, 2], [2, 1, 0], [1, 2, 0], [2, 0, 1]])
@pytest.mark.parametrize("metric, starts, ends, vectors", TIES.values(), ids=TIES.keys())
def test_exact_ties_go_to_the_lowest_segment(metric, starts, ends, vectors, order):
    p1, v, vdv = segments(np.array(starts)[order], np.array(ends)[order])
    out = kernels.segment_repulsion_vectors([[0.0, 0.0], [0.0, 0.0]], p1, v, vdv, metric)
    np.testing.assert_array_equal(out, [vectors[order[0]]] * 2)


def test_metric_changes_the_chosen_segment():
    # From the origin: the line x = 1 is nearer in the plane, the line y = 2 under [[10, 3], [3, 1]].
    p1, v, vdv = segments([[1, -5], [-5, 2]], [[1, 5], [5, 2]])
    x = [[0.0, 0.0]]
    np.testing.assert_array_equal(kernels.segment_repulsion_vectors(x, p1, v, vdv, METRICS["identity"]), [[-1, 0]])
    np.testing.assert_array_equal(kernels.segment_repulsion_vectors(x, p1, v, vdv, METRICS["aniso"]), [[0, -2]])
    # And across many random points the choice differs somewhere, each side matching the brute force.
    x, p1, v, vdv = random_problem(7, 400, 8)
    plain, aniso = (kernels.segment_repulsion_vectors(x, p1, v, vdv, METRICS[k]) for k in ("identity", "aniso"))
    assert (plain != aniso).any(axis=1).sum() > 20
    np.testing.assert_array_equal(aniso, brute_vectors(x, p1, v, vdv, METRICS["aniso"]))


def test_nan_queries_give_nan_rows():
    x, p1, v, vdv = random_problem(4, 6, 5, degenerate=1)
    x[[1, 3, 4]] = [[np.nan, 0.0], [2.0, np.nan], [np.nan, np.nan]]
    out = kernels.segment_repulsion_vectors(x, p1, v, vdv, METRICS["aniso"])
    assert np.isnan(out[[1, 3, 4]]).all()
    finite = [0, 2, 5]
    np.testing.assert_array_equal(out[finite], brute_vectors(x[finite], p1, v, vdv, METRICS["aniso"]))


def test_no_query_points():
    _, p1, v, vdv = random_problem(5, 0, 3)
    out = kernels.segment_repulsion_vectors(np.empty((0, 2)), p1, v, vdv, np.eye(2))
    assert out.shape == (0, 2) and out.dtype == np.float64


def as_forms(a):
    """The same values as other array-likes (the values must be exact in float32)."""
    a = np.asarray(a, dtype=np.float64)
    readonly = a.copy()
    readonly.flags.writeable = False
    return {
        "list": a.tolist(),
        "tuple": tuple(map(tuple, a.tolist())) if a.ndim == 2 else tuple(a.tolist()),
        "fortran": np.asfortranarray(a),
        "strided": np.stack([a, a + 1], axis=-1)[..., 0],
        "bigendian": a.astype(">f8"),
        "readonly": readonly,
        "float32": a.astype(np.float32),
        "memoryview": memoryview(a.copy()),
        # Unpickled buffers can be unaligned for double loads.
        "unaligned": np.frombuffer(b"\0" + a.tobytes(), dtype=np.float64, offset=1).reshape(a.shape),
    }


FORMS = list(as_forms(np.eye(2)))


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("arg", ["x", "p1", "v", "vdv", "metric"])
def test_vector_inputs_accept_array_likes(arg, form):
    x, p1, v, vdv = random_problem(6, 40, 5, degenerate=1)
    # Values that float32 holds exactly, so every form carries the same numbers.
    args = {k: np.round(a * 8) / 8 for k, a in dict(x=x, p1=p1, v=v, vdv=vdv, metric=METRICS["aniso"]).items()}
    args["vdv"] = (args["v"] ** 2).sum(axis=1)
    args["vdv"][args["vdv"] <= 0] = 1.0
    given = dict(args, **{arg: as_forms(args[arg])[form]})
    snapshot = {k: np.array(a, copy=True) for k, a in given.items()}
    out = kernels.segment_repulsion_vectors(**given)
    np.testing.assert_array_equal(out, brute_vectors(**args))
    for k, a in given.items():
        np.testing.assert_array_equal(np.asarray(a), snapshot[k], err_msg=f"{k} was modified")


def test_integer_inputs():
    p1 = np.array([[0, 0]], np.int32)
    out = kernels.segment_repulsion_vectors([[3, 4], [0, 0]], p1, [[2, 0]], np.array([4]), [[1, 0], [0, 1]])
    np.testing.assert_array_equal(out, [[1, 4], [0, 0]])


# -- point_in_rings ------------------------------------------------------------

def star(rng, center, rmin, rmax, n, clockwise=False):
    """A star-shaped (generally concave) ring around `center`, without repeating the first vertex."""
    angles = (np.arange(n) + rng.uniform(0.1, 0.9, n)) * 2 * np.pi / n
    radii = rng.uniform(rmin, rmax, n)
    ring = np.asarray(center) + radii[:, None] * np.column_stack([np.cos(angles), np.sin(angles)])
    return ring[::-1] if clockwise else ring


def assert_matches_polygon(x, outer, holes):
    polygon = shapely.Polygon(outer, holes)
    assert polygon.is_valid
    x = np.asarray(x, dtype=np.float64)
    clear = shapely.distance(polygon.boundary, shapely.points(x)) > 1e-9
    expected = shapely.contains_xy(polygon, x[clear, 0], x[clear, 1])
    assert 0 < expected.sum() < clear.sum()
    out = kernels.point_in_rings(x, outer, holes)
    assert out.dtype == np.bool_ and out.shape == (len(x),)
    np.testing.assert_array_equal(out[clear], expected)


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("n_holes", [0, 1, 3])
def test_random_polygons_match_shapely(seed, n_holes):
    rng = np.random.default_rng(100 * seed + n_holes)
    outer = star(rng, [0, 0], 1.0, 2.0, rng.integers(12, 40), clockwise=seed % 2 == 1)
    phase = rng.uniform(0, 2 * np.pi)
    centers = 0.5 * np.column_stack([np.cos(phase + np.arange(n_holes) * 2 * np.pi / max(n_holes, 1)),
                                     np.sin(phase + np.arange(n_holes) * 2 * np.pi / max(n_holes, 1))])
    holes = [star(rng, c, 0.08, 0.2, rng.integers(3, 12), clockwise=rng.random() < 0.5) for c in centers]
    x = rng.uniform(-2.2, 2.2, (3000, 2))
    # Query rows level with vertices exercise the crossing rule at vertices.
    levels = np.concatenate([outer[:, 1], *[h[:, 1] for h in holes]])
    x_level = np.column_stack([rng.uniform(-2.2, 2.2, levels.size), levels])
    assert_matches_polygon(np.concatenate([x, x_level]), outer, holes if seed < 3 else tuple(holes))


def test_comb_on_a_grid_matches_shapely():
    # Many grid points lie level with vertices and horizontal edges.
    outer = [[0, 0], [7, 0], [7, 3], [6, 3], [6, 1], [5, 1], [5, 3], [4, 3], [4, 1], [3, 1], [3, 3], [2, 3],
             [2, 1], [1, 1], [1, 3], [0, 3]]
    holes = [[[2.25, 0.25], [2.75, 0.25], [2.75, 0.75], [2.25, 0.75]], [[6.25, 1.5], [6.5, 2.5], [6.75, 1.5]]]
    gx, gy = np.meshgrid(np.arange(-0.5, 7.75, 0.25), np.arange(-0.5, 3.75, 0.25))
    x = np.column_stack([gx.ravel(), gy.ravel()])
    assert_matches_polygon(x, outer, holes)
    # A closed ring (first vertex repeated) answers the same.
    closed = [outer + outer[:1], [h + h[:1] for h in holes]]
    np.testing.assert_array_equal(kernels.point_in_rings(x, *closed), kernels.point_in_rings(x, outer, holes))


SQUARE = [[0, 0], [4, 0], [4, 4], [0, 4]]


@pytest.mark.parametrize("outer, holes, x, expected", [
    # Each hole removes its own area, overlapping holes included.
    (SQUARE, [[[1, 1], [3, 1], [3, 3], [1, 3]], [[2, 2], [3.5, 2], [3.5, 3.5], [2, 3.5]]],
     [[2.5, 2.5], [1.5, 1.5], [3.25, 3.25], [0.5, 3.5], [5, 5]], [False, False, False, True, False]),
    # A hole reaching outside the outer ring adds nothing.
    (SQUARE, [[[3, 3], [6, 3], [6, 6], [3, 6]]], [[5, 5], [3.5, 3.5], [1, 1]], [False, False, True]),
    # A self-crossing ring by the even-odd rule: the pentagram's centre is outside, its tips inside.
    ([[0, 10], [5.878, -8.09], [-9.511, 3.09], [9.511, 3.09], [-5.878, -8.09]], [],
     [[0, 0], [0, 7], [7, 2], [-4, -5]], [False, True, True, True]),
    # Rings with fewer than three vertices contain nothing.
    ([[0, 0], [4, 4]], [], [[2, 2], [1, 3]], [False, False]),
    ([[0, 0]], [], [[0, 0]], [False]),
    (np.empty((0, 2)), [], [[0, 0]], [False]),
    (SQUARE, [[[1, 1], [3, 3]], [[2, 2]], np.empty((0, 2))], [[2, 2], [2.5, 1.5]], [True, True]),
    # NaN queries are outside.
    (SQUARE, [], [[np.nan, 2], [2, np.nan], [np.nan, np.nan], [2, 2]], [False, False, False, True]),
    (SQUARE, (), np.empty((0, 2)), []),
], ids=["overlapping-holes", "hole-outside", "pentagram", "two-vertices", "one-vertex", "empty-ring",
        "degenerate-holes", "nan", "no-points"])
def test_constructed_rings(outer, holes, x, expected):
    out = kernels.point_in_rings(np.array(x, dtype=np.float64).reshape(-1, 2), outer, holes)
    assert out.dtype == np.bool_ and out.shape == (len(expected),)
    np.testing.assert_array_equal(out, expected)


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("arg", ["x", "outer", "hole"])
def test_ring_inputs_accept_array_likes(arg, form):
    rng = np.random.default_rng(9)
    args = dict(x=np.round(rng.uniform(-2.2, 2.2, (500, 2)) * 64) / 64,
                outer=np.round(star(rng, [0, 0], 1, 2, 20) * 64) / 64,
                hole=np.round(star(rng, [0.3, 0], 0.2, 0.5, 7) * 64) / 64)
    expected = kernels.point_in_rings(args["x"], args["outer"], [args["hole"]])
    assert 0 < expected.sum() < len(expected)
    given = dict(args, **{arg: as_forms(args[arg])[form]})
    np.testing.assert_array_equal(kernels.point_in_rings(given["x"], given["outer"], [given["hole"]]), expected)


def test_keyword_arguments():
    assert kernels.point_in_rings(holes=[], outer=SQUARE, x=[[2, 2], [5, 5]]).tolist() == [True, False]
    out = kernels.segment_repulsion_vectors(metric=np.eye(2), vdv=[1.0], v=[[0, 0]], p1=[[1, 1]], x=[[3, 3]])
    np.testing.assert_array_equal(out, [[2, 2]])


# -- bad input -----------------------------------------------------------------

SEGMENT_ARGS = dict(x="np.zeros((4, 2))", p1="np.zeros((3, 2))", v="np.ones((3, 2))", vdv="np.full(3, 2.0)",
                    metric="np.eye(2)")
RING_ARGS = dict(x="np.zeros((4, 2))", outer="[[0, 0], [1, 0], [0, 1]]", holes="[]")
RAGGED = "[[1.0, 2.0], [3.0]]"

BAD_INPUTS = [("segment_repulsion_vectors", name, expr) for name, expr in [
    ("x", "None"), ("x", "'abc'"), ("x", RAGGED), ("x", "np.zeros((4, 2, 1))"), ("x", "np.zeros((4, 3))"),
    ("x", "np.zeros(8)"), ("x", "np.array([[object(), 1.0]], dtype=object)"), ("x", "array.array('d', [1, 2])"),
    ("x", "[['a', 'b']]"), ("p1", "np.zeros((0, 2))"), ("p1", "None"), ("p1", "np.zeros((3, 3))"),
    ("p1", "np.zeros((10**6, 2))"), ("v", "np.zeros((10**6, 2))"), ("v", "np.zeros((2, 2))"), ("v", RAGGED),
    ("vdv", "np.full(10**6, 2.0)"), ("vdv", "np.ones(2)"), ("vdv", "np.ones((3, 1))"), ("vdv", "'abc'"),
    ("metric", "np.eye(3)"), ("metric", "np.ones(4)"), ("metric", RAGGED), ("metric", "None"),
    ("metric", "np.ones((2, 2, 2))"), ("metric", "{'a': 1}"), ("metric", "[[np.nan, 0], [0, 1]]"),
    ("metric", "np.full((2, 2), np.inf)"),
]] + [("point_in_rings", name, expr) for name, expr in [
    ("x", "None"), ("x", RAGGED), ("x", "np.zeros((2, 2, 2))"), ("outer", "None"), ("outer", "'abc'"),
    ("outer", "np.zeros((4, 3))"), ("outer", "np.zeros(6)"), ("outer", RAGGED),
    ("outer", "np.array([[0, 0], [1, 'q'], [0, 1]], dtype=object)"), ("outer", "[[0, 0], [np.nan, 0], [0, 1]]"),
    ("holes[0]", "[[[0, 0], [1, np.nan], [0, 1]]]"),
    ("holes", "None"), ("holes", "np.zeros((1, 3, 2))"), ("holes", "'abc'"), ("holes", "iter([])"),
    ("holes[0]", "[None]"), ("holes[0]", "[object()]"), ("holes[0]", "[np.zeros((3, 3))]"),
    ("holes[0]", f"[{RAGGED}]"),
    ("holes[1]", "[np.zeros((4, 2)), 'abc']"), ("holes[1]", "(np.zeros((4, 2)), {})"),
    ("holes[2]", "[[[0, 0]], np.zeros((3, 2)), np.zeros((10**6, 3))]"),
]]


def bad_call(function, name, expr):
    base = SEGMENT_ARGS if function == "segment_repulsion_vectors" else RING_ARGS
    args = dict(base, **{name.split("[")[0]: expr})
    return f"getattr(kernels, {function!r})({', '.join(f'{k}={e}' for k, e in args.items())})"


@pytest.mark.parametrize("function, name, expr", BAD_INPUTS)
def test_bad_input_raises_naming_the_argument(function, name, expr):
    call = bad_call(function, name, expr)
    code = "\n".join(["import array, numpy as np", "from orvo.field import kernels", "try:", f"    {call}",
                      "except (ValueError, TypeError):", "    pass", "else:", "    raise SystemExit('no error')"])
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", code], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, f"{call}\n{proc.stderr[-2000:]}"
    with pytest.raises((ValueError, TypeError)) as info:
        eval(call, {"np": np, "array": array, "kernels": kernels})
    assert re.search(rf"(?<!\w){re.escape(name)}(?!\w)", str(info.value)), str(info.value)


def test_wrong_argument_count():
    with pytest.raises(TypeError):
        kernels.segment_repulsion_vectors(np.zeros((1, 2)), np.zeros((1, 2)), np.ones((1, 2)), np.ones(1))
    with pytest.raises(TypeError):
        kernels.point_in_rings(np.zeros((1, 2)), SQUARE, [], [])


@pytest.mark.parametrize("function, name", [("segment_repulsion_vectors", n) for n in SEGMENT_ARGS]
                         + [("point_in_rings", "x"), ("point_in_rings", "outer"), ("point_in_rings", "holes[0]")])
def test_rejected_arrays_are_released(function, name):
    # A float64 array of the wrong shape is refused without keeping a reference to it.
    wrong = np.zeros((3, 3))
    before = sys.getrefcount(wrong)
    for _ in range(5):
        with pytest.raises(ValueError):
            eval(bad_call(function, name, "[wrong]" if name == "holes[0]" else "wrong"),
                 {"np": np, "kernels": kernels, "wrong": wrong})
    assert sys.getrefcount(wrong) == before


@pytest.mark.parametrize("empty", [lambda shape, dtype: bytearray(16), lambda shape, dtype: np.empty(3, dtype),
                                   lambda shape, dtype: np.empty(shape, np.float32), lambda shape, dtype: None])
def test_replaced_np_empty_cannot_overflow_the_output(monkeypatch, empty):
    # `np` is a plain module global; whatever its `empty` returns, the loops
    # write only into a buffer of exactly the right size and type.
    class FakeNumpy:
        def __getattr__(self, name):
            return empty if name == "empty" else getattr(np, name)

    monkeypatch.setattr(kernels, "np", FakeNumpy())
    x = np.random.default_rng(0).random((5000, 2))
    with pytest.raises(TypeError):
        kernels.segment_repulsion_vectors(x, [[0.0, 0.0]], [[1.0, 0.0]], [1.0], np.eye(2))
    with pytest.raises(TypeError):
        kernels.point_in_rings(x, [[0.0, 0.0], [1.0, 0.0], [1.0, 1.0]], [])


def test_rings_whose_y_range_overflows_answer_as_row_by_row():
    # A y-range beyond the largest double cannot be cut into bands; such rings
    # must still be tested edge by edge rather than reported as containing nothing.
    angle = np.linspace(0, 2 * np.pi, 200, endpoint=False)
    outer = np.c_[np.cos(angle), np.sin(angle)] * 1.5e308
    x = np.random.default_rng(2).uniform(-1, 1, (64, 2)) * 1.7e308
    whole = kernels.point_in_rings(x, outer, [])
    assert whole.any()
    assert whole.tolist() == [bool(kernels.point_in_rings(x[i:i + 1], outer, [])[0]) for i in range(len(x))]


def test_segments_spanning_the_double_range_answer_as_row_by_row():
    # Segment boxes this wide overflow when the segments are ordered for the
    # tree; the order may degrade but the rows must not change.
    rng = np.random.default_rng(4)
    p1 = rng.uniform(-1, 1, (1000, 2)) * 1.7e308
    v = rng.normal(0, 1e306, (1000, 2))
    with np.errstate(over="ignore"):
        vdv = np.where(np.isfinite((v * v).sum(1)), (v * v).sum(1), 1e300)
    x = rng.uniform(-1, 1, (600, 2)) * 1.7e308
    whole = kernels.segment_repulsion_vectors(x, p1, v, vdv, np.eye(2))
    rows = [kernels.segment_repulsion_vectors(x[i:i + 1], p1, v, vdv, np.eye(2))[0] for i in range(0, 600, 37)]
    np.testing.assert_array_equal(whole[::37], rows)


@pytest.mark.parametrize("n", [1, 2, 15, 16, 17])
@pytest.mark.parametrize("s", [3, 4000])
def test_batches_around_the_smallest_block_match_brute_force(n, s):
    # Batches are cut into blocks of at least 16 points, or one block when
    # shorter; many segments per point make the blocks as small as they get.
    x, p1, v, vdv = random_problem(n + s, n, s)
    out = kernels.segment_repulsion_vectors(x, p1, v, vdv, np.eye(2))
    np.testing.assert_array_equal(out, brute_vectors(x, p1, v, vdv, np.eye(2)))
    ring = star(np.random.default_rng(n), (0, 0), 5, 12, s)
    expected = shapely.contains_xy(shapely.Polygon(ring), x[:, 0], x[:, 1])
    np.testing.assert_array_equal(kernels.point_in_rings(x, ring, []), expected)


def _path_cost(cost: np.ndarray, cells: np.ndarray) -> float:
    rc = np.column_stack(np.unravel_index(cells, cost.shape))
    steps = np.hypot(*np.diff(rc, axis=0).T)
    return float((steps * 0.5 * (cost.flat[cells[:-1]] + cost.flat[cells[1:]])).sum())


def _dijkstra(cost: np.ndarray, start: tuple[int, int], goal: tuple[int, int]) -> float:
    """The plain least cost, by the same step rule, as the oracle."""
    import heapq

    rows, cols = cost.shape
    free = np.isfinite(cost) & (cost > 0)
    best = {start: 0.0}
    queue = [(0.0, start)]
    while queue:
        d, (r, c) = heapq.heappop(queue)
        if (r, c) == goal:
            return d
        if d > best[(r, c)]:
            continue
        for dr in (-1, 0, 1):
            for dc in (-1, 0, 1):
                n = (r + dr, c + dc)
                if (dr, dc) == (0, 0) or not (0 <= n[0] < rows and 0 <= n[1] < cols) or not free[n]:
                    continue
                if dr and dc and not (free[r, c + dc] and free[r + dr, c]):
                    continue
                step = (2**0.5 if dr and dc else 1.0) * 0.5 * (cost[r, c] + cost[n])
                if d + step < best.get(n, np.inf):
                    best[n] = d + step
                    heapq.heappush(queue, (d + step, n))
    return np.inf


@pytest.mark.parametrize("seed", range(6))
def test_grid_path_is_a_least_cost_path(seed) -> None:
    rng = np.random.default_rng(seed)
    cost = 1.0 + 3.0 * rng.random((12, 17))
    cost[rng.random(cost.shape) < 0.3] = [np.inf, np.nan, 0.0, -1.0][seed % 4]
    start, goal = (0, 0), (11, 16)
    cost[start] = cost[goal] = 1.0
    cells = kernels.grid_path(cost, start, goal)
    expected = _dijkstra(cost, start, goal)
    if not np.isfinite(expected):
        assert cells.dtype == np.int64 and cells.shape == (0,)
        return
    rc = np.column_stack(np.unravel_index(cells, cost.shape))
    assert tuple(rc[0]) == start and tuple(rc[-1]) == goal
    assert np.all(np.abs(np.diff(rc, axis=0)).max(1) == 1), "neighbouring cells"
    assert np.all(np.isfinite(cost.flat[cells]) & (cost.flat[cells] > 0))
    assert _path_cost(cost, cells) == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize(
    "cost, start, goal, message",
    [
        (np.ones((3, 3)), (3, 0), (0, 0), "start must be a .row, column. pair"),
        (np.ones((3, 3)), (0, 0), (0.5, 1), "goal must be a .row, column. pair"),
        (np.ones((3, 3)), (0, 0, 0), (1, 1), r"start must have shape \(2,"),
        (np.ones(9), (0, 0), (1, 1), "cost must be two-dimensional"),
        (np.ones((0, 3)), (0, 0), (1, 1), "cost must hold at least one cell"),
    ],
)
def test_grid_path_refuses_bad_arguments(cost, start, goal, message) -> None:
    with pytest.raises(ValueError, match=message):
        kernels.grid_path(cost, start, goal)
