"""The ``orvo-field`` command: render, evaluate, plan and describe scenes.

::

    orvo-field render [SCENE] [-o field.png|.svg|.pdf] [--size 900x700]
                      [--extent xmin,ymin,xmax,ymax] [--plan X0,Y0:X1,Y1 [--compare-field]]
    orvo-field eval SCENE POINTS [-o OUT]
    orvo-field plan SCENE --start X,Y --goal X,Y [--method grid|field] [--clearance C] [-o path.geojson]
    orvo-field costmap SCENE -o OUT.npy|.tif|.yaml [--extent ...] [--size COLSxROWS | --resolution R]
    orvo-field info SCENE [--name-field FIELD]

Every command takes ``--scale D``, ``--strict`` and ``--keep-multi`` for how
the scene is read (see :func:`orvo.field.scene.load`); ``render`` and
``plan`` choose a scale from the scene's extent, and say so, when no
feature carries a repulsion.

SCENE is a GeoJSON file (see :mod:`orvo.field.scene`); without one, every
command uses the sample harbour shipped with the package
(:func:`orvo.field.sample_path`); ``render`` draws it in the format the
``-o`` file's extension names.  Numbers may be negative in every form:
``--start -40,40`` as well as ``--start=-40,40``.  Results go to
stdout or the ``-o`` file, progress bars and messages to stderr.  A user
error (a missing or malformed file, a bad number) prints one line to stderr
and exits with status 2.  ``plan`` exits with 0 when the goal was reached by
a path clear of every obstacle and 1 otherwise ("no path", or for the
field method "stuck", "iteration limit" or "collision").
An ``-o`` file is replaced only once its new content is complete on disk:
a failed write leaves the previous file as it was.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import io
import json
import math
import os
import re
import reprlib
import sys
import warnings
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Any, NoReturn

import numpy as np
from numpy.typing import NDArray

from orvo.field import __version__, sample_path, scene
from orvo.field._display import shape_counts
from orvo.field.evaluation import evaluate_nearest
from orvo.field.geometry import GeometryCollectionRGJ
from orvo.field.plan import PlannedPath, plan_path

PROG = "orvo-field"
SAMPLE = "harbour.geojson"


class UserError(Exception):
    """A problem with the command line or the user's files: one line, status 2."""


# Options whose value is a list of numbers; its first number may be negative.
NUMBER_LIST_OPTIONS = ("--start", "--goal", "--extent", "--plan")
_NEGATIVE = re.compile(r"-(\.?\d|inf|nan)", re.IGNORECASE)


def _join_negative_values(args: Sequence[str]) -> list[str]:
    """``--start -40,40`` as ``--start=-40,40``, which argparse reads as an option and its value.

    argparse takes a word starting with "-" that is not a plain number for an
    option, so it would find no value for ``--start``.  An abbreviation of
    one of :data:`NUMBER_LIST_OPTIONS` is joined too; argparse then reports
    it if it is ambiguous.  Nothing after ``--`` changes.
    """
    out: list[str] = []
    index = 0
    while index < len(args):
        word = args[index]
        if word == "--":
            out.extend(args[index:])
            break
        if (
            index + 1 < len(args)
            and len(word) > 2
            and word.startswith("--")
            and "=" not in word
            and any(option.startswith(word) for option in NUMBER_LIST_OPTIONS)
            and _NEGATIVE.match(args[index + 1])
        ):
            out.append(f"{word}={args[index + 1]}")
            index += 2
            continue
        out.append(word)
        index += 1
    return out


class _Parser(argparse.ArgumentParser):
    """argparse with one-line errors (no usage block), status 2 and negative numbers in number lists."""

    def parse_known_args(  # type: ignore[override]
        self, args: Sequence[str] | None = None, namespace: argparse.Namespace | None = None
    ) -> tuple[argparse.Namespace, list[str]]:
        words = sys.argv[1:] if args is None else list(args)
        return super().parse_known_args(_join_negative_values(words), namespace)

    def error(self, message: str) -> NoReturn:
        raise UserError(f"{message} (see '{self.prog} --help')")


