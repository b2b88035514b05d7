// Encoded signature images kept in memory, so that an image is rendered once per change of state.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

struct CImage {
  std::string png;
  std::string etag;
  int64_t lastModified = 0;  // Unix seconds
};

// At most one image per key (an account, or one of the service's own messages), tagged with the
// variant it was rendered for. Holds at most `maxBytes`, counting all it keeps for an image (the
// buffers' capacity, not only the PNG bytes, the tags and the bookkeeping); past that, the images
// used longest ago are dropped. Thread-safe.
class CImageCache {
 public:
  explicit CImageCache(size_t maxBytes);

  // The image of `key` if it was rendered for `variant`, else null. A hit counts as the image
  // being confirmed current at `nowMs` (any steady milliseconds the caller keeps to).
  std::shared_ptr<const CImage> Find(const std::string& key, const std::string& variant,
                                     int64_t nowMs = 0);
  // Keeps `image` as the image of `key` for `variant`, replacing what `key` had; confirmed at
  // `nowMs`.
  void Store(const std::string& key, const std::string& variant,
             std::shared_ptr<const CImage> image, int64_t nowMs = 0);
  // The image of `key`, whatever its variant, if it was last confirmed at `sinceMs` or later:
  // what may still be shown while its current variant cannot be learnt.
  std::shared_ptr<const CImage> FindConfirmedSince(const std::string& key, int64_t sinceMs);

  size_t Bytes() const;

 private:
  struct CSlot {
    std::string variant;
    std::shared_ptr<const CImage> image;
    std::list<std::string>::iterator recent;  // position in m_recent
    size_t cost = 0;
    int64_t confirmedMs = 0;
  };
  void Evict();
  // What keeping `image` under `key` for `variant` costs in memory, in bytes.
  static size_t Cost(const std::string& key, const std::string& variant, const CImage& image);

  const size_t m_maxBytes;
  mutable std::mutex m_mutex;
  std::unordered_map<std::string, CSlot> m_slots;
  std::list<std::string> m_recent;  // keys, most recently used first
  size_t m_bytes = 0;
};
