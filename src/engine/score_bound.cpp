// Why a vector may be skipped.
//
// Notation: T[i][c] is the query's f32 table (coordinate i, code c), d the
// dimension, c_i a stored vector's code at coordinate i, n its norm, qn the
// query norm, u = 2^-24 the unit roundoff of f32. The exact score is
//   S = the f32 sum of T[i][c_i] for i = 0 .. d-1 from +0.0, in that order,
//   score = fl(fl(S * n) / fl(fl(qn * n) + 1e-12)).
// Let Sigma be the real sum of the same entries.
//
// 1. Integer tables. The step is s = m 2^e with m an integer below 256, so
//    T / 2^e is exact in double and C[i][c] = ceil(T[i][c] / s) is found
//    exactly (from one rounded product, see ceilings()):
//    T[i][c] <= s * C[i][c]. Each 16-byte field of a block gets an integer
//    table F_f over its 16 nibble values with
//      4 bits: F_i(x) = C[i][x];
//      2 bits: F_p(x) = C[2p][x & 3] + C[2p+1][x >> 2];
//      3 bits: F_(3g+q)(x) = C[4g+q][x & 7] + (x >> 3) * beta_q (+ alpha
//              for q = 0), where the fourth coordinate of the group, whose
//              code bit q is bit 3 of field q, is bounded by integers with
//              C[4g+3][c] <= alpha + sum over the set bits q of c of beta_q
//              (beta_q is the median of its four differences across bit q,
//              alpha the smallest value that makes the bound hold);
//    and the u8 table stores q_f(x) = max(F_f(x) - o_f, 0) with o_f =
//    max(min_x F_f(x), max_x F_f(x) - 255): a field wider than 255 steps
//    has its lowest values raised, which keeps F_f(x) <= q_f(x) + o_f.
//    With Q the vector's sum of q_f over the fields and O the sum of the
//    o_f, exactly: Sigma <= s * sum_i C[i][c_i] <= s * (Q + O).
//    (Each ceiling costs less than one step per coordinate, d * s at most,
//    and a raised value the raise.) The step trades the two: at 2 and 4
//    bits it fits the field at the 95th percentile of their ranges (but is
//    never below half of what the widest field needs), so that the few
//    widest fields of a rotated query, not every field, pay for their
//    width, and only in the low values, which the vectors that rank near
//    the top rarely hold there; at 3 bits the same, from the smallest step
//    that fits every field.
// 2. Summation. Adding d terms in f32 from +0.0 rounds d - 1 times, and
//    f32 addition is exact when its result is subnormal, so without
//    overflow |S - Sigma| <= gamma_d * M with gamma_d = d u / (1 - d u) and
//    M = sum_i max_c |T[i][c]|. Hence S <= s (Q + O) + gamma_d M =: U.
// 3. Cosine. For S <= 0 the raw product is <= 0 and the denominator is at
//    least 1e-12, so score <= 0. For S > 0, with no overflow of S * n:
//    fl(S n) <= S n (1 + u) or is below 2^-126 (underflow); fl(qn n) >=
//    qn n (1 - u) - 2^-150, and adding 1e-12 (far above 2^-150) rounds to
//    at least qn n (1 - u)^2; the division loses another (1 + u) or
//    underflows. So score <= max(S / qn * (1 + u)^2 / (1 - u)^2, 1.2e-26),
//    whatever n is (a denominator that overflows only makes the score 0).
//    (A quotient that overflows is +inf and its bound is at least FLT_MAX,
//    so it is never pruned below a finite tau; an infinite tau never prunes.)
//    For a finite k-th best score tau above the guard 2^-64 (> 1.2e-26)
//    this gives
//      U < sigma := tau * qn * (1 - u)^2 / (1 + u)^2  =>  score < tau,
//    one threshold for every norm. The vector then ranks strictly after the
//    k vectors already kept, whatever its position, so skipping it cannot
//    change the answer: pruning is only on this strict inequality, and a
//    subset's k-th best never exceeds the whole store's.
// 4. In integers: prune when Q <= t with t = floor((sigma - gamma_d M) / s - O) - 1,
//    sigma computed in double with a relative margin of 2^-40 and M rounded
//    up; the final "- 1" covers the rounding of the few double operations
//    (the division by s among them), whose magnitudes are kept below 2^41
//    (otherwise nothing is pruned).
//    Q itself is an exact integer: at most 256 u8 values are summed in 16-bit
//    lanes before they are widened.
// Overflow is excluded up front: the table must be finite and M * max(1,
// largest stored norm) far below FLT_MAX, so neither a partial sum nor S * n
// can overflow; the query norm must be finite and positive. Otherwise, and
// for a table of zero range, the query takes the exact path. A score that is
// NaN or infinite can only come from such excluded cases, and a NaN or
// non-positive k-th best never prunes.
#include "engine/score_bound.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "kernels/block_format.h"

