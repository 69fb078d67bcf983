"""The package's functions: register, apply and cost."""

from __future__ import annotations

import os
import time
import warnings
from dataclasses import dataclass
from typing import Any, Optional, Union

import numpy as np

from . import _tarvo
from ._devices import _device_name, _threads
from ._images import ImageLike, _prepare, _refuse_boolean
from ._matrices import _matrix
from ._outputs import _output_image


@dataclass
class Registration:
    """The result of :func:`register`.

    matrix:  4x4 float64, FIXED world RAS mm -> MOVING world RAS mm, exactly the numbers
             ``tarvo register --matrix`` writes.
    cost:    the final cost (correlation ratio - 1, both ways weighed 1:3 unless two_way=False;
             -1 is perfect).
    seconds: wall time of the call.
    device:  "cpu" or "cuda".
    image:   MOVING resampled onto FIXED's grid (a nibabel Nifti1Image), or None when
             ``resample=False``.

    The verdict on the matrix, as ``tarvo register`` prints it:

    fixed_overlap:  share of FIXED's foreground inside MOVING's field of view (0 to 1).
    moving_overlap: share of MOVING's foreground inside FIXED's field of view (0 to 1).
    turn:           degrees the result turns away from the start (``init``).
    verdict:        "ok" or "suspect".
    reason:         why it is suspect, in a few words; "" when ok.
    suspect:        ``verdict == "suspect"``: look at the result (``qc``) before using it.
    """

    matrix: np.ndarray
    cost: float
    seconds: float
    device: str
    image: Optional[Any] = None
    fixed_overlap: float = 0.0
    moving_overlap: float = 0.0
    turn: float = 0.0
    verdict: str = "ok"
    reason: str = ""

    @property
    def suspect(self) -> bool:
        return self.verdict == "suspect"


def _caption_name(image) -> str:
    """How the check picture's caption names an input: its path as given, a nibabel image's
    file, or what it is."""
    if isinstance(image, (str, os.PathLike)):
        return os.fspath(image)
    name = getattr(image, "get_filename", lambda: None)()
    return name if name else f"({type(image).__name__} in memory)"


def register(
    moving: ImageLike,
    fixed: ImageLike,
    *,
    dof: int = 12,
    init: Union[str, os.PathLike, np.ndarray] = "header",
    search: str = "header",
    refine: bool = True,
    foreground: bool = True,
    two_way: bool = True,
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
    search:      "header" (every orientation, but a turn of more than 45 degrees from the
                 start only when clearly better), "wide" (every orientation alike) or
                 "standard" (turns up to about 90 degrees per axis), as ``--search``.
    refine:      the precision stage after the search; False is ``--no-refine``.
    foreground:  only FIXED's automatic foreground (its tissue) enters the cost; False
                 counts every FIXED voxel, as ``--no-foreground`` (phantoms, images already
                 masked).
    two_way:     the cost taken both ways (MOVING given FIXED's bins and FIXED given
                 MOVING's over MOVING's tissue); False takes it one way, as ``--one-way``.
    fixed_mask:  only FIXED voxels where this image is non-zero count (on FIXED's grid).
    moving_mask: only samples landing where this image is non-zero count (MOVING's grid).
    device:      "auto" (TARVO_DEVICE when set, else a GPU when usable, else the CPU),
                 "cpu" or "cuda".
    threads:     threads of the CPU backend (an error with a GPU).
    resample:    also return MOVING resampled onto FIXED's grid as ``image``.
    qc:          a PNG file to check the result by eye (``--qc``): MOVING registered, in
                 three planes, with FIXED's edges over it.
    verbose:     the search's per-level lines on standard error.

    A result whose verdict is suspect (see :class:`Registration` and the README's limits)
    is returned all the same, with one ``UserWarning`` that gives the reason.

    ValueError for an image with nothing to register (constant, all zero or all NaN, or
    constant inside its mask), a mask with fewer than 1000 voxels inside, or a boolean array
    given as an image (a mask). Voxels that are not finite numbers are 0, with a warning.

    The GIL is released while the device works; Ctrl-C ends the registration between two
    device calls with KeyboardInterrupt. Only one registration runs at a time per process.
    """
    t0 = time.perf_counter()
    if isinstance(dof, bool) or dof not in (6, 7, 9, 12):
        raise ValueError(f"dof must be 6, 7, 9 or 12, not {dof!r}")
    if search not in ("header", "wide", "standard"):
        raise ValueError(f"search must be 'header', 'wide' or 'standard', not {search!r}")
    if qc is not None and not os.fspath(qc).lower().endswith(".png"):
        raise ValueError(f"qc must be a file name ending in .png (the picture is a PNG), not {os.fspath(qc)!r}")
    _refuse_boolean(moving, "moving")
    _refuse_boolean(fixed, "fixed")
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
    matrix, c, f_overlap, m_overlap, turn, suspect, reason = _tarvo.register(
        mvol, fvol, dof, init_name, init_matrix, fmask, mmask, search, bool(refine), bool(verbose),
        bool(foreground), bool(two_way))
    image = None
    if resample or qc is not None:
        out = _tarvo.resample(mvol, fvol, matrix, False)
        if qc is not None:
            _tarvo.write_qc(fvol, out, os.fspath(qc), "MOVING " + _caption_name(moving), _caption_name(fixed),
                            float(c), float(f_overlap), float(m_overlap), float(turn), bool(suspect), reason, dof)
        if resample:
            image = _output_image(out, mvol, fsrc, fvol)
    if suspect:
        # stacklevel 2: the warning names the caller's line, where the result is used.
        warnings.warn(f"tarvo.register: the result may be wrong: {reason}; look at it (qc=) before using it",
                      UserWarning, stacklevel=2)
    return Registration(matrix=matrix, cost=float(c), seconds=time.perf_counter() - t0,
                        device=mvol.device, image=image, fixed_overlap=float(f_overlap),
                        moving_overlap=float(m_overlap), turn=float(turn),
                        verdict="suspect" if suspect else "ok", reason=reason)


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
