"""The nipype interfaces: a two-node workflow, register then apply, run by nipype."""

import numpy as np
import pytest

nipype = pytest.importorskip("nipype", reason="nipype is not installed (pip install nipype); "
                                               "the nipype interfaces are not tested")

import nibabel as nib  # noqa: E402

from tarvo.interfaces import Apply, Register  # noqa: E402


def test_register_then_apply_workflow(pair, tmp_path, tarvo_cli):
    from nipype import Node, Workflow

    mp, fp = pair
    reg = Node(Register(moving=mp, fixed=fp, dof=6), name="register")
    app = Node(Apply(moving=mp, fixed=fp), name="apply")
    wf = Workflow(name="tarvo_wf", base_dir=str(tmp_path))
    wf.config["execution"]["remove_unnecessary_outputs"] = False
    wf.connect(reg, "matrix", app, "matrix")
    graph = wf.run()
    results = {n.name: n.result.outputs for n in graph.nodes()}
    reg_out, app_out = results["register"], results["apply"]
    assert reg_out.cost < -0.5
    # The verdict as the command printed it.
    assert reg_out.verdict == "ok" and reg_out.reason == ""
    assert 0.8 <= reg_out.moving_overlap <= 1 and 0 < reg_out.fixed_overlap <= 1 and 0 <= reg_out.turn < 45
    matrix = np.loadtxt(reg_out.matrix)
    assert matrix.shape == (4, 4)
    # apply on register's own matrix reproduces register's output image.
    a = nib.load(app_out.out_file)
    b = nib.load(reg_out.out_file)
    assert np.array_equal(a.affine, b.affine)
    assert np.array_equal(np.asanyarray(a.dataobj), np.asanyarray(b.dataobj))


def test_command_lines():
    reg = Register(moving=__file__, fixed=__file__, dof=7, threads=2)
    assert " register " in reg.cmdline and "--dof 7" in reg.cmdline and "--threads 2" in reg.cmdline
    assert "_affine.txt" in reg.cmdline
    assert "--search" not in reg.cmdline and "--no-refine" not in reg.cmdline
    reg = Register(moving=__file__, fixed=__file__, search="standard", no_refine=True, no_foreground=True,
                   suspect_status=3)
    assert "--search standard" in reg.cmdline and "--no-refine" in reg.cmdline
    assert "--no-foreground" in reg.cmdline and "--suspect-status 3" in reg.cmdline
    app = Apply(moving=__file__, fixed=__file__, matrix=__file__, interp="nearest")
    assert app.cmdline.endswith("--interp nearest") or "--interp nearest" in app.cmdline
