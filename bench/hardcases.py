#!/usr/bin/python3
"""Hard registration cases with known truth, made from the shared real volumes.

    hardcases.py make OUTDIR [--quick]     write the cases and OUTDIR/cases.tsv
    hardcases.py score OUTDIR RESULTDIR    error of RESULTDIR/<id>.txt against each truth

Each case is a MOVING image synthesised from a real volume through a chosen world affine T
(FIXED world -> MOVING world, the convention of `tarvo register --matrix`), a FIXED image
(one of the shared volumes, read in place) and T written as four lines of four numbers.

Families: slab (thick-sliced partial fields of view), epi (coarse, low-contrast, biased,
stretched, with signal loss), brain (brain-extracted against whole-head, both ways) and
peer (shared real pairs with no known truth: timed, never scored). Header knowledge is
crossed with them: `near` cases have a MOVING header that nearly aligns it (T within a few
degrees and millimetres of the identity), `far` ones a header from another frame (large
translation and turn, some of 90-180 degrees about one axis).

The shared volumes are read from TARVO_DATA (default ../shared/data from the repository
root); without them the script says so and exits 0, since users' machines lack them.
"""
import math
import os
import sys

import numpy as np

try:
    import nibabel as nib
    from scipy import ndimage
except ImportError as e:  # pragma: no cover
    print(f"hardcases: {e}: install python3-nibabel and python3-scipy")
    sys.exit(0)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.environ.get("TARVO_DATA", os.path.join(ROOT, "..", "shared", "data"))
FILES = {
    "t1": "subject_t1_0.88mm.nii.gz",
    "brain": "subject_t1_brain_0.88mm.nii.gz",
    "flair": "subject_flair_1mm.nii.gz",
    "template": "icbm2009_t1_1mm.nii.gz",
    "epi": "epi_mean_3mm.nii.gz",
}
PASS_MM = 2.0


def data_path(key):
    return os.path.abspath(os.path.join(DATA, FILES[key]))


def have_data():
    missing = [f for f in FILES.values() if not os.path.exists(os.path.join(DATA, f))]
    if missing:
        print(f"hardcases: shared data missing in {os.path.abspath(DATA)} "
              f"({', '.join(missing)}): nothing to do (set TARVO_DATA)")
        return False
    return True


# ---------------------------------------------------------------- geometry

def rotation(axis, degrees):
    a = np.asarray(axis, float)
    a = a / np.linalg.norm(a)
    t = math.radians(degrees)
    k = np.array([[0, -a[2], a[1]], [a[2], 0, -a[0]], [-a[1], a[0], 0]])
    return np.eye(3) + math.sin(t) * k + (1 - math.cos(t)) * (k @ k)


def affine(lin, shift):
    m = np.eye(4)
    m[:3, :3] = lin
    m[:3, 3] = shift
    return m


def about(lin, centre, shift=(0, 0, 0)):
    """x -> lin (x - centre) + centre + shift."""
    c = np.asarray(centre, float)
    return affine(lin, c - lin @ c + np.asarray(shift, float))


def random_axis(rng):
    v = rng.normal(size=3)
    return v / np.linalg.norm(v)


def rigid_truth(rng, header, centre):
    """The rigid part of T and a words description. near: within ~3 degrees per axis and
    ~4 mm; far: 20-60 mm and 15-45 degrees about a random axis, or 90-180 degrees about
    one world axis (chosen by the caller's header string 'far180')."""
    if header == "near":
        r = rotation((1, 0, 0), rng.uniform(-3, 3)) @ rotation((0, 1, 0), rng.uniform(-3, 3)) \
            @ rotation((0, 0, 1), rng.uniform(-3, 3))
        t = rng.uniform(-4, 4, size=3)
        ang = math.degrees(math.acos(np.clip((np.trace(r) - 1) / 2, -1, 1)))
        return about(r, centre, t), f"turn {ang:.1f} deg, shift {np.linalg.norm(t):.1f} mm"
    t = random_axis(rng) * rng.uniform(20, 60)
    if header == "far180":
        ax = int(rng.integers(3))
        ang = float(rng.choice([90, 120, 150, 180, -90, -135]))
        r = rotation(np.eye(3)[ax], ang)
        words = f"turn {ang:.0f} deg about {'xyz'[ax]}"
    else:
        ang = rng.uniform(15, 45)
        r = rotation(random_axis(rng), ang)
        words = f"turn {ang:.0f} deg"
    return about(r, centre, t), f"{words}, shift {np.linalg.norm(t):.0f} mm"


