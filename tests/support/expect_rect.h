// A window rectangle compared side by side, so that a failure names the edge.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

inline void ExpectRect(const RECT& rect, LONG left, LONG top, LONG right, LONG bottom) {
  EXPECT_EQ(rect.left, left);
  EXPECT_EQ(rect.top, top);
  EXPECT_EQ(rect.right, right);
  EXPECT_EQ(rect.bottom, bottom);
}
