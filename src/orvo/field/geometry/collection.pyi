"""GeometryCollectionRGJ."""

from collections.abc import Iterable, Mapping
from typing import Any, ClassVar, Literal, NoReturn, SupportsIndex, TypeVar, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray
from typing_extensions import disjoint_base

from orvo.field.geometry.base import MultiRGJGeometry, RGJGeometry

# numpy, as the module imported it at load time.
np = np

_CollectionT = TypeVar("_CollectionT", bound=GeometryCollectionRGJ)

# Doctest collection marker: the module holds no doctests.
__test__: dict[str, Any]

@disjoint_base  # instances have a native layout of their own
class GeometryCollectionRGJ(MultiRGJGeometry):
    """Member geometries built from geometry dictionaries; per query point one member answers
    the squared distance, the repulsion vector and the gradient.

    ``coordinates``, ``repulsion`` and the matrices derived from it stay None: each member keeps
    its own.
    """

    RGJType: ClassVar[str]
    """``"GeometryCollection"``."""

    rgjs: list[RGJGeometry]
    """The members; a list field (a list or None)."""
    inv_repulsions: NDArray[np.float64]
    """(M, 2, 2): each member's ``get_dist_matrix(scaled=True, inverted=True)``."""
    grad_matrixes: NDArray[np.float64]
    """(M, 2, 2): each member's ``grad_matrix``."""

    def __init__(
        self, geometries: Iterable[Mapping[str, Any]], properties: dict[str, Any] | None = None, **kwargs: Any
    ) -> None:
        """Each geometry dictionary ``g`` becomes ``_RGJ_TYPES[g["type"]](**g)``; extra keywords
        are ignored."""
    def set_coordinates(self, new_coords: ArrayLike) -> NoReturn:
        """Not supported (NotImplementedError): a collection's coordinates change only through
        its members."""
    def set_repulsion(self, new_repulsion: ArrayLike | None) -> None:
        """Give every member the repulsion matrix and refresh the per-member matrix stacks."""
    def in_bbox(self, x: ArrayLike) -> bool:
        """True when x lies in the bounding box of some member."""
    def get_dist_matrix(self, scaled: bool = True, inverted: bool = True) -> NDArray[np.float64]:
        """The members' distance matrices, stacked: shape (M, 2, 2)."""
    def get_center_point(self) -> NDArray[np.float64]:
        """Centre of the box around the members' centre points."""
    @overload
    def squared_dist(
        self,
        x: ArrayLike,
        scaled: bool = True,
        inverted: bool = True,
        return_reference: Literal[False] = False,
        **kwargs: Any,
    ) -> NDArray[np.float64]:
        """Smallest member squared distance per query point."""
    @overload
    def squared_dist(
        self, x: ArrayLike, scaled: bool, inverted: bool, return_reference: Literal[True], **kwargs: Any
    ) -> tuple[NDArray[np.float64], NDArray[np.intp]]:
        """Smallest member squared distance per query point and the index of that member."""
    @overload
    def squared_dist(
        self,
        x: ArrayLike,
        scaled: bool = True,
        inverted: bool = True,
        *,
        return_reference: Literal[True],
        **kwargs: Any,
    ) -> tuple[NDArray[np.float64], NDArray[np.intp]]: ...
    @overload
    def squared_dist(
        self, x: ArrayLike, scaled: bool = True, inverted: bool = True, return_reference: bool = False, **kwargs: Any
    ) -> NDArray[np.float64] | tuple[NDArray[np.float64], NDArray[np.intp]]: ...
    def repulsion_vector(self, x: ArrayLike, min_dist_select: bool = True, **kwargs: Any) -> NDArray[np.float64]:
        """Per query point the repulsion vector of the member whose vector has the smallest
        quadratic form under its distance matrix (min_dist_select), or all members' vectors,
        member-major. Extra keywords go to the members' ``repulsion_vector``."""
    def gradient(self, x: ArrayLike, **kwargs: Any) -> NDArray[np.float64]:
        """Gradient of the field value at each query point:
        -eval(x) * grad_matrix(nearest member) @ v, shape (N, 2)."""
    def toRGeoJSON(self) -> dict[str, Any]:
        """The RGeoJSON Feature dictionary: the members' geometry dictionaries under
        ``"geometries"``."""
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: tuple[Any, ...]) -> None: ...
    def __reduce_cython__(self) -> tuple[Any, ...]:
        """The pickle reduction: the restore function, its arguments and the field state."""
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...]) -> None:
        """Overwrite the fields from a pickle state tuple."""

def __pyx_unpickle_GeometryCollectionRGJ(
    __pyx_type: type[_CollectionT], __pyx_checksum: SupportsIndex, __pyx_state: tuple[Any, ...] | None
) -> _CollectionT:
    """Restore a pickled GeometryCollectionRGJ (or subclass): checks the layout checksum,
    allocates without ``__init__`` and restores the fields when a state is given."""

def _evaluate(
    collection: GeometryCollectionRGJ, x: NDArray[np.float64]
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.intp]] | None:
    """Values, gradients and nearest members in one indexed pass, or None."""
