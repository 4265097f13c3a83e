// Messages of the store's error kinds, byte for byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>

#include "engine/store_error.h"

namespace {

using velmora::StoreError;
using velmora::StoreErrorKind;

const std::string kEmDash = "\xE2\x80\x94";

struct MessageCase {
  StoreError error;
  StoreErrorKind kind;
  std::string message;
};

std::string kind_name(StoreErrorKind kind) {
  switch (kind) {
    case StoreErrorKind::DimensionMismatch:
      return "DimensionMismatch";
    case StoreErrorKind::UnsupportedBitWidth:
      return "UnsupportedBitWidth";
    case StoreErrorKind::UnsupportedDimension:
      return "UnsupportedDimension";
    case StoreErrorKind::EmptyStore:
      return "EmptyStore";
    case StoreErrorKind::InternalError:
      return "InternalError";
  }
  return "Unknown";
}

// Failure output shows the expected message, not the case's bytes.
void PrintTo(const MessageCase& c, std::ostream* os) { *os << '"' << c.message << '"'; }

class StoreErrorMessage : public ::testing::TestWithParam<MessageCase> {};

INSTANTIATE_TEST_SUITE_P(
    Kinds, StoreErrorMessage,
    ::testing::Values(
        MessageCase{StoreError::dimension_mismatch(128, 3), StoreErrorKind::DimensionMismatch,
                    "Dimension mismatch: expected 128, got 3"},
        MessageCase{StoreError::dimension_mismatch(0, std::numeric_limits<std::size_t>::max()),
                    StoreErrorKind::DimensionMismatch, "Dimension mismatch: expected 0, got 18446744073709551615"},
        MessageCase{StoreError::unsupported_bit_width(5), StoreErrorKind::UnsupportedBitWidth,
                    "Unsupported bit width: 5. Valid values are 2, 3, or 4."},
        MessageCase{StoreError::unsupported_bit_width(0), StoreErrorKind::UnsupportedBitWidth,
                    "Unsupported bit width: 0. Valid values are 2, 3, or 4."},
        // A bit width is a number, never printed as a character.
        MessageCase{StoreError::unsupported_bit_width(65), StoreErrorKind::UnsupportedBitWidth,
                    "Unsupported bit width: 65. Valid values are 2, 3, or 4."},
        MessageCase{StoreError::unsupported_bit_width(255), StoreErrorKind::UnsupportedBitWidth,
                    "Unsupported bit width: 255. Valid values are 2, 3, or 4."},
        MessageCase{StoreError::unsupported_dimension(31), StoreErrorKind::UnsupportedDimension,
                    "Unsupported dimension: 31. Minimum supported dimension is 32."},
        MessageCase{StoreError::unsupported_dimension(~0ULL), StoreErrorKind::UnsupportedDimension,
                    "Unsupported dimension: 18446744073709551615. Minimum supported dimension is 32."},
        MessageCase{StoreError::empty_store(), StoreErrorKind::EmptyStore,
                    "Store is empty " + kEmDash + " cannot query an empty store"},
        MessageCase{StoreError::internal(velmora::kDegenerateNormText), StoreErrorKind::InternalError,
                    "Internal error: Vector has zero or NaN norm"},
        MessageCase{StoreError::internal(velmora::kShapeOverflowText), StoreErrorKind::InternalError,
                    "Internal error: ShapeError/Overflow: arithmetic overflow"},
        MessageCase{StoreError::internal(velmora::kGramSchmidtDegenerateText), StoreErrorKind::InternalError,
                    "Internal error: Gram-Schmidt degenerate column " + kEmDash + " try a different seed"},
        MessageCase{StoreError::internal(""), StoreErrorKind::InternalError, "Internal error: "}),
    [](const ::testing::TestParamInfo<MessageCase>& param_info) {
      return kind_name(param_info.param.kind) + std::to_string(param_info.index);
    });

TEST_P(StoreErrorMessage, KindAndText) {
  EXPECT_EQ(GetParam().error.kind(), GetParam().kind);
  EXPECT_EQ(GetParam().error.message(), GetParam().message);
}

TEST(StoreError, DashesAreUtf8EmDashBetweenSpaces) {
  const std::string empty = StoreError::empty_store().message();
  EXPECT_EQ(empty.size(), 46u);
  EXPECT_EQ(empty.substr(14, 5), std::string("\x20\xE2\x80\x94\x20"));
  EXPECT_EQ(std::string(velmora::kGramSchmidtDegenerateText).size(), 55u);
}

TEST(StoreError, EqualityComparesKindAndPayload) {
  EXPECT_EQ(StoreError::unsupported_dimension(31), StoreError::unsupported_dimension(31));
  EXPECT_FALSE(StoreError::unsupported_dimension(31) == StoreError::unsupported_dimension(30));
  EXPECT_FALSE(StoreError::unsupported_dimension(5) == StoreError::unsupported_bit_width(5));
  EXPECT_FALSE(StoreError::dimension_mismatch(3, 4) == StoreError::dimension_mismatch(4, 3));
  EXPECT_FALSE(StoreError::internal("a") == StoreError::internal("b"));
}

}  // namespace
