#pragma once
// The global search over rotations at 8 mm: a coarse 60-degree lattice with translation
// and common scale optimised at every point, carried onto an 18-degree lattice whose
// rotations are all evaluated, and the three lowest local minima refined.
#include <vector>

#include "geometry/transform.h"
#include "registration/dof.h"
#include "registration/search.h"

// Fine lattice: slot 441 * nz + 21 * ny + nx for grid numbers 0 ... 19 (21 allocated).
constexpr int kFineSlots = 21 * 21 * 21;
constexpr int kCoarseRecords = 7 * 7 * 7;

inline float coarseAngle(int n) { return (float)(n * 60 - 180); }
inline float fineAngle(int n) { return (float)(n * 18 - 180); }
inline int fineSlot(int nx, int ny, int nz) { return 441 * nz + 21 * ny + nx; }

// Slots (scan order, z outermost) whose cost is strictly below that of all eight points
// that differ by one in every grid number; the outer layer never qualifies.
std::vector<int> findLocalMinima(const float* fineCosts);
// With fewer than three entries, appends the lowest-cost written slots not yet listed
// (ties in slot order) until there are three.
void topUpMinima(std::vector<int>& list, const float* fineCosts);
// Moves the three lowest entries to the front in increasing cost by exchanges; among
// equal costs the entry in front stays in front. Needs at least three entries.
void chooseThree(std::vector<int>& list, const float* fineCosts);
// The rotations of a fine slot.
void slotRotation(int slot, TransformParams& p);

// Writes the three refined candidates (which the caller has set to the identity);
// returns the lowest cost among the best fine minimum and the refined candidates.
// Steps on parameters that `dof` fixes are left out.
float globalSearch8mm(Evaluator& ev, TransformParams candidates[3], const Dof& dof = Dof());
