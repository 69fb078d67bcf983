"""Helpers of bench/peers.sh: the peer registrations, each written as a world matrix (FIXED
RAS mm -> MOVING RAS mm, four lines of four numbers, the convention of `tarvo register
--matrix`), a copy of an image moved by a known matrix, and the table of distances.

usage:
  peers.py ants MOVING FIXED OUT.txt             (virtual environment with antspyx)
  peers.py greedy MOVING FIXED OUT.txt           (virtual environment with picsl-greedy)
  peers.py elastix MOVING FIXED PARAMS OUT.txt   (Debian elastix on the path)
  peers.py tarvo MOVING FIXED OUT.txt TARVO [ARGS...]
  peers.py moved IMAGE OUT.nii.gz TRUTH.txt      (a copy of IMAGE whose world matrix is known)
  peers.py table FIXED MOVING NAME=MATRIX ... [-- NAME=MATRIX ...]
                                                 (distances: rows against rows, or columns)
The registration commands print "WALL CPU": seconds of the registration itself (the
interpreter's start and imports left out), CPU being user + system of all threads and
child processes.
"""
import os
import re
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "precision"))
from itkaffine import save_world_matrix  # noqa: E402

FLIP = np.diag([-1.0, -1.0, 1.0, 1.0])  # RAS <-> LPS, its own inverse


class Clock:
    def __enter__(self):
        self.t0 = time.perf_counter()
        self.c0 = self._cpu()
        return self

    def __exit__(self, *exc):
        self.wall = time.perf_counter() - self.t0
        self.cpu = self._cpu() - self.c0

    @staticmethod
    def _cpu():
        s = resource.getrusage(resource.RUSAGE_SELF)
        c = resource.getrusage(resource.RUSAGE_CHILDREN)
        return s.ru_utime + s.ru_stime + c.ru_utime + c.ru_stime

    def report(self):
        print(f"{self.wall:.2f} {self.cpu:.2f}")


def run_ants(moving, fixed, out):
    import ants

    # The seed argument of ants.registration is swallowed by its **kwargs in antspyx 0.6;
    # set_ants_deterministic would seed it but also force one thread.
    ants.config._random_seed = 1
    f = ants.image_read(fixed)
    m = ants.image_read(moving)
    with Clock() as clock:
        reg = ants.registration(fixed=f, moving=m, type_of_transform="Affine")
    tx = ants.read_transform(reg["fwdtransforms"][0])
    save_world_matrix(tx.parameters, tx.fixed_parameters, out)
    clock.report()


def run_greedy(moving, fixed, out):
    from picsl_greedy import Greedy3D

    threads = os.environ.get("PEERS_THREADS", "2")
    with tempfile.TemporaryDirectory() as tmp:
        start, mat = os.path.join(tmp, "start.mat"), os.path.join(tmp, "affine.mat")
        g = Greedy3D()
        # Centres of mass paired first, as elastix and ANTs do (the wheel's parser has no
        # -ia-moments, so -moments 1 writes the start); three levels (4, 2, 1 voxels).
        with Clock() as clock:
            g.execute(f"-i {fixed} {moving} -moments 1 -threads {threads} -V 0 -o {start}")
            g.execute(f"-i {fixed} {moving} -a -dof 12 -m NMI -ia {start} -n 100x50x10 "
                      f"-seed 1 -threads {threads} -V 0 -o {mat}")
        # Greedy's matrix is already RAS, fixed physical -> moving physical.
        np.savetxt(out, np.loadtxt(mat), fmt="%.10g")
    clock.report()


def elastix_values(text, key):
    m = re.search(r"\(" + key + r"((?:\s+[-+0-9.eE]+)+)\)", text)
    return np.array([float(v) for v in m.group(1).split()])


