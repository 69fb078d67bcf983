"""Results as nibabel images, with the dtype and orientation that the command line writes."""

from __future__ import annotations

import numpy as np

from . import _tarvo


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
