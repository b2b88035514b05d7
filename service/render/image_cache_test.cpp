// Tests of the in-memory image cache: variants, replacement and eviction by size and recency.
#include "render/image_cache.h"

#include <gtest/gtest.h>

namespace {

std::shared_ptr<const CImage> Image(size_t bytes) {
  auto image = std::make_shared<CImage>();
  image->png.assign(bytes, 'p');
  return image;
}

TEST(ImageCache, VariantsAndReplacement) {
  CImageCache cache(1000);
  EXPECT_FALSE(cache.Find("bob", "1"));
  const auto first = Image(100);
  cache.Store("bob", "1", first);
  EXPECT_EQ(cache.Find("bob", "1"), first);
  EXPECT_FALSE(cache.Find("bob", "2"));  // the state moved on: render again
  cache.Store("bob", "2", Image(300));
  EXPECT_FALSE(cache.Find("bob", "1"));
  // One image is counted, with what holding it costs besides the PNG bytes.
  EXPECT_GT(cache.Bytes(), 300u);
  EXPECT_LT(cache.Bytes(), 1000u);
}

TEST(ImageCache, EvictsTheLeastRecentlyUsedPastItsSize) {
  CImageCache cache(2000);
  cache.Store("a", "1", Image(600));
  cache.Store("b", "1", Image(600));
  ASSERT_TRUE(cache.Find("a", "1"));  // "a" is now more recent than "b"
  cache.Store("c", "1", Image(600));
  EXPECT_TRUE(cache.Find("a", "1"));
  EXPECT_FALSE(cache.Find("b", "1"));
  EXPECT_TRUE(cache.Find("c", "1"));
  EXPECT_LE(cache.Bytes(), 2000u);
  // An image larger than the whole cache still stays, alone.
  cache.Store("d", "1", Image(5000));
  EXPECT_TRUE(cache.Find("d", "1"));
  EXPECT_FALSE(cache.Find("a", "1"));
  EXPECT_GT(cache.Bytes(), 5000u);
}

TEST(ImageCache, CountsTheBuffersItHoldsNotOnlyTheirBytes) {
  // Small PNGs in large buffers, as an encoder that reserves room leaves them: the cap must
  // hold for the memory, so only a few fit.
  CImageCache cache(64 * 1024);
  for (int i = 0; i < 40; ++i) {
    auto image = std::make_shared<CImage>();
    image->png.reserve(16 * 1024);
    image->png.assign(1000, 'p');
    cache.Store("account" + std::to_string(i), "1", image);
  }
  EXPECT_LE(cache.Bytes(), 64u * 1024);
  int held = 0;
  for (int i = 0; i < 40; ++i) held += cache.Find("account" + std::to_string(i), "1") ? 1 : 0;
  EXPECT_LE(held, 4);
  EXPECT_GE(held, 3);
}

}  // namespace
