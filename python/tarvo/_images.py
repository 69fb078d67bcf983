"""Images as the core takes them: nibabel images, file paths or (array, affine) pairs made
into volumes on a backend, and the prepared fixed image kept between calls."""

from __future__ import annotations

import os
import threading
import warnings
import weakref
from dataclasses import dataclass
from typing import Any, Optional, Tuple, Union

import numpy as np

from . import _tarvo
from ._matrices import _numbers

ImageLike = Union[str, os.PathLike, Tuple[Any, Any], Any]

# numpy dtypes the core reads where they lie; others are converted (one copy) or refused.
_DIRECT = {np.dtype(t) for t in (np.uint8, np.int8, np.int16, np.uint16, np.int32, np.uint32,
                                 np.int64, np.uint64, np.float32, np.float64)}


@dataclass
class _Source:
    """An image reduced to what the core needs, plus what the output image copies."""

    array: Any = None  # stored values, 3D
    slope: float = 0.0
    inter: float = 0.0
    zooms: Tuple[float, float, float] = (1.0, 1.0, 1.0)
    orientation: Optional[np.ndarray] = None  # voxel -> RAS, None: no orientation
    path: Optional[str] = None
    header: Any = None  # nibabel header (its orientation codes go to outputs)


def _native(arr: np.ndarray, what: str) -> np.ndarray:
    if arr.dtype.kind == "c":
        raise ValueError(f"{what} holds complex values; only real numbers can be registered")
    if arr.dtype.kind not in "biuf" or arr.dtype.fields is not None:
        raise ValueError(f"{what} has dtype {arr.dtype}; only numeric arrays can be registered")
    if arr.dtype.kind == "b":
        return arr.view(np.uint8)
    if not arr.dtype.isnative:
        arr = arr.astype(arr.dtype.newbyteorder("="))
    if arr.dtype not in _DIRECT:  # float16, long double
        arr = arr.astype(np.float64 if arr.dtype.itemsize > 8 else np.float32)
    return arr


def _three_d(arr: np.ndarray, what: str) -> np.ndarray:
    if arr.ndim == 4 or (arr.ndim > 4 and all(n == 1 for n in arr.shape[4:])):
        if arr.shape[3] > 1:
            warnings.warn(f"{what} holds {arr.shape[3]} volumes; the first one is used", stacklevel=4)
        arr = arr[:, :, :, 0] if arr.ndim == 4 else arr.reshape(arr.shape[:4])[:, :, :, 0]
    if arr.ndim != 3:
        raise ValueError(f"{what} must be a 3D image, not {arr.ndim}D (shape {arr.shape})")
    return arr


def _affine(aff: Any, what: str) -> np.ndarray:
    a = _numbers(aff, f"the affine of {what}")
    if a.shape != (4, 4):
        raise ValueError(f"the affine of {what} must be 4x4, not {a.shape}")
    if not np.all(np.isfinite(a)) or abs(np.linalg.det(a[:3, :3])) <= 1e-12:
        raise ValueError(f"the affine of {what} must be finite and invertible")
    return a


def _source(img: ImageLike, what: str) -> _Source:
    if isinstance(img, (str, os.PathLike)):
        return _Source(path=os.fspath(img))
    if isinstance(img, (tuple, list)):
        if len(img) != 2:
            raise ValueError(f"{what} as a sequence must be an (array, affine) pair")
        arr = _three_d(_native(np.asanyarray(img[0]), what), what)
        aff = _affine(img[1], what)
        zooms = tuple(float(z) for z in np.sqrt((aff[:3, :3] ** 2).sum(axis=0)))
        return _Source(array=arr, zooms=zooms, orientation=aff)
    if hasattr(img, "dataobj") and hasattr(img, "affine") and hasattr(img, "header"):
        return _nibabel_source(img, what)
    if isinstance(img, np.ndarray):
        raise ValueError(f"{what} is an array without an affine: pass (array, affine)")
    raise ValueError(f"{what} must be a nibabel image, a file path or an (array, affine) pair, "
                     f"not {type(img).__name__}")


