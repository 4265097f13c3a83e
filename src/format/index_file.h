// The index file format (docs/file-format.md): a 64-byte header, then the
// ids, the norms, the packed codes and (from version 2) the error bounds of
// every entry in storage order, each section followed by its CRC-32C, and
// (version 3, a partitioned index) the sizes of its lists and their
// centroids. Everything is little-endian, and the codes are in the packed
// per-vector form, whatever layout the store uses in memory. A flat index is
// written as version 2.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/store.h"
#include "format/byte_io.h"

namespace velmora {

inline constexpr char kIndexMagic[8] = {'V', 'E', 'L', 'M', 'I', 'D', 'X', '\0'};
inline constexpr std::uint32_t kIndexFormatVersion = 3;
// The version of a flat index's file.
inline constexpr std::uint32_t kFlatIndexFormatVersion = 2;
inline constexpr std::size_t kIndexHeaderBytes = 64;
// Larger dimensions are refused before anything is built for them.
inline constexpr std::uint64_t kMaxIndexDim = 65536;

// The exact number of bytes write_index produces for this store.
std::uint64_t serialized_size(const CompressedVectorStore& store);

// Throws SystemCallError from the sink; checksums and exports codes on the pool.
void write_index(const CompressedVectorStore& store, ByteSink& sink);

// Reads and checks a whole index of any version up to the current one (a
// version-1 file gives unknown error bounds). Throws FormatError naming the first
// problem found (nothing is allocated from a declared count before the count
// is checked against the source's size), SystemCallError from the source.
CompressedVectorStore read_index(ByteSource& source);

}  // namespace velmora
