"""Arbitrary scene files, points files and arguments give a result or one line of error, never a traceback.

Random JSON documents (scene-shaped and not, with wrong types at every level, huge and non-finite numbers,
deep nesting, broken text) go through scene.load, which must build a collection or raise a one-line
ValueError, and through the orvo-field commands run in this process, which must return 0, 1 (a plan that
stopped short) or 2 with exactly one line on stderr.
HYPOTHESIS_PROFILE=fuzz runs a long randomised search instead of the short deterministic one.
"""

import contextlib
import io
import json
import os
import tempfile
from importlib import resources

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from orvo.field import cli, scene
from orvo.field.geometry import GeometryCollectionRGJ

# Drawing a picture takes a good part of a second: render gets a tenth of the examples.
_FEW = settings(max_examples=max(10, settings.default.max_examples // 10))

SAMPLE = resources.files("orvo.field") / "data" / "harbour.geojson"
TYPES = ["Point", "MultiPoint", "LineString", "MultiLineString", "Polygon", "MultiPolygon"]
DEPTH = {"Point": 0, "MultiPoint": 1, "LineString": 1, "MultiLineString": 2, "Polygon": 2, "MultiPolygon": 3}

# Markers replaced in the JSON text by what json.dumps cannot write: deep nesting and integers longer
# than int() converts.
DEEP, LONG = "\x00deep", "\x00long"
_SPLICES = {DEEP: lambda n: "[" * n + "]" * n, LONG: lambda n: "1" + "0" * n}

# -- documents --------------------------------------------------------------------------------

numbers = st.one_of(
    st.integers(-50, 50),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([10**400, -(10**400), 1e308, -1e308, 5e-324, 1e-170, 0.0, -0.0, 1e-310]),
)
scalars = st.one_of(st.none(), st.booleans(), numbers, st.text(max_size=6), st.sampled_from([DEEP, LONG]))
junk = st.recursive(scalars, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=4), inner,
                    max_size=3), max_leaves=8)


def sometimes(strategy, wrong=junk):
    """Mostly ``strategy``, one time in eight a value of any other shape."""
    # Hypothesis favours the ends of a range: the wrong shape sits in the middle.
    return st.integers(0, 7).flatmap(lambda k: wrong if k == 4 else strategy)


position = sometimes(st.lists(sometimes(numbers, scalars), min_size=2, max_size=3))


def coordinates(depth: int):
    """Nested lists of positions, ``depth`` levels above a position; a few too short (lines, rings)."""
    if depth == 0:
        return position
    return sometimes(st.lists(coordinates(depth - 1), min_size=1, max_size=5))


repulsion = sometimes(st.lists(st.lists(sometimes(numbers, scalars), min_size=2, max_size=2), min_size=2, max_size=2))


@st.composite
def geometry(draw):
    kind = draw(sometimes(st.sampled_from(TYPES), junk))
    body = {"type": kind, "coordinates": draw(coordinates(DEPTH.get(kind, 0)) if isinstance(kind, str) else junk)}
    if draw(st.booleans()):
        body["repulsion"] = draw(repulsion)
    if draw(st.integers(0, 9)) == 0:
        body[draw(st.sampled_from(["optional_dim", "properties", "bbox", "extra"]))] = draw(junk)
    return body


collection = st.builds(lambda parts: {"type": "GeometryCollection", "geometries": parts},
                       sometimes(st.lists(sometimes(geometry()), max_size=3)))
feature = st.fixed_dictionaries(
    {"type": sometimes(st.just("Feature")), "geometry": sometimes(geometry() | collection)},
    optional={"properties": sometimes(st.none() | st.dictionaries(st.sampled_from(["name", "depth"]), junk))},
)
documents = st.one_of(
    st.fixed_dictionaries({"type": sometimes(st.just("FeatureCollection")), "features": sometimes(st.lists(
        sometimes(feature), max_size=4))}, optional={"properties": junk}),
    feature,
    geometry(),
    collection,
    junk,
)


