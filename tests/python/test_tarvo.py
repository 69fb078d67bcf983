"""tarvo from Python against the command line: same matrices to the bit, images in and out
with their affines and dtypes, the errors, Ctrl-C, the GIL, the fixed-image cache."""

import _thread
import os
import signal
import subprocess
import sys
import threading

import nibabel as nib
import numpy as np
import pytest

import tarvo

from conftest import affine, head


@pytest.fixture(scope="module")
def registered(pair, tarvo_cli, tmp_path_factory):
    """The command line's and Python's registration of the same pair."""
    mp, fp = pair
    d = tmp_path_factory.mktemp("cli")
    run = subprocess.run([tarvo_cli, "register", mp, fp, "-o", str(d / "out.nii.gz"), "--matrix", str(d / "m.txt")],
                         capture_output=True, text=True, env=dict(os.environ, TARVO_DEVICE="cpu"))
    assert run.returncode == 0, run.stderr
    res = tarvo.register(nib.load(mp), nib.load(fp), device="cpu")
    return d, run.stdout, res


def test_matrix_and_cost_equal_the_command_line(registered, pair):
    d, stdout, res = registered
    assert res.matrix.dtype == np.float64 and res.matrix.shape == (4, 4)
    assert np.array_equal(np.loadtxt(d / "m.txt"), res.matrix)
    assert stdout.startswith(f"cost: {res.cost:.6f}\n")
    # The verdict, as the command printed it.
    assert stdout.endswith(f"overlap: {res.fixed_overlap:.3f} {res.moving_overlap:.3f}\n"
                           f"turn: {res.turn:.1f}\nverdict: ok\n")
    assert res.verdict == "ok" and res.reason == "" and res.suspect is False
    assert res.device == "cpu" and res.seconds > 0
    # The header start found the 7, -4, 3 mm shift the headers hide.
    assert np.allclose(res.matrix[:3, 3], [7, -4, 3], atol=1.5)
    # Paths are the same images as the nibabel images loaded from them.
    mp, fp = pair
    assert tarvo.cost(mp, fp, res.matrix) == tarvo.cost(nib.load(mp), nib.load(fp), res.matrix)


def test_search_refine_and_foreground_options_are_the_command_lines(pair, tarvo_cli, tmp_path):
    mp, fp = pair
    run = subprocess.run([tarvo_cli, "register", mp, fp, "-o", str(tmp_path / "o.nii.gz"), "--matrix",
                          str(tmp_path / "m.txt"), "--search", "standard", "--no-refine", "--no-foreground"],
                         capture_output=True, text=True, env=dict(os.environ, TARVO_DEVICE="cpu"))
    assert run.returncode == 0, run.stderr
    res = tarvo.register(mp, fp, search="standard", refine=False, foreground=False, resample=False, device="cpu")
    assert np.array_equal(np.loadtxt(tmp_path / "m.txt"), res.matrix)
    with pytest.raises(ValueError, match="search must be 'header', 'wide' or 'standard'"):
        tarvo.register(mp, fp, search="global")


def test_a_suspect_result_is_returned_with_a_warning(pair):
    """A whole head registered to a 24 mm slab of one cannot lie inside it: suspect, however
    the search went, and still a full result."""
    mp, fp = pair
    f = nib.load(fp)
    data = np.asanyarray(f.dataobj)
    slab_affine = f.affine.copy()
    slab_affine[:3, 3] += f.affine[:3, 2] * 12
    slab = (data[:, :, 12:20], slab_affine)
    with pytest.warns(UserWarning, match=r"the result may be wrong: only \d+% of MOVING's foreground lies inside FIXED"):
        res = tarvo.register(mp, slab, dof=6, refine=False)
    assert res.suspect is True and res.verdict == "suspect"
    assert res.reason.startswith("only ") and res.moving_overlap < 0.8
    assert 0 <= res.fixed_overlap <= 1 and 0 <= res.turn <= 180
    assert res.image is not None and res.image.shape == (32, 36, 8)


def test_output_image_is_the_command_lines(registered, pair):
    d, _, res = registered
    cli = nib.load(d / "out.nii.gz")
    fixed = nib.load(pair[1])
    img = res.image
    assert img.shape == fixed.shape
    assert np.array_equal(img.affine, fixed.affine)
    assert img.get_data_dtype() == np.int16
    assert np.array_equal(np.asanyarray(img.dataobj), np.asanyarray(cli.dataobj))
    # apply() on the registration's own matrix gives its image again.
    again = tarvo.apply(pair[0], fixed, res.matrix)
    assert np.array_equal(np.asanyarray(again.dataobj), np.asanyarray(img.dataobj))


