// How far a stored vector's compressed estimate can be from its true cosine
// similarity with a query. Each vector keeps, beside its codes, a 16-bit
// bound on the length of the residual between its rotated unit vector and
// the codebook levels of its codes; with the query's table sum it bounds the
// true cosine from above (the derivation is in error_bound.cpp), so that a
// search can prove which stored vectors cannot be among a query's best
// without reading their full vectors.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/similarity.h"

namespace velmora {

// Codes: residual <= code / kErrorBoundScale. kUnboundedError stands for any
// residual too large for a code (never seen in practice: residuals stay
// below about 1.1); kUnknownErrorBound marks a record whose vector was never
// seen by this index (loaded from an older file, or imported without bounds).
inline constexpr double kErrorBoundScale = 16384.0;
inline constexpr std::uint16_t kUnboundedError = 0xFFFE;
inline constexpr std::uint16_t kUnknownErrorBound = 0xFFFF;

// The smallest norm whose f32 computation the bound's derivation covers
// (error_bound.cpp, step 5): below it the squares of the coordinates may be
// subnormal, and the norm summed from them may be off by far more than the
// derivation allows. A stored vector of a smaller norm keeps kUnboundedError
// (it is always read), and a query of a smaller norm rules nothing out.
inline constexpr float kSmallestBoundedNorm = 0x1p-62f;

// The error bound code a store keeps for a record of norm `norm` whose
// residual code is `code`: kUnboundedError for a norm below
// kSmallestBoundedNorm, whatever the residual; an unknown bound stays unknown.
inline std::uint16_t stored_error_bound(std::uint16_t code, float norm) {
  return code != kUnknownErrorBound && !(norm >= kSmallestBoundedNorm) ? kUnboundedError : code;
}

// The smallest code whose value is at least `residual` (computed in double
// from f32 values; the few roundings of that computation are covered by a
// relative margin).
std::uint16_t error_bound_code(double residual);

// The residual bound a code stands for: +inf for kUnboundedError and
// kUnknownErrorBound.
double error_bound_value(std::uint16_t code);

// The code of || rotated - centroids[indices] || for one encoded vector:
// `rotated` is the rotated unit vector exactly as the encoder computed it.
std::uint16_t residual_code(const float* rotated, const std::uint8_t* indices, const float* centroids, std::size_t dim);

// One query's upper bound on the true cosine similarity, computed in double
// from the query's values and a stored vector's full values as given (f32 or
// f64) and rounded by that evaluation, of any stored vector whose table sum
// (the f32 sum of the query's table entries over its codes, before norms) is
// S and whose error bound code is `code`.
class CosineUpperBound {
 public:
  explicit CosineUpperBound(const QueryLut& lut);

  // False for a query whose norm is not finite and at least
  // kSmallestBoundedNorm: nothing can then be ruled out.
  bool informative() const { return informative_; }

  // The bound; +inf when nothing is known.
  double at(float table_sum, std::uint16_t code) const;
  // The same from below: the computed cosine is at least this; -inf when
  // nothing is known.
  double below(float table_sum, std::uint16_t code) const;

  // The cosine a table sum estimates: table_sum / query norm, in double.
  double estimate(float table_sum) const { return static_cast<double>(table_sum) / query_norm_; }

  // The lowest f32 table sum at which the bound can reach `tau` for some
  // stored vector whose error bound is at most `largest_residual`; -inf when
  // every vector may.
  float lowest_sum(double tau, double largest_residual) const;

  // The same bound for every stored vector of a list at once (a partitioned
  // store): each such vector's rotated unit vector u' has <u', C^> >= reach,
  // C^ the list's centroid direction, with which the query's rotated form
  // has dot product `along` (<y', C^>, computed in double from the f32
  // values). +inf when nothing is known.
  double beyond(double along, double reach) const;

 private:
  bool informative_ = false;
  double query_norm_ = 0.0;
  double rotated_upper_ = 0.0;    // at least |y'|
  double unit_upper_ = 0.0;       // umax: at least |u'| of every stored vector
  double list_constant_ = 0.0;    // E and the evaluation's share, for beyond()
  double norm_error_ = 0.0;       // relative error of the norms (tn)
  double residual_factor_ = 0.0;  // multiplies a vector's residual bound
  double constant_ = 0.0;         // every vector's share of the rounding
};

}  // namespace velmora
