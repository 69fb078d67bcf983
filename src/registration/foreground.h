#pragma once
// The automatic foreground of an image: the tissue that register's cost counts on the
// fixed side, and what the verdict measures overlap with.
//
// Every fixed voxel inside the moving image's field of view used to count, air and neck
// included; binned together, air, neck and the edge of a slab reward a pose that lines up
// silhouettes rather than anatomy (an EPI, a slab or a brain-only image against a whole
// head ended turned by about a right angle). Counting only the brighter tissue of the fixed
// image leaves the background nothing to decide.
#include <cstdint>
#include <vector>

#include "volume/volume.h"

// The threshold, as a fraction of the way from the 1st to the 99th percentile: a range
// rather than a level, so that images with negative values (CT, some EPI) work too. A
// quarter keeps grey and white matter of T1, T2 and EPI alike and leaves out air and most
// of the scalp's dim tissue.
constexpr float kForegroundFraction = 0.25f;

// How far the foreground reaches past the tissue, in mm: a band of the air around a head
// stays in the cost. Without it the cost can raise its score by bringing MOVING's air into
// FIXED's head (the air is all one value, as FIXED's scalp is): a phantom head pair ended
// 45 mm off with a band of 4 or 10 mm, and 0.36 mm with 20 mm.
constexpr float kForegroundMarginMm = 20.0f;
// The band when the cost is taken both ways. Its reverse half (MOVING's tissue explaining
// FIXED) keeps the phantom pairs right without the wide band, and the wide band misleads
// the forward half on a slab: an 84-112 mm EPI slab was drawn 8-15 % too large to bring
// more of FIXED's air inside it (10-11 mm off; 1.1-2.1 mm with 8 mm).
constexpr float kTwoWayBandMm = 8.0f;
inline float foregroundBandMm(bool twoWay) { return twoWay ? kTwoWayBandMm : kForegroundMarginMm; }
// The fallback: the tissue with this much margin. Where FIXED is a brain alone, its band of
// air holds MOVING's skull, and the cost fits that skull by scaling a head onto the brain
// (17-25 mm off); an answer that implausible is tried again on the tissue alone (the
// pipeline's), which the brain-only images register with (0.1-0.9 mm). The tissue alone
// cannot be the first choice: on a phantom pair it left an answer 30 mm off at a plausible
// scale.
constexpr float kTissueMarginMm = 2.0f;

// 1 for the voxels above the threshold, grown by kForegroundMarginMm along each axis (a
// box) and with their enclosed holes filled (ventricles, dark sinuses), then limited to
// `within` (a 0/1 volume on v's grid) where given. In storage order.
// `marginMm` replaces the band's width where given.
std::vector<uint8_t> foregroundVoxels(const Volume& v, const Volume* within = nullptr, float marginMm = -1.0f);

// The same as a 0/1 volume on v's grid and backend; null when fewer than kMinMaskVoxels
// voxels are in it (a phantom of a few values, an image already cut down to a mask
// smaller than that): then the caller counts what it counted before.
VolumePtr automaticForeground(const Volume& v, const Volume* within = nullptr, float marginMm = -1.0f);
// The second half of automaticForeground, from foregroundVoxels' answer: foregroundVoxels
// touches no backend but to read v, so it may run on a thread of its own beside the
// backend's work, and this one after it.
VolumePtr foregroundMask(const Volume& v, const std::vector<uint8_t>& voxels);

// One voxel in `oneIn` (2 or 4) of `mask` (a 0/1 volume on like's grid), or of like's whole
// grid where null, as a 0/1 volume on like's grid and backend: the voxels on a lattice
// that spreads them evenly (2: every other voxel along each axis, as on a checkerboard;
// 4: every fourth along x, shifted by two from row to row and by three from slice to
// slice). Null where fewer than `minInside` voxels are inside the mask: the caller keeps
// them all.
VolumePtr latticeSubset(const Volume& like, const Volume* mask, int oneIn, size_t minInside = 0);