# Orientations of stored slices, as voxel-axis -> world-axis matrices whose third column is
# the slice normal. Some are left-handed, as radiological storage is.
SLICING = {
    "axial": np.eye(3),
    "axial-las": np.diag([-1.0, 1, 1]),
    "coronal": np.array([[-1.0, 0, 0], [0, 0, 1], [0, 1, 0]]),
    "coronal-rsa": np.array([[1.0, 0, 0], [0, 0, 1], [0, 1, 0]]),
    "sagittal": np.array([[0.0, 0, 1], [1, 0, 0], [0, 1, 0]]),
    "sagittal-asr": np.array([[0.0, 0, -1], [1, 0, 0], [0, 1, 0]]),
}


# ---------------------------------------------------------------- sources

class Source:
    """A real volume as floats, with its world affine and (when known) its brain mask."""

    def __init__(self, key):
        img = nib.load(data_path(key))
        self.key = key
        self.affine = img.affine
        self.data = np.asanyarray(img.dataobj).astype(np.float32)
        self.shape = self.data.shape
        self.p99 = float(np.percentile(self.data[self.data > 0], 99))
        self.mask = None

    def world_of(self, mask):
        ijk = np.argwhere(mask)
        return ijk @ self.affine[:3, :3].T + self.affine[:3, 3]


_cache = {}


def source(key):
    if key not in _cache:
        s = Source(key)
        if key in ("t1", "brain"):
            s.mask = np.asanyarray(nib.load(data_path("brain")).dataobj) > 0
        else:
            s.mask = s.data > 0.3 * s.p99
        _cache[key] = s
    return _cache[key]


def brain_centre(src):
    return src.world_of(src.mask).mean(0)


def dropout_centres(src):
    """Where EPI loses signal near air: the orbitofrontal cortex and both temporal poles,
    found from the brain mask (the most anterior brain low down)."""
    w = src.world_of(src.mask)
    ymax = w[:, 1].max()
    front = w[w[:, 1] > ymax - 30]
    c = [np.array([front[:, 0].mean(), ymax - 15, front[:, 2].min() + 10])]
    zc = w[:, 2].mean()
    for side in (-1, 1):
        sel = w[(side * w[:, 0] > 35) & (w[:, 2] < zc - 20) & (w[:, 2] > zc - 50)]
        tip = sel[np.argmax(sel[:, 1])]
        c.append(tip + np.array([side * 3.0, -8, -4]))
    return c


def tissue_levels(src):
    """Grey and white matter intensities: the two upper modes of the brain histogram."""
    v = src.data[src.mask]
    return float(np.percentile(v, 45)), float(np.percentile(v, 85))


