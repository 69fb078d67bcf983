#pragma once
// Where a registration starts, and what a search's parameters mean on one level. The start
// is one affine in level voxel coordinates composed with the search's matrix in one place
// (StartedEvaluator), so the search never learns about world coordinates; with the
// identity start every evaluation is the one of the plain multi-resolution search.
#include <functional>

#include "device/costfunction.h"
#include "device/device.h"
#include "geometry/world.h"
#include "registration/search.h"
#include "volume/volume.h"

enum class StartKind {
    Header,    // orientation, axis order, flips and voxel sizes from the headers, world
               // centroids paired; on grids of one layout exactly the Centroid start
    Centroid,  // voxel grids as they are, centroids paired (the start of -r)
    Identity,  // the headers' world coordinates as they are
    Matrix,    // a given world matrix (FIXED RAS mm -> MOVING RAS mm)
};

struct Start {
    StartKind kind = StartKind::Header;
    Affine world;  // for StartKind::Matrix; for Header, the centroid translation
};

// The intensity centroid of a volume in world coordinates (RAS mm).
void worldCentroid(const Volume& v, double out[3]);
// The world translation that puts the moving image's intensity centroid on the fixed
// image's: the header start's matrix.
Affine centroidTranslation(const Volume& moving, const Volume& fixed);

// The start on one level: reference level voxel r goes to source texture coordinate
//   linear * (r - c) + delta + srcCenter,   c = the truncated reference centre,
// before the search's own matrix acts about c.
struct LevelStart {
    double linear[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    double delta[3] = {0, 0, 0};
    bool identity = true;  // exactly the plain search

    // Device matrix (16 floats) of the search's matrix m (composeAffine, source voxel sizes).
    void compose(const float m[16], float out[16]) const;
};

// Where the levels lie in the world (index -> RAS): the level grid of a volume whose
// original grid is `grid`, after the isotropic resampling and `halvings` half-samplings.
WorldGrid levelGrid(const WorldGrid& grid, const Volume& original, float voxel, int halvings);

LevelStart levelStart(const Start& start, const Volume& srcLevel, const WorldGrid& srcGrid,
                      const Volume& refLevel, const WorldGrid& refGrid);

// The world matrix (FIXED RAS -> MOVING RAS) of search parameters p on a level.
Affine worldMatrix(const TransformParams& p, const LevelStart& s, const Volume& srcLevel,
                   const WorldGrid& srcGrid, const Volume& refLevel, const WorldGrid& refGrid);

// Told about the levels as they run (the terminal progress line). Asked after every batch
// of evaluations whether to stop: a caller that embeds the pipeline (Python, on Ctrl-C) can
// end a registration between two device calls.
class Progress {
public:
    virtual ~Progress() = default;
    virtual void levelBegin(const char* name) = 0;
    virtual void evaluated(int n) = 0;
    virtual void levelEnd() = 0;
    virtual bool cancelled() { return false; }
};

// Thrown out of runPipeline (after the device pair is released) when Progress::cancelled()
// says so. Host code only: it never passes through a backend.
struct RegistrationCancelled {};

// The prepared pair of one level, released however the level ends.
struct PreparedPair {
    PreparedPair(const Volume& s, const Volume& r, const CostPairOptions& o) { initCorrelationRatio(s, r, o); }
    PreparedPair(const Volume& s, const Volume& r, const ReferencePtr& prepared, const CostPairOptions& o) {
        initCorrelationRatio(s, r, prepared, o);
    }
    // The cost taken both ways where `reverse` (a reference prepared from s) is given
    // (initTwoWayCorrelationRatio); the plain pair where it is null.
    PreparedPair(const Volume& s, const Volume& r, const ReferencePtr& prepared, const CostPairOptions& o,
                 const ReferencePtr& reverse, const CostPairOptions& reverseOpts, float reverseWeight = kReverseWeight) {
        if (reverse)
            initTwoWayCorrelationRatio(s, r, prepared, o, reverse, reverseOpts, reverseWeight);
        else
            initCorrelationRatio(s, r, prepared, o);
    }
    ~PreparedPair() { freeCorrelationRatio(); }
    PreparedPair(const PreparedPair&) = delete;
    PreparedPair& operator=(const PreparedPair&) = delete;
};

// The cost of parameter sets through a level start, on the prepared device pair.
class StartedEvaluator final : public Evaluator {
public:
    StartedEvaluator(const Volume& src, const Volume& ref, const LevelStart& start, Progress* progress)
        : src_(src), ref_(ref), start_(start), progress_(progress) {}
    void evaluate(const TransformParams* p, int n, float* costs) override;

private:
    void evaluateOnDevice(const TransformParams* p, int n, float* costs);

    const Volume& src_;
    const Volume& ref_;
    const LevelStart& start_;
    Progress* progress_;
    RecentCosts known_;
};

// What a parameter set means in the world (FIXED RAS mm -> MOVING RAS mm) on one level:
// the frame that the precision stage keeps while it moves between pairs.
using ParamsToWorld = std::function<Affine(const TransformParams&)>;

// The cost of parameter sets read in a frame, on any prepared pair whose grids are known:
// each set's world matrix is taken to this pair's voxels, so parameters found on one pair
// mean the same transform on another (finer, coarser, or on another grid).
class WorldEvaluator final : public Evaluator {
public:
    WorldEvaluator(const Volume& src, const WorldGrid& srcGrid, const Volume& ref, const WorldGrid& refGrid,
                   ParamsToWorld frame, Progress* progress)
        : src_(src), ref_(ref), srcGrid_(srcGrid), refGrid_(refGrid), frame_(std::move(frame)), progress_(progress) {}
    void evaluate(const TransformParams* p, int n, float* costs) override;

private:
    const Volume& src_;
    const Volume& ref_;
    WorldGrid srcGrid_, refGrid_;
    ParamsToWorld frame_;
    Progress* progress_;
};

// The cost that a registration reports, for a given start alone: both images at 1 mm, the
// 1 mm level's bins, the search's parameters at identity. False when an image is too small
// for one 1 mm voxel.
bool costAt1mm(const Volume& moving, const Volume& fixed, const Start& start, float& cost);
