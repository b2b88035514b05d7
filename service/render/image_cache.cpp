// Encoded signature images kept in memory, so that an image is rendered once per change of state.
#include "render/image_cache.h"

#include "base/metrics.h"

namespace {

CFamily<CCounter>& lookups = Metrics().Counter(
    "velk_image_cache_lookups_total", "Look-ups of rendered images, by outcome", {"outcome"});
CCounter& hits = lookups.With({"hit"});
CCounter& misses = lookups.With({"miss"});
// The bytes all caches hold: changed with each cache's mutex held.
CGauge& cachedBytes =
    Metrics()
        .Gauge("velk_image_cache_bytes", "Memory that rendered images take in the cache")
        .Get();

// The heap blocks of a cached image besides its buffers: the image with its shared_ptr control
// block, the map node and the list node, rounded up for the allocator's headers.
constexpr size_t kSlotOverhead = 256;

}  // namespace

CImageCache::CImageCache(size_t maxBytes) : m_maxBytes(maxBytes) {}

size_t CImageCache::Cost(const std::string& key, const std::string& variant, const CImage& image) {
  // The key is held twice, by the map and by the list.
  return kSlotOverhead + sizeof(CImage) + image.png.capacity() + image.etag.capacity() +
         2 * key.capacity() + variant.capacity();
}

std::shared_ptr<const CImage> CImageCache::Find(const std::string& key, const std::string& variant,
                                                int64_t nowMs) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_slots.find(key);
  if (found == m_slots.end() || found->second.variant != variant) {
    misses.Add();
    return nullptr;
  }
  hits.Add();
  m_recent.splice(m_recent.begin(), m_recent, found->second.recent);
  found->second.confirmedMs = nowMs;
  return found->second.image;
}

std::shared_ptr<const CImage> CImageCache::FindConfirmedSince(const std::string& key,
                                                              int64_t sinceMs) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_slots.find(key);
  if (found == m_slots.end() || found->second.confirmedMs < sinceMs) return nullptr;
  return found->second.image;
}

void CImageCache::Store(const std::string& key, const std::string& variant,
                        std::shared_ptr<const CImage> image, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const size_t before = m_bytes;
  auto [slot, added] = m_slots.try_emplace(key);
  if (added) {
    m_recent.push_front(key);
    slot->second.recent = m_recent.begin();
  } else {
    m_bytes -= slot->second.cost;
    m_recent.splice(m_recent.begin(), m_recent, slot->second.recent);
  }
  slot->second.variant = variant;
  slot->second.confirmedMs = nowMs;
  slot->second.cost = Cost(key, variant, *image);
  slot->second.image = std::move(image);
  m_bytes += slot->second.cost;
  Evict();
  cachedBytes.Add(static_cast<int64_t>(m_bytes) - static_cast<int64_t>(before));
}

size_t CImageCache::Bytes() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_bytes;
}

void CImageCache::Evict() {
  // The newest image always stays, even alone over the limit.
  while (m_bytes > m_maxBytes && m_recent.size() > 1) {
    auto slot = m_slots.find(m_recent.back());
    m_bytes -= slot->second.cost;
    m_slots.erase(slot);
    m_recent.pop_back();
  }
}
