// Encoded signature images kept in memory, so that an image is rendered once per change of state.
#include "render/image_cache.h"

CImageCache::CImageCache(size_t maxBytes) : m_maxBytes(maxBytes) {}

std::shared_ptr<const CImage> CImageCache::Find(const std::string& key,
                                                const std::string& variant) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_slots.find(key);
  if (found == m_slots.end() || found->second.variant != variant) return nullptr;
  m_recent.splice(m_recent.begin(), m_recent, found->second.recent);
  return found->second.image;
}

void CImageCache::Store(const std::string& key, const std::string& variant,
                        std::shared_ptr<const CImage> image) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto [slot, added] = m_slots.try_emplace(key);
  if (added) {
    m_recent.push_front(key);
    slot->second.recent = m_recent.begin();
  } else {
    m_bytes -= slot->second.image->png.size();
    m_recent.splice(m_recent.begin(), m_recent, slot->second.recent);
  }
  m_bytes += image->png.size();
  slot->second.variant = variant;
  slot->second.image = std::move(image);
  Evict();
}

size_t CImageCache::Bytes() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_bytes;
}

void CImageCache::Evict() {
  // The newest image always stays, even alone over the limit.
  while (m_bytes > m_maxBytes && m_recent.size() > 1) {
    auto slot = m_slots.find(m_recent.back());
    m_bytes -= slot->second.image->png.size();
    m_slots.erase(slot);
    m_recent.pop_back();
  }
}