@st.composite
def scene_texts(draw) -> str:
    """The JSON text of a random document, spliced with deep nesting and long integers, sometimes broken."""
    text = json.dumps(draw(documents))  # NaN and Infinity are written as the JSON extensions Python reads
    for marker, make in _SPLICES.items():
        quoted = json.dumps(marker)
        while quoted in text:
            size = draw(st.sampled_from([3, 400, 5000, 10**5]))
            text = text.replace(quoted, make(size), 1)
    cut = draw(st.integers(0, 9))
    if cut == 4 and text:  # truncated
        text = text[: draw(st.integers(len(text) // 2, len(text) - 1))]
    elif cut == 5 and text:  # one character replaced
        at = draw(st.integers(0, len(text) - 1))
        text = text[:at] + draw(st.sampled_from(list('[]{},:"\\0-e.x'))) + text[at + 1:]
    return text


# -- running ----------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def folder():
    with tempfile.TemporaryDirectory() as path:
        yield path


def command(*args: str) -> tuple[int, str, str]:
    """(status, stdout, stderr) of orvo-field run in this process."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli.main(list(args))
    return status, out.getvalue(), err.getvalue()


def assert_clean(status: int, err: str, allowed: tuple[int, ...] = (0, 2)) -> None:
    assert status in allowed, err
    if status == 2:
        lines = err.splitlines()
        assert len(lines) == 1 and lines[0].startswith("orvo-field: error: "), err


def loads(text: str) -> bool:
    """True when scene.load builds the scene, False when it says why not in one line."""
    try:
        result = scene.load(io.StringIO(text))
    except ValueError as error:
        message = str(error)
        assert message and "\n" not in message, message
        return False
    assert isinstance(result, GeometryCollectionRGJ) and len(result.rgjs) >= 1
    return True


# -- targets ----------------------------------------------------------------------------------

@given(scene_texts())
def test_scene_load_builds_or_explains_in_one_line(text) -> None:
    loads(text)


@given(scene_texts())
def test_commands_on_random_scenes_exit_cleanly(folder, text) -> None:
    path = os.path.join(folder, "scene.geojson")
    points = os.path.join(folder, "points.csv")
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(text)
    with open(points, "w", encoding="utf-8") as handle:
        handle.write("x,y\n0,0\n-5,3.5\n1e300,1e300\n")
    valid = loads(text)

    status, out, err = command("info", path)
    assert_clean(status, err)
    assert (status == 0) == valid, "info fails exactly when the scene does not load"
    status, out, err = command("eval", path, points)
    assert_clean(status, err)
    if status == 0:
        assert len(out.splitlines()) == 4
    status, out, err = command("plan", path, "--start=0,0", "--goal=3,4", "--max-iter=25")
    assert_clean(status, err, (0, 1, 2))
    if status != 2:
        json.loads(out)  # valid JSON: no NaN or Infinity


numbers_text = st.one_of(st.sampled_from(["0", "1", "-1", "1e308", "-1e308", "1e-320", "nan", "inf", "", "x"]),
                         st.floats().map(repr), st.integers().map(str))
extent_text = st.lists(numbers_text, min_size=3, max_size=5).map(",".join)
title_text = st.text(alphabet=st.sampled_from(list("ab $\\^_{}frac")), max_size=12)


@_FEW
@given(st.none() | scene_texts(), st.none() | extent_text, st.none() | title_text,
       st.sampled_from(["100x100", "120x300"]))
def test_render_of_random_scenes_and_arguments_exits_cleanly(folder, text, extent, title, size) -> None:
    path = os.path.join(folder, "scene.geojson")
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(SAMPLE.read_text(encoding="utf-8") if text is None else text)
    args = ["render", path, "-o", os.path.join(folder, "out.png"), f"--size={size}"]
    args += [] if extent is None else [f"--extent={extent}"]
    args += [] if title is None else [f"--title={title}"]
    status, _, err = command(*args)
    assert_clean(status, err)


@st.composite
def npy_files(draw) -> bytes:
    """A .npy header with any shape, dtype and order, and a payload of any length."""
    header = io.BytesIO()
    shape = tuple(draw(st.lists(st.integers(0, 10**12) | st.integers(0, 4), max_size=3)))
    descr = draw(st.sampled_from(["<f8", ">f4", "<i2", "|b1", "<c16", "|O", "<U3", "<f2", "|u1"]))
    np.lib.format.write_array_header_1_0(header, {"descr": descr, "fortran_order": draw(st.booleans()),
                                                   "shape": shape})
    data = header.getvalue()
    if draw(st.integers(0, 4)) == 0:  # a damaged header
        at = draw(st.integers(0, len(data) - 1))
        data = data[:at] + draw(st.binary(min_size=1, max_size=3)) + data[at + 1:]
    return data + draw(st.binary(max_size=64))


csv_texts = st.lists(st.lists(numbers_text | st.text(max_size=4), max_size=3).map(",".join), max_size=5).map("\n".join)


@given(st.one_of(npy_files().map(lambda b: ("npy", b)), csv_texts.map(lambda t: ("csv", t.encode("utf-8"))),
                 st.binary(max_size=40).map(lambda b: ("npy", b)), st.binary(max_size=40).map(lambda b: ("csv", b))))
def test_eval_of_random_points_files_exits_cleanly(folder, named) -> None:
    suffix, data = named
    points = os.path.join(folder, f"points.{suffix}")
    with open(points, "wb") as handle:
        handle.write(data)
    with resources.as_file(SAMPLE) as sample:
        status, out, err = command("eval", str(sample), points)
    assert_clean(status, err)
