// The placement arithmetic with chosen DPIs and work areas (no Windows needed).
#include <gtest/gtest.h>

#include "shell/window_placement.h"

using placement::Rect;
using placement::Record;

namespace {

const Rect kScreen96{0, 0, 1024, 768};
const Rect kWide144{0, 0, 2560, 1400};

}  // namespace

TEST(DefaultPlacement, CentredAt96And144Dpi) {
  EXPECT_EQ(placement::DefaultPlacement(96, kScreen96), (Rect{272, 24, 752, 744}));
  // 720 x 1080 at 144 DPI, centred in a work area that starts below a top bar.
  const Rect work{0, 40, 2560, 1440};
  EXPECT_EQ(placement::DefaultPlacement(144, work), (Rect{920, 200, 1640, 1280}));
}

TEST(DefaultPlacement, CutToSmallWorkAreaAndKeptInside) {
  // 720 high does not fit 600: cut to the work area and moved to its top.
  const Rect small{100, 50, 900, 650};
  Rect rect = placement::DefaultPlacement(96, small);
  EXPECT_EQ(rect, (Rect{260, 50, 740, 650}));
  // Narrower than 480 too.
  EXPECT_EQ(placement::DefaultPlacement(96, Rect{0, 0, 400, 300}), (Rect{0, 0, 400, 300}));
}

TEST(RecordValidity, VersionAndSizeLimits) {
  EXPECT_TRUE(placement::IsValidRecord({1, 0, 0, 400, 600}));
  EXPECT_TRUE(placement::IsValidRecord({1, 0xFFFFFF00u, 0xFFFFFF00u, 1, 32767}));  // negative Left/Top
  EXPECT_FALSE(placement::IsValidRecord({2, 0, 0, 400, 600}));
  EXPECT_FALSE(placement::IsValidRecord({0, 0, 0, 400, 600}));
  EXPECT_FALSE(placement::IsValidRecord({1, 0, 0, 0, 600}));
  EXPECT_FALSE(placement::IsValidRecord({1, 0, 0, 400, 40000}));
  EXPECT_FALSE(placement::IsValidRecord({1, 0, 0, 32768, 600}));
  EXPECT_FALSE(placement::IsValidRecord({1, 0, 0, 0xFFFFFFFFu, 600}));  // -1 as signed
}

TEST(RestoredPlacement, SavedRecordComesBackScaled) {
  EXPECT_EQ(placement::RestoredPlacement({1, 100, 30, 400, 600}, 96, kScreen96), (Rect{100, 30, 500, 630}));
  // 96-DPI units scaled to a 144-DPI monitor.
  EXPECT_EQ(placement::RestoredPlacement({1, 100, 30, 400, 600}, 144, kWide144), (Rect{100, 30, 700, 930}));
}

TEST(RestoredPlacement, TooSmallBecomesMinimumButNeverLargerThanWorkArea) {
  EXPECT_EQ(placement::RestoredPlacement({1, 10, 10, 100, 100}, 96, kScreen96), (Rect{10, 10, 390, 570}));
  EXPECT_EQ(placement::RestoredPlacement({1, 10, 10, 100, 100}, 144, kWide144), (Rect{10, 10, 580, 850}));
  // A work area smaller than the minimum wins.
  EXPECT_EQ(placement::RestoredPlacement({1, 0, 0, 100, 100}, 96, Rect{0, 0, 300, 400}), (Rect{0, 0, 300, 400}));
  // A size larger than the work area is cut.
  EXPECT_EQ(placement::RestoredPlacement({1, 0, 0, 5000, 5000}, 96, kScreen96), (Rect{0, 0, 1024, 768}));
}

TEST(RestoredPlacement, PositionOffTheMonitorIsMovedInside) {
  // Saved far right and below (a monitor that is gone): moved fully inside.
  EXPECT_EQ(placement::RestoredPlacement({1, 3000, 2000, 400, 600}, 96, kScreen96), (Rect{624, 168, 1024, 768}));
  // Negative coordinates (a monitor left of the primary one) on such a monitor stay.
  const Rect left{-1920, 0, 0, 1040};
  EXPECT_EQ(placement::RestoredPlacement({1, static_cast<std::uint32_t>(-1500), 20, 400, 600}, 96, left),
            (Rect{-1500, 20, -1100, 620}));
  // ... and on the primary monitor they are pulled in.
  EXPECT_EQ(placement::RestoredPlacement({1, static_cast<std::uint32_t>(-1500), 20, 400, 600}, 96, kScreen96),
            (Rect{0, 20, 400, 620}));
}

TEST(SavedRecord, SizesInNinetySixDpiUnits) {
  EXPECT_EQ(placement::RecordFor({10, 20, 490, 740}, 96), (Record{1, 10, 20, 480, 720}));
  EXPECT_EQ(placement::RecordFor({10, 20, 730, 1100}, 144), (Record{1, 10, 20, 480, 720}));
  EXPECT_EQ(placement::RecordFor({-800, -5, -400, 595}, 96),
            (Record{1, static_cast<std::uint32_t>(-800), static_cast<std::uint32_t>(-5), 400, 600}));
  // Round trip through a 120-DPI monitor keeps the size within rounding.
  Record record = placement::RecordFor({0, 0, 601, 901}, 120);
  Rect back = placement::RestoredPlacement(record, 120, Rect{0, 0, 3000, 3000});
  EXPECT_NEAR(back.width(), 601, 1);
  EXPECT_NEAR(back.height(), 901, 1);
}

TEST(KeepInsideWorkArea, CutsAndMoves) {
  EXPECT_EQ(placement::KeptInsideWorkArea({900, 700, 1380, 1420}, kScreen96), (Rect{544, 48, 1024, 768}));
  EXPECT_EQ(placement::KeptInsideWorkArea({-50, -50, 2000, 300}, kScreen96), (Rect{0, 0, 1024, 350}));
  EXPECT_EQ(placement::KeptInsideWorkArea({10, 10, 300, 300}, kScreen96), (Rect{10, 10, 300, 300}));
}

TEST(MinimumTrackSize, ScaledAndCut) {
  EXPECT_EQ(placement::MinimumTrackSize(96, kScreen96), (placement::Size{380, 560}));
  EXPECT_EQ(placement::MinimumTrackSize(192, kScreen96), (placement::Size{760, 768}));
}

TEST(ScaleMulDiv, RoundsToNearestAndRefusesZeroAndOverflow) {
  EXPECT_EQ(placement::ScaleMulDiv(5, 1, 2), 3);
  EXPECT_EQ(placement::ScaleMulDiv(-5, 1, 2), -3);
  EXPECT_EQ(placement::ScaleMulDiv(7, 3, 4), 5);
  EXPECT_EQ(placement::ScaleMulDiv(1, 1, 0), -1);
  EXPECT_EQ(placement::ScaleMulDiv(2000000000, 4, 1), -1);
}
