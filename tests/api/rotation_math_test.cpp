// Rotation maths: matrix to quaternion (both branches, tie rule, the
// strict trace test), quaternion to helical (threshold, unreduced angle)
// and the vector norm.
#include <gtest/gtest.h>

#include <cmath>

#include "api/rotation_math.h"

using namespace QSRotation;

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr double Tol = 1e-12;

// Rotation by `angle` about z, rows (c, -s, 0), (s, c, 0), (0, 0, 1).
std::array<double, 9> AboutZ(double angle) {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  return {c, -s, 0, s, c, 0, 0, 0, 1};
}

void ExpectNear(const std::array<double, 4>& actual, const std::array<double, 4>& expected) {
  for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(actual[i], expected[i], Tol) << "element " << i;
}

void ExpectNear(const std::array<double, 3>& actual, const std::array<double, 3>& expected) {
  for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(actual[i], expected[i], Tol) << "element " << i;
}

TEST(RotationMath, IdentityIsTheUnitQuaternionAndAZeroHelical) {
  const std::array<double, 9> identity = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  EXPECT_EQ(MatrixToQuaternion(identity), (std::array<double, 4>{0, 0, 0, 1}));
  EXPECT_EQ(MatrixToHelical(identity), (std::array<double, 3>{0, 0, 0}));
}

TEST(RotationMath, QuarterTurnAboutZ) {
  const std::array<double, 9> r = {0, -1, 0, 1, 0, 0, 0, 0, 1};
  const double h = std::sqrt(0.5);
  ExpectNear(MatrixToQuaternion(r), {0, 0, h, h});
  ExpectNear(MatrixToHelical(r), {0, 0, Pi / 2});
  // Any angle in the trace branch: (0, 0, sin a/2, cos a/2).
  ExpectNear(MatrixToQuaternion(AboutZ(0.3)), {0, 0, std::sin(0.15), std::cos(0.15)});
  ExpectNear(MatrixToHelical(AboutZ(0.3)), {0, 0, 0.3});
}

TEST(RotationMath, HalfTurnAboutXTakesTheDiagonalBranch) {
  const std::array<double, 9> r = {1, 0, 0, 0, -1, 0, 0, 0, -1};  // trace -1
  ExpectNear(MatrixToQuaternion(r), {1, 0, 0, 0});
  ExpectNear(MatrixToHelical(r), {Pi, 0, 0});
}

TEST(RotationMath, TwoHundredDegreesAboutZGivesAnUnreducedAngle) {
  const double angle = 200.0 * Pi / 180.0;
  const std::array<double, 4> q = MatrixToQuaternion(AboutZ(angle));
  // Diagonal branch with i = 2: z positive, w negative.
  ExpectNear(q, {0, 0, std::sin(angle / 2), std::cos(angle / 2)});
  EXPECT_GT(q[2], 0.0);
  EXPECT_LT(q[3], 0.0);
  const std::array<double, 3> helical = MatrixToHelical(AboutZ(angle));
  ExpectNear(helical, {0, 0, angle});
  EXPECT_GT(helical[2], Pi);
}

TEST(RotationMath, ZeroTraceTakesTheDiagonalBranch) {
  // The trace branch would give w = 0.5 here; the diagonal branch (i = 0 by
  // the tie rule) gives x = 0.5, w = 0.
  const std::array<double, 9> zero{};
  EXPECT_EQ(MatrixToQuaternion(zero), (std::array<double, 4>{0.5, 0, 0, 0}));

  // A proper rotation with trace 0: 120 degrees about (1, 1, 1).
  const std::array<double, 9> cyclic = {0, 0, 1, 1, 0, 0, 0, 1, 0};
  ExpectNear(MatrixToQuaternion(cyclic), {0.5, 0.5, 0.5, 0.5});
  const double a = (2 * Pi / 3) / std::sqrt(3.0);
  ExpectNear(MatrixToHelical(cyclic), {a, a, a});
}

TEST(RotationMath, DiagonalTiesKeepTheLowerIndex) {
  // r4 = r8 = 0.5 > r0: i = 1, not 2.
  const std::array<double, 9> r = {-1, 0, 0, 0, 0.5, 0, 0, 0, 0.5};
  const std::array<double, 4> q = MatrixToQuaternion(r);
  EXPECT_NEAR(q[1], 0.5 * std::sqrt(2.0), Tol);
  EXPECT_EQ(q[0], 0.0);
  EXPECT_EQ(q[2], 0.0);
  EXPECT_EQ(q[3], 0.0);
}

TEST(RotationMath, HalfTurnsAboutYAndZPickTheirAxis) {
  const std::array<double, 9> aboutY = {-1, 0, 0, 0, 1, 0, 0, 0, -1};
  ExpectNear(MatrixToQuaternion(aboutY), {0, 1, 0, 0});
  ExpectNear(MatrixToHelical(aboutY), {0, Pi, 0});
  ExpectNear(MatrixToQuaternion(AboutZ(Pi)), {0, 0, 1, std::cos(Pi / 2)});
}

TEST(RotationMath, TinyVectorPartIsReturnedUnscaled) {
  // Below the threshold the vector part itself comes back (scaling would
  // double it here: angle 2e-16 over norm 1e-16).
  EXPECT_EQ(QuaternionToHelical({1e-16, 0, 0, 1}), (std::array<double, 3>{1e-16, 0, 0}));
  EXPECT_EQ(QuaternionToHelical({0, -2e-15, 0, 1}), (std::array<double, 3>{0, -2e-15, 0}));
  // Just above it the vector is scaled by angle / norm (about 2).
  const std::array<double, 3> scaled = QuaternionToHelical({3e-15, 0, 0, 1});
  EXPECT_NEAR(scaled[0], 6e-15, 1e-27);
  EXPECT_LT(HelicalNormThreshold, 3e-15);
  EXPECT_GT(HelicalNormThreshold, 2e-15);
}

TEST(RotationMath, NegativeScalarPartGivesAnAngleAbovePi) {
  // The same rotation as (0, 0, 1, 0.5)/|.| but with w < 0: not reduced.
  const double n = std::sqrt(1.25);
  const std::array<double, 3> h = QuaternionToHelical({0, 0, 1 / n, -0.5 / n});
  EXPECT_NEAR(h[2], 2 * std::atan2(1.0, -0.5), Tol);
  EXPECT_GT(h[2], Pi);
}

TEST(RotationMath, VectorNorm) {
  const double v[] = {3, 4, 12};
  EXPECT_EQ(VectorNorm(v, 2), 5.0);
  EXPECT_EQ(VectorNorm(v, 3), 13.0);
  EXPECT_EQ(VectorNorm(v, 0), 0.0);
}

}  // namespace
