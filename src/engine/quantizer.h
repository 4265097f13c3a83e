// The rotation and the codebook of one (dim, bits) pair: what encoding a
// vector, preparing a query and decoding codes need. Both come from the
// process-wide caches, built on first request.
#pragma once

#include <cstdint>

#include "engine/codebook.h"
#include "engine/rotation.h"
#include "engine/store_error.h"

namespace velmora {

struct Quantizer {
  RotationHandle rotation;
  CodebookHandle codebook;
};

// Validates dim (through the rotation) before bits (through the codebook).
Result<Quantizer> get_quantizer(std::uint64_t dim, std::uint8_t bits);

// The quantizer of a pair that a store already exists for: failing to get it
// is a broken invariant.
Quantizer quantizer_of_store(std::uint64_t dim, std::uint8_t bits);

}  // namespace velmora