def test_arrays_of_any_dtype_and_order_are_the_same_image(pair):
    mp, fp = pair
    m = nib.load(mp)
    stored = np.asanyarray(m.dataobj)
    base = tarvo.cost(m, fp, np.eye(4))
    variants = {
        "fortran int16": np.asfortranarray(stored),
        "C int16": np.ascontiguousarray(stored),
        "uint16": stored.astype(np.uint16),
        "int32 view": np.ascontiguousarray(stored.astype(np.int32)[:, :, :]),
        "float64": stored.astype(np.float64),
        "big-endian": stored.astype(">i2"),
        "every other of a wider array": np.repeat(stored, 2, axis=0)[::2],
        "4D, one volume": stored[..., None],
    }
    for name, arr in variants.items():
        assert tarvo.cost((arr, m.affine), fp, np.eye(4)) == base, name
    # Any thread count, the same cost; the backend really has that many threads.
    assert tarvo.cost(m, fp, np.eye(4), threads=1) == base
    assert tarvo._tarvo.device_description("cpu", 1) != tarvo._tarvo.device_description("cpu", 3)
    # A scaled file: the values the scaling gives are registered, not the stored ones, and
    # the nibabel image is the file to the bit.
    scaled = nib.Nifti1Image(stored, m.affine)
    scaled.header.set_slope_inter(2.0, -10.0)
    path = os.path.join(os.path.dirname(mp), "scaled.nii.gz")
    scaled.to_filename(path)
    assert tarvo.cost(nib.load(path), fp) == tarvo.cost(path, fp)
    assert tarvo.cost(path, fp) == pytest.approx(tarvo.cost(m, fp), abs=1e-4)


def test_output_dtypes_follow_the_moving_image(pair):
    mp, fp = pair
    m = nib.load(mp)
    stored = np.asanyarray(m.dataobj)
    eye = np.eye(4)
    for dtype in (np.uint8, np.uint16, np.float32, np.float64):
        out = tarvo.apply((stored.astype(dtype), m.affine), fp, eye)
        assert out.get_data_dtype() == dtype, dtype
    # Values a stored type cannot hold after interpolation fall back to float32.
    neg = tarvo.apply((np.full((8, 8, 8), 7, np.uint8), np.eye(4)), (np.zeros((8, 8, 8)), np.eye(4)), eye)
    assert neg.get_data_dtype() in (np.uint8, np.float32)
    # Nearest keeps labels exact.
    labels = (stored > 100).astype(np.uint8) * 3
    out = tarvo.apply((labels, m.affine), (labels, m.affine), eye, interp="nearest")
    assert np.array_equal(np.asanyarray(out.dataobj), labels)
    # A grid without orientation stays without one.
    bare = nib.Nifti1Image(stored, None)
    bare.set_sform(None, code=0)
    bare.set_qform(None, code=0)
    out = tarvo.apply(bare, bare, eye)
    assert int(out.header["sform_code"]) == 0 and int(out.header["qform_code"]) == 0


def test_matrix_files(tmp_path, registered):
    res = registered[2]
    p = tmp_path / "m.txt"
    tarvo.write_matrix(p, res.matrix)
    assert np.array_equal(tarvo.read_matrix(p), res.matrix)
    tarvo.to_itk(tmp_path / "m.tfm", res.matrix)
    assert (tmp_path / "m.tfm").read_text().startswith("#Insight Transform File V1.0")
    assert np.allclose(tarvo.read_matrix(tmp_path / "m.tfm"), res.matrix, atol=1e-5)


