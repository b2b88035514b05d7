// Tests of the request window: counts per key and shared beyond a bound, the window's end.
#include "base/request_window.h"

#include <gtest/gtest.h>

#include "tests/test_support.h"

TEST(RequestWindow, CountsPerKeyUntilTheWindowEnds) {
  CFakeClock clock;
  clock.Advance(60000 * 5 + 15000);  // a quarter into a window
  CRequestWindow window(clock, 2, 60000, 2);
  auto take = [&](const char* key) {
    const CRequestWindow::CState state = window.Take(key);
    return std::make_tuple(state.allowed, state.remaining, state.resetInMs);
  };
  EXPECT_EQ(take("a"), std::make_tuple(true, 1u, 45000));
  EXPECT_EQ(take("a"), std::make_tuple(true, 0u, 45000));
  EXPECT_EQ(take("a"), std::make_tuple(false, 0u, 45000));
  EXPECT_EQ(take("b"), std::make_tuple(true, 1u, 45000));  // a count of its own
  EXPECT_EQ(take("c"), std::make_tuple(true, 1u, 45000));  // beyond 2 keys: one shared count
  EXPECT_EQ(take("d"), std::make_tuple(true, 0u, 45000));
  clock.Advance(44999);
  EXPECT_EQ(take("a"), std::make_tuple(false, 0u, 1));
  clock.Advance(1);  // a new window: every count starts again
  EXPECT_EQ(take("a"), std::make_tuple(true, 1u, 60000));
  EXPECT_EQ(take("e"), std::make_tuple(true, 1u, 60000));
  EXPECT_EQ(window.Unknown().remaining, 0u);
}
