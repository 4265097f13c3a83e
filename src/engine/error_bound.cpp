// Why the true cosine of a vector that is not read is at most the bound.
//
// Notation: u = 2^-24 (the unit roundoff of f32), gamma(n) = n u / (1 - n u),
// d the dimension, |.| the Euclidean norm. Given are a query q_g and a stored
// vector x_g (float64 or float32 values, as the caller holds them); the index
// stored x = fl32(x_g) and searches with q = fl32(q_g). The rotation matrix M
// is the f32 rounding of an orthogonal matrix Q built in double.
//
// The encoder computed n = fl(sqrt(sum of x_i^2)), the unit vector w_i =
// fl(x_i / n), the rotated unit vector u' = M w (each coordinate summed in
// the fixed eight-lane order, in f32), the codes k_i and their levels c_i;
// it stored a bound r >= |e| of the residual e = u' - c (computed in double
// from the f32 values: each square exact, d sums and a square root, then
// rounded up by a relative 2^-30 that covers them, and up to a code).
// The query's table holds T_i(k) = fl(y'_i c(k)) for y' = M q (f32, the same
// order), its norm is qn = fl(sqrt(sum of q_i^2)), and a stored vector's
// table sum is S = the f32 sum of T_i(k_i) from +0.0 in coordinate order
// (every kernel gives these bits). Let A = S / qn. With x^ = x / |x|:
//   c32 := <q, x^> / |q|, the cosine of the f32 vectors.
//
// 1. Inputs. Rounding q_g and x_g to f32 moves each by at most u of its
//    length (finite values; underflow adds at most sqrt(d) 2^-150, far below
//    1e-12 |x| for the norms of step 4 and 5, at least 2^-62), and a unit
//    direction by at most twice that: |cos(q_g, x_g) - c32| <= 4u (+ 1e-12).
// 2. Table sum. |S - <y', c>| <= gamma(d) |y'| |c| + d 2^-150 (the products'
//    rounding, d - 1 additions; additions of subnormals are exact).
// 3. Residual. <y', c> = <y', u'> - <y', e> and |<y', e>| <= |y'| r.
// 4. Norms. A norm computed as n is, from f32 squares summed in f32: each
//    square is x_i^2 (1 + delta) + eta with |delta| <= u and |eta| <= 2^-150
//    (a subnormal square is only absolutely accurate), so with s the sum,
//    |s - |x|^2| <= gamma(d) |x|^2 + d 2^-149. Where |x|^2 >= 2^-125 the
//    second term is at most d u |x|^2, so s = |x|^2 (1 + theta) with |theta|
//    <= gamma(2d), and n = |x| (1 + t) with
//      |t| <= tn := u + (gamma(2d) / 2)(1 + gamma(2d))(1 + u)
//    (|sqrt(1 + theta) - 1| <= |theta| (1 + |theta|) / 2). A computed n of
//    at least 2^-62 implies |x|^2 >= 2^-125 for d <= 2^16: otherwise s <
//    1.01 2^-125 and n < 0.72 2^-62. So stored vectors of norm below 2^-62
//    keep the unbounded code (they are always read) and a query of norm
//    below 2^-62 rules nothing out; the steps below hold for the others.
// 5. Rotation. With G = M^T M - I, dx = w - x^, du = u' - M w, dy = y' - M q:
//      <y', u'> - |q| c32 = q^T G w + <q, dx> + <M q, du> + <dy, u'>.
//    |M - Q| <= u |Q| entry by entry and the rows of Q have length at most
//    sqrt(1 + o), where o bounds ||Q^T Q - I|| for the double Gram-Schmidt
//    (kOrthogonalityAllowance; measured far below it by the rotation
//    tests), so ||M - Q|| <= u sqrt(d (1 + o)), ||Q|| <= sqrt(1 + o) and
//      ||G|| <= o + 2 ||Q|| ||M - Q|| + ||M - Q||^2
//            <= g := (2 u sqrt(d) + u^2 d)(1 + o) + o.
//    n = |x| (1 + t) (step 4), so |dx| <= eta := (u + tn) / (1 - tn). An
//    eight-lane dot product rounds each term at most m = d/8 + 12 times,
//    and rows of M have length at most 1 + 1e-6, so |dy| <= ey |q| and
//    |du| <= eu with ey = sqrt(d) gamma(m) (1 + 1e-6) and eu = ey (1 +
//    eta); hence |u'| <= umax := (1 + g)(1 + eta) + eu and
//      |<y', u'> - |q| c32| <= |q| E,
//      E = g (1 + eta) + eta + (1 + g) eu + ey umax.
// 6. Query norm. qn = |q| (1 + t') with |t'| <= tn (step 4), so |q| >= qn /
//    (1 + tn) and |y'| / |q| <= rho := |y'|_double (1 + gamma_double(d + 2))
//    (1 + tn) / qn, |y'|_double being summed in double from the f32
//    coordinates (relative error gamma_double(d), halved by the root).
// Together, dividing |q| c32 <= S + gamma(d) |y'| (umax + r) + d 2^-150 +
// |y'| r + |q| E by |q|, and S / |q| = A (1 + t') <= A + tn |A|:
//      c32 <= A + tn |A| + rho (1 + gamma(d)) r
//             + rho gamma(d) umax + E + d 2^-149 / qn.
// 7. Evaluation. The caller's cosine is computed in double (eight-lane dot
//    products, two square roots, a product and a quotient): within
//    4 gamma_double(d + 12) of the real one. Adding 4u, that, and 1e-12
//    gives the constant; the bound's own few double operations are covered
//    by a relative 1e-15 and an absolute 1e-15.
// The same steps bound c32 from below, with the signs turned:
//      c32 >= A - tn |A| - rho (1 + gamma(d)) r - (the same constant).
// A vector whose computed cosine is strictly below the computed k-th best
// cosine of vectors already read ranks after them, whatever its id; so a
// vector is left unread only when its bound is strictly below that score.
// Lists. A partitioned store bounds, for each list, its vectors' rotated unit
// vectors from below along the list's centroid direction C^ (unit in real
// arithmetic): reach <= <u', C^> for every member, computed as the minimum of
// <c, C^> - r over the members (each <c, C^> summed in double from the f32
// values, within 1e-9 of the real one, which reach subtracts; |u' - c| <= r
// by step 3). Write u' = a C^ + v with v orthogonal to C^, so a >= reach and
// |v| <= sqrt(umax^2 - a^2); with s = <y', C^> and t = |y' - s C^| =
// sqrt(|y'|^2 - s^2),
//      <y', u'> = a s + <y', v> <= f(a) := a s + t sqrt(umax^2 - a^2).
// f is concave with its maximum at a* = umax s / |y'|; when a* < reach its
// maximum over a >= reach is f(reach) (and otherwise nothing useful is
// known). So, with step 5, every member has
//      c32 <= f(reach) / |q| + E <= f(reach) (1 + tn) / qn + E,
// f(reach) taken with s and t rounded up (s within 1e-12 |y'| of its double
// value, |y'| below rotated_norm (1 + gamma_double(d + 2))); the constants of
// step 7 follow as for one vector. A list whose bound is below the k-th best
// exact cosine holds no vector that can reach it.
// Tiny norms: the estimate divides by qn n + 1e-12 and falls towards 0 for
// norms below about 1e-10, but the bound never uses the estimate, only S,
// so it holds for every norm of at least 2^-62 (step 4 covers the others).
// Queries whose norm is not finite rule nothing out; the callers refuse or
// rescale them, since their tables may hold infinities.
#include "engine/error_bound.h"

