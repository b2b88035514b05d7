// Encoded signature images kept in memory, so that an image is rendered once per change of state.
#include "image_cache.h"

CImageCache::CImageCache(size_t maxBytes) : maxBytes_(maxBytes) {}

std::shared_ptr<const CImage> CImageCache::Find(const std::string& key,
                                                const std::string& variant) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = slots_.find(key);
  if (found == slots_.end() || found->second.variant != variant) return nullptr;
  recent_.splice(recent_.begin(), recent_, found->second.recent);
  return found->second.image;
}

void CImageCache::Store(const std::string& key, const std::string& variant,
                        std::shared_ptr<const CImage> image) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto [slot, added] = slots_.try_emplace(key);
  if (added) {
    recent_.push_front(key);
    slot->second.recent = recent_.begin();
  } else {
    bytes_ -= slot->second.image->png.size();
    recent_.splice(recent_.begin(), recent_, slot->second.recent);
  }
  bytes_ += image->png.size();
  slot->second.variant = variant;
  slot->second.image = std::move(image);
  Evict();
}

size_t CImageCache::Bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

void CImageCache::Evict() {
  // The newest image always stays, even alone over the limit.
  while (bytes_ > maxBytes_ && recent_.size() > 1) {
    auto slot = slots_.find(recent_.back());
    bytes_ -= slot->second.image->png.size();
    slots_.erase(slot);
    recent_.pop_back();
  }
}
