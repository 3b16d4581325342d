// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "layout/layout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

TEST(LayoutRatioTest, IsSinglePrecisionOfTheDoubleQuotient) {
    EXPECT_EQ(LayoutRatio(1000, 300), 3.33333325386047363f);
    EXPECT_LT(static_cast<double>(LayoutRatio(1000, 300)), 10.0 / 3.0);
    EXPECT_EQ(LayoutRatio(934, 934), 1.0f);
    EXPECT_EQ(LayoutRatio(0, 934), 0.0f);
    EXPECT_TRUE(std::isinf(LayoutRatio(934, 0)));
    EXPECT_TRUE(std::isnan(LayoutRatio(0, 0)));
}

TEST(ScaleChildLayoutTest, TruncatesTowardZeroAndZeroesWhatIsNotFinite) {
    const float third = LayoutRatio(1000, 300);
    struct Case {
        const char* what;
        ChildLayout record;
        float widthRatio, heightRatio;
        ScaledRect expected;
    };
    const Case cases[] = {
        {"single precision ratio gives 999, not 1000",
         {1, 300, 0, 8, 0},
         third,
         1.0f,
         {999, 0, 26, 0}},
        {"ratio 1 changes nothing", {1, 8, 8, 182, 24}, 1.0f, 1.0f, {8, 8, 182, 24}},
        {"minimised: everything to 0, 0 with size 0 x 0",
         {1, 776, 528, 168, 472},
         0.0f,
         0.0f,
         {0, 0, 0, 0}},
        {"negative offsets truncate toward zero", {1, -3, -9, 3, 9}, 0.9f, 0.3f, {-2, -2, 2, 2}},
        {"design width 0: infinite ratio gives 0 across",
         {1, 8, 8, 182, 24},
         LayoutRatio(900, 0),
         2.0f,
         {0, 16, 0, 48}},
        {"design height 0 and client height 0: NaN gives 0 down",
         {1, 8, 8, 182, 24},
         2.0f,
         LayoutRatio(0, 0),
         {16, 0, 364, 0}},
        {"a zero length by an infinite ratio is still 0",
         {1, 0, 0, 10, 10},
         LayoutRatio(5, 0),
         1.0f,
         {0, 0, 0, 10}},
        {"beyond the coordinate range saturates",
         {1, 2000000000, 0, 1, 1},
         4.0f,
         1.0f,
         {std::numeric_limits<std::int32_t>::max(), 0, 4, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ScaledRect got = ScaleChildLayout(c.record, c.widthRatio, c.heightRatio);
        EXPECT_EQ(got.x, c.expected.x);
        EXPECT_EQ(got.y, c.expected.y);
        EXPECT_EQ(got.width, c.expected.width);
        EXPECT_EQ(got.height, c.expected.height);
    }
}

}  // namespace
