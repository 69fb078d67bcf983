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

from . import _tarvo
from ._api import Registration, apply, cost, register
from ._images import ImageLike, clear_cache
from ._matrices import read_matrix, to_itk, write_matrix

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

# The public names read as the package's own (help, repr, pickles), wherever they are defined.
for _name in __all__[:-1]:
    globals()[_name].__module__ = __name__
del _name
