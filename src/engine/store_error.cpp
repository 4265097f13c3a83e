#include "engine/store_error.h"

#include <cstdio>

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

namespace {

std::string format_number(const char* format, std::uint64_t value) {
  char text[160];
  std::snprintf(text, sizeof text, format, static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

std::string StoreError::message() const {
  switch (kind_) {
    case StoreErrorKind::DimensionMismatch: {
      char text[160];
      std::snprintf(text, sizeof text, texts::kDimensionMismatch, static_cast<unsigned long long>(first_),
                    static_cast<unsigned long long>(second_));
      return text;
    }
    case StoreErrorKind::UnsupportedBitWidth:
      return format_number(texts::kUnsupportedBitWidth, first_);
    case StoreErrorKind::UnsupportedDimension:
      return format_number(texts::kUnsupportedDimension, first_);
    case StoreErrorKind::EmptyStore:
      return texts::kEmptyStore;
    case StoreErrorKind::InternalError:
      return texts::kInternalErrorPrefix + text_;
  }
  return {};
}

}  // namespace velmora
