#include "engine/store_error.h"

#include "engine/invariant.h"

namespace velmora {

void invariant_failed(const char* file, int line, const std::string& message) {
  throw InvariantError(std::string(file) + ":" + std::to_string(line), message);
}

StoreError StoreError::dimension_mismatch(std::size_t expected, std::size_t got) {
  return StoreError(StoreErrorKind::DimensionMismatch, expected, got, {});
}
StoreError StoreError::unsupported_bit_width(std::uint8_t bits) {
  return StoreError(StoreErrorKind::UnsupportedBitWidth, bits, 0, {});
}
StoreError StoreError::unsupported_dimension(std::uint64_t dim) {
  return StoreError(StoreErrorKind::UnsupportedDimension, dim, 0, {});
}
StoreError StoreError::empty_store() { return StoreError(StoreErrorKind::EmptyStore, 0, 0, {}); }
StoreError StoreError::internal(std::string text) {
  return StoreError(StoreErrorKind::InternalError, 0, 0, std::move(text));
}

std::string StoreError::message() const {
  switch (kind_) {
    case StoreErrorKind::DimensionMismatch:
      return "Dimension mismatch: expected " + std::to_string(first_) + ", got " +
             std::to_string(second_);
    case StoreErrorKind::UnsupportedBitWidth:
      return "Unsupported bit width: " + std::to_string(first_) + ". Valid values are 2, 3, or 4.";
    case StoreErrorKind::UnsupportedDimension:
      return "Unsupported dimension: " + std::to_string(first_) +
             ". Minimum supported dimension is 32.";
    case StoreErrorKind::EmptyStore:
      return "Store is empty \xE2\x80\x94 cannot query an empty store";
    case StoreErrorKind::InternalError:
      return "Internal error: " + text_;
  }
  return {};
}

}  // namespace velmora