# --------------------------------------------------------------------------
# Arguments


def _numbers(text: str, count: int, what: str) -> tuple[float, ...]:
    parts = text.split(",")
    if len(parts) != count:
        raise argparse.ArgumentTypeError(f"{what} must be {count} comma-separated numbers, got {text!r}")
    try:
        values = tuple(float(part) for part in parts)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{what} must be {count} comma-separated numbers, got {text!r}") from None
    if not all(math.isfinite(v) for v in values):
        raise argparse.ArgumentTypeError(f"{what} must be finite numbers, got {text!r}")
    return values


def _point(text: str) -> tuple[float, float]:
    x, y = _numbers(text, 2, "a point X,Y")
    return x, y


def _extent(text: str) -> tuple[float, float, float, float]:
    xmin, ymin, xmax, ymax = _numbers(text, 4, "the extent xmin,ymin,xmax,ymax")
    if not (xmax > xmin and ymax > ymin):
        raise argparse.ArgumentTypeError(f"the extent needs xmin < xmax and ymin < ymax, got {text!r}")
    return xmin, ymin, xmax, ymax


def _size(text: str) -> tuple[int, int]:
    try:
        width, height = (int(part) for part in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"the size must be WIDTHxHEIGHT in pixels, got {text!r}") from None
    if not (100 <= width <= 10000 and 100 <= height <= 10000):
        raise argparse.ArgumentTypeError(f"the size must be between 100 and 10000 pixels a side, got {text!r}")
    return width, height


def _raster_size(text: str) -> tuple[int, int]:
    try:
        cols, rows = (int(part) for part in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"the size must be COLSxROWS in pixels, got {text!r}") from None
    if cols < 1 or rows < 1:
        raise argparse.ArgumentTypeError(f"the size must be at least 1x1 pixels, got {text!r}")
    return cols, rows


def _route(text: str) -> tuple[tuple[float, float], tuple[float, float]]:
    parts = text.split(":")
    if len(parts) != 2:
        raise argparse.ArgumentTypeError(f"the route must be X0,Y0:X1,Y1, got {text!r}")
    return _point(parts[0]), _point(parts[1])


def _float_at_least(lowest: float, *, strict: bool) -> Callable[[str], float]:
    """An argparse type: a finite number above ``lowest`` (or equal to it unless ``strict``)."""
    kind = "positive" if strict else "non-negative"

    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
        if not (math.isfinite(value) and (value > lowest if strict else value >= lowest)):
            raise argparse.ArgumentTypeError(f"expected a {kind} number, got {text!r}")
        return value

    return parse


_positive_float = _float_at_least(0.0, strict=True)
_non_negative_float = _float_at_least(0.0, strict=False)


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text!r}")
    return value


def _add_planner_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("planner")
    group.add_argument(
        "--method",
        choices=("grid", "field"),
        default="grid",
        help="grid: a search around the obstacles, then smoothing (default); field: the greedy potential-field planner",
    )
    group.add_argument(
        "--clearance", type=_non_negative_float, default=0.0, help="grid: least distance to keep from obstacles (default 0)"
    )
    group.add_argument("--cell", type=_positive_float, help="grid: cell size (default: chosen from the scene, refined)")
    group.add_argument(
        "--weight", type=_non_negative_float, default=4.0, help="grid: how much the field value adds to a cell's cost (default 4)"
    )
    group.add_argument("--step", type=_positive_float, help="field: step length in scene units (default: from the scales)")
    group.add_argument("--gain", type=_non_negative_float, help="field: weight of the repulsion against the unit attraction")
    group.add_argument("--radius", type=_positive_float, help="field: stop radius around the goal")
    group.add_argument("--max-iter", type=_positive_int, default=5000, help="field: step cap (default 5000)")