def contrast(src, kind):
    """The source's intensities remapped to another contrast (before resampling)."""
    d = src.data
    if kind == "t1":
        return d
    gm, wm = tissue_levels(src)
    brain = ndimage.gaussian_filter(src.mask.astype(np.float32), 1.2)
    x = d / wm
    if kind == "flairlike":
        # Dark CSF, grey brighter than white, bright-ish scalp fat.
        g = gm / wm
        inside = np.where(x < g, x, g - 0.7 * (x - g)) * 1.2
        return (brain * inside + (1 - brain) * 0.8 * x) * wm
    if kind == "epi-inverted":
        # T2*-like: CSF bright, grey above white, weak contrast, fat suppressed.
        inside = 1.0 - 0.35 * np.clip(x, 0, 1.2)
        inside = np.where(x < 0.08, 0.0, inside)  # outside the head in brain-mask edges
        return (brain * inside + (1 - brain) * 0.2 * np.clip(x, 0, 2)) * 1000
    if kind == "epi-compressed":
        # T1-like but grey and white compressed together.
        inside = np.clip(x, 0, 1.5) ** 0.35
        return (brain * inside + (1 - brain) * 0.35 * np.clip(x, 0, 2)) * 1000
    raise ValueError(kind)


# ---------------------------------------------------------------- synthesis

def grid_world(shape, lin, centre_world):
    """A header (voxel -> world) whose linear part is lin and whose grid centre lies at
    centre_world."""
    g = (np.asarray(shape) - 1) / 2.0
    return affine(lin, np.asarray(centre_world) - lin @ g)


def synthesise(values, src_affine, shape, mov_affine, truth, profile=None):
    """MOVING(v) = values at FIXED-world T^-1(mov_affine v), averaged over the voxel's
    extent along each axis (a box slice profile), trilinear between source voxels."""
    vox = np.linalg.norm(mov_affine[:3, :3], axis=0)
    src_step = float(np.min(np.linalg.norm(src_affine[:3, :3], axis=0)))
    to_src = np.linalg.inv(src_affine) @ np.linalg.inv(truth) @ mov_affine
    n = [max(1, int(math.ceil(v / (1.1 * src_step) - 0.2))) for v in vox]
    if profile is not None:
        n = [max(a, b) for a, b in zip(n, profile)]
    offs = [((np.arange(k) + 0.5) / k - 0.5) for k in n]
    idx = np.indices(shape, dtype=np.float32).reshape(3, -1)
    out = np.zeros(idx.shape[1], np.float64)
    for ox in offs[0]:
        for oy in offs[1]:
            for oz in offs[2]:
                p = idx + np.array([[ox], [oy], [oz]], np.float32)
                c = to_src[:3, :3].astype(np.float32) @ p + to_src[:3, 3:4].astype(np.float32)
                out += ndimage.map_coordinates(values, c, order=1, mode="constant", cval=0.0)
    out /= len(offs[0]) * len(offs[1]) * len(offs[2])
    return out.reshape(shape)


def bias_field(shape, rng, strength):
    u = [np.linspace(-1, 1, s) for s in shape]
    x, y, z = np.meshgrid(*u, indexing="ij")
    c = rng.uniform(-1, 1, size=9) * strength
    f = c[0] * x + c[1] * y + c[2] * z + c[3] * x * y + c[4] * y * z + c[5] * x * z \
        + c[6] * x * x + c[7] * y * y + c[8] * z * z
    return np.exp(f)


def noisy(img, rng, sigma, rician):
    a = img + rng.normal(0, sigma, img.shape)
    if rician:
        return np.sqrt(a * a + rng.normal(0, sigma, img.shape) ** 2)
    return a


def save(path, data, aff, dtype):
    if dtype == np.int16:
        data = np.clip(np.round(data), -32768, 32767)
    img = nib.Nifti1Image(data.astype(dtype), aff)
    img.set_sform(aff, code=1)
    img.set_qform(aff, code=1)
    nib.save(img, path)


def write_matrix(path, m):
    with open(path, "w") as f:
        for row in m:
            f.write(" ".join(f"{v:.9g}" for v in row) + "\n")


def read_matrix(path):
    m = np.loadtxt(path)
    if m.shape != (4, 4):
        raise ValueError(f"{path}: not a 4x4 matrix")
    return m


# ---------------------------------------------------------------- the cases

