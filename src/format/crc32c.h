// CRC-32C (the Castagnoli polynomial, reflected 0x82F63B78, initial value and
// final XOR 0xFFFFFFFF): the checksum of the index file's sections. The
// kernel registry chooses its kernel on first use: the SSE4.2 instruction
// when the CPU has it, else a table-driven loop; both give the same values.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {

// The checksum of data that continues data whose checksum is `crc` (0 for
// none): crc32c_extend(crc32c_extend(0, a), b) is the checksum of a then b.
std::uint32_t crc32c_extend(std::uint32_t crc, const void* data, std::size_t len);

inline std::uint32_t crc32c(const void* data, std::size_t len) { return crc32c_extend(0, data, len); }

// The table-driven path alone, and whether another kernel is used (for tests).
std::uint32_t crc32c_extend_portable(std::uint32_t crc, const void* data, std::size_t len);
bool crc32c_uses_instruction();

}  // namespace velmora
