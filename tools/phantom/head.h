#pragma once
// A synthetic head built from tissue ellipsoids with soft (partial-volume) edges.
//
// Head coordinates are millimetres from the head centre: +x towards the subject's right,
// +y anterior (the nose), +z superior. The anatomy is laid out for a head 180 mm long
// (scalp, front to back, without the nose) and scaled to the length asked for.
#include <cstddef>
#include <vector>

enum class Contrast { T1, T2 };

// One tissue region, painted over whatever lies beneath it: v <- v + f * (value - v), with f
// the region's soft membership (1 inside, 0 outside, a logistic ramp across the surface).
struct Part {
    float c[3];        // centre, mm
    float a[3];        // semi-axes, mm
    float value;       // intensity inside, 0..255
    float fold;        // relative amplitude of gyral folding of the surface; 0 for smooth
    float invA2[3];    // 1 / a^2
    float invAMin;     // 1 / smallest semi-axis
};

class Head {
public:
    static constexpr int kMaxParts = 32;

    // edgeMm: logistic scale of the tissue edges (10%-90% over about 4.4 times it).
    Head(float lengthMm, Contrast contrast, float edgeMm = 0.25f);

    // What of the head can vary within `radius` mm of a point: the value every part that
    // is settled there (entirely inside or entirely outside, logistic clamped) leaves, and
    // the parts whose edges come near. With no part near, `base` holds over the whole ball.
    struct Neighbourhood {
        float base = 0.0f;
        int count = 0;
        int near[kMaxParts];
    };
    void classify(const float p[3], float radius, Neighbourhood& nb) const;

    // The exact intensity at p, a point within the radius that `nb` was classified for.
    float paint(const Neighbourhood& nb, const float p[3]) const;

    const std::vector<Part>& parts() const { return parts_; }

private:
    std::vector<Part> parts_;
    float edge_;
};

// Where the head is drawn: a grid of n voxels of d mm per axis, head centre on the grid
// centre (voxel coordinate (n - 1) / 2). `inverse` maps grid mm offsets y (from the grid
// centre) to head coordinates x: x = L y + t with L the first three columns and t the
// fourth of its three rows (row-major 3x4). Each voxel averages the head over its box,
// sampled on a sub-grid fine enough for the edges where an edge crosses the voxel.
// Returns n0*n1*n2 values, x fastest.
std::vector<float> renderHead(const Head& head, const int n[3], const float d[3],
                              const double inverse[12]);
