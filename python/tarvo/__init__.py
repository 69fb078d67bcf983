"""tarvo: affine registration of 3D brain images by the correlation ratio.

The same registration as the ``tarvo register`` command, from Python::

    import nibabel as nib, tarvo
    res = tarvo.register("t2.nii.gz", "t1.nii.gz", dof=12)
    print(res.cost, res.matrix)            # matrix: FIXED RAS mm -> MOVING RAS mm
    res.image.to_filename("t2_in_t1.nii.gz")
    tarvo.write_matrix("t2_to_t1.txt", res.matrix)

Images may be nibabel images, file paths, or ``(array, affine)`` pairs; arrays of any
numeric dtype, in C or Fortran order, are read where they lie (one pass, no copy of the
array). Errors raise ``ValueError`` (bad arguments or image contents) or ``OSError``
(files), with the command line's messages.

Caching: the last fixed image given as a nibabel image object is kept prepared (converted
to normalised floats, its centroid found, and uploaded to the device), keyed by the
object's identity, and reused while that same object is passed again on the same device.
Its pyramid and per-level bins are rebuilt by every call. ``clear_cache()`` drops it (also
done when the object is garbage-collected); do so after changing that image's data in place.
"""

from __future__ import annotations

import os
import threading
import time
import warnings
import weakref
from dataclasses import dataclass
from typing import Any, Optional, Sequence, Tuple, Union

import numpy as np

from . import _tarvo

__all__ = [
    "Registration",
    "register",
    "apply",
    "cost",
    "read_matrix",
    "write_matrix",
    "to_itk",
    "clear_cache",
    "__version__",
]

try:
    from importlib.metadata import version as _version

    __version__ = _version("tarvo")
except Exception:  # pragma: no cover - running from a source tree
    __version__ = "unknown"

ImageLike = Union[str, os.PathLike, Tuple[Any, Any], Any]

_DEVICES = ("auto", "cpu", "cuda")


@dataclass
class Registration:
    """The result of :func:`register`.

    matrix:  4x4 float64, FIXED world RAS mm -> MOVING world RAS mm, exactly the numbers
             ``tarvo register --matrix`` writes.
    cost:    the final cost (correlation ratio - 1 at 1 mm; -1 is perfect).
    seconds: wall time of the call.
    device:  "cpu" or "cuda".
    image:   MOVING resampled onto FIXED's grid (a nibabel Nifti1Image), or None when
             ``resample=False``.
    """

    matrix: np.ndarray
    cost: float
    seconds: float
    device: str
    image: Optional[Any] = None


# ---------------------------------------------------------------- devices


def _device_name(device: str) -> str:
    if device not in _DEVICES:
        raise ValueError(f"device must be auto, cpu or cuda, not {device!r}")
    if device == "auto":
        env = os.environ.get("TARVO_DEVICE", "")
        if env:
            if env not in _DEVICES:
                raise ValueError(f"TARVO_DEVICE must be auto, cpu or cuda, not {env!r}")
            return env
    return device


def _threads(threads: Optional[int]) -> int:
    if threads is None:
        return 0
    if isinstance(threads, bool) or not isinstance(threads, (int, np.integer)) or not 1 <= threads <= 4096:
        raise ValueError(f"threads must be a whole number from 1 to 4096, not {threads!r}")
    return int(threads)


# ---------------------------------------------------------------- images

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
    a = np.asarray(aff, dtype=np.float64)
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
        warnings.warn(f"{what} has {bad} voxels that are not finite numbers; they are taken as "
                      "background (its smallest value)", stacklevel=4)
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


def _prepare(img: ImageLike, dev: str, threads: int, what: str, cache: bool = False):
    if cache:
        return _fixed_cache.get(img, dev, threads, lambda: _prepare(img, dev, threads, what))
    src = _source(img, what)
    return src, _volume(src, dev, threads, what)


def _matrix(m: Any, what: str = "matrix") -> np.ndarray:
    if isinstance(m, (str, os.PathLike)):
        return read_matrix(m)
    a = np.asarray(m, dtype=np.float64)
    if a.shape != (4, 4):
        raise ValueError(f"the {what} must be 4x4, not {a.shape}")
    return np.ascontiguousarray(a)


# ---------------------------------------------------------------- outputs


_NIFTI_DTYPES = {2: np.uint8, 256: np.int8, 4: np.int16, 512: np.uint16, 8: np.int32, 768: np.uint32,
                 1024: np.int64, 1280: np.uint64, 16: np.float32, 64: np.float64}


def _output_image(vol, moving_vol, fixed: _Source, fixed_vol):
    """MOVING's values on FIXED's grid, as ``tarvo register -o`` writes them: MOVING's dtype
    (integers rounded to the nearest value) where it can hold them, else float32; a scaled
    MOVING keeps its stored dtype, with a scaling nibabel chooses when it saves."""
    import nibabel as nib

    values = _tarvo.physical(vol)
    dtype = np.dtype(_NIFTI_DTYPES.get(moving_vol.datatype, np.float32))
    scaled = moving_vol.slope_inter not in ((0.0, 0.0), (1.0, 0.0))
    data = values
    if not scaled and dtype.kind in "iu":
        info = np.iinfo(dtype)
        r = np.rint(values)
        if r.size == 0 or (r.min() >= info.min and r.max() <= info.max):
            data = r.astype(dtype, order="F")
    elif not scaled and dtype == np.float64:
        data = values.astype(np.float64, order="F")
    affine = fixed_vol.affine
    out = nib.Nifti1Image(data, affine)
    out.set_data_dtype(dtype if scaled else data.dtype)
    if fixed_vol.oriented:
        code = 2
        if isinstance(fixed.header, nib.Nifti1Header):
            code = int(fixed.header["sform_code"]) or int(fixed.header["qform_code"]) or 2
        out.set_sform(affine, code=code)
        out.set_qform(affine, code=code)
    else:
        out.set_sform(None, code=0)
        out.set_qform(None, code=0)
    return out


