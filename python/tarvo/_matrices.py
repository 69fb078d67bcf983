"""World matrices: 4x4 arrays or matrix files (the text matrix, ITK text transforms)."""

from __future__ import annotations

import os
from typing import Any, Union

import numpy as np

from . import _tarvo


def _numbers(m: Any, what: str) -> np.ndarray:
    """A 4x4 matrix given as numbers; a text or anything else is refused in our words."""
    if isinstance(m, (str, bytes)):
        raise ValueError(f"{what} must be a 4x4 array of numbers, not a {type(m).__name__}")
    try:
        return np.asarray(m, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be a 4x4 array of numbers, not {type(m).__name__}") from None


def _matrix(m: Any, what: str = "matrix") -> np.ndarray:
    if isinstance(m, (str, os.PathLike)):
        return read_matrix(m)
    a = _numbers(m, f"the {what}")
    if a.shape != (4, 4):
        raise ValueError(f"the {what} must be 4x4, not {a.shape}")
    return np.ascontiguousarray(a)


def read_matrix(path: Union[str, os.PathLike]) -> np.ndarray:
    """Reads a world matrix file: the 4x4 text matrix, or an ITK affine text transform
    (converted to RAS). FileNotFoundError when missing, ValueError when not usable."""
    return _tarvo.read_matrix(os.fspath(path))


def write_matrix(path: Union[str, os.PathLike], matrix: Any) -> None:
    """Writes the 4x4 text matrix (``--matrix``'s format) through a temporary file."""
    _tarvo.write_matrix(os.fspath(path), _matrix(matrix))


def to_itk(path: Union[str, os.PathLike], matrix: Any) -> None:
    """Writes the transform as an ITK text transform (AffineTransform_double_3_3, LPS),
    as ``--itk`` does."""
    _tarvo.write_itk(os.fspath(path), _matrix(matrix))
