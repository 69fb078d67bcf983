#include "registration/pyramid.h"

#include <future>

#include "device/costfunction.h"
#include "registration/foreground.h"
#include "registration/levelstart.h"
#include "volume/resample.h"

namespace {

// The bin count stage of level h (8 mm: 1 ... 1 mm: 4).
int16_t levelStage(int h) { return (int16_t)(PreparedFixed::kLevels - h); }

}  // namespace

const PreparedFixed* PreparedFixed::tissueOnly() const {
    std::call_once(tissueOnce_, [this] {
        if (!tissueWanted_) return;
        const Volume& fixed = *original_.image;
        const VolumePtr tissue = automaticForeground(fixed, userMask_.get(), kTissueMarginMm);
        if (!tissue || !(tissue_ = prepare(fixed, tissue.get(), false, kForegroundMarginMm, searchOneIn_))) return;
        tissue_->foreground_ = true;
        tissue_->userMasked_ = userMasked_;  // the tissue is this image's own, not the user's
        if (userMask4mm_) tissue_->userMask4mm_ = copyVolume(*userMask4mm_);
    });
    return tissue_.get();
}

bool Pyramid::build(const Volume& v, const Volume* m) {
    if (!buildImage(v)) return false;
    addMask(m);
    return true;
}

bool Pyramid::buildImage(const Volume& v) {
    image[0] = isotropicResample(v, 1.0f, 1.0f, 1.0f);
    if (!image[0]) return false;
    const WorldGrid g = worldGridOf(v);
    for (int h = 0; h < PreparedFixed::kLevels; ++h) {
        if (h > 0) image[h] = halfSample(*image[h - 1]);
        grid[h] = levelGrid(g, v, 1.0f, h);
    }
    return true;
}

void Pyramid::addMask(const Volume* m) {
    if (!m) return;
    mask[0] = isotropicResample(*m, 1.0f, 1.0f, 1.0f);
    for (int h = 1; h < PreparedFixed::kLevels; ++h) mask[h] = halfSample(*mask[h - 1]);
}

std::unique_ptr<PreparedFixed> PreparedFixed::prepare(const Volume& fixed, const Volume* mask, bool foreground,
                                                     float bandMm, int searchOneIn) {
    // The band's voxels are host work on one core: found beside the image's levels, which
    // the backend makes, and only its levels wait for it.
    const bool banded = foreground && resamplesTo(fixed, 1.0f);
    std::future<std::vector<uint8_t>> bandVoxels;
    if (banded)
        bandVoxels = std::async(std::launch::async, [&fixed, mask, bandMm] { return foregroundVoxels(fixed, mask, bandMm); });
    Pyramid p;
    if (!p.buildImage(fixed)) return nullptr;
    VolumePtr band;
    const Volume* userMask = mask;
    if (banded && (band = foregroundMask(fixed, bandVoxels.get()))) mask = band.get();
    p.addMask(mask);
    auto prepared = std::unique_ptr<PreparedFixed>(new PreparedFixed);
    prepared->userMasked_ = userMask != nullptr;
    prepared->searchOneIn_ = searchOneIn;
    if (band) {
        prepared->foreground_ = true;
        prepared->tissueWanted_ = true;
        if (userMask) prepared->userMask_ = copyVolume(*userMask);
        if (userMask) {
            VolumePtr m = isotropicResample(*userMask, 1.0f, 1.0f, 1.0f);
            for (int h = 1; h <= 2 && m; ++h) m = halfSample(*m);
            prepared->userMask4mm_ = std::move(m);
        }
    }
    worldCentroid(fixed, prepared->centroid_);
    prepared->voxel_[0] = fixed.dx;
    prepared->voxel_[1] = fixed.dy;
    prepared->voxel_[2] = fixed.dz;
    Level& o = prepared->original_;
    o.image = copyVolume(fixed);
    o.image->stage = levelStage(0);
    if (mask) o.mask = copyVolume(*mask);
    o.grid = worldGridOf(fixed);
    for (int h = 0; h < kLevels; ++h) {
        Level& l = prepared->levels_[h];
        l.image = std::move(p.image[h]);
        l.image->stage = levelStage(h);
        l.grid = p.grid[h];
        l.mask = std::move(p.mask[h]);
        l.lazy_ = h == 0;
        if (!l.lazy_) l.reference_ = prepareReference(*l.image, l.mask.get());
        const VolumePtr lattice = searchSamples(h, searchOneIn)
                                      ? latticeSubset(*l.image, l.mask.get(), searchOneIn, kSearchSampledFrom)
                                      : nullptr;
        if (lattice) l.lattice_ = prepareReference(*l.image, lattice.get());
    }
    return prepared;
}

const ReferencePtr& PreparedFixed::Level::reference() const {
    if (lazy_) std::call_once(once_, [this] { reference_ = prepareReference(*image, mask.get()); });
    return reference_;
}
