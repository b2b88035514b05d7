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
  EXPECT_EQ(cache.Bytes(), 300u);
}

TEST(ImageCache, EvictsTheLeastRecentlyUsedPastItsSize) {
  CImageCache cache(1000);
  cache.Store("a", "1", Image(400));
  cache.Store("b", "1", Image(400));
  ASSERT_TRUE(cache.Find("a", "1"));  // "a" is now more recent than "b"
  cache.Store("c", "1", Image(400));
  EXPECT_TRUE(cache.Find("a", "1"));
  EXPECT_FALSE(cache.Find("b", "1"));
  EXPECT_TRUE(cache.Find("c", "1"));
  EXPECT_EQ(cache.Bytes(), 800u);
  // An image larger than the whole cache still stays, alone.
  cache.Store("d", "1", Image(5000));
  EXPECT_TRUE(cache.Find("d", "1"));
  EXPECT_EQ(cache.Bytes(), 5000u);
}

}  // namespace