def plan(quick):
    """The case list: (id, family, fixed key, recipe dict). Seeds are fixed per case."""
    cases = []

    def add(cid, family, fixed, **r):
        cases.append((cid, family, fixed, r))

    # Slabs: thickness of the slab (mm), slice thickness (mm), in-plane pixel, slicing,
    # offset of the slab centre from the brain centre along its normal.
    slabs = [
        ("t1", "t1", "t1", 30, 3, 0.9, "axial", 10, "near"),
        ("t1", "t1", "t1", 45, 5, 1.0, "axial-las", -10, "far"),
        ("t1", "t1", "t1", 60, 4, 0.9, "axial", 20, "near"),
        ("t1", "t1", "t1", 60, 6, 1.1, "axial", -25, "far"),
        ("t1", "t1", "t1", 80, 2, 1.0, "axial-las", 0, "far180"),
        ("t1", "t1", "t1", 100, 4, 1.0, "axial", 5, "near"),
        ("t1", "t1", "t1", 120, 5, 1.2, "axial", 0, "far"),
        ("t1", "t1", "t1", 40, 6, 1.0, "axial", 35, "near"),
        ("t1", "t1", "t1", 50, 3, 0.9, "coronal", 0, "near"),
        ("t1", "t1", "t1", 80, 5, 1.0, "coronal-rsa", -30, "far"),
        ("t1", "t1", "t1", 100, 4, 1.0, "coronal", 20, "far180"),
        ("t1", "t1", "t1", 40, 4, 1.0, "sagittal", 0, "near"),
        ("t1", "t1", "t1", 70, 5, 1.0, "sagittal-asr", 25, "far"),
        ("t1", "t1", "flairlike", 60, 5, 1.0, "axial", 0, "near"),
        ("t1", "t1", "flairlike", 90, 4, 1.0, "axial-las", -10, "far"),
        ("flair", "flair", "t1", 50, 5, 1.0, "axial", 0, "far"),
        ("flair", "flair", "t1", 80, 3, 1.0, "coronal", 0, "near"),
        ("template", "template", "t1", 60, 5, 1.0, "axial", 10, "far"),
        ("template", "template", "t1", 40, 6, 1.0, "sagittal", 0, "near"),
    ]
    for i, (src, fixed, con, slab, thick, pix, slicing, off, header) in enumerate(slabs):
        add(f"slab{i + 1:02d}", "slab", fixed, kind="slab", src=src, contrast=con, slab=slab,
            thick=thick, pix=pix, slicing=slicing, offset=off, header=header, seed=100 + i)

    # EPI-like: voxel (mm), slice thickness, phase-encode axis of the stored grid, stretch,
    # contrast, slices (coverage), noise kind, fixed.
    epis = [
        (3.0, 3.0, 1, 1.05, "epi-inverted", 40, "rician", "t1", "near"),
        (3.5, 3.5, 1, 1.08, "epi-inverted", 36, "gauss", "t1", "near"),
        (4.0, 4.0, 1, 1.10, "epi-compressed", 32, "rician", "t1", "far"),
        (3.0, 3.6, 1, 1.04, "epi-inverted", 36, "gauss", "t1", "far"),
        (3.75, 4.0, 0, 1.06, "epi-inverted", 30, "rician", "t1", "near"),
        (3.0, 3.0, 1, 1.03, "epi-compressed", 44, "gauss", "t1", "far180"),
        (3.5, 3.5, 1, 1.07, "epi-inverted", 24, "rician", "t1", "near"),
        (4.0, 4.0, 0, 1.09, "epi-inverted", 36, "gauss", "t1", "far"),
        (3.0, 3.0, 1, 1.05, "epi-inverted", 40, "rician", "brain", "near"),
        (3.5, 3.5, 1, 1.10, "epi-compressed", 36, "gauss", "brain", "far"),
        (4.0, 4.0, 1, 1.06, "epi-inverted", 30, "rician", "brain", "far180"),
        (3.0, 4.0, 1, 1.08, "epi-inverted", 28, "gauss", "t1", "far"),
        (3.75, 3.75, 1, 1.04, "epi-compressed", 34, "rician", "t1", "near"),
        (3.0, 3.0, 0, 1.05, "epi-inverted", 38, "gauss", "brain", "near"),
    ]
    for i, (vox, thick, pe, stretch, con, nsl, noise, fixed, header) in enumerate(epis):
        add(f"epi{i + 1:02d}", "epi", fixed, kind="epi", src="t1", vox=vox, thick=thick, pe=pe,
            stretch=stretch, contrast=con, slices=nsl, noise=noise, header=header,
            seed=200 + i)

    # Brain-extracted against whole-head, both ways: moving source, fixed, voxel, slicing.
    brains = [
        ("brain", "t1", 1.0, "axial", "near"),
        ("brain", "t1", 1.2, "axial-las", "far"),
        ("brain", "t1", 1.0, "coronal", "far180"),
        ("brain", "t1", 1.5, "sagittal", "near"),
        ("brain", "t1", 1.0, "axial", "far"),
        ("t1", "brain", 1.0, "axial", "near"),
        ("t1", "brain", 1.2, "axial-las", "far"),
        ("t1", "brain", 1.0, "sagittal-asr", "far180"),
        ("t1", "brain", 1.5, "coronal-rsa", "near"),
        ("t1", "brain", 1.0, "axial", "far"),
    ]
    for i, (src, fixed, vox, slicing, header) in enumerate(brains):
        add(f"brain{i + 1:02d}", "brain", fixed, kind="brain", src=src, vox=vox,
            slicing=slicing, header=header, seed=300 + i)

    if quick:
        keep = {"slab02", "slab06", "epi01", "epi03", "brain01", "brain07"}
        return [c for c in cases if c[0] in keep]
    cases += [
        ("peer-epi-template", "peer", "template", {"kind": "peer", "moving": "epi"}),
        ("peer-flair-template", "peer", "template", {"kind": "peer", "moving": "flair"}),
        ("peer-epi-t1", "peer", "t1", {"kind": "peer", "moving": "epi"}),
        ("peer-flair-t1", "peer", "t1", {"kind": "peer", "moving": "flair"}),
    ]
    return cases


