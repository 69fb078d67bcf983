#pragma once
// Rotations as 3x3 matrices (double, row-major), and the way back from a matrix to the
// twelve parameters that composeAffine builds.
//
// The searches describe an orientation by three angles, which cannot describe all turns
// evenly: near a y angle of +-90 degrees the x and z angles turn about the same axis. A
// search over every orientation therefore works with matrices and converts to angles only
// where a parameter set is needed.
#include <array>
#include <vector>

#include "geometry/transform.h"

using Rot3 = std::array<double, 9>;

Rot3 identityRotation();
Rot3 multiply(const Rot3& a, const Rot3& b);
Rot3 transposed(const Rot3& r);
// The rotation composeAffine builds from three angles in degrees.
Rot3 rotationOfAngles(const float angles[3]);
// Angles in degrees, in (-180, 180], with |y| <= 90, whose composeAffine rotation is r
// (a proper rotation). At y = +-90 the z angle is 0.
void anglesOfRotation(const Rot3& r, float angles[3]);
// Angle of the turn between two rotations, in degrees (0 ... 180).
double rotationGap(const Rot3& a, const Rot3& b);
// Unit quaternion (w, x, y, z) to matrix.
Rot3 rotationOfQuaternion(double w, double x, double y, double z);

// n rotations spread nearly evenly over all orientations, in a fixed order (a spiral on
// the unit quaternions, after Alexa's super-Fibonacci sampling).
std::vector<Rot3> rotationGrid(int n);

// The parameters T R K S of composeAffine (translations in mm, voxel sizes 1) of the 3x4
// affine a (row-major; the linear part must have a positive determinant). Returns false,
// leaving p alone, when it has not.
bool decomposeAffine(const double a[12], TransformParams& p);
// composeAffine(p) with voxel sizes 1, in double: a row-major 3x4 affine.
void affineOfParams(const TransformParams& p, double a[12]);
// The parameters of composeAffine(p) = T R K S with the turn `frame` put between its
// rotation and its translation: x -> T frame R K S x. The searches use it to work relative
// to an orientation; the scales and skews keep their meaning (along the reference axes),
// so a search with the scales free but not the skews can still reach any of its transforms
// from any frame. framedParams(framedParams(p, f), transposed(f)) is p (to rounding).
TransformParams framedParams(const TransformParams& p, const Rot3& frame);
