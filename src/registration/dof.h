#pragma once
// Degrees of freedom of a registration: which of the twelve parameters the search may
// move. 6: rotations and translations; 7: plus one common scale; 9: plus three scales;
// 12: plus three skews. Fixed parameters keep their start values (scales 1, skews 0).
#include <vector>

#include "registration/search.h"

class Dof {
public:
    explicit Dof(int n = 12) : n_(n) {}
    static bool valid(int n) { return n == 6 || n == 7 || n == 9 || n == 12; }
    int count() const { return n_; }
    bool all() const { return n_ == 12; }

    // Whether a line-search step may run: parameter 0-11, or kIsoScale (the three scales
    // together, free from 7 on). Separate scales are free from 9 on, skews at 12.
    bool stepFree(int param) const;
    bool isoScaleFree() const { return n_ >= 7; }
    bool paramFree(int index) const { return index < 6 || (index < 9 ? n_ >= 9 : n_ >= 12); }

private:
    int n_;
};

// A sweep with the steps on fixed parameters left out (the same steps, in order, for 12).
class RestrictedSweep {
public:
    RestrictedSweep(const Sweep& sweep, const Dof& dof);
    RestrictedSweep(const RestrictedSweep&) = delete;
    RestrictedSweep& operator=(const RestrictedSweep&) = delete;
    const Sweep& sweep() const { return sweep_; }
    operator const Sweep&() const { return sweep_; }
    bool empty() const { return steps_.empty(); }

private:
    std::vector<SweepStep> steps_;
    Sweep sweep_;
};
