// Drawing signature images off the network threads: one render thread, one drawing per image
// however many requests wait for it, and the service's own message images.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/clock.h"
#include "base/work_pool.h"
#include "render/image_cache.h"
#include "render/render.h"

class CDrawing {
 public:
  using Done = std::function<void(std::shared_ptr<const CImage>)>;
  // An image to draw: the view, and where the drawn image is kept.
  struct CJob {
    CImageCache* cache = nullptr;
    std::string key;
    std::string variant;
    CSignatureView view;
    int64_t lastModified = 0;
    // A history signature instead of `view`, in `format`.
    std::optional<CHistoryView> history;
    EImageFormat format = EImageFormat::kPng;
  };

  // Draws the message images at once, so that later requests find the fonts loaded. `clock` and
  // `renderWork` (the render thread) must outlive the object, and `renderWork` must stop before
  // it and before the caches that jobs name.
  CDrawing(const CClock& clock, CWorkPool& renderWork, int64_t startedAt);
  CDrawing(const CDrawing&) = delete;
  CDrawing& operator=(const CDrawing&) = delete;

  // Draws `job` on the render thread and gives `done` the image there, after keeping it in
  // `job.cache`; requests waiting for the same key and variant share one drawing. `done` gets
  // null, at once on the calling thread, when the render queue is full, and on the render thread
  // when drawing fails. Any thread.
  void Draw(CJob job, Done done);
  // The images shown for a name without an account, and when the database does not answer.
  const std::shared_ptr<const CImage>& NoAccount() const { return m_noAccount; }
  const std::shared_ptr<const CImage>& Unavailable() const { return m_unavailable; }

 private:
  std::shared_ptr<const CImage> MessageImage(CSignatureView::EKind kind, int64_t startedAt);
  // Ends the drawing of `id` ("key\nvariant"): every request waiting for it gets `image`.
  void Finish(const std::string& id, const std::shared_ptr<const CImage>& image);

  const CClock& m_clock;
  CWorkPool& m_renderWork;
  CRenderer m_renderer;  // used on the render thread only, after construction
  std::mutex m_mutex;
  // Drawings queued or under way ("key\nvariant"), with the requests that wait for each.
  std::unordered_map<std::string, std::vector<Done>> m_drawing;
  const std::shared_ptr<const CImage> m_noAccount;
  const std::shared_ptr<const CImage> m_unavailable;
};