def test_bad_inputs_raise_the_right_exception(tmp_path, pair):
    mp, fp = pair
    cube = (np.zeros((8, 8, 8), np.float32), np.eye(4))
    value_errors = [
        lambda: tarvo.register(mp, fp, dof=8),
        lambda: tarvo.register(mp, fp, device="gpu"),
        lambda: tarvo.register(mp, fp, threads=0),
        lambda: tarvo.register(np.zeros((8, 8, 8)), fp),
        lambda: tarvo.register((np.zeros((8, 8)), np.eye(4)), fp),
        lambda: tarvo.register((np.zeros((8, 8, 8), np.complex64), np.eye(4)), fp),
        lambda: tarvo.register((np.zeros((8, 8, 8)), np.eye(3)), fp),
        lambda: tarvo.register(mp, fp, fixed_mask=cube),
        lambda: tarvo.register(mp, fp, init=np.zeros((4, 4))),
        lambda: tarvo.apply(mp, fp, np.eye(4), interp="cubic"),
        lambda: tarvo.apply(mp, fp, np.eye(3)),
        lambda: tarvo.cost((np.full((8, 8, 8), np.nan), np.eye(4)), fp),
    ]
    for i, call in enumerate(value_errors):
        with pytest.raises(ValueError):
            call()
            pytest.fail(f"case {i} raised nothing")
    with pytest.raises(ValueError, match="not on the grid of 'fixed'"):
        tarvo.register(mp, fp, fixed_mask=mp)
    with pytest.raises(OSError, match="does not exist"):
        tarvo.register(str(tmp_path / "missing.nii.gz"), fp)
    with pytest.raises(OSError):
        tarvo.register(str(tmp_path), fp)
    with pytest.raises(FileNotFoundError):
        tarvo.read_matrix(tmp_path / "missing.txt")
    with pytest.raises(ValueError, match="header, centroid, identity or a matrix file"):
        tarvo.register(mp, fp, init=str(tmp_path / "missing.txt"))
    (tmp_path / "singular.txt").write_text("0 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n")
    with pytest.raises(ValueError, match="singular"):
        tarvo.read_matrix(tmp_path / "singular.txt")
    with pytest.raises(OSError):
        tarvo.write_matrix(tmp_path / "no" / "such" / "m.txt", np.eye(4))
    if tarvo._tarvo.device_kind("auto") != "cuda":
        with pytest.raises(ValueError, match="^device='cuda' but no usable CUDA GPU"):
            tarvo.register(mp, fp, device="cuda")


def test_nothing_to_register_and_slips_are_refused_in_our_words(tmp_path, pair):
    mp, fp = pair
    ref = nib.load(fp)
    seven = (np.full(ref.shape, 7.0, np.float32), ref.affine)
    box = np.zeros(ref.shape, bool)
    box[20:30, 20:30, 20:30] = True
    cases = [
        (lambda: tarvo.register(seven, fp), "is constant"),
        (lambda: tarvo.register(mp, seven), "is constant"),
        (lambda: tarvo.register((np.full(ref.shape, np.nan, np.float32), ref.affine), fp), "no finite values"),
        (lambda: tarvo.register((box, ref.affine), fp), "boolean array"),
        (lambda: tarvo.register(mp, fp, init="sideways"), "header, centroid, identity or a matrix file"),
        (lambda: tarvo.register((np.asarray(ref.dataobj), "eye"), fp), "4x4 array of numbers, not a str"),
        (lambda: tarvo.apply(mp, fp, "1 0 0 0"), None),  # a file name that is not there
        (lambda: tarvo.apply(mp, fp, [[1, 2], "ab"]), "4x4 array of numbers"),
        (lambda: tarvo.register(mp, fp, qc=tmp_path / "x.jpg"), ".png"),
        (lambda: tarvo.register(mp, fp, fixed_mask=(np.pad(np.ones((2, 2, 2), np.uint8),
                                                            [(0, n - 2) for n in ref.shape]), ref.affine)),
         "at least 1000"),
    ]
    for i, (call, words) in enumerate(cases):
        with pytest.raises((ValueError, OSError)) as e:
            call()
            pytest.fail(f"case {i} raised nothing")
        if words is not None:
            assert e.type is ValueError and words in str(e.value), f"case {i}: {e.type.__name__}: {e.value}"
    assert not (tmp_path / "x.jpg").exists()
    # A constant image may still be moved: apply resamples it.
    assert tarvo.apply(seven, fp, np.eye(4)).shape == ref.shape


def test_non_finite_voxels_are_background_zero_with_a_count(pair):
    mp, fp = pair
    ref = nib.load(fp)
    a = np.asarray(ref.dataobj).astype(np.float32)
    a[0, 0, :4] = np.nan
    a[1, 1, 1] = -np.inf
    with pytest.warns(UserWarning, match="5 voxels that are not finite numbers.*taken as 0"):
        out = tarvo.apply((a, ref.affine), fp, np.eye(4))
    v = np.asarray(out.dataobj)
    assert np.all(np.isfinite(v)) and v[0, 0, 0] == 0 and v[1, 1, 1] == 0


