"""PointRGJ / MultiPointRGJ."""

from typing import Any, ClassVar, SupportsIndex, TypeVar

import numpy as np
from numpy.typing import ArrayLike, NDArray

from orvo.field.geometry.base import MultiRGJGeometry, RGJGeometry

# numpy, as the module imported it at load time.
np = np

_PointT = TypeVar("_PointT", bound=PointRGJ)
_MultiPointT = TypeVar("_MultiPointT", bound=MultiPointRGJ)

# Doctest collection marker: the module holds no doctests.
__test__: dict[str, Any]

class PointRGJ(RGJGeometry):
    """A single point (x, y) with a repulsion matrix."""

    RGJType: ClassVar[str]
    """``"Point"``."""

    def repulsion_vector(self, x: ArrayLike, **kwargs: Any) -> NDArray[np.float64]:
        """Vector from the point to each query point (x - p), one row per query point."""
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: tuple[Any, ...]) -> None: ...
    def __reduce_cython__(self) -> tuple[Any, ...]:
        """The pickle reduction: the restore function, its arguments and the field state."""
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...]) -> None:
        """Overwrite the fields from a pickle state tuple."""

class MultiPointRGJ(MultiRGJGeometry):
    """Points (m, 2); each query point is answered by its nearest member point.

    ``bbox`` holds a copy of the member points.
    """

    RGJType: ClassVar[str]
    """``"MultiPoint"``."""

    def __init__(self, coordinates: ArrayLike, repulsion: ArrayLike | None = None, **kwargs: Any) -> None:
        """Extra keywords (``properties``, ``optional_dim``) go to ``RGJGeometry.__init__``."""
    def in_bbox(self, x: ArrayLike) -> bool:
        """True when every value of x lies within the box of the member points (inclusive)."""
    def repulsion_vector(self, x: ArrayLike, min_dist_select: bool = True, **kwargs: Any) -> NDArray[np.float64]:
        """Vector from each query point to its nearest member point (min_dist_select), or to
        every member point, member-major."""
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: tuple[Any, ...]) -> None: ...
    def __reduce_cython__(self) -> tuple[Any, ...]:
        """The pickle reduction: the restore function, its arguments and the field state."""
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...]) -> None:
        """Overwrite the fields from a pickle state tuple."""

def __pyx_unpickle_PointRGJ(
    __pyx_type: type[_PointT], __pyx_checksum: SupportsIndex, __pyx_state: tuple[Any, ...] | None
) -> _PointT:
    """Restore a pickled PointRGJ (or subclass): checks the layout checksum, allocates without
    ``__init__`` and restores the fields when a state is given."""

def __pyx_unpickle_MultiPointRGJ(
    __pyx_type: type[_MultiPointT], __pyx_checksum: SupportsIndex, __pyx_state: tuple[Any, ...] | None
) -> _MultiPointT:
    """Restore a pickled MultiPointRGJ (or subclass)."""