def header_linear(slicing, vox, rigid, header, rng):
    """The MOVING header's voxel -> world linear part. Near: the stored slicing as it is.
    Far: half the time the header carries the other frame's turn (the anatomy is then
    stored square in the grid but the header disagrees with FIXED's), half the time the
    header is square and the anatomy lies turned in the grid. Turns of 90-180 degrees are
    always in the header: nobody scans a head lying on its ear, but a wrong orientation
    label is common."""
    lin = SLICING[slicing] @ np.diag(vox)
    if header == "far180" or (header == "far" and rng.uniform() < 0.5):
        return rigid[:3, :3] @ lin, "turned header"
    return lin, "square header"


def stretch_along(direction, s, centre):
    u = np.asarray(direction, float)
    u = u / np.linalg.norm(u)
    return about(np.eye(3) + (s - 1) * np.outer(u, u), centre)


def make_case(outdir, cid, family, fixed_key, r):
    rng = np.random.default_rng(r["seed"])
    src = source(r["src"])
    centre = brain_centre(src)
    rigid, words = rigid_truth(rng, r["header"], centre)
    notes = [r["header"], words]
    if r["kind"] == "slab":
        inplane = 230.0
        nin = int(round(inplane / r["pix"]))
        nsl = max(2, int(round(r["slab"] / r["thick"])))
        shape = (nin, nin, nsl)
        vox = (r["pix"], r["pix"], r["thick"])
        lin, how = header_linear(r["slicing"], vox, rigid, r["header"], rng)
        normal = rigid[:3, :3].T @ lin[:, 2] / r["thick"]  # slab normal in FIXED world
        c = centre + r["offset"] * normal
        truth = rigid
        aff = grid_world(shape, lin, truth[:3, :3] @ c + truth[:3, 3])
        values = contrast(src, r["contrast"])
        img = synthesise(values, src.affine, shape, aff, truth, profile=(1, 1, 5))
        sigma = 0.02 * np.percentile(img[img > 0], 99)
        img = noisy(img, rng, sigma, rician=True)
        save(os.path.join(outdir, f"{cid}.nii.gz"), img, aff, np.int16)
        notes += [f"{r['src']} {r['contrast']} slab {r['slab']} mm of {r['thick']} mm "
                  f"{r['slicing']} slices, offset {r['offset']} mm", how]
    elif r["kind"] == "epi":
        nin = 64 if r["vox"] <= 3.5 else 56
        shape = (nin, nin, r["slices"])
        vox = (r["vox"], r["vox"], r["thick"])
        lin, how = header_linear("axial", vox, rigid, r["header"], rng)
        pe_dir = lin[:, r["pe"]]
        mc = rigid[:3, :3] @ centre + rigid[:3, 3]
        truth = stretch_along(pe_dir, r["stretch"], mc) @ rigid
        # Coverage that may miss the top of the head or the cerebellum.
        shift_z = rng.uniform(-12, 12)
        normal = rigid[:3, :3].T @ lin[:, 2] / r["thick"]
        c = centre + shift_z * normal
        aff = grid_world(shape, lin, truth[:3, :3] @ c + truth[:3, 3])
        values = contrast(src, r["contrast"]).astype(np.float32)
        loss = np.ones(src.shape, np.float32)
        grid = np.indices(src.shape, dtype=np.float32).reshape(3, -1)
        w = (src.affine[:3, :3].astype(np.float32) @ grid + src.affine[:3, 3:4].astype(np.float32))
        for k, dc in enumerate(dropout_centres(src)):
            depth = rng.uniform(0.7, 0.95)
            s = 11.0 if k == 0 else 9.0
            d2 = ((w - dc.astype(np.float32)[:, None]) ** 2).sum(0).reshape(src.shape)
            loss *= 1 - depth * np.exp(-d2 / (2 * s * s))
        del grid, w
        img = synthesise(values * loss, src.affine, shape, aff, truth)
        img *= bias_field(shape, rng, 0.25)
        sigma = 0.04 * np.percentile(img[img > 0], 99)
        img = noisy(img, rng, sigma, rician=(r["noise"] == "rician"))
        if r["noise"] == "gauss":
            img -= rng.uniform(0, 2) * sigma  # a baseline below zero, as some EPIs have
        save(os.path.join(outdir, f"{cid}.nii.gz"), img, aff, np.float32)
        notes += [f"{r['contrast']} {r['vox']}x{r['vox']}x{r['thick']} mm, {r['slices']} slices, "
                  f"stretch {r['stretch']:.2f} along stored axis {r['pe']}, {r['noise']} noise, "
                  f"signal loss, bias", how]
    elif r["kind"] == "brain":
        ext = np.array(src.shape) * np.linalg.norm(src.affine[:3, :3], axis=0)
        vox = (r["vox"],) * 3
        perm = np.abs(SLICING[r["slicing"]]).T  # world extents in stored axis order
        lin, how = header_linear(r["slicing"], vox, rigid, r["header"], rng)
        if how == "square header" and r["header"] != "near":
            ext = np.full(3, ext.max())  # room for the turned head
        shape = tuple(int(math.ceil(e / r["vox"])) for e in perm @ ext)
        truth = rigid
        img_centre = src.affine[:3, :3] @ ((np.array(src.shape) - 1) / 2) + src.affine[:3, 3]
        aff = grid_world(shape, lin, truth[:3, :3] @ img_centre + truth[:3, 3])
        img = synthesise(src.data, src.affine, shape, aff, truth)
        img = noisy(img, rng, 0.01 * src.p99, rician=True)
        save(os.path.join(outdir, f"{cid}.nii.gz"), img, aff, np.int16)
        notes += [f"{r['src']} -> {fixed_key}, {r['vox']} mm {r['slicing']}", how]
    else:
        raise ValueError(r["kind"])
    write_matrix(os.path.join(outdir, f"{cid}_truth.txt"), truth)
    return f"{cid}.nii.gz", f"{cid}_truth.txt", "; ".join(notes)


