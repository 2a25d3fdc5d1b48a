"""Base types of the repulsion-field geometries."""

from collections.abc import Iterator
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray
from typing_extensions import disjoint_base

# numpy, as the module imported it at load time.
np = np

@disjoint_base  # instances have a native layout of their own
class RGJGeometry:
    """Base of all repulsion-field geometries: coordinates, repulsion matrix, properties and
    bounding box.

    The base has no ``repulsion_vector``; ``squared_dist`` and ``eval`` call the subclass's.
    """

    # The seven fields every geometry carries. They are plain attributes: assignment stores
    # any value (``del`` stores None) and nothing derived is recomputed.
    coordinates: Any
    """The vertices as read by the class: an (x, y) pair, an (m, 2) array, or per-member arrays."""
    repulsion: NDArray[np.float64]
    """The repulsion matrix R (2x2)."""
    inv_repulsion: NDArray[np.float64]
    """R^-1, the distance matrix of ``squared_dist`` and of the nearest-part choice."""
    eye_repulsion: NDArray[np.float64]
    """The identity of R's size, the unscaled distance matrix."""
    grad_matrix: NDArray[np.float64]
    """R^-1 + R^-T, the matrix of the field's gradient."""
    properties: dict[str, Any]
    """The Feature properties (a new dict when none were given)."""
    bbox: NDArray[np.float64]
    """[[min x, min y], [max x, max y]] (per part for some multi-part geometries)."""

    def __init__(
        self,
        coordinates: ArrayLike,
        repulsion: ArrayLike | None = None,
        properties: dict[str, Any] | None = None,
        optional_dim: int = 2,
        **kwargs: Any,
    ) -> None:
        """Reads the coordinates and the repulsion matrix (the identity of size ``optional_dim``
        when None); extra keywords, such as a geometry dictionary's ``type``, are ignored."""
    def set_coordinates(self, new_coords: ArrayLike) -> None:
        """Replace the coordinates and recompute the bounding box."""
    def set_repulsion(self, new_repulsion: ArrayLike | None) -> None:
        """Replace the repulsion matrix and the matrices derived from it."""
    def get_dist_matrix(self, scaled: bool = True, inverted: bool = True) -> NDArray[np.float64]:
        """The distance matrix: the inverse repulsion (scaled, inverted), the repulsion (scaled)
        or the identity."""
    def squared_dist(
        self, x: ArrayLike, scaled: bool = True, inverted: bool = True, **kwargs: Any
    ) -> NDArray[np.float64]:
        """Squared distance v.(M v) of each query point to the geometry under the distance matrix."""
    def eval(self, x: ArrayLike, **kwargs: Any) -> NDArray[np.float64]:
        """Field value exp(-squared distance) at each query point."""
    def in_bbox(self, x: ArrayLike) -> bool:
        """True when every value of x lies inside one of the bounding boxes (inclusive)."""
    def get_center_point(self) -> NDArray[np.float64]:
        """Centre of the bounding box."""
    def toRGeoJSON(self) -> dict[str, Any]:
        """The RGeoJSON Feature dictionary of this geometry."""
    @property
    def __geo_interface__(self) -> dict[str, Any]:
        """The GeoJSON geometry dictionary of this geometry."""

class MultiRGJGeometry(RGJGeometry):
    """Base of the multi-part geometries."""

    # A geometry collection's members; other multi-part geometries raise TypeError.
    def __len__(self) -> int: ...
    def __getitem__(self, index: Any) -> Any: ...
    def __iter__(self) -> Iterator[Any]: ...
    def __bool__(self) -> bool: ...