#include <cmath>
#include <limits>

namespace velmora {

namespace {

constexpr double kUnitRoundoff = 0x1p-24;
constexpr double kDoubleRoundoff = 0x1p-53;
// An upper bound of || Q^T Q - I || for the double Gram-Schmidt of the
// rotation (the rotation tests measure it at several dimensions).
constexpr double kOrthogonalityAllowance = 1e-7;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

double gamma(double n, double unit) { return n * unit / (1.0 - n * unit); }

}  // namespace

std::uint16_t error_bound_code(double residual) {
  if (!(residual >= 0.0)) return kUnboundedError;  // NaN
  const double scaled = std::ceil(residual * (1.0 + 0x1p-30) * kErrorBoundScale);
  return scaled < static_cast<double>(kUnboundedError) ? static_cast<std::uint16_t>(scaled) : kUnboundedError;
}

double error_bound_value(std::uint16_t code) {
  return code >= kUnboundedError ? kInfinity : static_cast<double>(code) / kErrorBoundScale;
}

std::uint16_t residual_code(const float* rotated, const std::uint8_t* indices, const float* centroids,
                            std::size_t dim) {
  double sum = 0.0;
  for (std::size_t i = 0; i < dim; ++i) {
    const double e = static_cast<double>(rotated[i]) - static_cast<double>(centroids[indices[i]]);  // exact
    sum += e * e;
  }
  return error_bound_code(std::sqrt(sum));
}

CosineUpperBound::CosineUpperBound(const QueryLut& lut) {
  const double qn = lut.query_norm;
  informative_ = std::isfinite(qn) && qn >= kSmallestBoundedNorm && std::isfinite(lut.rotated_norm);
  if (!informative_) return;
  const double d = static_cast<double>(lut.dim);
  const double u = kUnitRoundoff;
  const double o = kOrthogonalityAllowance;
  const double gamma_sum = gamma(d + 2.0, u);  // covers gamma(d) of the table sum
  const double gamma_2d = gamma(2.0 * d, u);
  const double norm_error = u + 0.5 * gamma_2d * (1.0 + gamma_2d) * (1.0 + u);
  const double gamma_m = gamma(std::floor(d / 8.0) + 12.0, u);
  const double eta = (u + norm_error) / (1.0 - norm_error);
  const double g = (2.0 * u * std::sqrt(d) + u * u * d) * (1.0 + o) + o;
  const double ey = std::sqrt(d) * gamma_m * (1.0 + 1e-6);
  const double eu = ey * (1.0 + eta);
  const double umax = (1.0 + g) * (1.0 + eta) + eu;
  const double rotation_error = g * (1.0 + eta) + eta + (1.0 + g) * eu + ey * umax;
  const double rho = lut.rotated_norm * (1.0 + gamma(d + 2.0, kDoubleRoundoff)) * (1.0 + norm_error) / qn;
  const double evaluation = 4.0 * gamma(d + 12.0, kDoubleRoundoff);
  query_norm_ = qn;
  norm_error_ = norm_error;
  residual_factor_ = rho * (1.0 + gamma_sum);
  constant_ = rho * gamma_sum * umax + rotation_error + d * 0x1p-149 / qn + 4.0 * u + evaluation + 1e-12;
  rotated_upper_ = lut.rotated_norm * (1.0 + gamma(d + 2.0, kDoubleRoundoff));
  unit_upper_ = umax;
  list_constant_ = rotation_error + 4.0 * u + evaluation + 1e-12;
}

double CosineUpperBound::at(float table_sum, std::uint16_t code) const {
  const double r = error_bound_value(code);
  if (!informative_ || !std::isfinite(r) || !std::isfinite(table_sum)) return kInfinity;
  const double a = static_cast<double>(table_sum) / query_norm_;
  const double bound = a + norm_error_ * std::fabs(a) + residual_factor_ * r + constant_;
  return bound * (1.0 + 1e-15) + 1e-15;
}

double CosineUpperBound::below(float table_sum, std::uint16_t code) const {
  const double r = error_bound_value(code);
  if (!informative_ || !std::isfinite(r) || !std::isfinite(table_sum)) return -kInfinity;
  const double a = static_cast<double>(table_sum) / query_norm_;
  const double bound = a - norm_error_ * std::fabs(a) - residual_factor_ * r - constant_;
  return bound - std::fabs(bound) * 1e-15 - 1e-15;
}

double CosineUpperBound::beyond(double along, double reach) const {
  if (!informative_ || !(reach > 0.0) || !std::isfinite(along)) return kInfinity;
  if (reach > unit_upper_) return -kInfinity;  // no unit vector reaches so far: an empty list
  const double error = 1e-12 * rotated_upper_;
  const double s_up = along + error;
  const double s_low = std::max(0.0, std::fabs(along) - error);
  // a* < reach must hold for s as large as it may be.
  if (!(unit_upper_ * s_up < reach * rotated_upper_)) return kInfinity;
  const double t_up = std::sqrt(std::max(0.0, rotated_upper_ * rotated_upper_ - s_low * s_low));
  const double across = std::sqrt(std::max(0.0, unit_upper_ * unit_upper_ - reach * reach));
  const double bound = (reach * s_up + t_up * across) * (1.0 + norm_error_) / query_norm_ + list_constant_;
  return bound * (1.0 + 1e-15) + 1e-15;
}

float CosineUpperBound::lowest_sum(double tau, double largest_residual) const {
  constexpr float kNone = -std::numeric_limits<float>::infinity();
  if (!informative_ || !(tau > -kInfinity) || !std::isfinite(largest_residual)) return kNone;
  if (tau == kInfinity) return std::numeric_limits<float>::infinity();
  // The least a with a + tn |a| >= wanted, for the largest residual.
  const double wanted = (tau - 1e-15) / (1.0 + 1e-15) - residual_factor_ * largest_residual - constant_;
  const double a = wanted >= 0.0 ? wanted / (1.0 + norm_error_) : wanted / (1.0 - norm_error_);
  // Lowered a little for the roundings of the lines above, then to an f32
  // at or below it.
  const double sum = a * query_norm_ - (std::fabs(a * query_norm_) * 1e-12 + 1e-300);
  if (sum <= -static_cast<double>(std::numeric_limits<float>::max())) return kNone;
  float lowest = static_cast<float>(sum);
  if (static_cast<double>(lowest) > sum) lowest = std::nextafter(lowest, kNone);
  return lowest;
}

}  // namespace velmora
