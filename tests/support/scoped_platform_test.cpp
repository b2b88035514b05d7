// Tests of CScopedPlatform: areas left out fail the test by name, and the scope restores.
#include "tests/support/scoped_platform.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "platform/fake/fake_host.h"
#include "platform/fake/fake_registry.h"

namespace {

TEST(ScopedPlatformTest, AnAreaLeftOutFailsTheTestByNameAndAnswersAsAFailure) {
  CFakeHost host;
  CScopedPlatform platform;
  platform.Host(host);
  EXPECT_EQ(Platform().host->AskHost(0, kIpcIsPlaying), 0);
  EXPECT_TRUE(host.Questions().size() == 1);

  RegKey key = nullptr;
  long result = 0;
  EXPECT_NONFATAL_FAILURE(
      result = Platform().registry->OpenUserKey("Software", RegAccess::kQueryValue, &key),
      "OpenUserKey of the registry, which this test did not install (CScopedPlatform::Registry)");
  EXPECT_NE(result, kErrorSuccess);
  EXPECT_EQ(key, nullptr);
  EXPECT_NONFATAL_FAILURE(EXPECT_THROW(Platform().internet->OpenSession(), CInternetException),
                          "OpenSession of the internet library");
  bool started = true;
  EXPECT_NONFATAL_FAILURE(started = Platform().threads->StartWorker(nullptr, nullptr),
                          "StartWorker of the threads");
  EXPECT_FALSE(started);
}

TEST(ScopedPlatformTest, LeavingTheScopeRestoresTheOuterPlatform) {
  CFakeRegistry outer_registry;
  CScopedPlatform outer;
  outer.Registry(outer_registry);
  {
    CFakeRegistry inner_registry;
    CScopedPlatform inner;
    inner.Registry(inner_registry);
    EXPECT_EQ(Platform().registry, &inner_registry);
  }
  EXPECT_EQ(Platform().registry, &outer_registry);
}

}  // namespace
