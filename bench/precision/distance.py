#!/usr/bin/python3
"""Distance between two world matrices (FIXED RAS mm -> MOVING RAS mm) over the brain.

usage: distance.py FIXED A.txt B.txt
Prints "mean M max X" in mm: how far apart A and B send the FIXED voxels whose intensity is
above a tenth of the 99th percentile of the non-zero ones (the brain, on a skull-stripped
image). Needs python3-nibabel (Debian).
"""
import sys

import nibabel as nib
import numpy as np


def main():
    fixed, a, b = sys.argv[1:4]
    img = nib.load(fixed)
    data = np.asarray(img.dataobj, dtype=np.float32)
    top = np.percentile(data[data > 0], 99)
    idx = np.argwhere(data > 0.1 * top).T.astype(np.float64)
    world = img.affine[:3, :3] @ idx + img.affine[:3, 3:4]
    ma, mb = np.loadtxt(a), np.loadtxt(b)
    d = (ma - mb)[:3, :3] @ world + (ma - mb)[:3, 3:4]
    n = np.sqrt((d * d).sum(axis=0))
    print(f"mean {n.mean():.4f} max {n.max():.4f}")


if __name__ == "__main__":
    main()
