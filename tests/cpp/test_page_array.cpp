#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "engine/page_array.h"

using velmora::PageArray;

TEST(PageArray, KeepsItsValuesWhileGrowingIntoAndWithinAMapping) {
  PageArray<std::uint64_t> values;
  // 8 bytes a value: the array moves into its own mapping at 128 Ki values
  // and keeps growing there.
  for (std::uint64_t i = 0; i < 600000; ++i) {
    values.push_back(i * 2654435761ULL);
    if (i == 1000 || i == 131071 || i == 131072 || i == 599999) {
      for (std::uint64_t j = 0; j <= i; j += 997) ASSERT_EQ(values[j], j * 2654435761ULL) << i;
    }
  }
  ASSERT_EQ(values.size(), 600000u);
  values.resize(10);
  values.resize(20, 7);
  EXPECT_EQ(values[9], 9 * 2654435761ULL);
  EXPECT_EQ(values[19], 7u);

  PageArray<std::uint64_t> moved(std::move(values));
  EXPECT_EQ(values.size(), 0u);
  EXPECT_EQ(moved.size(), 20u);
  const std::uint64_t tail[3] = {1, 2, 3};
  moved.append(tail, 3);
  EXPECT_EQ(moved.back(), 3u);
  values = std::move(moved);
  EXPECT_EQ(values.size(), 23u);
}

TEST(PageArray, ReservationBeyondAnyMemoryFailsCleanly) {
  PageArray<float> values;
  values.push_back(1.5f);
  EXPECT_THROW(values.reserve(static_cast<std::size_t>(-1) / 2), std::bad_alloc);
  EXPECT_THROW(values.reserve(std::size_t{1} << 60), std::bad_alloc);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0], 1.5f);
}