def run_elastix(moving, fixed, params, out):
    threads = os.environ.get("PEERS_THREADS", "2")
    with tempfile.TemporaryDirectory() as tmp:
        with Clock() as clock:
            subprocess.run(["elastix", "-f", fixed, "-m", moving, "-p", params, "-out", tmp,
                            "-threads", threads],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        text = open(os.path.join(tmp, "TransformParameters.0.txt")).read()
    # The centre-of-gravity start is folded into this transform: nothing else to chain.
    assert '(InitialTransformParametersFileName "NoInitialTransform")' in text, "chained transform"
    save_world_matrix(elastix_values(text, "TransformParameters"),
                      elastix_values(text, "CenterOfRotationPoint"), out)
    clock.report()


def run_tarvo(moving, fixed, out, tarvo, args):
    with Clock() as clock:
        subprocess.run([tarvo, "register", moving, fixed, "--matrix", out, "--quiet", *args],
                       check=True, stdout=subprocess.DEVNULL)
    clock.report()


def rotation(degrees):
    x, y, z = np.radians(degrees)
    rx = np.array([[1, 0, 0], [0, np.cos(x), -np.sin(x)], [0, np.sin(x), np.cos(x)]])
    ry = np.array([[np.cos(y), 0, np.sin(y)], [0, 1, 0], [-np.sin(y), 0, np.cos(y)]])
    rz = np.array([[np.cos(z), -np.sin(z), 0], [np.sin(z), np.cos(z), 0], [0, 0, 1]])
    return rz @ ry @ rx


def make_moved(image, out, truth):
    """The same voxels under a new header: voxel v of the copy lies at W (A v) where it lay
    at A v, so W is exactly the world matrix from the original to the copy, with no
    resampling to blur the check. W is a rigid turn about a point off the origin plus a
    shift, so the header stays a valid qform for ITK, and a transposed, inverted or
    LPS-read matrix is tens of mm off."""
    import nibabel as nib

    img = nib.load(image)
    w = np.eye(4)
    w[:3, :3] = rotation((12.0, -8.0, 15.0))
    centre = np.array([0.0, -18.0, 18.0])
    w[:3, 3] = centre - w[:3, :3] @ centre + np.array([6.0, -4.0, 5.0])
    affine = w @ img.affine
    copy = nib.Nifti1Image(np.asanyarray(img.dataobj), affine, img.header)
    copy.set_sform(affine, code=int(img.header["sform_code"]) or 1)
    copy.set_qform(affine, code=int(img.header["qform_code"]) or 1)
    nib.save(copy, out)
    np.savetxt(truth, w, fmt="%.10g")


def brain_points(fixed):
    """World points (RAS mm, 3 x n) of the fixed image's brain: voxels above 30 % of the
    99th percentile of its non-zero voxels."""
    import nibabel as nib

    img = nib.load(fixed)
    data = np.asarray(img.dataobj, dtype=np.float32)
    top = np.percentile(data[data > 0], 99)
    idx = np.argwhere(data > 0.3 * top).T.astype(np.float64)
    return img.affine[:3, :3] @ idx + img.affine[:3, 3:4]


def table(fixed, moving, named, columns=None):
    """Row A, column B: the mean distance (mm, in MOVING's space) between where A and B send
    the brain points that A sends inside MOVING's field of view. Rows differ from columns only
    through that field of view. Without `columns` the columns are the rows."""
    import nibabel as nib

    pts = brain_points(fixed)
    mov = nib.load(moving)
    to_vox = np.linalg.inv(mov.affine)
    shape = np.array(mov.shape[:3], dtype=np.float64)[:, None]
    columns = columns or named
    names = [n for n, _ in columns]
    mats = [np.loadtxt(p) for _, p in columns]
    width = max(12, max(len(n) for n, _ in named + columns) + 1)
    corner = "from \\ to"
    print(f"{corner:<{width}}" + "".join(f"{n:>{width}}" for n in names) + f"{'in FOV':>9}")
    for a, ma in ((n, np.loadtxt(p)) for n, p in named):
        ya = ma[:3, :3] @ pts + ma[:3, 3:4]
        v = to_vox[:3, :3] @ ya + to_vox[:3, 3:4]
        inside = np.all((v >= 0) & (v <= shape - 1), axis=0)
        row = []
        for mb in mats:
            yb = mb[:3, :3] @ pts[:, inside] + mb[:3, 3:4]
            d = np.sqrt(((ya[:, inside] - yb) ** 2).sum(axis=0))
            row.append(f"{d.mean():.2f}" if d.size else "-")
        print(f"{a:<{width}}" + "".join(f"{r:>{width}}" for r in row) + f"{inside.mean():>8.0%} ")


def main():
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == "ants":
        run_ants(*args)
    elif cmd == "greedy":
        run_greedy(*args)
    elif cmd == "elastix":
        run_elastix(*args)
    elif cmd == "tarvo":
        run_tarvo(args[0], args[1], args[2], args[3], args[4:])
    elif cmd == "moved":
        make_moved(*args)
    elif cmd == "table":
        rest = [a.split("=", 1) for a in args[2:] if a != "--"]
        cut = args[2:].index("--") if "--" in args else len(rest)
        table(args[0], args[1], rest[:cut], rest[cut:] or None)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
