// Tests of account keys (generation, hashing, digests) and of the bounded key-check queue.
#include "accounts/key_hash.h"

#include <future>
#include <gtest/gtest.h>
#include <set>

#include "base/work_pool.h"

namespace {

TEST(KeyHash, KeysHashesAndDigests) {
  ASSERT_TRUE(InitKeyHashing());
  std::set<std::string> keys;
  for (int i = 0; i < 20; ++i) {
    const std::string key = GenerateKey();
    EXPECT_EQ(key.size(), 20u);
    EXPECT_TRUE(IsWellFormedKey(key)) << key;
    keys.insert(key);
  }
  EXPECT_EQ(keys.size(), 20u);
  for (const char* bad :
       {"", "Key", "12 34", "-1",
        "1234567890123456789012345678901234567890123456789012345678901234567890"}) {
    EXPECT_FALSE(IsWellFormedKey(bad)) << bad;
  }

  const std::string hash = HashKey("4242");
  EXPECT_NE(hash.find("argon2id"), std::string::npos);
  EXPECT_NE(hash, HashKey("4242"));  // salted
  EXPECT_TRUE(VerifyKey(hash, "4242"));
  EXPECT_FALSE(VerifyKey(hash, "4243"));
  EXPECT_FALSE(VerifyKey("not a hash", "4242"));

  EXPECT_TRUE(SameDigest(DigestKey("4242"), DigestKey("4242")));
  EXPECT_FALSE(SameDigest(DigestKey("4242"), DigestKey("4243")));
}

TEST(KeyVerifier, ChecksOffTheCallersThreadAndRefusesOverItsBound) {
  ASSERT_TRUE(InitKeyHashing());
  const std::string hash = HashKey("7");
  {
    CWorkPool pool(1, 8);
    std::promise<bool> right, wrong;
    ASSERT_TRUE(pool.Submit([&] { right.set_value(VerifyKey(hash, "7")); }));
    ASSERT_TRUE(pool.Submit([&] { wrong.set_value(VerifyKey(hash, "8")); }));
    EXPECT_TRUE(right.get_future().get());
    EXPECT_FALSE(wrong.get_future().get());
  }
  // Without a thread to take them, checks wait; past the bound they are refused.
  CWorkPool stalled(0, 2);
  EXPECT_TRUE(stalled.Submit([] {}));
  EXPECT_TRUE(stalled.Submit([] {}));
  EXPECT_FALSE(stalled.Submit([] { ADD_FAILURE() << "refused check ran"; }));
}

}  // namespace
