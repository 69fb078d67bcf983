"""ANTs' affine registration (antspyx, its defaults) of MOVING to FIXED, written as a
world matrix (FIXED RAS mm -> MOVING RAS mm, four lines of four numbers) for comparison.

usage: <venv>/bin/python ants_affine.py MOVING FIXED OUT.txt
Prints the seconds ants.registration took. Run it with the virtual environment that
bench/precision.sh makes (PyPI antspyx).
"""
import sys
import time

import ants

from itkaffine import save_world_matrix


def main():
    moving, fixed, out = sys.argv[1:4]
    f = ants.image_read(fixed)
    m = ants.image_read(moving)
    t0 = time.time()
    reg = ants.registration(fixed=f, moving=m, type_of_transform="Affine", random_seed=1)
    secs = time.time() - t0
    tx = ants.read_transform(reg["fwdtransforms"][0])
    save_world_matrix(tx.parameters, tx.fixed_parameters, out)
    print(f"{secs:.1f}")


if __name__ == "__main__":
    main()
