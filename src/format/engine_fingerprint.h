// A digest of what gives codes their meaning: the rotation of a dimension and
// the codebook of a (dimension, bit width) pair. Files record it, so that
// codes written by an engine that rotates or quantises differently are
// refused instead of being scored as garbage.
#pragma once

#include <cstdint>

#include "engine/store_error.h"

namespace velmora {

// 64-bit FNV-1a over, in this order: dim as 8 little-endian bytes, bits as
// one byte, then the little-endian bit patterns of the f32 rotation matrix
// (row-major), the centroids and the boundaries. Computed once per pair and
// process; fails like store construction for an unsupported pair.
Result<std::uint64_t> engine_fingerprint(std::uint64_t dim, std::uint8_t bits);

}  // namespace velmora