def test_ctrl_c_stops_a_registration_and_the_next_one_runs(pair):
    mp, fp = pair
    # A job started in the background inherits SIGINT ignored, and then interrupt_main
    # does nothing: Python's own handler is put in place for the test.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    # Early: this registration takes about half a second on an idle machine, and the
    # interrupt is seen between batches of evaluations, not in the last resampling.
    timer = threading.Timer(0.1, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            tarvo.register(mp, fp, resample=False)
            pytest.fail("the registration ended before the interrupt")
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, previous)
    assert tarvo.cost(mp, fp) < -0.1  # the device pair was released; work goes on


def small_pair():
    shape = (20, 22, 20)
    fixed = nib.Nifti1Image(head(shape, zoom=4.0, contrast="t1", seed=3), affine(shape, 4.0))
    moving = (head(shape, zoom=4.0, contrast="t2", seed=4), affine(shape, 4.0, (3, 0, 0)))
    return moving, fixed


def test_the_gil_is_released_while_the_device_works():
    ticks = []
    done = threading.Event()
    moving, fixed = small_pair()

    def work():
        tarvo.register(moving, fixed, dof=6, resample=False)
        done.set()

    t = threading.Thread(target=work)
    t.start()
    while not done.wait(0.01):
        ticks.append(1)
    t.join()
    assert len(ticks) > 10


def test_masks_count_and_leave_a_cached_fixed_image_as_it_was():
    moving, fixed = small_pair()
    box = np.zeros(fixed.shape, np.uint8)
    box[4:16, 4:18, 4:16] = 1
    plain = tarvo.register(moving, fixed, dof=6, resample=False).matrix
    qc = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"tarvo_qc_{os.getpid()}.png")
    masked = tarvo.register(moving, fixed, dof=6, resample=False, fixed_mask=(box, fixed.affine),
                            moving_mask=nib.Nifti1Image(box, moving[1]), qc=qc).matrix
    assert not np.array_equal(masked, plain)
    with open(qc, "rb") as f:
        png = f.read()
    os.remove(qc)
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    # The caption register's picture has, also as the PNG's Description text.
    assert b"tEXtDescription\x00MOVING (tuple in memory) -> FIXED (Nifti1Image in memory)\ncost -" in png
    assert b"verdict " in png and b"6 dof" in png
    assert np.array_equal(tarvo.register(moving, fixed, dof=6, resample=False).matrix, plain)


def test_a_reused_fixed_image_is_prepared_once(pair, monkeypatch):
    mp, fp = pair
    fixed = nib.load(fp)
    made = []
    original = tarvo._images._volume
    monkeypatch.setattr(tarvo._images, "_volume", lambda src, *a: made.append(src) or original(src, *a))
    tarvo.clear_cache()
    c1 = tarvo.cost(mp, fixed)
    c2 = tarvo.cost(mp, fixed)
    assert c1 == c2 and len(made) == 3  # moving twice, fixed once
    tarvo.clear_cache()
    tarvo.cost(mp, fixed)
    assert len(made) == 5


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def test_repeated_calls_leak_no_memory():
    """Forty cost and resampling calls on one fixed image object: RSS after the warm-up
    stays put (bench/python_leak.py does the same with twenty whole registrations)."""
    moving, fixed = small_pair()
    sizes = []
    for _ in range(20):
        tarvo.cost(moving, fixed, np.eye(4))
        tarvo.apply(moving, fixed, np.eye(4))
        sizes.append(rss_mb())
    assert sizes[-1] - sizes[2] < 4.0, sizes


def test_import_does_not_need_nipype():
    code = "import sys, tarvo; assert 'nipype' not in sys.modules"
    assert subprocess.run([sys.executable, "-c", code]).returncode == 0


def test_the_package_names_and_the_installed_stubs():
    # The package's functions live in private modules; they read as the package's own.
    for name in tarvo.__all__:
        assert hasattr(tarvo, name), name
        if name != "__version__":
            assert getattr(tarvo, name).__module__ == "tarvo", name
    # The stubs beside the compiled module are made from it at build time: every function
    # and class it has is there.
    stub = os.path.join(os.path.dirname(tarvo._tarvo.__file__), "_tarvo.pyi")
    with open(stub) as f:
        text = f.read()
    for name in dir(tarvo._tarvo):
        if not name.startswith("_"):
            assert f"def {name}(" in text or f"class {name}" in text, name
