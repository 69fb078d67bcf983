#pragma once
// Whether a registration's answer can be trusted as it stands, from what can be checked
// without the truth: how the two images' tissue overlaps under the answer, how far it
// turned away from where the headers put the images, and how much it scales.
//
// A wrong answer that looks like a right one is the worst outcome: it flows on through a
// pipeline unseen. The limits are wide on purpose, so that right answers on partial
// fields of view (slabs, EPI that misses the vertex) and across subjects stay ok, while the
// failures seen on real scans (a head turned by a right angle onto the other, a slab
// shrunk into the wrong part of the head, a skull scaled onto a brain) do not.
#include <cstdint>
#include <string>
#include <vector>

#include "geometry/world.h"
#include "volume/volume.h"

struct Verdict {
    // Share of FIXED's foreground that falls inside MOVING's field of view, and of MOVING's
    // that falls inside FIXED's (0 ... 1).
    double fixedOverlap = 0.0, movingOverlap = 0.0;
    // Degrees between the answer's orientation and the start's (0 ... 180).
    double turn = 0.0;
    // The smallest and largest stretch of the answer's linear part (its singular values).
    double scaleMin = 1.0, scaleMax = 1.0;
    bool suspect = false;
    std::string reason;  // what made it suspect, in a few words; empty when ok
};

// Limits: an answer is suspect when
//  - less than kMinMovingOverlap of MOVING's foreground lies inside FIXED's field of view
//    (a partial MOVING lies inside a whole FIXED; one pushed off it is misplaced);
//  - less than kMinFixedOverlap of FIXED's foreground lies inside MOVING's (a 30 mm slab of
//    a whole head covers about a sixth; less leaves too little to have matched);
//  - it turns more than kMaxTurnDegrees from the start (the headers of one session, or of
//    upright scans, disagree with it: right only when the headers are wrong);
//  - it stretches any direction by less than kMinScale or more than kMaxScale (heads
//    of adults and templates differ by far less; a skull fitted onto a brain scaled by
//    1.4 to 1.6 on the hard cases).
constexpr double kMinMovingOverlap = 0.80;
constexpr double kMinFixedOverlap = 0.05;
constexpr double kMaxTurnDegrees = 45.0;
constexpr double kMinScale = 0.74, kMaxScale = 1.35;

// The verdict on `world` (FIXED RAS mm -> MOVING RAS mm) for a registration that started
// from `start` (the same kind of matrix). The foregrounds are the images' automatic ones
// without the cost's band of air (verdictForeground), each within its mask where given.
// `movingForeground`: MOVING's verdictForeground where already found (PipelineResult
// carries it), else null.
Verdict judgeRegistration(const Volume& moving, const Volume* movingMask, const Volume& fixed,
                          const Volume* fixedMask, const Affine& world, const Affine& start,
                          const std::vector<uint8_t>* movingForeground = nullptr);

// The foreground the verdict measures: the tissue with its holes filled, without the
// cost's band of air (registration/foreground.h), within the mask where given.
std::vector<uint8_t> verdictForeground(const Volume& v, const Volume* mask);
// The same with FIXED's verdictForeground computed once (a batch judges every subject
// against one fixed image).
Verdict judgeRegistration(const Volume& moving, const Volume* movingMask, const Volume& fixed,
                          const std::vector<uint8_t>& fixedForeground, const Affine& world, const Affine& start,
                          const std::vector<uint8_t>* movingForeground = nullptr);

// The smallest and largest stretch of the linear part of `world` (its singular values).
void stretchRange(const Affine& world, double& lo, double& hi);
// Whether they lie within kMinScale ... kMaxScale.
bool believableStretch(const Affine& world);
// A believable stretch, and at least kMinMovingOverlap of MOVING's foreground inside FIXED's
// grid: the two checks of the verdict that a search's choice of cost can fail.
// `movingForeground`: MOVING's verdictForeground.
bool plausibleAnswer(const Volume& moving, const std::vector<uint8_t>& movingForeground, const Volume& fixed,
                     const Affine& world);

// The verdict's words: "ok", or "suspect: " and the reason.
std::string verdictText(const Verdict& v);