namespace velmora {

namespace {

constexpr double kUnitRoundoff = 0x1p-24;
constexpr double kMargin = 0x1p-40;
constexpr double kLargestMagnitude = 0x1p40;
constexpr int kMaxTableValue = 255;
// The share of fields whose range the step fits (at 2 and 4 bits), and how
// much finer than the widest field needs it may be.
constexpr double kFittedFieldShare = 0.95;
constexpr double kMaxNarrowing = 2.0;

// A step of m * 2^e with m an integer of 8 bits: within 1% of any wanted
// step, and T / 2^e stays exact in double.
struct Step {
  std::int64_t m;
  int e;
  double value() const { return std::ldexp(static_cast<double>(m), e); }
  // The smallest such step at least `wanted` (> 0).
  static Step at_least(double wanted) {
    int e = std::ilogb(wanted) - 7;
    auto m = static_cast<std::int64_t>(std::ceil(std::ldexp(wanted, -e)));  // 128 ..256
    if (m == 256) {
      m = 128;
      ++e;
    }
    return {m, e};
  }
};

// Per coordinate: the integer ceilings C[i][c] of T[i][c] / step, computed
// exactly into `out`, or false when one is too large to handle; `largest`
// is the table's largest magnitude.
//
// Why one rounding gives the exact ceiling: x = T * 2^-e has the 24-bit
// significand of an f32, so when t = x / m is not a whole number it lies at
// least 2^-40 |t| from every whole number (|x| < 2^40: x - m k is a nonzero
// multiple of 2^-23 of x's leading power of two, or a nonzero integer). The
// product y = x * fl(1 / m) is within 2^-51 |t| of t. So with r the whole
// number nearest y, y - r exceeds |y| 2^-45 exactly when t lies above r,
// and the ceiling is r plus that comparison. Everything is one loop of
// exact operations free of branches and calls, which the compiler keeps in
// vector registers.
bool ceilings(const float* values, std::size_t count, float largest, Step step, std::int64_t* out) {
  const auto m = static_cast<double>(step.m);
  // 2^-e, by which f32 values scale exactly in double (|e| stays far inside
  // the exponent range).
  const double scale = std::ldexp(1.0, -step.e);
  if (!(static_cast<double>(largest) * scale < kLargestMagnitude)) return false;
  const double inverse = 1.0 / m;
  // Adding 1.5 * 2^52 rounds a double below 2^51 in magnitude to the whole
  // number nearest it, held in the low bits of the sum's significand (one
  // binade: its bits differ from those of 1.5 * 2^52 by that whole number,
  // and adding one more stays exact).
  constexpr double kRound = 0x1.8p52;
  constexpr double kTolerance = 0x1p-45;
  const auto round_bits = __builtin_bit_cast(std::int64_t, kRound);
  for (std::size_t j = 0; j < count; ++j) {
    const double y = static_cast<double>(values[j]) * scale * inverse;
    const double shifted = y + kRound;
    const double nearest = shifted - kRound;
    const double ceiling = shifted + ((y - nearest) > std::fabs(y) * kTolerance ? 1.0 : 0.0);
    out[j] = __builtin_bit_cast(std::int64_t, ceiling) - round_bits;
  }
  return true;
}

// Keys of finite floats whose order as integers is the floats' order (with
// -0 just below +0, which as a row's lowest or highest value give the same
// ranges), so that the minima and maxima below are integer ones, which the
// compiler keeps in vector registers (float ones it must keep in order).
inline std::int32_t order_key(float x) {
  const auto b = __builtin_bit_cast(std::int32_t, x);
  return b ^ ((b >> 31) & 0x7fffffff);
}
inline float from_order_key(std::int32_t key) { return __builtin_bit_cast(float, key ^ ((key >> 31) & 0x7fffffff)); }

// Each row's lowest and highest entry and largest magnitude, for rows of
// Levels entries; false when an entry is not finite.
template <std::size_t Levels>
bool row_extremes(const float* lut, std::size_t rows, float* low, float* high, float* max_abs) {
  constexpr std::int32_t kMagnitudeBits = 0x7fffffff, kInfinityBits = 0x7f800000;
  std::int32_t not_finite = 0;
  for (std::size_t j = 0; j < rows * Levels; ++j) {
    not_finite |= (__builtin_bit_cast(std::int32_t, lut[j]) & kMagnitudeBits) >= kInfinityBits ? 1 : 0;
  }
  if (not_finite != 0) return false;
  for (std::size_t i = 0; i < rows; ++i) {
    const float* row = lut + i * Levels;
    std::int32_t lowest = order_key(row[0]), highest = lowest, magnitude = 0;
    for (std::size_t c = 0; c < Levels; ++c) {
      const std::int32_t key = order_key(row[c]);
      lowest = key < lowest ? key : lowest;
      highest = key > highest ? key : highest;
      const std::int32_t m = __builtin_bit_cast(std::int32_t, row[c]) & kMagnitudeBits;
      magnitude = m > magnitude ? m : magnitude;
    }
    low[i] = from_order_key(lowest);
    high[i] = from_order_key(highest);
    max_abs[i] = __builtin_bit_cast(float, magnitude);
  }
  return true;
}

// The integer table of every field, 16 values each (before offsets).
void field_tables(const std::vector<std::int64_t>& c, std::size_t dim, int bits, std::vector<std::int64_t>& f) {
  const std::size_t levels = std::size_t{1} << bits;
  const std::size_t fields = kernels::field_count(dim, bits);
  f.assign(fields * 16, 0);
  auto entry = [&](std::size_t i, std::size_t code) -> std::int64_t { return i < dim ? c[i * levels + code] : 0; };
  if (bits == 4) {
    for (std::size_t i = 0; i < dim; ++i)
      for (std::size_t x = 0; x < 16; ++x) f[i * 16 + x] = entry(i, x);
  } else if (bits == 2) {
    for (std::size_t p = 0; p < fields; ++p)
      for (std::size_t x = 0; x < 16; ++x) f[p * 16 + x] = entry(2 * p, x & 3) + entry(2 * p + 1, x >> 2);
  } else {
    for (std::size_t g = 0; g < fields / 3; ++g) {
      // The fourth coordinate's code is split over the three fields' bit 3:
      // bound its row by alpha + sum of beta_q over its set bits q.
      const std::size_t last = 4 * g + 3;
      std::int64_t beta[3] = {}, alpha = 0;
      if (last < dim) {
        for (unsigned q = 0; q < 3; ++q) {
          std::int64_t diff[4];
          int count = 0;
          for (std::size_t code = 0; code < 8; ++code) {
            if (!(code & (1u << q))) diff[count++] = entry(last, code | (1u << q)) - entry(last, code);
          }
          std::sort(diff, diff + 4);
          beta[q] = diff[1] + (diff[2] - diff[1]) / 2;
        }
        alpha = entry(last, 0);
        for (std::size_t code = 0; code < 8; ++code) {
          std::int64_t split = 0;
          for (unsigned q = 0; q < 3; ++q) split += (code >> q & 1) ? beta[q] : 0;
          alpha = std::max(alpha, entry(last, code) - split);
        }
      }
      for (std::size_t q = 0; q < 3; ++q) {
        for (std::size_t x = 0; x < 16; ++x) {
          f[(3 * g + q) * 16 + x] = entry(4 * g + q, x & 7) + ((x >> 3) ? beta[q] : 0) + (q == 0 ? alpha : 0);
        }
      }
    }
  }
}

// How much finer than the widest field needs the step may be: enough to fit
// the field at kFittedFieldShare of the ranges, at most kMaxNarrowing (1 when
// that field has no range). Reorders `ranges`.
template <class Range>
double narrowing(std::vector<Range>& ranges, double widest) {
  const auto at = static_cast<std::size_t>(kFittedFieldShare * static_cast<double>(ranges.size() - 1));
  std::nth_element(ranges.begin(), ranges.begin() + static_cast<std::ptrdiff_t>(at), ranges.end());
  const auto fitted = static_cast<double>(ranges[at]);
  return fitted > 0.0 ? std::min(kMaxNarrowing, widest / fitted) : 1.0;
}

}  // namespace

std::optional<ScoreBound> ScoreBound::build(const QueryLut& lut, float max_norm) {
  const std::size_t dim = static_cast<std::size_t>(lut.dim);
  const int bits = lut.bits;
  const std::size_t levels = std::size_t{1} << bits;
  if (dim == 0 || lut.lut.size() != dim * levels) return std::nullopt;
  if (!(lut.query_norm > 0.0f) || !std::isfinite(lut.query_norm)) return std::nullopt;
  // Dimensions far beyond any rotation that fits in memory; bound sums stay
  // below 2^31, and d u well below 1.
  if (kernels::field_count(dim, bits) * kMaxTableValue >= (std::size_t{1} << 31)) return std::nullopt;

  // M, the widest row range (which sets the first step tried), finiteness.
  thread_local std::vector<float> lows_of_rows, highs_of_rows, magnitudes_of_rows;
  lows_of_rows.resize(dim);
  highs_of_rows.resize(dim);
  magnitudes_of_rows.resize(dim);
  const auto extremes = bits == 2 ? &row_extremes<4> : bits == 3 ? &row_extremes<8> : &row_extremes<16>;
  if (!extremes(lut.lut.data(), dim, lows_of_rows.data(), highs_of_rows.data(), magnitudes_of_rows.data())) {
    return std::nullopt;
  }
  double max_abs_sum = 0.0, widest = 0.0, previous_range = 0.0;
  float largest = 0.0f;
  // The range of each field's coordinates (one at 4 bits, a pair at 2).
  thread_local std::vector<double> field_ranges;
  field_ranges.clear();
  for (std::size_t i = 0; i < dim; ++i) {
    const float max_abs = magnitudes_of_rows[i];
    max_abs_sum += static_cast<double>(max_abs);
    largest = max_abs > largest ? max_abs : largest;
    const double range = static_cast<double>(highs_of_rows[i]) - static_cast<double>(lows_of_rows[i]);
    widest = std::max(widest, range);
    // At 2 bits a field is the pair of coordinates 2p, 2p + 1.
    if (bits == 2 && i % 2 == 1) field_ranges.push_back(previous_range + range);
    if (bits == 4) field_ranges.push_back(range);
    previous_range = range;
  }
  if (bits == 2 && dim % 2 == 1) field_ranges.push_back(previous_range);
  if (widest == 0.0) return std::nullopt;
  max_abs_sum *= 1.0 + kMargin + static_cast<double>(dim) * 0x1p-52;  // the double sum's own rounding
  const double largest_norm = std::max(1.0, static_cast<double>(max_norm));
  if (!(max_abs_sum * largest_norm < 0x1p-8 * static_cast<double>(std::numeric_limits<float>::max()))) {
    return std::nullopt;
  }

  ScoreBound bound;
  bound.fields_ = kernels::field_count(dim, bits);
  // A coordinate's ceilings span less than one step more than its range, so
  // at 4 bits (a field is a coordinate) a step of widest / 254 fits every
  // field, and at 2 bits (a pair) widest pair / 253; the step is that
  // narrowed to fit the 95th percentile field (step 1 above), in one
  // attempt. At 3 bits the fourth coordinate of a group is spread over three
  // fields: start where the widest row alone would fit, widen the step
  // until every field fits, then narrow it once in the same way.
  Step step = Step::at_least(widest / kMaxTableValue);
  if (bits != 3) {
    const double widest_field = *std::max_element(field_ranges.begin(), field_ranges.end());
    const double coordinates = bits == 4 ? 1.0 : 2.0;  // ceilings each add less than a step
    step = Step::at_least(widest_field / (kMaxTableValue - coordinates) / narrowing(field_ranges, widest_field));
  }
  // The ceilings and field tables, kept by each thread between calls (at
  // high dimensions fresh ones each query are fresh pages to zero).
  thread_local std::vector<std::int64_t> ceiling_buffer, field_buffer, row_ceilings;
  std::vector<std::int64_t> lows(bound.fields_);
  const std::vector<std::int64_t>* field_values = nullptr;
  thread_local std::vector<std::int64_t> field_widths;  // in steps, for the narrowing at 3 bits
  field_widths.resize(bound.fields_);
  bool narrowed = bits != 3;
  for (int attempt = 0;; ++attempt) {
    if (attempt == 64) return std::nullopt;
    ceiling_buffer.resize(lut.lut.size());
    if (!ceilings(lut.lut.data(), lut.lut.size(), largest, step, ceiling_buffer.data())) {
      step = Step::at_least(step.value() * 2);
      continue;
    }
    // (At 4 bits the field tables are the ceilings themselves.)
    if (bits != 4) field_tables(ceiling_buffer, dim, bits, field_buffer);
    field_values = bits == 4 ? &ceiling_buffer : &field_buffer;
    const std::vector<std::int64_t>& tables = *field_values;
    std::int64_t widest_field = 0;
    const auto fit_field = [&](std::size_t f, std::int64_t low, std::int64_t high) {
      lows[f] = std::max(low, high - kMaxTableValue);
      widest_field = std::max(widest_field, high - low);
      field_widths[f] = high - low;
    };
    if (bits == 3) {
      for (std::size_t f = 0; f < bound.fields_; ++f) {
        const std::int64_t* row = tables.data() + f * 16;
        std::int64_t low = row[0], high = row[0];
        for (std::size_t x = 1; x < 16; ++x) {
          low = std::min(low, row[x]);
          high = std::max(high, row[x]);
        }
        fit_field(f, low, high);
      }
    } else {
      // A ceiling grows with its entry, so a row's lowest and highest
      // ceilings are those of its lowest and highest entries, and a field
      // of two coordinates spans the sums of theirs.
      row_ceilings.resize(2 * dim);
      ceilings(lows_of_rows.data(), dim, largest, step, row_ceilings.data());
      ceilings(highs_of_rows.data(), dim, largest, step, row_ceilings.data() + dim);
      const std::int64_t* low_ceiling = row_ceilings.data();
      const std::int64_t* high_ceiling = row_ceilings.data() + dim;
      for (std::size_t f = 0; f < bound.fields_; ++f) {
        if (bits == 4) {
          fit_field(f, low_ceiling[f], high_ceiling[f]);
        } else {
          const bool pair = 2 * f + 1 < dim;
          fit_field(f, low_ceiling[2 * f] + (pair ? low_ceiling[2 * f + 1] : 0),
                    high_ceiling[2 * f] + (pair ? high_ceiling[2 * f + 1] : 0));
        }
      }
    }
    // Fields wider than the table are raised at the bottom once the step is
    // narrowed; at 3 bits the narrowing starts from the smallest step that
    // fits every field, measured in its own steps.
    if (narrowed) break;
    if (widest_field <= kMaxTableValue) {
      narrowed = true;
      const double field_narrowing = narrowing(field_widths, static_cast<double>(widest_field));
      if (field_narrowing < 1.0 + 1.0 / 64) break;
      step = Step::at_least(step.value() / field_narrowing);
      continue;
    }
    // Scale the step by the overshoot (ceilings may still add a step or so).
    const double overshoot = static_cast<double>(widest_field) / kMaxTableValue;
    step = Step::at_least(step.value() * std::max(overshoot, 1.0 + 1.0 / 64));
  }
  bound.step_ = step.value();
  const std::size_t padded_fields = (bound.fields_ + 3) / 4 * 4;
  bound.table_.assign(padded_fields * kernels::kFieldBytes, 0);
  std::int64_t offsets = 0;
  const std::vector<std::int64_t>& tables = *field_values;
  for (std::size_t f = 0; f < bound.fields_; ++f) {
    const std::int64_t low = lows[f];
    offsets += low;
    for (std::size_t x = 0; x < 16; ++x) {
      bound.table_[f * kernels::kFieldBytes + x] =
          static_cast<std::uint8_t>(std::max<std::int64_t>(tables[f * 16 + x] - low, 0));
    }
  }
  if (!(std::fabs(static_cast<double>(offsets)) < kLargestMagnitude)) return std::nullopt;
  bound.offset_sum_ = offsets;
  const double d = static_cast<double>(dim);
  const double gamma = d * kUnitRoundoff / (1.0 - d * kUnitRoundoff);
  bound.summation_slack_ = gamma * max_abs_sum * (1.0 + kMargin);
  bound.query_norm_ = lut.query_norm;
  bound.max_sum_ = static_cast<std::int64_t>(bound.fields_) * kMaxTableValue;
  return bound;
}

std::int64_t ScoreBound::prune_limit(float kth_best) const {
  // NaN never prunes; nor does +inf, which an overflowing score can equal.
  if (!(kth_best > kPruneGuard) || std::isinf(kth_best)) return -1;
  const double u = kUnitRoundoff;
  const double sigma =
      static_cast<double>(kth_best) * query_norm_ * ((1.0 - u) * (1.0 - u)) / ((1.0 + u) * (1.0 + u)) * (1.0 - kMargin);
  const double steps = (sigma - summation_slack_) / step_;
  if (!(std::fabs(steps) < 2 * kLargestMagnitude)) return -1;
  const double limit = std::floor(steps - static_cast<double>(offset_sum_)) - 1.0;
  if (limit < 0.0) return -1;
  return std::min<std::int64_t>(static_cast<std::int64_t>(limit), max_sum_);
}

}  // namespace velmora
