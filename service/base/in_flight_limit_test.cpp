// Tests of the per-key job limit: one key's jobs wait their turn in order, a bounded number.
#include "base/in_flight_limit.h"

#include <gtest/gtest.h>

#include <string>

TEST(InFlightLimit, WaitingJobsStartInOrderAsOthersEnd) {
  CInFlightLimit limit(1, 2);
  std::string ran;
  auto job = [&ran](char name) { return [&ran, name] { ran += name; }; };
  EXPECT_TRUE(limit.Start("flood", job('a')));
  EXPECT_TRUE(limit.Start("flood", job('b')));
  EXPECT_TRUE(limit.Start("flood", job('c')));
  EXPECT_FALSE(limit.Start("flood", job('x')));  // two wait already
  EXPECT_TRUE(limit.Start("other", job('o')));   // another key is not held up
  EXPECT_EQ(ran, "ao");
  limit.End("flood");
  EXPECT_EQ(ran, "aob");
  EXPECT_TRUE(limit.Start("flood", job('d')));
  limit.End("flood");
  limit.End("flood");
  EXPECT_EQ(ran, "aobcd");
  limit.End("flood");
  limit.End("other");
  EXPECT_TRUE(limit.Start("flood", job('e')));  // nothing under way: at once
  EXPECT_EQ(ran, "aobcde");
}
