#pragma once
// A registration as a short pipeline over one prepared pair per level:
//   start -> global search (8 mm) -> level sweeps (4, 2, 1 mm) -> result.
// Each stage takes the search's transform and returns one. The start is one affine in
// level voxel coordinates composed with the search's matrix in one place (StartedEvaluator),
// so the search never learns about world coordinates; with the identity start every
// evaluation is the one of the plain multi-resolution search.
#include <functional>
#include <memory>

#include "device/device.h"
#include "geometry/world.h"
#include "registration/dof.h"
#include "registration/refine.h"
#include "registration/search.h"
#include "registration/widesearch.h"
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

// What depends only on the fixed image: its levels at 1, 2, 4 and 8 mm, where each lies in
// the world, and each level's voxels sorted into that level's bins (the fixed mask
// applied). Built once and only read by the pipeline, so one serves any number of
// registrations to the same fixed image (a batch keeps one for all its subjects). It
// holds memory of the backend that holds the fixed image and must go before that backend.
class PreparedFixed {
public:
    struct Level {
        VolumePtr image;  // the level's volume, its stage set
        VolumePtr mask;   // the fixed mask on the level, or null (a backend may prepare again from it)
        WorldGrid grid;
        ReferencePtr reference;
    };
    static constexpr int kLevels = 4;  // level h has voxels of 2^h mm

    // Null when the image is too small for one 1 mm voxel. `mask`: a 0/1 volume on
    // fixed's grid, or null; it is not needed afterwards.
    static std::unique_ptr<PreparedFixed> prepare(const Volume& fixed, const Volume* mask);
    const Level& level(int h) const { return levels_[h]; }
    // The fixed image's intensity centroid in world coordinates, as worldCentroid gives it.
    const double* centroid() const { return centroid_; }
    // The fixed image's own voxel sizes, before the pyramid (the wide search corrects for
    // the pyramid's sub-voxel shifts with them).
    const float* voxelSize() const { return voxel_; }
    // The precision stage's coarser step: the 2 mm level's own reference, whose 256 bins
    // are those of the 1 mm level. Its finer step takes level(0).reference as it is.
    const ReferencePtr& refineReference() const { return levels_[1].reference; }

private:
    Level levels_[kLevels];
    double centroid_[3] = {0, 0, 0};
    float voxel_[3] = {0, 0, 0};
};

struct PipelineOptions {
    Dof dof;
    // The global search: the standard one, or the wide one over all orientations.
    SearchKind search = SearchKind::Standard;
    Start start;
    // 0/1 volumes on the grids of the fixed and the moving image, or null. The fixed mask
    // is used only where the pipeline prepares the fixed image itself.
    const Volume* fixedMask = nullptr;
    const Volume* movingMask = nullptr;
    Progress* progress = nullptr;
    // The precision stage after the 1 mm sweeps (registration/refine.h): register runs it
    // unless told --no-refine; -r never does.
    bool refine = false;
    RefineOptions refineOptions;  // its dof is taken from `dof`
};

struct PipelineResult {
    TransformParams params;  // the search's parameters, relative to the start
    float cost = 0.0f;       // at 1 mm; the start is kept when it is not below zero
    Affine world;            // FIXED RAS mm -> MOVING RAS mm
    Affine searchWorld;      // the same before the precision stage
    bool ran = false;        // false when a volume is too small for one 1 mm voxel
};

// Registers `moving` (the source) to `fixed` (the reference). Search lines go to the
// search log (searchlog.h).
PipelineResult runPipeline(const Volume& moving, const PreparedFixed& fixed, const PipelineOptions& opts);
// The same, preparing the fixed image (with opts.fixedMask) for this registration alone.
PipelineResult runPipeline(const Volume& moving, const Volume& fixed, const PipelineOptions& opts);
// The precision stage alone, from a search's answer (what runPipeline with opts.refine adds
// after its 1 mm sweeps): `searched` as runPipeline returned it without the stage, for
// the same moving image, fixed image and options. Returns it unchanged where the stage
// finds nothing lower.
PipelineResult refineSearched(const Volume& moving, const PreparedFixed& fixed, const PipelineOptions& opts,
                              const PipelineResult& searched);

// The cost that a registration reports, for a given start alone: both images at 1 mm, the
// 1 mm level's bins, the search's parameters at identity. False when an image is too small
// for one 1 mm voxel.
bool costAt1mm(const Volume& moving, const Volume& fixed, const Start& start, float& cost);
