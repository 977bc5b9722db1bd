#include "api/rotation_math.h"

#include <cmath>

namespace QSRotation {

double VectorNorm(const double* values, std::size_t count) {
  double sum = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    sum += values[i] * values[i];
  }
  return std::sqrt(sum);
}

std::array<double, 4> MatrixToQuaternion(const std::array<double, 9>& r) {
  std::array<double, 4> q{};  // x, y, z, w
  const double t = (r[0] + r[4]) + r[8];
  if (t > 0.0) {
    const double s = std::sqrt(t + 1.0);
    q[3] = 0.5 * s;
    const double f = 0.5 / s;
    q[0] = (r[7] - r[5]) * f;
    q[1] = (r[2] - r[6]) * f;
    q[2] = (r[3] - r[1]) * f;
    return q;
  }

  // Element (a, b) of the matrix by rows.
  auto m = [&r](int a, int b) { return r[static_cast<std::size_t>(3 * a + b)]; };
  static const int next[3] = {1, 2, 0};

  int i = 0;
  if (r[4] > r[0]) i = 1;
  if (r[8] > m(i, i)) i = 2;
  const int j = next[i];
  const int k = next[j];

  // With (i, i) the largest diagonal element and a trace of at most 0 the
  // radicand is at least 1, so s never vanishes.
  const double s = std::sqrt(((m(i, i) - m(j, j)) - m(k, k)) + 1.0);
  q[static_cast<std::size_t>(i)] = 0.5 * s;
  const double f = 0.5 / s;
  q[3] = (m(k, j) - m(j, k)) * f;
  q[static_cast<std::size_t>(j)] = (m(i, j) + m(j, i)) * f;
  q[static_cast<std::size_t>(k)] = (m(i, k) + m(k, i)) * f;
  return q;
}

std::array<double, 3> QuaternionToHelical(const std::array<double, 4>& q) {
  const double n = VectorNorm(q.data(), 3);
  const double a = 2.0 * std::atan2(n, q[3]);
  if (n < HelicalNormThreshold) {
    return {q[0], q[1], q[2]};
  }
  const double scale = a / n;
  return {q[0] * scale, q[1] * scale, q[2] * scale};
}

std::array<double, 3> MatrixToHelical(const std::array<double, 9>& r) {
  return QuaternionToHelical(MatrixToQuaternion(r));
}

}  // namespace QSRotation
