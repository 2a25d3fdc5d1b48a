"""Per-point segment kernels of the line and polygon geometries.

Both kernels take anything numpy can read as a float64 array; C-contiguous
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