def mask_rule(fixed_key):
    return "brain>0" if fixed_key in ("t1", "brain") else "30%p99"


def cmd_make(outdir, quick):
    if not have_data():
        return 0
    os.makedirs(outdir, exist_ok=True)
    rows = []
    for cid, family, fixed_key, r in plan(quick):
        if r["kind"] == "peer":
            rows.append((cid, family, data_path(r["moving"]), data_path(fixed_key), "-",
                         "shared real pair, no known truth", "-"))
            continue
        mov = os.path.join(outdir, f"{cid}.nii.gz")
        tru = os.path.join(outdir, f"{cid}_truth.txt")
        if os.path.exists(mov) and os.path.exists(tru) and os.path.exists(tru + ".notes"):
            with open(tru + ".notes") as f:
                notes = f.read().strip()
        else:
            print(f"making {cid}", flush=True)
            _, _, notes = make_case(outdir, cid, family, fixed_key, r)
            with open(tru + ".notes", "w") as f:
                f.write(notes + "\n")
        rows.append((cid, family, f"{cid}.nii.gz", data_path(fixed_key), f"{cid}_truth.txt",
                     notes, mask_rule(fixed_key)))
    with open(os.path.join(outdir, "cases.tsv"), "w") as f:
        f.write("id\tfamily\tmoving\tfixed\ttruth\tnotes\tmask\n")
        for row in rows:
            f.write("\t".join(row) + "\n")
    print(f"{len(rows)} cases in {os.path.join(outdir, 'cases.tsv')}")
    return 0


