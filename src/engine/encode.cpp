#include "engine/encode.h"

#include <cmath>
#include <string>

#include "engine/error_bound.h"
#include "engine/invariant.h"

namespace velmora {

void pack_indices_into(const std::uint8_t* indices, std::size_t n, std::uint8_t bits, std::uint8_t* out,
                       std::size_t out_len) {
  VELMORA_CHECK(out_len == packed_len(n, bits), "pack_indices: output buffer has the wrong size");
  const unsigned mask = (1u << bits) - 1u;
  for (std::size_t b = 0; b < out_len; ++b) out[b] = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t p = static_cast<std::uint64_t>(i) * bits;
    const std::size_t byte = static_cast<std::size_t>(p / 8);
    const unsigned shift = static_cast<unsigned>(p % 8);
    const unsigned v = indices[i] & mask;
    out[byte] = static_cast<std::uint8_t>(out[byte] | ((v << shift) & 0xFFu));
    if (8 - shift < bits && byte + 1 < out_len) {
      out[byte + 1] = static_cast<std::uint8_t>(out[byte + 1] | (v >> (8 - shift)));
    }
  }
}

std::vector<std::uint8_t> pack_indices(const std::uint8_t* indices, std::size_t n, std::uint8_t bits) {
  std::vector<std::uint8_t> out(packed_len(n, bits));
  pack_indices_into(indices, n, bits, out.data(), out.size());
  return out;
}

std::vector<std::uint8_t> unpack_indices(const std::uint8_t* codes, std::size_t codes_len, std::size_t dim,
                                         std::uint8_t bits) {
  std::vector<std::uint8_t> indices;
  indices.reserve(dim);
  const unsigned mask = (1u << bits) - 1u;
  for (std::size_t i = 0; i < dim; ++i) {
    const std::uint64_t p = static_cast<std::uint64_t>(i) * bits;
    const std::size_t byte = static_cast<std::size_t>(p / 8);
    VELMORA_CHECK(byte < codes_len, "unpack_indices: index " + std::to_string(i) + " lies past the end of " +
                                        std::to_string(codes_len) + " code bytes");
    const unsigned high = byte + 1 < codes_len ? codes[byte + 1] : 0u;
    const unsigned window = codes[byte] | (high << 8);
    indices.push_back(static_cast<std::uint8_t>((window >> (p % 8)) & mask));
  }
  return indices;
}

float vector_norm(const float* v, std::size_t n) {
  float sum = -0.0f;
  for (std::size_t i = 0; i < n; ++i) sum = sum + v[i] * v[i];
  return std::sqrt(sum);
}

bool encode_indices(const float* vector, const Rotation& rotation, const Codebook& codebook, std::uint8_t* indices,
                    float* norm, float* scratch) {
  const std::size_t dim = rotation.dim;
  *norm = vector_norm(vector, dim);
  if (is_degenerate_norm(*norm)) return false;
  float* unit = scratch;
  float* rotated = scratch + dim;
  for (std::size_t i = 0; i < dim; ++i) unit[i] = vector[i] / *norm;
  rotation.rotate_into(unit, rotated);
  codebook.quantize_many(rotated, dim, indices);
  return true;
}

std::size_t encode_batch(const float* const* vectors, std::size_t count, const Rotation& rotation,
                         const Codebook& codebook, std::uint8_t* indices, float* norms, std::uint16_t* error_bounds) {
  const std::size_t dim = rotation.dim;
  // Four norms at a time: each is a sequential sum, so interleaving four
  // independent ones keeps the adder busy.
  std::size_t c = 0;
  for (; c + 4 <= count; c += 4) {
    float sum[4] = {-0.0f, -0.0f, -0.0f, -0.0f};
    for (std::size_t i = 0; i < dim; ++i) {
      for (int l = 0; l < 4; ++l) sum[l] = sum[l] + vectors[c + l][i] * vectors[c + l][i];
    }
    for (int l = 0; l < 4; ++l) norms[c + l] = std::sqrt(sum[l]);
  }
  for (; c < count; ++c) norms[c] = vector_norm(vectors[c], dim);
  for (c = 0; c < count; ++c) {
    if (is_degenerate_norm(norms[c])) return c;
  }
  std::vector<float> unit(count * dim), rotated(count * dim);
  for (c = 0; c < count; ++c) {
    for (std::size_t i = 0; i < dim; ++i) unit[c * dim + i] = vectors[c][i] / norms[c];
  }
  rotation.rotate_batch(unit.data(), count, rotated.data());
  codebook.quantize_many(rotated.data(), count * dim, indices);
  if (error_bounds != nullptr) {
    for (c = 0; c < count; ++c) {
      error_bounds[c] = residual_code(rotated.data() + c * dim, indices + c * dim, codebook.centroids.data(), dim);
    }
  }
  return count;
}

Result<EncodedVector> encode_vector(const float* vector, std::size_t len, const Rotation& rotation,
                                    const Codebook& codebook, std::uint8_t bits) {
  VELMORA_CHECK(len == rotation.dim && len == codebook.dim, "encode_vector: vector length " + std::to_string(len) +
                                                                " differs from the dimension " +
                                                                std::to_string(rotation.dim));
  VELMORA_CHECK(bits == codebook.bits, "encode_vector: bit width differs from the codebook's");
  std::vector<float> scratch(2 * len);
  std::vector<std::uint8_t> indices(len);
  EncodedVector encoded;
  if (!encode_indices(vector, rotation, codebook, indices.data(), &encoded.norm, scratch.data())) {
    return StoreError::internal(kDegenerateNormText);
  }
  encoded.codes = pack_indices(indices.data(), len, bits);
  return encoded;
}

}  // namespace velmora
