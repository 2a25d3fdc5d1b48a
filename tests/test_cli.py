"""The orvo-field command end to end, on the sample scene, in a temporary folder."""

from __future__ import annotations

import csv
import io
import json
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from importlib import resources
from pathlib import Path

import numpy as np
import pytest

from orvo.field import cli, scene
from orvo.field.evaluation import evaluate_nearest, grid

SAMPLE = resources.files("orvo.field") / "data" / "harbour.geojson"
OPEN_WATER = ("940,740", "715,300")  # from the open sea into the bay between the piers
DEAD_END = ("525,480", "525,60")  # south into the inlet, towards the enclosed lagoon
BEHIND_PIER = ("600,700", "805,250")  # round the island into the cove behind the fuel pier


@pytest.fixture(scope="module")
def harbour_path() -> Path:
    with resources.as_file(SAMPLE) as path:
        yield path


def run(*args: str, cwd: Path, stdin: str | None = None, text: bool = True) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-m", "orvo.field", *args],
        cwd=cwd,
        input=stdin,
        capture_output=True,
        text=text,
        timeout=120,
    )


def png_size(data: bytes) -> tuple[int, int]:
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "PNG signature"
    assert data[12:16] == b"IHDR"
    width, height = struct.unpack(">II", data[16:24])
    return width, height


