"""Reference implementations the kernels are compared against.

The numpy versions do the same arithmetic as the kernels, vectorised over
(point, segment) or (point, edge) pairs and chunked over the query points so
that no temporary grows past a few tens of megabytes.
"""

from __future__ import annotations

import numpy as np

# Pairs per chunk: a (chunk, S, 2) float64 temporary is 32 MiB; the handful
# of temporaries alive at once stay well under 500 MB.
CHUNK_PAIRS = 1 << 21


def numpy_segment_repulsion_vectors(x, p1, v, vdv, metric, chunk_pairs: int = CHUNK_PAIRS):
    """Brute force over all segments: w = x - p1, t = clip(w.v / vdv, 0, 1), d = x - (p1 + t v),
    q = d^T M d, first argmin over segments."""
    vdv = np.where(vdv > 0.0, vdv, 1.0)
    n, s = len(x), len(p1)
    step = max(1, chunk_pairs // s)
    out = np.empty((n, 2))
    for a in range(0, n, step):
        xc = x[a : a + step, None, :]  # (c, 1, 2)
        w = xc - p1  # (c, s, 2)
        t = np.clip((w[..., 0] * v[:, 0] + w[..., 1] * v[:, 1]) / vdv, 0.0, 1.0)
        d = xc - (p1 + t[..., None] * v)
        q = np.einsum("csi,ij,csj->cs", d, metric, d)
        k = np.argmin(q, axis=1)
        out[a : a + step] = d[np.arange(len(k)), k]
    return out


def _crossings(px, py, ring):
    """(c,) parity of the even-odd crossings of the closed ring for points (c, 1)."""
    xi, yi = ring[:, 0], ring[:, 1]
    xj, yj = np.roll(xi, 1), np.roll(yi, 1)  # edge i runs from vertex i-1 to vertex i
    straddle = (yi > py) != (yj > py)
    with np.errstate(divide="ignore", invalid="ignore"):
        left = px < (xj - xi) * (py - yi) / (yj - yi) + xi
    return (np.count_nonzero(straddle & left, axis=1) & 1).astype(bool)


def numpy_point_in_rings(x, outer, holes, chunk_pairs: int = CHUNK_PAIRS):
    """Even-odd crossing test: inside ``outer`` and inside none of ``holes``."""
    edges = len(outer) + sum(len(h) for h in holes)
    step = max(1, chunk_pairs // max(1, edges))
    out = np.empty(len(x), dtype=bool)
    for a in range(0, len(x), step):
        px = x[a : a + step, 0:1]
        py = x[a : a + step, 1:2]
        inside = _crossings(px, py, outer) if len(outer) >= 3 else np.zeros(len(px), bool)
        for h in holes:
            if len(h) >= 3:
                inside &= ~_crossings(px, py, h)
        out[a : a + step] = inside
    return out