def _nibabel_source(img: Any, what: str) -> _Source:
    import nibabel as nib

    hdr = img.header
    slope, inter = 0.0, 0.0
    dataobj = img.dataobj
    if nib.is_proxy(dataobj):
        raw = np.asanyarray(dataobj.get_unscaled())
        # nibabel gives 1 and 0 for a file without scaling (its header copy no longer has
        # the file's values): the identity scaling is taken as none. The command line reads
        # an explicit 1/0 as a scaling, which differs only for uint8 (normalised or not).
        s, i = float(getattr(dataobj, "slope", 1.0)), float(getattr(dataobj, "inter", 0.0))
        if np.isfinite(s) and s != 0.0 and not (s == 1.0 and i == 0.0):
            slope, inter = s, (i if np.isfinite(i) else 0.0)
    else:
        raw = np.asanyarray(dataobj)
    arr = _three_d(_native(raw, what), what)
    zooms = tuple(float(z) for z in hdr.get_zooms()[:3])
    if len(zooms) < 3:
        zooms = zooms + (1.0,) * (3 - len(zooms))
    orientation: Optional[np.ndarray] = np.asarray(img.affine, dtype=np.float64)
    if isinstance(hdr, nib.Nifti1Header):  # NIfTI-2 too
        # sform when its code is above 0, else qform, else none: what the command line reads.
        sform, scode = img.get_sform(coded=True)
        qform, qcode = img.get_qform(coded=True)
        orientation = sform if scode > 0 else (qform if qcode > 0 else None)
    elif isinstance(hdr, nib.AnalyzeHeader) and not isinstance(hdr, nib.Nifti1Header):
        orientation = None  # ANALYZE 7.5 has no orientation: the grid scaled by its voxel sizes
    return _Source(array=arr, slope=slope, inter=inter, zooms=zooms, orientation=orientation,
                   header=hdr)


def _volume(src: _Source, dev: str, threads: int, what: str):
    if src.path is not None:
        return _tarvo.load(src.path, dev, threads)
    vol, bad = _tarvo.from_array(src.array, float(src.slope), float(src.inter), src.zooms,
                                 src.orientation, dev, threads)
    if bad:
        warnings.warn(f"{what} has {bad} voxels that are not finite numbers (NaN or infinite); "
                      "they are taken as 0, background", stacklevel=4)
    return vol


class _FixedCache:
    """The last fixed nibabel image, prepared, keyed by the object's identity."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._entry: Optional[Tuple[Any, str, int, Any]] = None  # (weakref, device, threads, volume)

    def get(self, img: Any, dev: str, threads: int, make):
        key_ok = hasattr(img, "dataobj")
        if key_ok:
            with self._lock:
                e = self._entry
                if e is not None and e[0]() is img and e[1] == dev and e[2] == threads:
                    return e[3]
        vol = make()
        if key_ok:
            try:
                ref = weakref.ref(img, self._forget)
            except TypeError:
                return vol
            with self._lock:
                self._entry = (ref, dev, threads, vol)
        return vol

    def _forget(self, ref) -> None:
        with self._lock:
            if self._entry is not None and self._entry[0] is ref:
                self._entry = None

    def clear(self) -> None:
        with self._lock:
            self._entry = None


_fixed_cache = _FixedCache()


def clear_cache() -> None:
    """Drops the prepared fixed image kept between calls (see the module's documentation)."""
    _fixed_cache.clear()


def _refuse_boolean(img: ImageLike, what: str) -> None:
    """A boolean array is a mask, which has nothing to register: most likely a slip of the
    argument order, so say where it belongs."""
    arr = img[0] if isinstance(img, (tuple, list)) and len(img) == 2 else getattr(img, "dataobj", None)
    if arr is not None and getattr(arr, "dtype", None) is not None and np.dtype(arr.dtype).kind == "b":
        raise ValueError(f"{what} is a boolean array, a mask: give it as {what}_mask, and an image as {what}")


def _prepare(img: ImageLike, dev: str, threads: int, what: str, cache: bool = False):
    if cache:
        return _fixed_cache.get(img, dev, threads, lambda: _prepare(img, dev, threads, what))
    src = _source(img, what)
    return src, _volume(src, dev, threads, what)
