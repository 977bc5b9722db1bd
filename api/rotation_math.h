// Rotation maths of the pose queries: 3x3 rotation matrix (by rows, element
// (i, j) at 3i + j) to quaternion (x, y, z, w) and to helical vector (unit
// axis times angle in radians). No state, no allocation.
#pragma once

#include <array>
#include <cstddef>

namespace QSRotation {

// Below this norm of the vector part the vector part itself is returned as
// the helical vector (ten times the double-precision machine epsilon).
constexpr double HelicalNormThreshold = 2.220446049250313e-15;

// Square root of the sum of squares, summed in element order from 0.
double VectorNorm(const double* values, std::size_t count);

// Trace branch for a trace strictly above 0, otherwise the branch of the
// largest diagonal element (ties keep the lower index). The sign is not
// normalised.
std::array<double, 4> MatrixToQuaternion(const std::array<double, 9>& r);

// Angle 2 atan2(|v|, w) in 0 to 2 pi, not reduced to -pi to pi.
std::array<double, 3> QuaternionToHelical(const std::array<double, 4>& q);

std::array<double, 3> MatrixToHelical(const std::array<double, 9>& r);

}  // namespace QSRotation
