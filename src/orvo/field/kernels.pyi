"""Per-point segment kernels of the line and polygon geometries.

The kernels take anything numpy can read as a float64 array; C-contiguous
float64 arrays are used in place. The loops run without the interpreter lock.
"""

import numpy as np
from numpy.typing import ArrayLike, NDArray

# numpy, as the module imported it at load time.
np = np

def segment_repulsion_vectors(
    x: ArrayLike, p1: ArrayLike, v: ArrayLike, vdv: ArrayLike, metric: ArrayLike
) -> NDArray[np.float64]:
    """For each query point (row of x, shape (N, 2)), the vector from the nearest point of the
    segment whose difference d has the smallest d^T metric d (ties to the lowest segment index)
    to the point.

    Segment s starts at p1[s], has vector v[s] and squared length vdv[s] (> 0); metric is 2x2.
    Returns an (N, 2) float64 array.
    """

def point_in_rings(
    x: ArrayLike, outer: ArrayLike, holes: list[ArrayLike] | tuple[ArrayLike, ...]
) -> NDArray[np.bool_]:
    """For each query point (row of x), True when it lies inside the ring `outer` and inside no
    ring of `holes`, by the even-odd rule. Rings are (k, 2) vertex arrays; one of fewer than three
    vertices contains nothing. Returns an (N,) bool array.
    """

def grid_path(cost: ArrayLike, start: ArrayLike, goal: ArrayLike) -> NDArray[np.int64]:
    """The least-cost 8-connected path of cells from start to goal ((row, column) pairs) over the
    2-D raster `cost`: the cost per unit length of each cell, a cell blocked where it is not a
    positive finite number. A step costs its length (1, or sqrt 2 diagonally) times the mean
    cost of its two cells; a diagonal step needs both cells beside it open. Returns the (K,)
    int64 flat cell indices (row * columns + column) from start to goal, or an empty array
    when no path exists (or start or goal is blocked).
    """
