"""LineStringRGJ / MultiLineStringRGJ."""

from typing import Any, ClassVar, SupportsIndex, TypeVar

import numpy as np
from numpy.typing import ArrayLike, NDArray
from typing_extensions import disjoint_base

from orvo.field import kernels as kernels
from orvo.field.geometry.base import MultiRGJGeometry

# numpy, as the module imported it at load time.
np = np

_LineT = TypeVar("_LineT", bound=LineStringRGJ)
_MultiLineT = TypeVar("_MultiLineT", bound=MultiLineStringRGJ)

# Doctest collection marker: the module holds no doctests.
__test__: dict[str, Any]

@disjoint_base  # instances have a native layout of their own
class LineStringRGJ(MultiRGJGeometry):
    """A polyline of (m, 2) vertices; queries project onto its segments through a segment cache."""

    RGJType: ClassVar[str]
    """``"LineString"``."""

    # The segment cache, rebuilt by _build_segments.
    points_in_line_pair: NDArray[np.float64]
    """(S, 2, 2): start and end point of every segment."""
    _p1: NDArray[np.float64]
    """(S, 2) segment start points."""
    _v: NDArray[np.float64]
    """(S, 2) segment vectors."""
    _v_dot_v: NDArray[np.float64]
    """(S,) squared segment lengths, 1.0 where a segment has none."""
    lines_n: int
    """The number of segments; an integer field (any integer-like value is stored as int)."""

    def __init__(self, coordinates: ArrayLike, repulsion: ArrayLike | None = None, **kwargs: Any) -> None:
        """Extra keywords (``properties``, ``optional_dim``) go to ``RGJGeometry.__init__``."""
    def _build_segments(self) -> None:
        """Rebuild the segment cache from the vertices in ``coordinates``."""
    def set_coordinates(self, new_coords: ArrayLike) -> None:
        """Replace the vertices and rebuild the segment cache."""
    def repulsion_vector(self, x: ArrayLike, min_dist_select: bool = True, **kwargs: Any) -> NDArray[np.float64]:
        """Vector from the nearest segment point to each query point (min_dist_select: nearest
        segment under the distance matrix), or from every segment, segment-major."""
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: tuple[Any, ...]) -> None: ...
    def __reduce_cython__(self) -> tuple[Any, ...]:
        """The pickle reduction: the restore function, its arguments and the field state."""
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...]) -> None:
        """Overwrite the fields from a pickle state tuple."""

class MultiLineStringRGJ(LineStringRGJ):
    """Polylines; ``coordinates`` is a list of (m_i, 2) vertex arrays and no segment joins two
    members."""

    RGJType: ClassVar[str]
    """``"MultiLineString"``."""

    def __init__(
        self,
        coordinates: ArrayLike,
        repulsion: ArrayLike | None = None,
        properties: dict[str, Any] | None = None,
        optional_dim: int = 2,
        **kwargs: Any,
    ) -> None: ...
    def _build_segments(self) -> None:
        """Rebuild the segment cache from the member vertex arrays; segments stay inside each member."""
    def set_coordinates(self, new_coords: ArrayLike) -> None:
        """Replace the member vertex arrays, their boxes and the segment cache."""
    def get_center_point(self) -> NDArray[np.float64]:
        """Centre of the box around all vertices of all members."""
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: tuple[Any, ...]) -> None: ...
    def __reduce_cython__(self) -> tuple[Any, ...]:
        """The pickle reduction: the restore function, its arguments and the field state."""
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...]) -> None:
        """Overwrite the fields from a pickle state tuple."""

def __pyx_unpickle_LineStringRGJ(
    __pyx_type: type[_LineT], __pyx_checksum: SupportsIndex, __pyx_state: tuple[Any, ...] | None
) -> _LineT:
    """Restore a pickled LineStringRGJ (or subclass): checks the layout checksum, allocates
    without ``__init__`` and restores the fields when a state is given."""

def __pyx_unpickle_MultiLineStringRGJ(
    __pyx_type: type[_MultiLineT], __pyx_checksum: SupportsIndex, __pyx_state: tuple[Any, ...] | None
) -> _MultiLineT:
    """Restore a pickled MultiLineStringRGJ (or subclass)."""
