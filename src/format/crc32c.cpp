#include "format/crc32c.h"

#include "kernels/families.h"
#include "kernels/kernels.h"
#include "kernels/simd.h"

namespace velmora {

namespace {

kernels::Crc32cFn chosen_update() {
  static const kernels::Crc32cFn update = kernels::crc32c_choice(active_simd_level()).kernel;
  return update;
}

}  // namespace

std::uint32_t crc32c_extend_portable(std::uint32_t crc, const void* data, std::size_t len) {
  return ~kernels::crc32c_update_portable(~crc, static_cast<const unsigned char*>(data), len);
}

bool crc32c_uses_instruction() { return chosen_update() != kernels::crc32c_update_portable; }

std::uint32_t crc32c_extend(std::uint32_t crc, const void* data, std::size_t len) {
  return ~chosen_update()(~crc, static_cast<const unsigned char*>(data), len);
}

}  // namespace velmora
