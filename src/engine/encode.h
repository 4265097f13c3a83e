// One vector's stored form: its norm and the packed codebook indices of its
// rotated unit form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "engine/codebook.h"
#include "engine/rotation.h"
#include "engine/store_error.h"

namespace velmora {

struct EncodedVector {
  std::vector<std::uint8_t> codes;  // packed_len(dim, bits) bytes
  float norm = 0.0f;
};

// (dim * bits + 7) / 8.
inline std::size_t packed_len(std::size_t dim, std::uint8_t bits) { return (dim * bits + 7) / 8; }

// Indices packed least significant bit first; spare high bits are zero.
std::vector<std::uint8_t> pack_indices(const std::uint8_t* indices, std::size_t n, std::uint8_t bits);
void pack_indices_into(const std::uint8_t* indices, std::size_t n, std::uint8_t bits, std::uint8_t* out,
                       std::size_t out_len);
std::vector<std::uint8_t> unpack_indices(const std::uint8_t* codes, std::size_t codes_len, std::size_t dim,
                                         std::uint8_t bits);

// Sum of squares in index order from -0.0, then the square root, in f32.
float vector_norm(const float* v, std::size_t n);

// True when a norm cannot be stored: below 1e-30, NaN or infinite.
inline bool is_degenerate_norm(float norm) {
  return !(norm >= 1e-30f) || norm == std::numeric_limits<float>::infinity();
}

// Normalises, rotates and quantises one vector of the rotation's dimension
// into dim cell indices and its norm. False for a degenerate norm (nothing
// else is computed). `scratch` holds 2 * dim floats.
bool encode_indices(const float* vector, const Rotation& rotation, const Codebook& codebook, std::uint8_t* indices,
                    float* norm, float* scratch);

// encode_indices() for `count` vectors at once (rotated as one matrix
// product): indices[c * dim ...] and norms[c], and, when `error_bounds` is
// given, the code of each vector's residual (error_bound.h). Returns the
// position of the first vector with a degenerate norm, or `count` when all
// were encoded.
std::size_t encode_batch(const float* const* vectors, std::size_t count, const Rotation& rotation,
                         const Codebook& codebook, std::uint8_t* indices, float* norms,
                         std::uint16_t* error_bounds = nullptr);

// Encodes one vector of the rotation's dimension. A length mismatch is a
// broken invariant; a degenerate norm is the InternalError of the store.
Result<EncodedVector> encode_vector(const float* vector, std::size_t len, const Rotation& rotation,
                                    const Codebook& codebook, std::uint8_t bits);

}  // namespace velmora
