"""Timing, sizing, subprocess and reporting helpers shared by the benchmark sections."""

from __future__ import annotations

import hashlib
import importlib
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
ENV_VARS = ("ORVO_FIELD_NUM_THREADS", "ORVO_FIELD_NO_FASTPATH")


@dataclass
class Config:
    quick: bool
    repeats: int  # timed repeats per measurement; the median is reported
    target: float  # seconds one timed call should take when the input size is picked by calibration
    min_time: float  # a repeat loops a fast call until it has run at least this long

    @classmethod
    def make(cls, quick: bool, repeats: int | None = None):
        if quick:
            return cls(True, repeats or 5, 0.05, 0.02)
        return cls(False, repeats or 5, 0.4, 0.1)

    def as_dict(self):
        return {"quick": self.quick, "repeats": self.repeats, "target": self.target, "min_time": self.min_time}


@dataclass
class Stats:
    """Seconds per call: the median over repeats, with the fastest and slowest repeat."""

    median: float
    low: float
    high: float
    repeats: int
    number: int
    result: object = field(default=None, repr=False)

    @property
    def spread(self) -> float:
        """Half the range of the repeats relative to the median."""
        return (self.high - self.low) / (2.0 * self.median) if self.median > 0 else 0.0

    def as_dict(self):
        return {"median": self.median, "low": self.low, "high": self.high, "repeats": self.repeats, "number": self.number}


def measure(fn, cfg: Config, *, repeats: int | None = None, min_time: float | None = None) -> Stats:
    """Times ``fn()``: one warm-up call, then ``repeats`` repeats of ``number`` calls each."""
    repeats = repeats or cfg.repeats
    min_time = cfg.min_time if min_time is None else min_time
    t0 = time.perf_counter()
    result = fn()
    first = time.perf_counter() - t0
    number = max(1, min(1_000_000, math.ceil(min_time / max(first, 1e-9))))
    samples = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        for _ in range(number):
            result = fn()
        samples.append((time.perf_counter() - t0) / number)
    return Stats(statistics.median(samples), min(samples), max(samples), repeats, number, result)


def pick_size(run, n_max: int, target: float, *, n_start: int = 256, n_min: int = 16) -> int:
    """The input size n <= n_max for which one call ``run(n)`` takes about ``target`` seconds.

    Probes growing sizes from ``n_start`` until two successive probes are
    long enough to be measured well (target / 8 and target / 2) and the
    second took 1.5 x as long as the first, then fits
    time = fixed + per_item * n through them. Fitting on the largest probes
    keeps a per-call setup cost, or a different method for small inputs,
    from shrinking the size to a handful of points. A size whose call at
    ``n_max`` finishes within 1.5 x target uses ``n_max``.
    """
    n_min = max(1, min(n_min, n_max))
    n = max(1, min(n_max, n_start))
    probes = []
    while True:
        t0 = time.perf_counter()
        run(n)
        t = max(time.perf_counter() - t0, 1e-9)
        probes.append((n, t))
        if n >= n_max or t >= 2.0 * target:
            break
        if len(probes) >= 2 and t >= target / 2 and probes[-2][1] >= target / 8 and t >= 1.5 * probes[-2][1]:
            break
        n = min(n_max, max(2 * n, int(n * min(8.0, target / t))))
    if n >= n_max and t <= 1.5 * target:
        return n_max
    if len(probes) >= 2:
        (n1, t1), (n2, t2) = probes[-2:]
        per_item = (t2 - t1) / (n2 - n1)
        if per_item <= 0.0:
            per_item = t2 / n2
        fixed = min(max(0.0, t2 - per_item * n2), t2)
        estimate = max(target - fixed, target / 2) / per_item
    else:
        estimate = n * target / t
    return max(n_min, min(n_max, int(estimate)))


def digest(array) -> str:
    """A short hash of an array's bytes, to compare results across processes."""
    import numpy as np

    a = np.ascontiguousarray(array)
    return hashlib.sha1(a.tobytes() + str(a.shape).encode() + str(a.dtype).encode()).hexdigest()[:12]


# ---------------------------------------------------------------------------
# Subprocesses


def clean_env(**settings) -> dict:
    """os.environ without the library's tuning variables, plus ``settings``."""
    env = {k: v for k, v in os.environ.items() if k not in ENV_VARS}
    env.update({k: str(v) for k, v in settings.items() if v is not None})
    return env


