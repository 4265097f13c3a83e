// The decoded approximation of stored vectors: the codebook levels of their
// codes, rotated back and scaled by their norms.
#pragma once

#include <cstddef>

#include "engine/store.h"

namespace velmora {

// For each of `count` positions, writes dim floats to out[i * dim ...]:
// coordinate j is norm * dot8(column j of the rotation, c), where c holds the
// centroid of each coordinate's code and dot8 is the engine's fixed eight-lane
// summation order, every step rounded to f32. Runs on the pool.
void reconstruct_positions(const CompressedVectorStore& store, const std::size_t* positions, std::size_t count,
                           float* out);

}  // namespace velmora
