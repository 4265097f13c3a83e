#include "engine/quantizer.h"

#include <utility>

#include "engine/invariant.h"

namespace velmora {

Result<Quantizer> get_quantizer(std::uint64_t dim, std::uint8_t bits) {
  Result<RotationHandle> rotation = get_rotation(dim);
  if (!rotation) return std::move(rotation).error();
  Result<CodebookHandle> codebook = get_codebook(dim, bits);
  if (!codebook) return std::move(codebook).error();
  return Quantizer{std::move(rotation).value(), std::move(codebook).value()};
}

Quantizer quantizer_of_store(std::uint64_t dim, std::uint8_t bits) {
  Result<Quantizer> quantizer = get_quantizer(dim, bits);
  VELMORA_CHECK(quantizer.ok(), "a store exists for an unsupported dimension or bit width");
  return std::move(quantizer).value();
}

}  // namespace velmora
