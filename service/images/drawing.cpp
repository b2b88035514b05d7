// Drawing signature images off the network threads, one drawing per image and variant.
#include "images/drawing.h"

#include "http/cache.h"

CDrawing::CDrawing(const CClock& clock, CWorkPool& renderWork, int64_t startedAt)
    : m_clock(clock),
      m_renderWork(renderWork),
      m_noAccount(MessageImage(CSignatureView::EKind::kNoAccount, startedAt)),
      m_unavailable(MessageImage(CSignatureView::EKind::kUnavailable, startedAt)) {}

std::shared_ptr<const CImage> CDrawing::MessageImage(CSignatureView::EKind kind,
                                                     int64_t startedAt) {
  CSignatureView view;
  view.kind = kind;
  auto image = std::make_shared<CImage>();
  image->png = m_renderer.RenderPng(view);
  image->etag = MakeEntityTag(image->png);
  image->lastModified = startedAt;
  return image;
}

void CDrawing::Draw(CJob job, Done done) {
  std::string id = job.key + '\n' + job.variant;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto [waiting, first] = m_drawing.try_emplace(id);
    waiting->second.push_back(std::move(done));
    if (!first) return;
  }
  const bool queued = m_renderWork.Submit([this, job = std::move(job), id] {
    auto image = std::make_shared<CImage>();
    image->png = job.history ? m_renderer.RenderHistory(*job.history, job.format)
                             : m_renderer.RenderPng(job.view);
    if (image->png.empty()) return Finish(id, nullptr);
    image->etag = MakeEntityTag(image->png);
    image->lastModified = job.lastModified;
    job.cache->Store(job.key, job.variant, image, m_clock.SteadyMs());
    Finish(id, image);
  });
  if (!queued) Finish(id, nullptr);
}

void CDrawing::Finish(const std::string& id, const std::shared_ptr<const CImage>& image) {
  std::vector<Done> waiting;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_drawing.find(id);
    if (found == m_drawing.end()) return;
    waiting = std::move(found->second);
    m_drawing.erase(found);
  }
  for (Done& done : waiting) done(image);
}
