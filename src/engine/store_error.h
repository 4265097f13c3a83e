// The error values of the engine and the store. Operations return them
// (never throw them); only the Python call frame turns them into exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace velmora {

// The store errors' fixed texts, which callers match and tests compare
// exactly. Change none of them.
namespace texts {

// Each is raised as ValueError.
inline constexpr const char* kDimensionMismatch = "Dimension mismatch: expected %llu, got %llu";
inline constexpr const char* kUnsupportedBitWidth = "Unsupported bit width: %llu. Valid values are 2, 3, or 4.";
inline constexpr const char* kUnsupportedDimension = "Unsupported dimension: %llu. Minimum supported dimension is 32.";
inline constexpr const char* kEmptyStore = "Store is empty \xE2\x80\x94 cannot query an empty store";
inline constexpr const char* kInternalErrorPrefix = "Internal error: ";
// Texts of InternalError.
inline constexpr const char* kDegenerateNormText = "Vector has zero or NaN norm";
inline constexpr const char* kGramSchmidtDegenerateText =
    "Gram-Schmidt degenerate column \xE2\x80\x94 try a different seed";
inline constexpr const char* kShapeOverflowText = "ShapeError/Overflow: arithmetic overflow";

}  // namespace texts

enum class StoreErrorKind {
  DimensionMismatch,
  UnsupportedBitWidth,
  UnsupportedDimension,
  EmptyStore,
  InternalError,
};

class StoreError {
 public:
  static StoreError dimension_mismatch(std::size_t expected, std::size_t got);
  static StoreError unsupported_bit_width(std::uint8_t bits);
  static StoreError unsupported_dimension(std::uint64_t dim);
  static StoreError empty_store();
  static StoreError internal(std::string text);

  StoreErrorKind kind() const noexcept { return kind_; }
  // The user-facing text, formatted on demand.
  std::string message() const;

  bool operator==(const StoreError& other) const noexcept {
    return kind_ == other.kind_ && first_ == other.first_ && second_ == other.second_ && text_ == other.text_;
  }

 private:
  StoreError(StoreErrorKind kind, std::uint64_t first, std::uint64_t second, std::string text)
      : kind_(kind), first_(first), second_(second), text_(std::move(text)) {}

  StoreErrorKind kind_;
  std::uint64_t first_;
  std::uint64_t second_;
  std::string text_;
};

// Texts of InternalError raised by the engine.
using texts::kDegenerateNormText;
using texts::kGramSchmidtDegenerateText;
using texts::kShapeOverflowText;

// A value or a StoreError.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(StoreError error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const StoreError& error() const& { return std::get<1>(v_); }
  StoreError&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, StoreError> v_;
};

struct Unit {};
using Status = Result<Unit>;
inline Status ok_status() { return Status(Unit{}); }

}  // namespace velmora
