#include "format/engine_fingerprint.h"

#include <cstring>
#include <memory>
#include <vector>

#include "engine/cache.h"
#include "engine/quantizer.h"

namespace velmora {

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "values are hashed as their little-endian bytes");

constexpr std::uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;

std::uint64_t fnv1a(std::uint64_t h, const void* data, std::size_t len) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < len; ++i) h = (h ^ p[i]) * kFnvPrime;
  return h;
}

std::uint64_t fnv1a(std::uint64_t h, const std::vector<float>& values) {
  return fnv1a(h, values.data(), values.size() * sizeof(float));
}

using FingerprintKey = PairKey<std::uint64_t, std::uint8_t>;
using FingerprintCache = BuildOnceCache<FingerprintKey, std::uint64_t, PairKeyHash>;

}  // namespace

Result<std::uint64_t> engine_fingerprint(std::uint64_t dim, std::uint8_t bits) {
  FingerprintCache& cache = process_wide<FingerprintCache>();
  if (std::shared_ptr<const std::uint64_t> known = cache.find({dim, bits})) return *known;
  Result<Quantizer> quantizer = get_quantizer(dim, bits);
  if (!quantizer) return std::move(quantizer).error();
  const Quantizer& q = quantizer.value();
  std::uint64_t h = fnv1a(kFnvOffset, &dim, sizeof dim);
  h = fnv1a(h, &bits, 1);
  h = fnv1a(h, q.rotation->matrix);
  h = fnv1a(h, q.codebook->centroids);
  h = fnv1a(h, q.codebook->boundaries);
  cache.insert({dim, bits}, std::make_shared<const std::uint64_t>(h));
  return h;
}

}  // namespace velmora
