#include <gtest/gtest.h>

#include "store_error.h"

TEST(StoreErrorMessages, DimensionMismatch) {
  EXPECT_EQ(velmora::StoreError::dimension_mismatch(128, 3).message(),
            "Dimension mismatch: expected 128, got 3");
}
