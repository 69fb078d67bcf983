"""nipype interfaces around the ``tarvo register`` and ``tarvo apply`` commands.

nipype is optional: ``import tarvo`` never needs it, this module does. The commands run as
separate processes (so a workflow can send them to a cluster); the ``tarvo`` program
installed beside this package is used, else the one on the PATH.

    from nipype import Node, Workflow
    from tarvo.interfaces import Register, Apply
    reg = Node(Register(moving="t2.nii.gz", fixed="t1.nii.gz", dof=6), name="reg")
    app = Node(Apply(fixed="t1.nii.gz", interp="nearest"), name="apply")
    app.inputs.moving = "labels_in_t2.nii.gz"
    wf = Workflow(name="tarvo"); wf.connect(reg, "matrix", app, "matrix"); wf.run()
"""

from __future__ import annotations

import os
import shutil
import sys

from nipype.interfaces.base import (
    CommandLine,
    CommandLineInputSpec,
    File,
    TraitedSpec,
    traits,
)
from nipype.utils.filemanip import load_json, save_json


def _program() -> str:
    here = os.path.join(os.path.dirname(sys.executable), "tarvo")
    if os.access(here, os.X_OK):
        return here
    return shutil.which("tarvo") or "tarvo"


class RegisterInputSpec(CommandLineInputSpec):
    moving = File(exists=True, mandatory=True, argstr="%s", position=0, desc="image to move")
    fixed = File(exists=True, mandatory=True, argstr="%s", position=1, desc="image that stays")
    out_file = File(argstr="-o %s", name_source=["moving"], name_template="%s_reg", keep_extension=True,
                    hash_files=False, desc="MOVING resampled onto FIXED's grid")
    matrix = File(argstr="--matrix %s", name_source=["moving"], name_template="%s_affine.txt",
                  keep_extension=False, hash_files=False,
                  desc="world matrix: FIXED RAS mm -> MOVING RAS mm")
    itk = File(argstr="--itk %s", hash_files=False, desc="the transform also as an ITK text transform")
    dof = traits.Enum(12, 6, 7, 9, argstr="--dof %d", usedefault=True, desc="degrees of freedom")
    init = traits.Str(argstr="--init %s", desc="header (default), centroid, identity or a matrix file")
    search = traits.Enum("header", "wide", "standard", argstr="--search %s",
                         desc="global search: header (default: every orientation, but a far turn from "
                              "the start only when clearly better), wide (any turn alike) or standard "
                              "(turns up to 90 degrees)")
    no_refine = traits.Bool(argstr="--no-refine", desc="skip the precision stage after the search")
    no_foreground = traits.Bool(argstr="--no-foreground",
                                desc="count every FIXED voxel, not only FIXED's automatic foreground")
    one_way = traits.Bool(argstr="--one-way", desc="the cost one way only (MOVING given FIXED's bins)")
    suspect_status = traits.Range(low=2, high=255, argstr="--suspect-status %d",
                                  desc="exit status of a suspect result (the node then fails)")
    fixed_mask = File(exists=True, argstr="--fixed-mask %s", desc="only FIXED voxels inside count")
    moving_mask = File(exists=True, argstr="--moving-mask %s", desc="only samples landing inside count")
    threads = traits.Range(low=1, high=4096, argstr="--threads %d", desc="CPU backend threads")


class RegisterOutputSpec(TraitedSpec):
    out_file = File(exists=True, desc="MOVING resampled onto FIXED's grid")
    matrix = File(exists=True, desc="world matrix file")
    itk = File(desc="ITK transform file, when asked for")
    cost = traits.Float(desc="final cost (correlation ratio - 1, both ways weighed 1:3 unless one_way)")
    fixed_overlap = traits.Float(desc="share of FIXED's foreground inside MOVING's field of view")
    moving_overlap = traits.Float(desc="share of MOVING's foreground inside FIXED's field of view")
    turn = traits.Float(desc="degrees the result turns from the start")
    verdict = traits.Enum("ok", "suspect", desc="ok, or suspect: look at the result before using it")
    reason = traits.Str(desc="why the result is suspect; empty when ok")


class Register(CommandLine):
    """``tarvo register``: finds the affine transform aligning MOVING to FIXED."""

    input_spec = RegisterInputSpec
    output_spec = RegisterOutputSpec
    _cmd = "tarvo register"

    def __init__(self, **inputs):
        super().__init__(**inputs)
        self._cmd = _program() + " register"

    # The cost and the verdict are on standard output; nipype may gather the outputs later,
    # in another process, so they are kept in a small file in the node's folder (as
    # nipype's own interfaces keep what they parse).
    _saved = "tarvo_register.json"

    def _run_interface(self, runtime):
        runtime = super()._run_interface(runtime)
        found = {}
        for line in (runtime.stdout or "").splitlines():
            key, _, value = line.partition(": ")
            if key == "cost":
                found["cost"] = float(value)
            elif key == "overlap":
                found["fixed_overlap"], found["moving_overlap"] = (float(v) for v in value.split())
            elif key == "turn":
                found["turn"] = float(value)
            elif key == "verdict":
                found["verdict"], _, found["reason"] = value.partition(": ")
        if found:
            save_json(os.path.join(runtime.cwd, self._saved), found)
        return runtime

    def _list_outputs(self):
        outputs = super()._list_outputs()
        for key in ("out_file", "matrix"):
            if outputs.get(key):
                outputs[key] = os.path.abspath(outputs[key])
        if self.inputs.itk:
            outputs["itk"] = os.path.abspath(self.inputs.itk)
        saved = os.path.join(os.getcwd(), self._saved)
        if os.path.exists(saved):
            outputs.update(load_json(saved))
        return outputs


class ApplyInputSpec(CommandLineInputSpec):
    moving = File(exists=True, mandatory=True, argstr="%s", position=0, desc="image to resample")
    fixed = File(exists=True, mandatory=True, argstr="%s", position=1, desc="image whose grid the output takes")
    matrix = File(exists=True, mandatory=True, argstr="%s", position=2,
                  desc="world matrix file (text or ITK)")
    out_file = File(argstr="-o %s", name_source=["moving"], name_template="%s_applied", keep_extension=True,
                    hash_files=False, desc="output image")
    interp = traits.Enum("linear", "nearest", argstr="--interp %s", usedefault=True,
                         desc="trilinear, or nearest voxel for labels")


class ApplyOutputSpec(TraitedSpec):
    out_file = File(exists=True, desc="MOVING on FIXED's grid")


class Apply(CommandLine):
    """``tarvo apply``: resamples MOVING onto FIXED's grid through a world matrix."""

    input_spec = ApplyInputSpec
    output_spec = ApplyOutputSpec
    _cmd = "tarvo apply"

    def __init__(self, **inputs):
        super().__init__(**inputs)
        self._cmd = _program() + " apply"
