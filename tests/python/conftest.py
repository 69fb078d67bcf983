import os
import shutil
import sys

import numpy as np
import pytest

os.environ.setdefault("TARVO_DEVICE", "cpu")


def head(shape=(32, 36, 32), zoom=3.0, contrast="t1", seed=0, dtype=np.int16):
    """A small synthetic head: skin, skull, brain with ventricles and an off-centre lesion,
    so that no rotation or flip maps it onto itself. Contrast t1 or t2."""
    rng = np.random.default_rng(seed)
    g = np.stack(np.meshgrid(*[(np.arange(n) - (n - 1) / 2) * zoom for n in shape], indexing="ij"))
    # Sized to the grid: a head filling about 80 % of the field of view.
    s = min((n - 1) * zoom for n in shape) / 120.0
    x, y, z = g / s

    def ell(cx, cy, cz, rx, ry, rz):
        return ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 + ((z - cz) / rz) ** 2 <= 1

    v = np.zeros(shape, np.float64)
    values = {"t1": (60, 20, 140, 40, 200), "t2": (80, 10, 90, 220, 40)}[contrast]
    skin, skull, brain, csf, lesion = values
    v[ell(0, 0, 0, 52, 60, 50)] = skin
    v[ell(0, 0, 0, 48, 56, 46)] = skull
    v[ell(0, 2, 2, 44, 52, 42)] = brain
    v[ell(-6, 4, 6, 5, 14, 8) | ell(6, 4, 6, 5, 14, 8)] = csf
    v[ell(18, -20, 14, 8, 6, 9)] = lesion
    v[ell(-22, 30, -12, 4, 4, 4)] = lesion
    v += rng.normal(0, 3, shape)
    v = np.clip(v, 0, None)
    return v.astype(dtype)


def affine(shape, zoom=3.0, shift=(0.0, 0.0, 0.0)):
    a = np.diag([zoom, zoom, zoom, 1.0])
    a[:3, 3] = -(np.asarray(shape) - 1) / 2 * zoom + np.asarray(shift)
    return a


@pytest.fixture(scope="session")
def pair(tmp_path_factory):
    """(moving path, fixed path) on disk as int16 NIfTI: a T2-like head whose header puts it
    7 mm right, 4 mm back of a T1-like head."""
    import nibabel as nib

    d = tmp_path_factory.mktemp("pair")
    fixed = head(contrast="t1", seed=1)
    moving = head(contrast="t2", seed=2)
    fp, mp = d / "fixed.nii.gz", d / "moving.nii.gz"
    nib.Nifti1Image(fixed, affine(fixed.shape)).to_filename(fp)
    nib.Nifti1Image(moving, affine(moving.shape, shift=(7, -4, 3))).to_filename(mp)
    return str(mp), str(fp)


@pytest.fixture(scope="session")
def tarvo_cli():
    exe = os.path.join(os.path.dirname(sys.executable), "tarvo")
    if not os.access(exe, os.X_OK):
        exe = shutil.which("tarvo")
    if not exe:
        pytest.skip("the tarvo command is not installed beside this Python")
    return exe