def _add_scene_options(parser: argparse.ArgumentParser, *, auto_scale: bool) -> None:
    group = parser.add_argument_group("scene")
    default = "default: 1/50 of the scene's extent when no feature carries a repulsion" if auto_scale else "default: identity"
    group.add_argument(
        "--scale", type=_positive_float, metavar="D", help=f"repulsion D^2 I for features without their own ({default})"
    )
    group.add_argument("--strict", action="store_true", help="refuse features with a null geometry instead of skipping them")
    group.add_argument(
        "--keep-multi",
        action="store_true",
        help="keep MultiPolygon and MultiPoint features whole (default: one member per part)",
    )
    parser.set_defaults(auto_scale=auto_scale)


def _add_progress_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="progress bar on stderr (default: for long work when stderr is a terminal)",
    )


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of ``orvo-field``."""
    parser = _Parser(prog=PROG, description="Repulsion fields around GeoJSON scenes: pictures, values, paths.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)

    render = commands.add_parser("render", help="draw the field of a scene as a PNG, SVG or PDF picture")
    render.add_argument("scene", nargs="?", metavar="SCENE", help="GeoJSON scene (default: the sample harbour)")
    render.add_argument(
        "-o",
        "--output",
        default="field.png",
        help="picture to write, .png, .svg or .pdf by its extension, or - for a PNG on stdout (default field.png)",
    )
    render.add_argument("--size", type=_size, default=(900, 700), help="WIDTHxHEIGHT in pixels (default 900x700)")
    render.add_argument(
        "--extent",
        type=_extent,
        help="xmin,ymin,xmax,ymax (default: the box around the scene and the planned path's ends, with a margin)",
    )
    render.add_argument("--plan", type=_route, metavar="X0,Y0:X1,Y1", help="plan a path and draw it")
    render.add_argument("--title", help="title above the picture")
    render.add_argument(
        "--compare-field", action="store_true", help="with --plan: also plan with the field method and draw both paths"
    )
    _add_planner_options(render)
    _add_scene_options(render, auto_scale=True)
    _add_progress_option(render)
    render.set_defaults(run=_render)

    evaluate = commands.add_parser("eval", help="field values and gradients at points, as CSV")
    evaluate.add_argument("scene", nargs="?", metavar="SCENE", help="GeoJSON scene (default: the sample harbour)")
    evaluate.add_argument("points", metavar="POINTS", help="CSV of x,y (header optional), .npy (N, 2) array, or - for stdin")
    evaluate.add_argument("-o", "--output", help="CSV file to write (default stdout)")
    _add_scene_options(evaluate, auto_scale=False)
    _add_progress_option(evaluate)
    evaluate.set_defaults(run=_eval)

    plan = commands.add_parser("plan", help="plan a path around the obstacles of a scene")
    plan.add_argument("scene", nargs="?", metavar="SCENE", help="GeoJSON scene (default: the sample harbour)")
    plan.add_argument("--start", type=_point, required=True, metavar="X,Y", help="position the path starts from")
    plan.add_argument("--goal", type=_point, required=True, metavar="X,Y", help="position the path heads for")
    plan.add_argument("-o", "--output", help="GeoJSON file for the path Feature (default stdout)")
    _add_planner_options(plan)
    _add_scene_options(plan, auto_scale=True)
    plan.set_defaults(run=_plan)

    costmap = commands.add_parser("costmap", help="the field value on a raster: .npy, GeoTIFF or a map server's YAML")
    costmap.add_argument("scene", nargs="?", metavar="SCENE", help="GeoJSON scene (default: the sample harbour)")
    costmap.add_argument("-o", "--output", required=True, help="file to write: .npy, .tif/.tiff or .yaml (with a .pgm)")
    costmap.add_argument("--extent", type=_extent, help="outer edges xmin,ymin,xmax,ymax (default: the scene's box + 5%%)")
    sizes = costmap.add_mutually_exclusive_group()
    sizes.add_argument("--size", type=_raster_size, metavar="COLSxROWS", help="pixels (default: 1000 along the longer side)")
    sizes.add_argument("--resolution", type=_positive_float, metavar="R", help="pixel size; the extent grows to fit")
    costmap.add_argument("--gradient", action="store_true", help="GeoTIFF: add the gradient as two more bands")
    costmap.add_argument("--occupied-thresh", type=_non_negative_float, default=0.65, help="YAML: occupied above (0.65)")
    costmap.add_argument("--free-thresh", type=_non_negative_float, default=0.25, help="YAML: free below (0.25)")
    costmap.add_argument("--mode", choices=("trinary", "scale", "raw"), default="scale", help="YAML: map mode (scale)")
    _add_scene_options(costmap, auto_scale=True)
    _add_progress_option(costmap)
    costmap.set_defaults(run=_costmap)

    info = commands.add_parser("info", help="members, vertex and segment counts, bounding box, centre")
    info.add_argument("scene", nargs="?", metavar="SCENE", help="GeoJSON scene (default: the sample harbour)")
    info.add_argument(
        "--name-field",
        metavar="FIELD",
        help="property that names a member (default: name, NAME, Name, then the first ending in Name or _name)",
    )
    _add_scene_options(info, auto_scale=False)
    info.set_defaults(run=_info)
    return parser


# --------------------------------------------------------------------------
# Commands


def _load_scene(name: str | None, args: argparse.Namespace) -> tuple[GeometryCollectionRGJ, str]:
    """The scene named on the command line (the sample without one), its warnings as stderr lines."""
    scale = args.scale if args.scale is not None else ("auto" if args.auto_scale else None)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", scene.SceneWarning)
        try:
            if name is None:
                loaded, label = _read_scene(sample_path(), scale, args), SAMPLE
            else:
                loaded, label = _read_scene(name, scale, args), os.path.basename(name)
        except ValueError as error:
            raise UserError(str(error)) from None
    for warning in caught:
        _say(f"warning: {warning.message}")
    if loaded.scale_chosen:
        _say(
            f"no feature carries a repulsion: using the scale {loaded.scale:g} (repulsion {loaded.scale**2:g} I), "
            "1/50 of the scene's extent; choose one with --scale D"
        )
    return loaded.collection, label


def _read_scene(source: Any, scale: float | str | None, args: argparse.Namespace) -> scene.Scene:
    return scene.read(source, scale=scale, split_multi=not args.keep_multi, strict=args.strict)


def _plan_route(
    collection: GeometryCollectionRGJ,
    start: tuple[float, float],
    goal: tuple[float, float],
    args: argparse.Namespace,
    method: str | None = None,
) -> PlannedPath:
    try:
        return plan_path(
            collection, start, goal, method=method or args.method, clearance=args.clearance, cell=args.cell,
            weight=args.weight, step=args.step, gain=args.gain, radius=args.radius, max_iter=args.max_iter,
        )
    except ValueError as error:
        raise UserError(str(error)) from None


def _render(args: argparse.Namespace) -> int:
    collection, name = _load_scene(args.scene, args)
    try:
        from orvo.field.render import FlatFieldWarning, picture_format, render
    except ImportError as error:
        raise UserError(f"render needs matplotlib ({error}); install it with: pip install 'orvo-field[cli]'") from None
    try:
        # Standard output has no name to tell a format by: it gets a PNG.
        kind = "png" if args.output == "-" else picture_format(args.output)
    except ValueError as error:
        raise UserError(str(error)) from None
    paths: list[PlannedPath] = []
    if args.plan is not None:
        start, goal = args.plan
        paths.append(_plan_route(collection, start, goal, args))
        if args.compare_field and args.method != "field":
            paths.append(_plan_route(collection, start, goal, args, method="field"))
    elif args.compare_field:
        raise UserError("--compare-field needs --plan")
    title = args.title
    if title is None and "name" not in collection.properties:
        # A file name is drawn as it is: its dollar signs must not start math text.
        title = f"{name}: field value and repulsion direction".replace("$", r"\$")
    try:
        with _output(args.output, binary=True) as handle, warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", FlatFieldWarning)
            render(
                collection,
                handle,
                size=args.size,
                extent=args.extent,
                path=paths or None,
                title=title,
                progress=_progress(args),
                format=kind,
            )
    except ValueError as error:
        raise UserError(str(error)) from None
    for warning in caught:
        _say(f"warning: {warning.message}")
    for path in paths:
        _say(f"{path.method} path {path.summary()}")
    if args.output != "-":
        print(args.output)
    return 0


def _eval(args: argparse.Namespace) -> int:
    collection, _ = _load_scene(args.scene, args)
    points = _read_points(args.points)
    values, gradients, nearest = evaluate_nearest(collection, points, progress=_progress(args))
    with _output(args.output, binary=False) as handle:
        _write_csv(handle, points, values, gradients, nearest)
    return 0


def _plan(args: argparse.Namespace) -> int:
    collection, _ = _load_scene(args.scene, args)
    path = _plan_route(collection, args.start, args.goal, args)
    try:
        text = json.dumps(path.to_feature(), indent=1, allow_nan=False)
    except ValueError:
        raise UserError("the path holds numbers JSON cannot represent (the scene's field overflows)") from None
    with _output(args.output, binary=False) as handle:
        handle.write(text + "\n")
    summary = path.summary()
    if path.status != "no path":
        summary += f", largest field value on the way {path.max_field:.3g}"
    if args.output is None or args.output == "-":
        _say(summary)
    else:
        print(summary)
    return 0 if path.reached else 1


def _costmap(args: argparse.Namespace) -> int:
    from orvo.field.costmap import raster, write_costmap

    collection, _ = _load_scene(args.scene, args)
    try:
        grid = raster(collection, args.extent, size=args.size, resolution=args.resolution)
        written = write_costmap(
            collection, args.output, grid, gradient=args.gradient, occupied_thresh=args.occupied_thresh,
            free_thresh=args.free_thresh, mode=args.mode, progress=_progress(args),
        )
    except ValueError as error:
        raise UserError(str(error)) from None
    except OSError as error:
        raise UserError(f"cannot write {args.output!r}: {_reason(error)}") from None
    _say(f"{grid.cols}x{grid.rows} pixels of {grid.dx:g} x {grid.dy:g} over {', '.join(f'{v:g}' for v in grid.extent)}")
    for name in written:
        print(name)
    return 0


def _info(args: argparse.Namespace) -> int:
    collection, name = _load_scene(args.scene, args)
    rows = []
    totals: dict[str, list[int]] = {}
    for index, member in enumerate(collection.rgjs or []):
        geometry = member.toRGeoJSON()["geometry"]
        vertices, segments = shape_counts(geometry["type"], geometry["coordinates"])
        label = _name(member.properties, args.name_field)
        rows.append((index, geometry["type"], vertices, segments, "" if label is None else _label(label)))
        total = totals.setdefault(geometry["type"], [0, 0, 0])
        total[0] += 1
        total[1] += vertices
        total[2] += segments
    box = np.asarray(collection.bbox, dtype=np.float64)
    centre = np.asarray(collection.get_center_point(), dtype=np.float64)
    out = sys.stdout
    scene_name = _name(collection.properties, None)
    out.write(f"scene: {name}" + (f" ({_label(scene_name)})" if scene_name else "") + "\n")
    out.write(f"members: {len(rows)}\n")
    out.write(f"  {'type':<16}{'count':>6}{'vertices':>10}{'segments':>10}\n")
    for kind, (count, vertices, segments) in totals.items():
        out.write(f"  {kind:<16}{count:>6}{vertices:>10}{segments:>10}\n")
    out.write(
        f"  {'total':<16}{len(rows):>6}{sum(t[1] for t in totals.values()):>10}"
        f"{sum(t[2] for t in totals.values()):>10}\n"
    )
    out.write(f"bounding box: x {box[0, 0]:g} .. {box[1, 0]:g}, y {box[0, 1]:g} .. {box[1, 1]:g}\n")
    out.write(f"centre: {centre[0]:g}, {centre[1]:g}\n")
    out.write("members:\n")
    for index, kind, vertices, segments, label in rows:
        out.write(f"  {index:>3}  {kind:<16}{vertices:>6} vertices {segments:>6} segments  {label}\n")
    return 0


def _name(properties: Any, field: str | None) -> Any:
    """The property value that names a feature, or None.

    That is ``field`` when given; else the first of name, NAME and Name;
    else the first key ending in Name or _name, in the order written.  A
    null value names nothing, so the search goes on past it.
    """
    if not isinstance(properties, dict):
        return None
    if field is not None:
        return properties.get(field)
    for key in ("name", "NAME", "Name"):
        if properties.get(key) is not None:
            return properties[key]
    for key, value in properties.items():
        if isinstance(key, str) and key.endswith(("Name", "_name")) and value is not None:
            return value
    return None


def _label(value: Any, limit: int = 60) -> str:
    """A property value as one short line (a name may be any JSON value, of any size)."""
    text = value if isinstance(value, str) else reprlib.repr(value)
    text = " ".join(text.split())
    return text if len(text) <= limit else text[: limit - 3] + "..."


# --------------------------------------------------------------------------
# Files


def _read_points(source: str) -> NDArray[np.float64]:
    """(N, 2) points from a CSV file, a .npy file or stdin ("-")."""
    if source == "-":
        return _parse_csv(sys.stdin, "stdin")
    if source.lower().endswith(".npy"):
        return _read_npy(source)
    try:
        with open(source, encoding="utf-8-sig", newline="") as handle:
            return _parse_csv(handle, repr(source))
    except OSError as error:
        raise UserError(f"cannot read points from {source!r}: {_reason(error)}") from None


def _read_npy(source: str) -> NDArray[np.float64]:
    """An (N, 2) numeric array from a .npy file, its header checked before anything is allocated."""
    try:
        with open(source, "rb") as handle:
            size = os.fstat(handle.fileno()).st_size
            head = handle.read(6)
            if head[:4] == b"PK\x03\x04":
                raise UserError(f"{source!r} is a zip archive (an .npz file?), not a .npy array")
            if head != b"\x93NUMPY":
                raise UserError(f"{source!r} is not a .npy file" + (" (it is empty)" if not head else ""))
            handle.seek(0)
            try:
                version = np.lib.format.read_magic(handle)
                if version == (1, 0):
                    shape, fortran, dtype = np.lib.format.read_array_header_1_0(handle)
                elif version == (2, 0):
                    shape, fortran, dtype = np.lib.format.read_array_header_2_0(handle)
                else:
                    raise UserError(f"{source!r}: .npy format version {version[0]}.{version[1]} is not supported")
            except UserError:
                raise
            except Exception as error:  # noqa: BLE001 - numpy's header parser raises ValueError, EOFError,
                # SyntaxError, tokenize.TokenError... on damaged bytes; each means the same thing here.
                raise UserError(f"{source!r} has a broken .npy header: {_reason(error)}") from None
            numeric = np.issubdtype(dtype, np.integer) or np.issubdtype(dtype, np.floating)
            if len(shape) != 2 or shape[1] != 2 or not numeric or dtype.hasobject:
                raise UserError(f"{source!r} must hold a numeric (N, 2) array, got {dtype} {shape}")
            count = shape[0] * 2
            # The header may claim more than the file holds: believe the file.
            if count * dtype.itemsize > size - handle.tell():
                raise UserError(f"{source!r} is shorter than its header says ({dtype} {shape})")
            array = np.fromfile(handle, dtype=dtype, count=count)
    except OSError as error:
        raise UserError(f"cannot read points from {source!r}: {_reason(error)}") from None
    if array.size != count:
        raise UserError(f"{source!r} is shorter than its header says ({dtype} {shape})")
    points = array.reshape(shape, order="F" if fortran else "C").astype(np.float64)
    if not np.all(np.isfinite(points)):
        raise UserError(f"{source!r} holds values that are not finite")
    return points


def _looks_numeric(field: str) -> bool:
    """True for a field that is or starts like a number ("1;2", "0x10", "-.5e3")."""
    try:
        float(field)
        return True
    except ValueError:
        pass
    body = field.lstrip("+-")
    return body[:1].isdigit() or (body[:1] == "." and body[1:2].isdigit())


def _parse_csv(handle: IO[str], name: str) -> NDArray[np.float64]:
    """x,y rows; a first row holding no number at all is a header; blank lines are skipped.

    A first row with any number in it is data, so a mistyped first point
    ("1;2", "0x10,2", "1,2,3") is reported rather than taken for a header.
    """
    rows: list[tuple[float, float]] = []
    first = True
    try:
        for number, fields in enumerate(csv.reader(handle), start=1):
            fields = [f.strip() for f in fields]
            if not fields or all(not f for f in fields):
                continue
            header, first = first, False
            try:
                if len(fields) != 2:
                    raise ValueError
                x, y = float(fields[0]), float(fields[1])
            except ValueError:
                if header and not any(_looks_numeric(f) for f in fields):
                    continue
                raise UserError(f"{name} line {number}: expected two numbers x,y, got {','.join(fields)!r}") from None
            if not (math.isfinite(x) and math.isfinite(y)):
                raise UserError(f"{name} line {number}: the numbers must be finite, got {','.join(fields)!r}")
            rows.append((x, y))
    except (UnicodeDecodeError, csv.Error) as error:
        raise UserError(f"cannot read points from {name}: {_reason(error)}") from None
    return np.array(rows, dtype=np.float64).reshape(-1, 2)


def _write_csv(
    handle: IO[str],
    points: NDArray[np.float64],
    values: NDArray[np.float64],
    gradients: NDArray[np.float64],
    nearest: NDArray[np.intp],
) -> None:
    """x, y, value, grad_x, grad_y, member; floats with 17 significant digits (exact round trip).

    A point without a nearest member (-1: a non-finite point) gets an empty member field.
    """
    handle.write("x,y,value,grad_x,grad_y,member\n")
    table = np.column_stack([points, values, gradients])
    buffer = io.StringIO()
    for start in range(0, len(table), 65536):
        stop = start + 65536
        block = table[start:stop]
        buffer.seek(0)
        buffer.truncate()
        for row, member in zip(block.tolist(), nearest[start:stop].tolist()):
            buffer.write(",".join(repr(v) for v in row) + ("," if member < 0 else f",{member}") + "\n")
        handle.write(buffer.getvalue())


@contextlib.contextmanager
def _output(target: str | None, *, binary: bool) -> Iterator[Any]:
    """A handle on ``target`` (stdout for None or "-"); the file is only created once work is done."""
    if target is None or target == "-":
        stream = sys.stdout.buffer if binary else sys.stdout
        yield stream
        stream.flush()
        return
    buffer: io.BytesIO | io.StringIO = io.BytesIO() if binary else io.StringIO()
    yield buffer
    data = buffer.getvalue()
    try:
        # Through a temporary file and a rename: a failure keeps the old file.
        scene._write_file(target, data if isinstance(data, bytes) else data.encode("utf-8"))
    except OSError as error:
        raise UserError(f"cannot write {target!r}: {_reason(error)}") from None


def _progress(args: argparse.Namespace) -> bool | None:
    # --progress forces the bar, --no-progress silences it, neither leaves it automatic.
    return {True: True, False: None, None: False}[args.progress]


def _reason(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return " ".join(str(error).split()) or type(error).__name__


def _say(message: str) -> None:
    sys.stderr.write(f"{PROG}: {' '.join(message.split())}\n")


# --------------------------------------------------------------------------


def main(argv: Sequence[str] | None = None) -> int:
    """Run ``orvo-field`` with ``argv`` (default ``sys.argv[1:]``); returns the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        # Overflow in the field far from a scene shows in the results (0, inf,
        # NaN); numpy's warnings about it would only clutter stderr.
        with np.errstate(all="ignore"):
            return int(args.run(args))
    except UserError as error:
        _say(f"error: {error}")
        return 2
    except KeyboardInterrupt:
        _say("interrupted")
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly.
        with contextlib.suppress(OSError):
            sys.stdout = open(os.devnull, "w")  # noqa: SIM115 - keep interpreter shutdown from failing again
        return 1


if __name__ == "__main__":
    sys.exit(main())
