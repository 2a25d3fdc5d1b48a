"""PolygonRGJ / MultiPolygonRGJ."""

from typing import Any, ClassVar, SupportsIndex, TypeVar

import numpy as np
from numpy.typing import ArrayLike, NDArray
from typing_extensions import disjoint_base

from orvo.field import kernels as kernels
from orvo.field.geometry.base import MultiRGJGeometry, RGJGeometry

# numpy, as the module imported it at load time.
np = np

_PolygonT = TypeVar("_PolygonT", bound=PolygonRGJ)
_MultiPolygonT = TypeVar("_MultiPolygonT", bound=MultiPolygonRGJ)

# Doctest collection marker: the module holds no doctests.
__test__: dict[str, Any]

@disjoint_base  # instances have a native layout of their own
class PolygonRGJ(RGJGeometry):
    """A polygon: an outer ring and holes. Points inside feel nothing; points outside get the
    vector from the nearest boundary point under the cached metric.

    ``coordinates`` is an object array of the rings as nested lists.
    """

    RGJType: ClassVar[str]
    """``"Polygon"``."""

    rings: list[NDArray[np.float64]]
    """The closed (k, 2) float64 rings, outer first; a list field (a list or None)."""
    points_in_line_pair: NDArray[np.float64]
    """(S, 2, 2): start and end point of every ring edge."""
    _p1: NDArray[np.float64]
    """(S, 2) edge start points."""
    _v: NDArray[np.float64]
    """(S, 2) edge vectors."""
    _v_dot_v: NDArray[np.float64]
    """(S,) squared edge lengths, 1.0 where an edge has none."""
    metric: NDArray[np.float64]
    """The distance matrix ``get_dist_matrix()`` gave when the polygon was built."""
    _S: int
    """The number of edges; an integer field."""

    def __init__(
        self,
        coordinates: ArrayLike,
        repulsion: ArrayLike | None = None,
        properties: dict[str, Any] | None = None,
        optional_dim: int = 2,
        **kwargs: Any,
    ) -> None:
        """``coordinates`` is one ring or a list of rings (outer first); rings are closed when
        they are not."""
    def _build_segment_cache(self) -> None:
        """Rebuild _p1, _v, _v_dot_v and _S from points_in_line_pair."""
    def set_coordinates(self, new_coords: ArrayLike) -> None:
        """Rebuild the polygon from new rings, keeping its repulsion matrix and properties."""
    def set_repulsion(self, new_repulsion: ArrayLike | None) -> None:
        """Replace the repulsion matrix and refresh the cached metric."""
    def in_bbox(self, x: ArrayLike) -> bool:
        """True when every value of x lies inside the bounding box (inclusive)."""
    def repulsion_vector(self, x: ArrayLike, min_dist_select: bool = True, **kwargs: Any) -> NDArray[np.float64]:
        """Vector from the nearest boundary point to each query point outside the polygon;
        (0, 0) inside."""
    def toRGeoJSON(self) -> dict[str, Any]:
        """The RGeoJSON Feature dictionary of this polygon, rings closed as stored."""
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: tuple[Any, ...]) -> None: ...
    def __reduce_cython__(self) -> tuple[Any, ...]:
        """The pickle reduction: the restore function, its arguments and the field state."""
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...]) -> None:
        """Overwrite the fields from a pickle state tuple."""

@disjoint_base  # instances have a native layout of their own
class MultiPolygonRGJ(MultiRGJGeometry):
    """Polygons sharing one repulsion matrix; vectors come from the nearest edge of any member
    and no inside test is made."""

    RGJType: ClassVar[str]
    """``"MultiPolygon"``."""

    polygons: list[PolygonRGJ]
    """The member polygons; a list field (a list or None)."""
    points_in_line_pair: NDArray[np.float64]
    """(S, 2, 2): the members' edges, one after the other."""
    _p1: NDArray[np.float64]
    """(S, 2) edge start points."""
    _v: NDArray[np.float64]
    """(S, 2) edge vectors."""
    _v_dot_v: NDArray[np.float64]
    """(S,) squared edge lengths, 1.0 where an edge has none."""
    _S: int
    """The number of edges; an integer field."""

    def __init__(
        self,
        coordinates: ArrayLike,
        repulsion: ArrayLike | None = None,
        properties: dict[str, Any] | None = None,
        optional_dim: int = 2,
        **kwargs: Any,
    ) -> None:
        """``coordinates`` holds one polygon's rings per member."""
    def set_coordinates(self, new_coords: ArrayLike) -> None:
        """Rebuild the member polygons from new coordinates with the current repulsion matrix
        and properties."""
    def in_bbox(self, x: ArrayLike) -> bool:
        """True when x lies in the bounding box of some member polygon."""
    def get_center_point(self) -> NDArray[np.float64]:
        """Centre of the box around the member polygons' centre points."""
    def repulsion_vector(self, x: ArrayLike, min_dist_select: bool = True, **kwargs: Any) -> NDArray[np.float64]:
        """Vector from the nearest edge point of any member to each query point
        (min_dist_select), or from every edge, segment-major."""
    def toRGeoJSON(self) -> dict[str, Any]:
        """The RGeoJSON Feature dictionary: per member polygon its closed rings as nested lists."""
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: tuple[Any, ...]) -> None: ...
    def __reduce_cython__(self) -> tuple[Any, ...]:
        """The pickle reduction: the restore function, its arguments and the field state."""
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...]) -> None:
        """Overwrite the fields from a pickle state tuple."""

def __pyx_unpickle_PolygonRGJ(
    __pyx_type: type[_PolygonT], __pyx_checksum: SupportsIndex, __pyx_state: tuple[Any, ...] | None
) -> _PolygonT:
    """Restore a pickled PolygonRGJ (or subclass): checks the layout checksum, allocates without
    ``__init__`` and restores the fields when a state is given."""

def __pyx_unpickle_MultiPolygonRGJ(
    __pyx_type: type[_MultiPolygonT], __pyx_checksum: SupportsIndex, __pyx_state: tuple[Any, ...] | None
) -> _MultiPolygonT:
    """Restore a pickled MultiPolygonRGJ (or subclass)."""