def run_task(task: str, params: dict, env: dict, *, label: str = "") -> dict:
    """Runs ``_tasks.py task`` in a fresh interpreter with ``env``; returns its JSON answer."""
    cmd = [sys.executable, str(HERE / "_tasks.py"), task, json.dumps(params)]
    proc = subprocess.run(cmd, env=env, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(
            f"benchmark subprocess {task} {label} failed with exit code {proc.returncode}:\n{proc.stderr[-4000:]}"
        )
    lines = [line for line in proc.stdout.splitlines() if line.startswith("{")]
    if not lines:
        raise RuntimeError(f"benchmark subprocess {task} {label} printed no result:\n{proc.stdout[-2000:]}")
    return json.loads(lines[-1])


# ---------------------------------------------------------------------------
# Machine information


def _cpuinfo():
    model, flags = "unknown", set()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                key, _, value = line.partition(":")
                key = key.strip()
                if key == "model name" and model == "unknown":
                    model = value.strip()
                elif key == "flags" and not flags:
                    flags = set(value.split())
    except OSError:
        model = platform.processor() or "unknown"
    return model, flags


def _version(module_name):
    try:
        module = importlib.import_module(module_name)
        return getattr(module, "__version__", "?")
    except Exception:  # noqa: BLE001 - an optional baseline that does not import is just absent
        return None


def _git(*args):
    try:
        out = subprocess.run(["git", "-C", str(HERE.parent), *args], capture_output=True, text=True, timeout=10)
        return out.stdout.strip() if out.returncode == 0 else None
    except (OSError, subprocess.SubprocessError):
        return None


def machine_info() -> dict:
    import numpy as np

    model, flags = _cpuinfo()
    info = {
        "cpu": model,
        "cores": os.cpu_count(),
        "usable_cores": len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count(),
        "avx2": "avx2" in flags,
        "fma": "fma" in flags,
        "avx512f": "avx512f" in flags,
        "python": platform.python_version(),
        "numpy": np.__version__,
        "shapely": _version("shapely"),
        "matplotlib": _version("matplotlib"),
        "scipy": _version("scipy"),
        "orvo.field": _version("orvo.field"),
        "env": {k: os.environ[k] for k in ENV_VARS if k in os.environ},
    }
    try:
        info["loadavg"] = open("/proc/loadavg").read().split()[:3]
    except OSError:
        pass
    try:
        from orvo.field import kernels

        path = Path(kernels.__file__)
        info["kernels_module"] = str(path)
        info["kernels_built"] = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(path.stat().st_mtime))
    except Exception as exc:  # noqa: BLE001
        info["kernels_module"] = f"not importable: {exc}"
    head = _git("rev-parse", "--short", "HEAD")
    if head:
        dirty = _git("status", "--porcelain", "--", "src", "CMakeLists.txt")
        info["checkout"] = head + (" + uncommitted changes in src/" if dirty else "")
    return info


def machine_lines(info: dict) -> list[str]:
    yes = {True: "yes", False: "no"}
    lines = [
        f"CPU: {info['cpu']}, {info['cores']} cores ({info['usable_cores']} usable); "
        f"AVX2 {yes[info['avx2']]}, FMA {yes[info['fma']]}, AVX-512F {yes[info['avx512f']]}",
        f"Python {info['python']}, numpy {info['numpy']}, shapely {info['shapely'] or 'not installed'}, "
        f"matplotlib {info['matplotlib'] or 'not installed'}, scipy {info['scipy'] or 'not installed'}",
        f"orvo.field {info['orvo.field']}, kernels {info.get('kernels_module')} (built {info.get('kernels_built', '?')})",
    ]
    if "checkout" in info:
        lines.append(f"checkout: {info['checkout']}")
    if info.get("env"):
        lines.append("environment: " + ", ".join(f"{k}={v}" for k, v in info["env"].items()))
    if "loadavg" in info:
        lines.append("load average at start: " + " ".join(info["loadavg"]))
    return lines


# ---------------------------------------------------------------------------
# Formatting


def fmt(value: float | None, digits: int = 3) -> str:
    """A number with ``digits`` significant digits, without scientific notation for usual sizes."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "-"
    if value == 0:
        return "0"
    magnitude = math.floor(math.log10(abs(value)))
    decimals = max(0, digits - 1 - magnitude)
    return f"{value:,.{decimals}f}"


def fmt_spread(stats: Stats | None, scale: float, digits: int = 3) -> str:
    if stats is None:
        return "-"
    return f"{fmt(stats.median * scale, digits)} ±{stats.spread * 100:.0f}%"


def ratio(baseline: float | None, ours: float | None) -> str:
    if not baseline or not ours:
        return "-"
    return f"{fmt(baseline / ours)}x"


def text_table(title: str, headers: list[str], rows: list[list[str]], notes: list[str] = ()) -> str:
    widths = [max(len(str(h)), *(len(str(r[i])) for r in rows)) if rows else len(str(h)) for i, h in enumerate(headers)]

    def line(cells):
        out = []
        for i, c in enumerate(cells):
            c = str(c)
            out.append(c.ljust(widths[i]) if i == 0 else c.rjust(widths[i]))
        return "  ".join(out).rstrip()

    parts = [title, "=" * len(title), line(headers), "  ".join("-" * w for w in widths)]
    parts += [line(r) for r in rows]
    parts += [f"  {n}" for n in notes]
    return "\n".join(parts)


def markdown_table(headers: list[str], rows: list[list[str]], align: str) -> str:
    sep = ["---:" if a == "r" else "---" for a in align]
    out = ["| " + " | ".join(headers) + " |", "| " + " | ".join(sep) + " |"]
    out += ["| " + " | ".join(str(c).replace("|", "\\|") for c in r) + " |" for r in rows]
    return "\n".join(out)
