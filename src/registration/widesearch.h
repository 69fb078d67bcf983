#pragma once
// The wide global search: finds the orientation whatever the turn between the two heads,
// where the standard search looks only at +-90 degrees per axis and judges orientations by
// their cost at one translation.
//
// A near-even grid of rotations over all orientations (and the 24 axis-aligned turns) is
// scored at 4 mm with the intensity centroids aligned and the heads' sizes matched. Not at
// 8 mm: there a small head is a blob of a dozen voxels that many wrong turns fit better
// than the right one (measured on the phantom heads: the grid point nearest the true turn
// ranked about 3,800th of 4,120), and nearest-voxel sampling favours turns that keep the
// grids aligned. The best local minima of the 4 mm score go on to a short rigid
// search (translation, turn) relative to their own orientations, at the common scale that
// matches the sizes of the heads (their second moments). Rigid: at 4 and 2 mm a head that
// is turned a little wrong fits better when it is made smaller, and a common scale
// searched there ran to the end of its bracket (1.2) for the right turn as well, after
// which no later level could bring the candidate back to the truth. The best few distinct
// candidates, and the best one's half turns about the reference axes (a head is nearly
// symmetric under them), are judged with the scales free: first together, on the 4 mm
// level, then one by one at 2 mm (heads differ in shape as well as size, and the right turn
// with the wrong proportions loses to a wrong turn); a candidate left far behind by the
// first round is not taken through the second. The later levels search relative to the winner's
// orientation (FramedEvaluator), so that no stage meets the degenerate angles near a y
// angle of +-90 degrees.
//
// Every round is one batch of evaluations; the order of candidates and the choices among
// equal costs are fixed, so the result does not depend on the backend's scheduling.
#include <vector>

#include "geometry/rotation.h"
#include "geometry/world.h"
#include "registration/dof.h"
#include "registration/search.h"
#include "volume/volume.h"

// Standard: near the start, +-90 degrees per axis. Wide: every orientation alike.
// Header: every orientation, but the start's wins unless a far turn is clearly better.
enum class SearchKind { Standard, Wide, Header };

struct WideSearchSettings {
    int rotations = 4096;  // grid size
    int swept = 24;        // local minima of the 4 mm scores swept there
    int judged = 4;        // distinct candidates judged at 2 mm
};

// Where a pyramid level's voxels lie, for search parameters that mean the same transform
// on every level. The cost maps reference voxel r to A (r - trunc(c_r)) + c_s, read with
// the texture's half-voxel shift, and each resampling of the pyramid moves the content by a
// fraction of a voxel; for small turns the search absorbs the differences, but a half turn
// doubles them into millimetres between levels. With a geometry set, the parameters are
// taken about the true centroids in millimetres, and the evaluator adds the translation
// that the level's conventions need.
struct LevelGeometry {
    bool set = false;
    float voxel = 1.0f;      // the level's voxel size (both volumes)
    double refFrac[3] = {};  // fractional part of the reference centre (level voxels)
    double srcShift[3] = {}; // texture half voxel minus the source's pyramid shift
    double refShift[3] = {}; // the reference's pyramid shift
};
// The level of `halvings` half-samplings of the 1 mm resampling of volumes with the given
// original voxel sizes; refCenter is the level's reference centre.
LevelGeometry levelGeometry(const float srcVoxel[3], const float refVoxel[3], int halvings,
                            const float refCenter[3]);
// For a level whose start is not the plain one (the start maps every level exactly, but
// the search's matrix turns about the truncated reference centre, which moves between
// levels by up to a level voxel): parameters that turn about `point` instead, given in
// the reference level's voxels (refCenter is that level's centre).
LevelGeometry pointGeometry(const double point[3], const float refCenter[3], int halvings);
// The geometry of the volumes as they are, for the result: the resampling of the final
// image reads the source half a voxel lower and turns about the exact centres.
LevelGeometry originalGeometry(const float srcVoxel[3]);
// The parameters the level's cost must see for relative parameters p about `frame`.
TransformParams levelParams(const TransformParams& p, const Rot3& frame, const LevelGeometry& g);

