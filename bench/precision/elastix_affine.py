#!/usr/bin/python3
"""elastix's affine registration (Debian elastix, the shared parameter file) of MOVING to
FIXED, written as a world matrix (FIXED RAS mm -> MOVING RAS mm, four lines of four
numbers) for comparison.

usage: elastix_affine.py MOVING FIXED PARAMETER_FILE OUT.txt
Prints the seconds elastix took. Needs elastix on the path.
"""
import re
import subprocess
import sys
import tempfile
import time

import numpy as np

from itkaffine import save_world_matrix


def values(text, key):
    m = re.search(r"\(" + key + r"((?:\s+[-+0-9.eE]+)+)\)", text)
    return np.array([float(v) for v in m.group(1).split()])


def main():
    moving, fixed, params, out = sys.argv[1:5]
    with tempfile.TemporaryDirectory() as tmp:
        t0 = time.time()
        subprocess.run(["elastix", "-f", fixed, "-m", moving, "-p", params, "-out", tmp, "-threads", "2"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        secs = time.time() - t0
        text = open(f"{tmp}/TransformParameters.0.txt").read()
    save_world_matrix(values(text, "TransformParameters"), values(text, "CenterOfRotationPoint"), out)
    print(f"{secs:.1f}")


if __name__ == "__main__":
    main()
