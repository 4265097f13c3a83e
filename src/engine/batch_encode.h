// Encoding many rows of one matrix on the worker pool, reporting the first
// row that cannot be encoded.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/codebook.h"
#include "engine/rotation.h"

namespace velmora {

// Encodes `count` rows of rotation.dim values (row r at rows + r * dim) into
// indices[r * dim ...] and norms[r], with the very operations insert_batch
// uses. Returns the lowest row whose norm is degenerate (zero, below 1e-30,
// NaN or infinite), or `count` when every row was encoded.
std::size_t encode_rows(const float* rows, std::size_t count, const Rotation& rotation,
                        const Codebook& codebook, std::uint8_t* indices, float* norms);

}  // namespace velmora
