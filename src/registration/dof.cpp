#include "registration/dof.h"

bool Dof::stepFree(int param) const {
    return param == kIsoScale ? isoScaleFree() : paramFree(param);
}

RestrictedSweep::RestrictedSweep(const Sweep& sweep, const Dof& dof) {
    for (const SweepStep& s : sweep.steps)
        if (dof.stepFree(s.param)) steps_.push_back(s);
    sweep_ = Sweep{std::span<const SweepStep>(steps_), sweep.passes};
}