# ---------------------------------------------------------------- scoring

def read_cases(outdir):
    rows = []
    with open(os.path.join(outdir, "cases.tsv")) as f:
        head = f.readline().rstrip("\n").split("\t")
        for line in f:
            if line.strip():
                rows.append(dict(zip(head, line.rstrip("\n").split("\t"))))
    return rows


_fixed_points = {}


def fixed_points(path, rule):
    """World positions of FIXED's brain voxels: the brain-extracted subject's non-zero
    voxels (it shares the subject's grid), or voxels above 30 % of the 99th percentile."""
    key = (path, rule)
    if key not in _fixed_points:
        img = nib.load(path)
        if rule == "brain>0":
            b = nib.load(data_path("brain"))
            if b.shape != img.shape or not np.allclose(b.affine, img.affine, atol=1e-3):
                raise ValueError(f"{path}: not on the brain mask's grid")
            m = np.asanyarray(b.dataobj) > 0
        else:
            d = np.asanyarray(img.dataobj).astype(np.float32)
            m = d > 0.3 * np.percentile(d[d > 0], 99)
        ijk = np.argwhere(m).astype(np.float64)
        _fixed_points[key] = ijk @ img.affine[:3, :3].T + img.affine[:3, 3]
    return _fixed_points[key]


def case_error(outdir, case, result_path):
    """Mean and largest distance (mm) between where the truth and the result send FIXED's
    brain voxels that truly land inside MOVING's grid."""
    truth = read_matrix(os.path.join(outdir, case["truth"]))
    got = read_matrix(result_path)
    pts = fixed_points(case["fixed"], case["mask"])
    mov = nib.load(os.path.join(outdir, case["moving"]))
    p = pts @ truth[:3, :3].T + truth[:3, 3]
    v = (p - mov.affine[:3, 3]) @ np.linalg.inv(mov.affine[:3, :3]).T
    n = np.array(mov.shape[:3])
    inside = np.all((v >= -0.5) & (v <= n - 0.5), axis=1)
    if inside.sum() < 100:
        raise ValueError("fewer than 100 brain voxels inside the moving field of view")
    q = pts[inside] @ got[:3, :3].T + got[:3, 3]
    d = np.linalg.norm(q - p[inside], axis=1)
    return float(d.mean()), float(d.max()), int(inside.sum())


