// Tests of the request window: counts per key, the window's end, and the shared count beyond
// the bound on keys.
#include "base/request_window.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

TEST(RequestWindow, CountsPerKeyUntilTheWindowEnds) {
  CFakeClock clock;
  clock.Advance(60000 * 5 + 15000);  // a quarter into a window
  CRequestWindow window(clock, 2, 60000, 2);
  EXPECT_EQ(window.Peek("a").remaining, 2u);
  const CRequestWindow::CState first = window.Take("a");
  EXPECT_TRUE(first.allowed);
  EXPECT_EQ(first.remaining, 1u);
  EXPECT_EQ(first.resetInMs, 45000);
  EXPECT_TRUE(window.Take("a").allowed);
  const CRequestWindow::CState over = window.Take("a");
  EXPECT_FALSE(over.allowed);
  EXPECT_EQ(over.remaining, 0u);
  EXPECT_EQ(window.Peek("a").remaining, 0u);
  EXPECT_EQ(window.Take("b").remaining, 1u);  // another key has its own count
  // Keys beyond the bound (2) share one count.
  EXPECT_EQ(window.Take("c").remaining, 1u);
  EXPECT_EQ(window.Take("d").remaining, 0u);
  EXPECT_FALSE(window.Take("e").allowed);
  EXPECT_EQ(window.Unknown().remaining, 0u);
  EXPECT_EQ(window.Unknown().resetInMs, 45000);

  clock.Advance(44999);
  EXPECT_EQ(window.Peek("a").resetInMs, 1);
  EXPECT_FALSE(window.Take("a").allowed);
  clock.Advance(1);  // a new window: every count starts again
  const CRequestWindow::CState next = window.Take("a");
  EXPECT_TRUE(next.allowed);
  EXPECT_EQ(next.remaining, 1u);
  EXPECT_EQ(next.resetInMs, 60000);
  EXPECT_EQ(window.Take("e").remaining, 1u);
}
