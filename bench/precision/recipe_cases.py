#!/usr/bin/python3
"""Known-transform cases made by one fixed recipe, for the precision stage's accuracy across
contrasts and grids.

Every case starts from the template divided by its white-matter peak (the mode of its
histogram above a third of its 99th percentile):
  - contrast: through a monotone-cubic (PCHIP) lookup with knots (0, 0), (0.1, 0.15),
    (0.35, 0.95), (0.6, 0.55), (0.82, 0.2), (1.0, 0.5), (1.2, 0.4), (1.6, 0.35) (held
    beyond the last one), times 1000: non-monotonic across grey and white matter;
  - same, sagittal, oblique: times 1000 with no lookup; sagittal is stored with permuted
    and flipped axes (the header says so), oblique on a 1.2 mm grid turned 30 degrees.
It is then moved by a random affine about the template's centre (three rotations up to 45
degrees each, or with "turned" in the kind one axis turned by 60 to 180 degrees instead;
translations up to 15 mm; scales 0.9 to 1.1; skews up to 0.05), resampled with cubic
splines, given Rician noise of 1.5 % of the moved image's 99th percentile inside the head
(its non-zero voxels) over the whole grid, and stored as int16.

For case NAME the folder gets NAME.nii.gz and NAME_truth.txt: the world matrix that sends
a template RAS point in mm to the MOVING RAS point showing the same anatomy.

usage: recipe_cases.py TEMPLATE OUTDIR [--seed N] [--cases contrast,contrast-turned,...]
Kinds: contrast, contrast-turned, same, same-turned, sagittal, oblique. Needs
python3-nibabel and python3-scipy (Debian).
"""
import argparse
import os

import nibabel as nib
import numpy as np
from scipy import ndimage
from scipy.interpolate import PchipInterpolator

KNOTS = ((0, 0), (0.1, 0.15), (0.35, 0.95), (0.6, 0.55), (0.82, 0.2), (1.0, 0.5), (1.2, 0.4), (1.6, 0.35))


def axis_rotation(axis, degrees):
    c, s = np.cos(np.radians(degrees)), np.sin(np.radians(degrees))
    i, j = [(1, 2), (2, 0), (0, 1)][axis]
    r = np.eye(3)
    r[i, i], r[i, j], r[j, i], r[j, j] = c, -s, s, c
    return r


def random_affine(rng, centre, turned):
    """x -> L (x - c) + c + t, L = R K S."""
    if turned:
        a = int(rng.integers(3))
        r = axis_rotation(a, rng.choice([-1, 1]) * rng.uniform(60, 180))
    else:
        ang = rng.uniform(-45, 45, 3)
        r = axis_rotation(2, ang[2]) @ axis_rotation(1, ang[1]) @ axis_rotation(0, ang[0])
    s = np.diag(rng.uniform(0.9, 1.1, 3))
    k = np.eye(3)
    k[0, 1], k[0, 2], k[1, 2] = rng.uniform(-0.05, 0.05, 3)
    lin = r @ k @ s
    w = np.eye(4)
    w[:3, :3] = lin
    w[:3, 3] = centre - lin @ centre + rng.uniform(-15, 15, 3)
    return w


def resample(image, t_aff, w, shape, grid):
    """Moving voxel j holds the image at t_aff^-1 w^-1 grid j (cubic splines)."""
    to_template = np.linalg.inv(t_aff) @ np.linalg.inv(w) @ grid
    idx = np.indices(shape).reshape(3, -1).astype(np.float64)
    pos = to_template[:3, :3] @ idx + to_template[:3, 3:4]
    out = ndimage.map_coordinates(image, pos, order=3, mode="constant", cval=0.0, prefilter=True)
    return np.clip(out, 0, None).reshape(shape)


def white_matter_peak(t):
    top = np.percentile(t[t > 0], 99)
    h, e = np.histogram(t[t > top / 3], bins=200)
    h = ndimage.uniform_filter1d(h.astype(float), 5)
    i = int(np.argmax(h))
    return 0.5 * (e[i] + e[i + 1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("template")
    ap.add_argument("outdir")
    ap.add_argument("--seed", type=int, default=24)
    ap.add_argument("--noise", type=float, default=0.015, help="Rician sigma over the 99th percentile")
    ap.add_argument("--cases", default="contrast,contrast,contrast,contrast,contrast,contrast-turned,contrast-turned")
    a = ap.parse_args()
    os.makedirs(a.outdir, exist_ok=True)
    rng = np.random.default_rng(a.seed)
    t_img = nib.load(a.template)
    template = np.asarray(t_img.dataobj, dtype=np.float64)
    t_aff = t_img.affine
    shape = template.shape
    centre = (t_aff @ np.append((np.array(shape) - 1) / 2.0, 1))[:3]
    u = template / white_matter_peak(template)
    pchip = PchipInterpolator(*zip(*KNOTS))
    looked_up = pchip(np.clip(u, 0, KNOTS[-1][0])) * 1000.0
    plain = u * 1000.0
    for n, kind in enumerate(a.cases.split(",")):
        name = f"case{n}_{kind}"
        w = random_affine(rng, centre, kind.endswith("turned"))
        if kind == "oblique":
            r = axis_rotation(0, 30) @ axis_rotation(1, 12)
            g_shape = tuple(int(np.ceil(e * 1.1 / 1.2)) for e in shape)
            grid = np.eye(4)
            grid[:3, :3] = r * 1.2
            grid[:3, 3] = centre - grid[:3, :3] @ ((np.array(g_shape) - 1) / 2.0)
        else:
            g_shape, grid = shape, t_aff
        img = resample(looked_up if kind.startswith("contrast") else plain, t_aff, w, g_shape, grid)
        sigma = a.noise * np.percentile(img[img > 0], 99)
        if sigma > 0:
            img = np.sqrt((img + rng.normal(0, sigma, img.shape)) ** 2 + rng.normal(0, sigma, img.shape) ** 2)
        img = np.clip(np.rint(img), 0, 32767).astype(np.int16)
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