def read_times(resultdir):
    times = {}
    path = os.path.join(resultdir, "times.tsv")
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                parts = line.rstrip("\n").split("\t")
                if len(parts) >= 3 and parts[0] != "id":
                    times[parts[0]] = (parts[1], parts[2])
    return times


def cmd_score(outdir, resultdir):
    if not os.path.exists(os.path.join(outdir, "cases.tsv")):
        if not have_data():
            return 0
        print(f"hardcases: no {os.path.join(outdir, 'cases.tsv')}: run make first")
        return 1
    cases = read_cases(outdir)
    times = read_times(resultdir)
    print(f"{'id':<20} {'family':<6} {'header':<7} {'error_mm':>9} {'max_mm':>8} "
          f"{'pass':<5} {'status':<7} {'time_s':>7}")
    fams = {}
    peers = []
    for c in cases:
        status, secs = times.get(c["id"], ("-", "-"))
        res = os.path.join(resultdir, f"{c['id']}.txt")
        if c["truth"] == "-":
            peers.append((c, status, secs, os.path.exists(res)))
            continue
        header = c["notes"].split(";")[0]
        f = fams.setdefault(c["family"], {"n": 0, "pass": 0, "err": [], "t": []})
        f["n"] += 1
        if secs not in ("-", ""):
            f["t"].append(float(secs))
        if not os.path.exists(res):
            print(f"{c['id']:<20} {c['family']:<6} {header:<7} {'-':>9} {'-':>8} {'no':<5} "
                  f"{status:<7} {secs:>7}  (no result)")
            f["err"].append(math.inf)
            continue
        try:
            mean, mx, _ = case_error(outdir, c, res)
        except ValueError as e:
            print(f"{c['id']:<20} {c['family']:<6} {header:<7} {'-':>9} {'-':>8} {'no':<5} "
                  f"{status:<7} {secs:>7}  ({e})")
            f["err"].append(math.inf)
            continue
        ok = mean <= PASS_MM
        f["pass"] += ok
        f["err"].append(mean)
        print(f"{c['id']:<20} {c['family']:<6} {header:<7} {mean:9.2f} {mx:8.2f} "
              f"{'yes' if ok else 'no':<5} {status:<7} {secs:>7}")
    if peers:
        print("\npeer-only (no known truth):")
        for c, status, secs, have in peers:
            print(f"{c['id']:<20} {os.path.basename(c['moving'])} -> "
                  f"{os.path.basename(c['fixed'])}  status {status}  time {secs} s"
                  f"{'' if have else '  (no result)'}")
    print("\nsummary (pass: mean error <= %.0f mm):" % PASS_MM)
    tot_n = tot_p = 0
    for name, f in fams.items():
        e = np.array(f["err"])
        t = f"{np.median(f['t']):.1f}" if f["t"] else "-"
        print(f"  {name:<6} {f['pass']:>3}/{f['n']:<3} within {PASS_MM:.0f} mm, median error "
              f"{np.median(e):.2f} mm, median time {t} s")
        tot_n += f["n"]
        tot_p += f["pass"]
    print(f"  all    {tot_p:>3}/{tot_n:<3} within {PASS_MM:.0f} mm")
    return 0


def main(argv):
    if len(argv) >= 2 and argv[0] == "make":
        return cmd_make(argv[1], "--quick" in argv[2:])
    if len(argv) == 3 and argv[0] == "score":
        return cmd_score(argv[1], argv[2])
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