// A parameter set relative to an orientation: the transform framedParams(params, frame).
struct FramedCandidate {
    Rot3 frame = identityRotation();
    TransformParams params;
    float cost = 0.0f;

    TransformParams absolute() const { return framedParams(params, frame); }
};

// Costs of parameter sets relative to one orientation.
class FramedEvaluator final : public Evaluator {
public:
    FramedEvaluator(Evaluator& inner, const Rot3& frame, const LevelGeometry& g = {})
        : inner_(inner), frame_(frame), geometry_(g) {}
    void evaluate(const TransformParams* p, int n, float* costs) override;

private:
    Evaluator& inner_;
    Rot3 frame_;
    LevelGeometry geometry_;
    std::vector<TransformParams> buf_;
};

// Indices of the grid points whose cost is not above that of any other point within
// `radius` degrees (the earlier index wins among equal costs), best first.
std::vector<int> rotationMinima(const std::vector<Rot3>& grid, const std::vector<float>& costs,
                                double radius);

// What the wide search carries from level to level.
struct WideSearch {
    WideSearchSettings settings;
    Dof dof;  // steps on parameters it fixes are left out
    // The moving head's size over the fixed one's (headSizeRatio), where the scales are
    // free. The grid and the 4 mm sweeps are rigid at this common scale: a head
    // scored at the other's size fits its right turn only when the sizes agree (a head
    // with its skull against a brain is about 1.2 times larger, and at scale 1 it fitted
    // a half-turned brain best).
    float scale = 1.0f;
    std::vector<Rot3> grid;
    std::vector<FramedCandidate> candidates;  // best first once judged
    // Trust the start's orientation (register's default): the start itself and the
    // standard search's answer near it (the caller adds that one) are judged with the
    // others, and a candidate turned further than kNearStartDegrees from it wins only
    // when its cost is clearly lower (kFarTurnMargin) than the best one near the start.
    bool preferStart = false;
};

// Scans of one session share scanner coordinates, and templates and most scans are
// stored upright: a far turn from the start is more often a symmetry the cost mistakes
// than the truth.
constexpr double kNearStartDegrees = 45.0;
// How much lower (on the cost, -1 ... 0) a far candidate must end at 2 mm to win.
extern const float kFarTurnMargin;
// A candidate for the level parameters p of a search without a frame or a geometry (the
// standard search's).
FramedCandidate plainCandidate(const TransformParams& p, const LevelGeometry& g);
// The turn of a candidate away from the start, in degrees.
double turnFromStart(const FramedCandidate& c);

// The ratio of the heads' sizes (moving over fixed), each the geometric mean of the
// standard deviations of its bright voxels along their principal axes in millimetres, from
// the levels given (any resolution; both the same), within their masks where given (0/1
// volumes on the levels' grids, or null). 1 where a head has no spread or the ratio is
// beyond a factor of 2: such an image says nothing about size.
double headSizeRatio(const Volume& moving, const WorldGrid& movingGrid, const Volume* movingMask,
                     const Volume& fixed, const WorldGrid& fixedGrid, const Volume* fixedMask);

// 4 mm: the grid scored with the centroids aligned; the best local minima swept rigidly;
// the best distinct ones go on, with the half turns of the best about the reference axes.
void wideSearch4mm(Evaluator& ev, WideSearch& ws, const LevelGeometry& g = {});
// Still at 4 mm, after the caller has added its own candidates: the first round of judging,
// every candidate swept with the translation, the turn and the common scale; those left
// far behind go no further.
void wideJudge4mm(Evaluator& ev, WideSearch& ws, const LevelGeometry& g = {});
// 2 mm: the candidates left swept again, with the separate scales where they are free; the
// best (earliest on equal costs) comes first.
void wideSearch2mm(Evaluator& ev, WideSearch& ws, const LevelGeometry& g = {});