def test_render_draws_the_sample_scene_with_a_path(tmp_path) -> None:
    proc = run("render", "--size", "480x360", "--plan", ":".join(OPEN_WATER), "-o", "out.png", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "out.png"
    assert "reached" in proc.stderr
    data = (tmp_path / "out.png").read_bytes()
    assert png_size(data) == (480, 360)
    import matplotlib.image

    pixels = matplotlib.image.imread(io.BytesIO(data), format="png")
    assert pixels.shape[:2] == (360, 480)
    assert pixels[..., :3].std() > 0.1, "not blank"
    # The path colour is in the picture.
    green = (pixels[..., 1] > 0.9) & (pixels[..., 0] < 0.4) & (pixels[..., 2] < 0.75)
    assert green.sum() > 50


def test_render_of_a_given_scene_and_extent(harbour_path, tmp_path) -> None:
    proc = run("render", str(harbour_path), "--extent", "400,150,900,500", "--size", "300x200",
               "-o", "part.png", "--title", "bay", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    data = (tmp_path / "part.png").read_bytes()
    assert png_size(data) == (300, 200)


@pytest.mark.parametrize("form", ["csv with header", "csv", "csv with byte order mark", "npy", "stdin"])
def test_eval_csv_equals_the_api(harbour_path, tmp_path, form) -> None:
    rng = np.random.default_rng(7)
    points = np.concatenate([rng.uniform([-50, -50], [1050, 850], size=(300, 2)), [[870.0, 430.0], [5.5, 1e-9]]])
    stdin = None
    if form == "npy":
        np.save(tmp_path / "points.npy", points)
        source = "points.npy"
    else:
        text = "".join(f"{x!r},{y!r}\n" for x, y in points.tolist())
        if form == "csv with header":
            text = "x,y\n" + text + "\n"
        if form == "csv with byte order mark":  # as spreadsheets write it: not a header, the first point
            text = "\ufeff" + text
        if form == "stdin":
            stdin, source = text, "-"
        else:
            (tmp_path / "points.csv").write_text(text)
            source = "points.csv"
    args = ["eval", str(harbour_path), source] + ([] if form == "stdin" else ["-o", "out.csv"])
    proc = run(*args, cwd=tmp_path, stdin=stdin)
    assert proc.returncode == 0, proc.stderr
    text = proc.stdout if form == "stdin" else (tmp_path / "out.csv").read_text()
    rows = list(csv.reader(io.StringIO(text)))
    assert rows[0] == ["x", "y", "value", "grad_x", "grad_y", "member"]
    table = np.array([[float(v) for v in row[:5]] for row in rows[1:]])
    members = np.array([int(row[5]) for row in rows[1:]])
    values, gradients, nearest = evaluate_nearest(scene.load(harbour_path), points)
    np.testing.assert_array_equal(table[:, :2], points)
    np.testing.assert_array_equal(table[:, 2], values)
    np.testing.assert_array_equal(table[:, 3:5], gradients)
    np.testing.assert_array_equal(members, nearest)


def test_eval_progress_stays_off_stdout(harbour_path, tmp_path) -> None:
    proc = run("eval", str(harbour_path), "-", "--progress", cwd=tmp_path, stdin="1,2\n3,4\n")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[0] == "x,y,value,grad_x,grad_y,member"
    assert len(proc.stdout.splitlines()) == 3
    assert proc.stderr.strip(), "the bar is on stderr"


@pytest.mark.parametrize(
    "route, method, status, code",
    [(OPEN_WATER, "grid", "reached", 0), (OPEN_WATER, "field", "reached", 0), (DEAD_END, "field", "stuck", 1),
     (BEHIND_PIER, "grid", "reached", 0), (BEHIND_PIER, "field", "stuck", 1)],
    ids=["open water", "open water, field", "dead end, field", "behind the pier", "behind the pier, field"],
)
def test_plan_reports_its_status_honestly(harbour_path, tmp_path, route, method, status, code) -> None:
    start, goal = route
    proc = run("plan", str(harbour_path), "--start", start, "--goal", goal, "--method", method, "-o", "path.geojson",
               cwd=tmp_path)
    assert proc.returncode == code, proc.stderr
    assert proc.stdout.startswith(f"{status}:") and "clearance" in proc.stdout
    feature = json.loads((tmp_path / "path.geojson").read_text())
    assert feature["type"] == "Feature" and feature["geometry"]["type"] == "LineString"
    coordinates = np.array(feature["geometry"]["coordinates"])
    assert feature["properties"]["status"] == status
    assert coordinates[0].tolist() == [float(v) for v in start.split(",")]
    goal_xy = [float(v) for v in goal.split(",")]
    if status == "reached":
        assert coordinates[-1].tolist() == goal_xy
        assert feature["properties"]["clearance"] > 20.0, "it kept to open water"
    else:
        assert np.hypot(*(coordinates[-1] - goal_xy)) > 100.0
        assert feature["properties"]["max_field"] < 0.9, "it did not cross the land to get there"


def test_plan_to_stdout_keeps_the_summary_on_stderr(harbour_path, tmp_path) -> None:
    proc = run("plan", str(harbour_path), "--start", DEAD_END[0], "--goal", DEAD_END[1], cwd=tmp_path)
    assert proc.returncode == 1
    assert json.loads(proc.stdout)["properties"]["status"] == "no path"
    assert proc.stderr.startswith("orvo-field: no path: start and goal are not connected at any clearance: the goal")


BARE = {"type": "FeatureCollection", "features": [  # no repulsions: degrees, say
    {"type": "Feature", "properties": {}, "geometry": {"type": "Polygon", "coordinates": [[[0, 0], [40, 0], [40, 20], [0, 0]]]}},
    {"type": "Feature", "properties": {}, "geometry": None}]}


@pytest.mark.parametrize(
    "args, code, lines",
    [
        (["plan", "bare.geojson", "--start", "-10,10", "--goal", "50,10"], 0,
         ["warning: skipped 1 feature with a null geometry", "using the scale 0.8 (repulsion 0.64 I)"]),
        (["plan", "bare.geojson", "--start", "-10,10", "--goal", "50,10", "--scale", "3"], 0, ["warning: skipped"]),
        (["plan", "bare.geojson", "--start", "-10,10", "--goal", "50,10", "--strict"], 2,
         ["error: feature 1: the geometry is null"]),
        (["render", "bare.geojson", "--scale", "0.001", "--size", "200x150", "-o", "x.png"], 0,
         ["warning: skipped", "warning: the field is nearly 0 over the whole picture"]),
        (["render", "--compare-field", "-o", "x.png"], 2, ["error: --compare-field needs --plan"]),
    ],
)
def test_scene_scales_and_warnings_are_one_line_each(tmp_path, args, code, lines) -> None:
    (tmp_path / "bare.geojson").write_text(json.dumps(BARE))
    proc = run(*args, cwd=tmp_path)
    assert proc.returncode == code, proc.stderr
    said = [line for line in proc.stderr.splitlines() if any(w in line for w in ("warning:", "error:", "scale"))]
    assert len(said) == len(lines) and all(text in line for text, line in zip(lines, said)), proc.stderr


def test_info_describes_the_members(harbour_path, tmp_path) -> None:
    proc = run("info", str(harbour_path), cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert "members: 14" in out  # the multi-polygon and the buoys split into parts
    assert "bounding box: x 0 .. 1000, y 0 .. 800" in out
    assert "centre: " in out
    collection = scene.load(harbour_path)
    polygon_segments = sum(m._S for m in collection.rgjs if m.RGJType in ("Polygon", "MultiPolygon"))
    line_segments = sum(m.lines_n for m in collection.rgjs if m.RGJType in ("LineString", "MultiLineString"))
    total = next(line for line in out.splitlines() if line.strip().startswith("total")).split()
    assert total[1:] == ["14", "58", str(polygon_segments + line_segments)]
    for name in ("Coast", "Mooring buoys", "Beacon"):
        assert name in out


BAD_SCENES = {
    "missing.geojson": None,
    "broken.geojson": '{"type": "FeatureCollection", "features": [',
    "unknown.geojson": json.dumps({"type": "FeatureCollection", "features": [
        {"type": "Feature", "properties": {}, "geometry": {"type": "Point", "coordinates": [0, 0]}},
        {"type": "Feature", "properties": {}, "geometry": {"type": "Circle", "coordinates": [0, 0]}}]}),
    "matrix.geojson": json.dumps({"type": "Feature", "properties": {}, "geometry": {
        "type": "Point", "coordinates": [0, 0], "repulsion": [[1, 0], [0, -2]]}}),
    "deep.geojson": '{"type": "Point", "coordinates": ' + "[" * 10**5 + "]" * 10**5 + "}",
    "huge.geojson": '{"type": "Point", "coordinates": [1' + "0" * 400 + ", 0]}",
    "typed.geojson": json.dumps({"type": "Feature", "properties": {}, "geometry": {"type": ["Point"], "coordinates": [0, 0]}}),
}


def _npy_header_only(shape: tuple[int, ...]) -> bytes:
    """A .npy file whose header claims ``shape`` and that holds no data."""
    out = io.BytesIO()
    np.lib.format.write_array_header_1_0(out, {"descr": "<f8", "fortran_order": False, "shape": shape})
    return out.getvalue()


def _npz() -> bytes:
    out = io.BytesIO()
    np.savez(out, points=np.zeros((3, 2)))
    return out.getvalue()


POINT_FILES = {
    "semicolon.csv": b"1;2\n3,4\n",
    "hex.csv": b"0x10,2\n3,4\n",
    "three.csv": b"1,2,3\n3,4\n",
    "empty.npy": b"",
    "archive.npy": _npz(),
    "huge.npy": _npy_header_only((10**11, 2)),
}


@pytest.mark.parametrize(
    "args, message",
    [
        (["info", "missing.geojson"], "No such file or directory"),
        (["info", "broken.geojson"], "not valid JSON"),
        (["render", "unknown.geojson", "-o", "x.png"], "feature 1: unknown geometry type 'Circle'"),
        (["plan", "matrix.geojson", "--start", "0,0", "--goal", "1,1"], "positive-definite"),
        (["plan", "SAMPLE", "--start", "0,zero", "--goal", "1,1"], "argument --start"),
        (["render", "--size", "big", "-o", "x.png"], "WIDTHxHEIGHT"),
        (["render", "--extent", "5,0,1,1", "-o", "x.png"], "xmin < xmax"),
        (["eval", "SAMPLE", "bad.csv"], "'bad.csv' line 3: expected two numbers"),
        (["eval", "SAMPLE", "bad.npy"], "(N, 2) array"),
        (["eval", "SAMPLE", "nothing.csv"], "No such file or directory"),
        (["info", "deep.geojson"], "is not valid JSON: it is nested too deeply"),
        (["eval", "huge.geojson", "bad.csv"], "a position must hold finite numbers"),
        (["plan", "typed.geojson", "--start", "0,0", "--goal", "1,1"], "feature 0: unknown geometry type ['Point']"),
        (["eval", "SAMPLE", "semicolon.csv"], "'semicolon.csv' line 1: expected two numbers x,y, got '1;2'"),
        (["eval", "SAMPLE", "hex.csv"], "'hex.csv' line 1: expected two numbers"),
        (["eval", "SAMPLE", "three.csv"], "'three.csv' line 1: expected two numbers"),
        (["eval", "SAMPLE", "empty.npy"], "'empty.npy' is not a .npy file"),
        (["eval", "SAMPLE", "archive.npy"], "'archive.npy' is a zip archive"),
        (["eval", "SAMPLE", "huge.npy"], "'huge.npy' is shorter than its header says"),
        (["render", "--extent=-1e308,0,1e308,1", "-o", "x.png"], "its width or height overflows"),
        (["render", "--title", "$\\frac$", "-o", "x.png"], "the title is not valid math text"),
        (["plan", "SAMPLE", "--start", "1e308,0", "--goal=-1e308,0"], "too far apart"),
        (["frobnicate"], "invalid choice"),
        (["plan", "SAMPLE", "--start", "--goal", "1,1"], "argument --start: expected one argument"),
        (["plan", "SAMPLE", "--goal", "1,1", "--start"], "argument --start: expected one argument"),
        (["plan", "SAMPLE", "--st", "-1,2", "--goal", "1,1"], "ambiguous option: --st=-1,2"),
        (["render", "-o", "x.jpg"], "unknown picture format '.jpg': the file name must end in .png, .svg or .pdf"),
        (["render", "--plan", "-5,3:-4", "-o", "x.png"], "argument --plan"),
        (["render", "--extent=0,0,1.7e308,1", "-o", "x.png"], "its coordinates must lie within +-1e+307"),
        ([], "required"),
    ],
)
def test_user_errors_exit_2_with_one_line(harbour_path, tmp_path, args, message) -> None:
    for name, text in BAD_SCENES.items():
        if text is not None:
            (tmp_path / name).write_text(text)
    (tmp_path / "bad.csv").write_text("x,y\n1,2\n3,four\n")
    np.save(tmp_path / "bad.npy", np.zeros((3, 3)))
    for name, data in POINT_FILES.items():
        (tmp_path / name).write_bytes(data)
    args = [str(harbour_path) if a == "SAMPLE" else a for a in args]
    proc = run(*args, cwd=tmp_path)
    assert proc.returncode == 2
    assert proc.stdout == ""
    lines = proc.stderr.splitlines()
    assert len(lines) == 1, proc.stderr
    assert lines[0].startswith("orvo-field: error: ")
    assert message in lines[0]
    assert not (tmp_path / "x.png").exists()


@pytest.mark.parametrize("extent", ["0,0,1,1e9", "0,0,1e9,1"], ids=["tall", "wide"])
def test_render_work_is_bounded_for_any_aspect(tmp_path, extent) -> None:
    proc = run("render", "--extent", extent, "--size", "200x150", "-o", "out.png", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert png_size((tmp_path / "out.png").read_bytes()) == (200, 150)


# Each writes more than the 1 KiB the child may write per file.
WRITERS = {
    "eval": ["eval", "SAMPLE", "points.csv", "-o", "out"],
    "render": ["render", "--size", "200x150", "-o", "out"],
    "plan": ["plan", "SAMPLE", "--start", OPEN_WATER[0], "--goal", OPEN_WATER[1], "--method", "field", "-o", "out"],
}
FULL_DISK = """
import resource, signal, sys
from orvo.field import cli
import orvo.field.render  # matplotlib is loaded before the limit
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024))
sys.exit(cli.main(sys.argv[1:]))
"""


@pytest.mark.parametrize("command", list(WRITERS))
def test_a_failed_write_keeps_the_old_output(harbour_path, tmp_path, command) -> None:
    (tmp_path / "points.csv").write_text("".join(f"{i},{i / 7!r}\n" for i in range(100)))
    (tmp_path / "out").write_text("old\n")
    args = [str(harbour_path) if a == "SAMPLE" else a for a in WRITERS[command]]
    proc = subprocess.run([sys.executable, "-c", FULL_DISK, *args], cwd=tmp_path, capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 2, proc.stderr
    assert proc.stderr.splitlines() == ["orvo-field: error: cannot write 'out': File too large"]
    assert (tmp_path / "out").read_text() == "old\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out", "points.csv"], "no temporary left"


def test_a_point_without_a_nearest_member_gets_an_empty_field() -> None:
    out = io.StringIO()
    points = np.array([[0.0, 1.0], [np.nan, 2.0]])
    cli._write_csv(out, points, np.array([0.5, np.nan]), np.zeros((2, 2)), np.array([3, -1]))
    assert out.getvalue().splitlines()[1:] == ["0.0,1.0,0.5,0.0,0.0,3", "nan,2.0,nan,0.0,0.0,"]


@pytest.mark.parametrize(
    "args",
    [
        ["plan", "SAMPLE", "--start", "-40,40", "--goal", "-1,-2"],
        ["plan", "SAMPLE", "--start=-40,40", "--goal=-1,-2"],
        ["plan", "SAMPLE", "--sta", "-40,40", "--go", "-1,-2"],
        ["render", "--extent", "-180,-90,180,90", "--plan", "-5,3:4,-2", "--size", "200x150", "-o", "x.png"],
    ],
    ids=["separate", "joined", "abbreviated", "render"],
)
def test_negative_numbers_are_values(harbour_path, tmp_path, args) -> None:
    proc = run(*[str(harbour_path) if a == "SAMPLE" else a for a in args], cwd=tmp_path)
    assert proc.returncode in (0, 1), proc.stderr  # planned, whether or not the goal was reached
    if args[0] == "plan":
        assert json.loads(proc.stdout)["geometry"]["coordinates"][0] == [-40.0, 40.0]


def _svg_root(data: bytes) -> str:
    return ElementTree.fromstring(data).tag


@pytest.mark.parametrize(
    "output, check",
    [
        ("out.svg", lambda data: _svg_root(data) == "{http://www.w3.org/2000/svg}svg"),
        ("OUT.PDF", lambda data: data.startswith(b"%PDF")),
        ("out.png", lambda data: png_size(data) == (200, 150)),
        ("-", lambda data: png_size(data) == (200, 150)),
    ],
)
def test_render_writes_the_format_of_its_output(tmp_path, output, check) -> None:
    proc = run("render", "--size", "200x150", "--title", "$x$ bay", "-o", output, cwd=tmp_path, text=False)
    assert proc.returncode == 0, proc.stderr
    assert check(proc.stdout if output == "-" else (tmp_path / output).read_bytes())


NAMED = [
    {"name": "Quay", "NAME": "no", "label": "one"},
    {"NAME": "Pier", "Name": "no"},
    {"Name": "Dock", "vesselName": "no"},
    {"id": 3, "vesselName": "Tug", "port_name": "no", "label": "two"},
    {"name": None, "port_name": "Basin"},
    {"label": ["three"], "Names": "no", "name_": "no"},
]


@pytest.mark.parametrize(
    "args, labels",
    [
        ([], ["Quay", "Pier", "Dock", "Tug", "Basin", ""]),
        (["--name-field", "label"], ["one", "", "", "two", "", "['three']"]),
    ],
)
def test_info_names_members_from_common_properties(tmp_path, args, labels) -> None:
    features = [{"type": "Feature", "properties": properties, "geometry": {"type": "Point", "coordinates": [i, 0]}}
                for i, properties in enumerate(NAMED)]
    (tmp_path / "named.geojson").write_text(json.dumps({"type": "FeatureCollection", "features": features}))
    proc = run("info", "named.geojson", *args, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    rows = proc.stdout.split("\nmembers:\n")[1].splitlines()
    assert [row.split(" segments  ")[1] for row in rows] == labels


def test_the_default_extent_takes_in_the_path_ends(monkeypatch) -> None:
    from orvo.field import render
    from orvo.field.plan import plan_path

    start, goal = (-300.0, 900.0), (715.0, 300.0)
    collection = scene.load(SAMPLE)
    path = plan_path(collection, start, goal, max_iter=5)
    boxes = []
    monkeypatch.setattr(render, "grid", lambda box, shape: boxes.append(box) or grid(box, shape))
    render.render(collection, io.BytesIO(), size=(200, 150), path=path)
    # The box around the scene (0..1000 x 0..800) and the start, grown by 6% of its size.
    assert boxes[0] == pytest.approx((-378.0, -54.0, 1078.0, 954.0))


@pytest.mark.parametrize(
    "args",
    [["info"], ["plan", "--start", OPEN_WATER[0], "--goal", OPEN_WATER[1]], ["eval", "-"], ["costmap", "-o", "m.npy"]],
)
def test_every_command_takes_the_sample_without_a_scene(tmp_path, args) -> None:
    proc = run(*args, cwd=tmp_path, stdin="10,10\n")
    assert proc.returncode == 0, proc.stderr