# ---------------------------------------------------------------- the API


def register(
    moving: ImageLike,
    fixed: ImageLike,
    *,
    dof: int = 12,
    init: Union[str, os.PathLike, np.ndarray] = "header",
    search: str = "wide",
    refine: bool = True,
    fixed_mask: Optional[ImageLike] = None,
    moving_mask: Optional[ImageLike] = None,
    device: str = "auto",
    threads: Optional[int] = None,
    resample: bool = True,
    qc: Optional[Union[str, os.PathLike]] = None,
    verbose: bool = False,
) -> Registration:
    """Registers MOVING to FIXED, as ``tarvo register MOVING FIXED`` does.

    dof:         6 rigid, 7 one scale, 9 three scales, 12 affine.
    init:        "header" (rotation, axis order, flips and voxel sizes from the headers,
                 centroids paired), "centroid", "identity", a world matrix file, or a 4x4
                 world matrix (FIXED RAS -> MOVING RAS) to start from.
    search:      "wide" (every orientation, any turn) or "standard" (turns up to about
                 90 degrees per axis), as ``--search``.
    refine:      the precision stage after the search; False is ``--no-refine``.
    fixed_mask:  only FIXED voxels where this image is non-zero count (on FIXED's grid).
    moving_mask: only samples landing where this image is non-zero count (MOVING's grid).
    device:      "auto" (TARVO_DEVICE when set, else a GPU when usable, else the CPU),
                 "cpu" or "cuda".
    threads:     threads of the CPU backend (an error with a GPU).
    resample:    also return MOVING resampled onto FIXED's grid as ``image``.
    qc:          a PNG file to check the result by eye (``--qc``): MOVING registered, in
                 three planes, with FIXED's edges over it.
    verbose:     the search's per-level lines on standard error.

    The GIL is released while the device works; Ctrl-C ends the registration between two
    device calls with KeyboardInterrupt. Only one registration runs at a time per process.
    """
    t0 = time.perf_counter()
    if isinstance(dof, bool) or dof not in (6, 7, 9, 12):
        raise ValueError(f"dof must be 6, 7, 9 or 12, not {dof!r}")
    if search not in ("wide", "standard"):
        raise ValueError(f"search must be 'wide' or 'standard', not {search!r}")
    dev, nthreads = _device_name(device), _threads(threads)
    init_name, init_matrix = "header", None
    if isinstance(init, (str, os.PathLike)):
        init_name = os.fspath(init)
    else:
        init_matrix = _matrix(init, "init matrix")
    mvol = _prepare(moving, dev, nthreads, "moving")[1]
    fsrc, fvol = _prepare(fixed, dev, nthreads, "fixed", cache=True)
    fmask = _prepare(fixed_mask, dev, nthreads, "fixed_mask")[1] if fixed_mask is not None else None
    mmask = _prepare(moving_mask, dev, nthreads, "moving_mask")[1] if moving_mask is not None else None
    matrix, c = _tarvo.register(mvol, fvol, dof, init_name, init_matrix, fmask, mmask,
                                search, bool(refine), bool(verbose))
    image = None
    if resample or qc is not None:
        out = _tarvo.resample(mvol, fvol, matrix, False)
        if qc is not None:
            _tarvo.write_qc(fvol, out, os.fspath(qc))
        if resample:
            image = _output_image(out, mvol, fsrc, fvol)
    return Registration(matrix=matrix, cost=float(c), seconds=time.perf_counter() - t0,
                        device=mvol.device, image=image)


def apply(moving: ImageLike, fixed: ImageLike, matrix: Any, interp: str = "linear", *,
          device: str = "auto", threads: Optional[int] = None):
    """MOVING resampled onto FIXED's grid through a world matrix, as ``tarvo apply``.

    matrix: a 4x4 array (FIXED RAS mm -> MOVING RAS mm) or a matrix file (the text matrix
    or an ITK affine transform). interp: "linear" (trilinear) or "nearest" (labels).
    Voxels whose position falls outside MOVING are 0. Returns a nibabel Nifti1Image.
    """
    if interp not in ("linear", "nearest"):
        raise ValueError(f"interp must be linear or nearest, not {interp!r}")
    m = _matrix(matrix)
    dev, nthreads = _device_name(device), _threads(threads)
    mvol = _prepare(moving, dev, nthreads, "moving")[1]
    fsrc, fvol = _prepare(fixed, dev, nthreads, "fixed", cache=True)
    return _output_image(_tarvo.resample(mvol, fvol, m, interp == "nearest"), mvol, fsrc, fvol)


def cost(moving: ImageLike, fixed: ImageLike, matrix: Any = None, *, device: str = "auto",
         threads: Optional[int] = None) -> float:
    """The cost (correlation ratio - 1, at 1 mm, 256 bins) of MOVING seen through a world
    matrix (FIXED RAS -> MOVING RAS; None: the headers' world coordinates as they are).
    For a registration's own matrix it is close to the cost the registration reports."""
    m = None if matrix is None else _matrix(matrix)
    dev, nthreads = _device_name(device), _threads(threads)
    mvol = _prepare(moving, dev, nthreads, "moving")[1]
    fvol = _prepare(fixed, dev, nthreads, "fixed", cache=True)[1]
    return float(_tarvo.cost(mvol, fvol, m))


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
