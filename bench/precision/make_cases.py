#!/usr/bin/python3
"""Known-transform registration cases from one template volume.

Each case is the template moved by a random affine (rotation up to 45 degrees about a
random axis, translation, scales, skews), resampled with cubic splines, with Rician noise;
one case in a second contrast (a non-monotonic intensity lookup); one stored sagittally
(axes permuted and flipped, header saying so) and one on an oblique 1.2 mm grid. For case
NAME the folder gets NAME.nii.gz (the moving image) and NAME_truth.txt: the world matrix
that sends a FIXED (template) RAS point in mm to the MOVING RAS point showing the same
anatomy, four lines of four numbers.

usage: make_cases.py TEMPLATE OUTDIR [--seed N] [--cases same,same,contrast,sagittal,oblique]
Needs python3-nibabel, python3-scipy (Debian).
"""
import argparse
import os

import nibabel as nib
import numpy as np
from scipy import ndimage


def rotation(axis, degrees):
    axis = axis / np.linalg.norm(axis)
    a = np.radians(degrees)
    k = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]])
    return np.eye(3) + np.sin(a) * k + (1 - np.cos(a)) * k @ k


def random_affine(rng, centre):
    """Affine about the template's centre: x -> L (x - c) + c + t."""
    r = rotation(rng.normal(size=3), rng.uniform(-45, 45))
    s = np.diag(rng.uniform(0.9, 1.1, 3))
    k = np.eye(3)
    k[0, 1], k[0, 2], k[1, 2] = rng.uniform(-0.05, 0.05, 3)
    lin = r @ k @ s
    t = rng.uniform(-10, 10, 3)
    w = np.eye(4)
    w[:3, :3] = lin
    w[:3, 3] = centre - lin @ centre + t
    return w


def resample(template, t_aff, w, shape, grid):
    """Moving image on (shape, grid): value at moving voxel j is the template at
    t_aff^-1 w^-1 grid j."""
    to_template = np.linalg.inv(t_aff) @ np.linalg.inv(w) @ grid
    idx = np.indices(shape).reshape(3, -1).astype(np.float64)
    pos = to_template[:3, :3] @ idx + to_template[:3, 3:4]
    out = ndimage.map_coordinates(template, pos, order=3, mode="constant", cval=0.0, prefilter=True)
    return np.clip(out, 0, None).reshape(shape).astype(np.float32)


def rician(rng, img, sigma):
    return np.sqrt((img + rng.normal(0, sigma, img.shape)) ** 2 + rng.normal(0, sigma, img.shape) ** 2).astype(np.float32)


def lookup(img, top):
    """A second contrast: non-monotonic in the tissue range, background kept dark."""
    u = np.clip(img / top, 0, 1.2)
    v = (0.25 + 0.75 * np.abs(np.sin(2.4 * np.pi * u + 0.4))) * (u > 0.05)
    return (v * top).astype(np.float32)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("template")
    ap.add_argument("outdir")
    ap.add_argument("--seed", type=int, default=10)
    ap.add_argument("--cases", default="same,same,contrast,sagittal,oblique")
    a = ap.parse_args()
    os.makedirs(a.outdir, exist_ok=True)
    rng = np.random.default_rng(a.seed)
    t_img = nib.load(a.template)
    template = np.asarray(t_img.dataobj, dtype=np.float64)
    t_aff = t_img.affine
    shape = template.shape
    centre = (t_aff @ np.append((np.array(shape) - 1) / 2.0, 1))[:3]
    top = np.percentile(template[template > 0], 99)
    for n, kind in enumerate(a.cases.split(",")):
        name = f"case{n}_{kind}"
        w = random_affine(rng, centre)
        if kind == "oblique":
            # 1.2 mm voxels turned 30 degrees, centred where the template's grid is.
            r = rotation(np.array([1.0, 0.5, 0.2]), 30)
            g_shape = tuple(int(np.ceil(e * 1.05 / 1.2)) for e in shape)
            grid = np.eye(4)
            grid[:3, :3] = r * 1.2
            grid[:3, 3] = centre - grid[:3, :3] @ ((np.array(g_shape) - 1) / 2.0)
        else:
            g_shape, grid = shape, t_aff
        img = resample(template, t_aff, w, g_shape, grid)
        if kind == "contrast":
            img = lookup(img, top)
        img = rician(rng, img, 0.03 * top)
        if kind == "sagittal":
            # Stored axes (a, b, c) = (old k, flipped old i, old j): same voxels, new header.
            n0 = img.shape[0]
            img = np.flip(np.transpose(img, (2, 0, 1)), axis=1).copy()
            p = np.array([[0, -1, 0, n0 - 1], [0, 0, 1, 0], [1, 0, 0, 0], [0, 0, 0, 1]], dtype=float)
            grid = grid @ p
        out = nib.Nifti1Image(img, grid)
        out.set_qform(grid, code=1)
        out.set_sform(grid, code=1)
        nib.save(out, os.path.join(a.outdir, name + ".nii.gz"))
        np.savetxt(os.path.join(a.outdir, name + "_truth.txt"), w, fmt="%.10g")
        print(name)


if __name__ == "__main__":
    main()
