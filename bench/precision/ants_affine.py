"""ANTs' affine registration (antspyx, its defaults) of MOVING to FIXED, written as a
world matrix (FIXED RAS mm -> MOVING RAS mm, four lines of four numbers) for comparison.

usage: <venv>/bin/python ants_affine.py MOVING FIXED OUT.txt
Prints the seconds ants.registration took. Run it with the virtual environment that
bench/precision.sh makes (PyPI antspyx).
"""
import sys
import time

import ants
import numpy as np


def main():
    moving, fixed, out = sys.argv[1:4]
    f = ants.image_read(fixed)
    m = ants.image_read(moving)
    t0 = time.time()
    reg = ants.registration(fixed=f, moving=m, type_of_transform="Affine", random_seed=1)
    secs = time.time() - t0
    tx = ants.read_transform(reg["fwdtransforms"][0])
    p = np.asarray(tx.parameters, dtype=np.float64)
    c = np.asarray(tx.fixed_parameters, dtype=np.float64)
    a, t = p[:9].reshape(3, 3), p[9:12]
    # ITK: fixed LPS point x -> moving LPS point a (x - c) + c + t.
    lps = np.eye(4)
    lps[:3, :3] = a
    lps[:3, 3] = c + t - a @ c
    flip = np.diag([-1.0, -1.0, 1.0, 1.0])
    np.savetxt(out, flip @ lps @ flip, fmt="%.10g")
    print(f"{secs:.1f}")


if __name__ == "__main__":
    main()
