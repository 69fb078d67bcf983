#pragma once
// The levels a registration searches on: each image resampled to 1 mm and halved to 2, 4
// and 8 mm, with where each level lies in the world.
#include <memory>
#include <mutex>

#include "device/device.h"
#include "geometry/world.h"
#include "registration/foreground.h"
#include "volume/volume.h"

// What depends only on the fixed image: its levels at 1, 2, 4 and 8 mm, where each lies in
// the world, and each level's voxels sorted into that level's bins (the fixed mask
// applied). Built once and only read by the pipeline, so one serves any number of
// registrations to the same fixed image (a batch keeps one for all its subjects). It
// holds memory of the backend that holds the fixed image and must go before that backend.
class PreparedFixed {
public:
    class Level {
    public:
        VolumePtr image;  // the level's volume, its stage set
        VolumePtr mask;   // the fixed mask on the level, or null (a backend may prepare again from it)
        WorldGrid grid;
        // The level's voxels in their bins. The 1 mm level's is prepared on first use (once,
        // safe from any thread): only the 1 mm sweeps read it, and a fine pass whose FIXED
        // is not on its own grid; `register`'s precision stage reads FIXED's own grid, and
        // preparing it anyway took 0.1 s and 100 MB per head. Null for original().
        const ReferencePtr& reference() const;
        // What the search's cost counts on this level: reference(), or on the 2 mm level
        // one voxel in searchOneIn of it (latticeSubset), where that leaves enough.
        const ReferencePtr& searchReference() const { return lattice_ ? lattice_ : reference(); }

    private:
        friend class PreparedFixed;
        bool lazy_ = false;  // reference() prepares on first use
        mutable std::once_flag once_;
        mutable ReferencePtr reference_;
        ReferencePtr lattice_;
    };
    static constexpr int kLevels = 4;  // level h has voxels of 2^h mm

    // Null when the image is too small for one 1 mm voxel. `mask`: a 0/1 volume on
    // fixed's grid, or null; it is not needed afterwards. With `foreground`, the cost
    // counts only the fixed image's automatic foreground (registration/foreground.h)
    // within the mask. `searchOneIn`: the lattice of searchReference (1: all voxels).
    static std::unique_ptr<PreparedFixed> prepare(const Volume& fixed, const Volume* mask, bool foreground = false,
                                                  float bandMm = kForegroundMarginMm, int searchOneIn = 1);
    // Whether the search samples level h on a lattice of one voxel in oneIn, where the
    // level's image or mask has at least kSearchSampledFrom voxels inside: the 2 mm level,
    // the search's costliest. FIXED and MOVING alike. The 4 mm level on the lattice too
    // saved a tenth of register's time, but its answers led the 2 mm search elsewhere
    // often enough to matter: a single-contrast known transform ended 0.018 mm from the
    // truth instead of 0.014, an EPI hard case 1.8 mm instead of 1.2.
    static bool searchSamples(int h, int oneIn) { return oneIn > 1 && h == 1; }
    static constexpr size_t kSearchSampledFrom = 20000;
    const Level& level(int h) const { return levels_[h]; }
    // The fixed image's intensity centroid in world coordinates, as worldCentroid gives it.
    const double* centroid() const { return centroid_; }
    // The fixed image's own voxel sizes, before the pyramid (the wide search corrects for
    // the pyramid's sub-voxel shifts with them).
    const float* voxelSize() const { return voxel_; }
    // The precision stage's coarser step: the 2 mm level's own reference, whose 256 bins
    // are those of the 1 mm level.
    const ReferencePtr& precisionReference() const { return levels_[1].reference(); }
    // The user's mask at 4 mm (null when none), where the cost's mask is the foreground:
    // the heads' sizes are compared on what the user chose, alike on both sides.
    const Volume* sizeMask() const { return foreground_ ? userMask4mm_.get() : levels_[2].mask.get(); }
    // The fixed image on its own grid (a copy, with 256 bins' stage) and its mask, for the
    // precision stage's finer step. Its reference is left to that step (null here): the
    // search never uses it, and it would double what a prepared fixed image holds.
    const Level& original() const { return original_; }
    // Whether this one counts the foreground with its band of air, so that tissueOnly may
    // give an alternative.
    bool hasTissueOnly() const { return tissueWanted_; }
    // The same fixed image prepared with the tissue alone (foreground.h: kTissueMarginMm);
    // null when this one has no band or the tissue is too small. Prepared on first use
    // (once, safe from any thread): only an implausible answer asks for it, and it holds
    // as much memory as this one.
    const PreparedFixed* tissueOnly() const;
    // Whether the user gave a mask: the levels' masks then hold what it leaves out.
    bool userMasked() const { return userMasked_; }

private:
    bool tissueWanted_ = false;
    int searchOneIn_ = 1;
    bool userMasked_ = false;
    VolumePtr userMask_;  // the user's mask on FIXED's grid, kept for tissueOnly
    mutable std::once_flag tissueOnce_;
    mutable std::unique_ptr<PreparedFixed> tissue_;
    Level levels_[kLevels];
    Level original_;
    bool foreground_ = false;
    VolumePtr userMask4mm_;
    double centroid_[3] = {0, 0, 0};
    float voxel_[3] = {0, 0, 0};
};

// A volume and its mask (if any) at 1, 2, 4 and 8 mm, with where each level lies.
struct Pyramid {
    VolumePtr image[PreparedFixed::kLevels], mask[PreparedFixed::kLevels];
    WorldGrid grid[PreparedFixed::kLevels];

    // False when the volume is too small for one 1 mm voxel.
    bool build(const Volume& v, const Volume* m);
    // The same in two steps: the image's levels, then the mask's (null: none).
    bool buildImage(const Volume& v);
    void addMask(const Volume* m);
};
