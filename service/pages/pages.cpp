// Rendering the pages from their Mustache templates, and serving their style sheet and script.
#include "pages/pages.h"

#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "http/cache.h"
#include "pages/page_files.h"

namespace {

constexpr std::string_view kTemplateEnd = ".mustache";

struct CStaticFile {
  std::string_view path;  // "/static/velk.css"
  std::string_view contentType;
  std::shared_ptr<const std::string> body;
  std::string etag;     // quoted
  std::string version;  // the tag's digits, for the pages' links
};

std::string_view PageFile(std::string_view name) {
  for (size_t i = 0; i < kPageFileCount; ++i) {
    if (kPageFiles[i].name == name) return kPageFiles[i].content;
  }
  throw std::logic_error("no page file " + std::string(name));
}

CStaticFile MakeStaticFile(std::string_view path, std::string_view contentType) {
  const std::string_view content = PageFile(path.substr(path.rfind('/') + 1));
  CStaticFile file{path, contentType, std::make_shared<const std::string>(content), {}, {}};
  file.etag = MakeEntityTag(content);
  file.version = file.etag.substr(1, file.etag.size() - 2);
  return file;
}

// Made on first use and constant after; C++ makes that first use safe from any thread.
const std::vector<CStaticFile>& StaticFiles() {
  static const std::vector<CStaticFile> files = {
      MakeStaticFile("/static/velk.css", "text/css; charset=utf-8"),
      MakeStaticFile("/static/velk.js", "text/javascript; charset=utf-8"),
  };
  return files;
}

std::string VersionedUrl(const CStaticFile& file) {
  return std::string(file.path) + "?v=" + file.version;
}

}  // namespace

// Sources of the page's own origin only; nothing inline.
#define VELK_PAGE_SOURCES                                                                         \
  "default-src 'none'; style-src 'self'; script-src 'self'; img-src 'self'; form-action 'self'; " \
  "base-uri 'none'"
const char kPagePolicy[] = VELK_PAGE_SOURCES;
const char kUnframedPagePolicy[] = VELK_PAGE_SOURCES "; frame-ancestors 'none'";
#undef VELK_PAGE_SOURCES

std::string RenderPage(std::string_view name, CPageData data) {
  kainjow::mustache::mustache page{std::string(PageFile(std::string(name) + ".mustache"))};
  for (size_t i = 0; i < kPageFileCount; ++i) {
    const std::string_view file = kPageFiles[i].name;
    if (file.size() <= kTemplateEnd.size() ||
        file.substr(file.size() - kTemplateEnd.size()) != kTemplateEnd) {
      continue;
    }
    const std::string partial(file.substr(0, file.size() - kTemplateEnd.size()));
    // A name in `data` would hide the template of that name, or the template the name.
    if (data.get(partial)) throw std::logic_error("page data named as a template: " + partial);
    const std::string_view content = kPageFiles[i].content;
    data.set(partial, kainjow::mustache::partial([content] { return std::string(content); }));
  }
  data.set("style_url", VersionedUrl(StaticFiles()[0]));
  data.set("script_url", VersionedUrl(StaticFiles()[1]));
  std::string html = page.render(data);
  if (!page.is_valid()) {
    throw std::logic_error("page template " + std::string(name) + ": " + page.error_message());
  }
  return html;
}

CHttpResponse StaticFileResponse(const CHttpRequest& request, std::string_view path) {
  for (const CStaticFile& file : StaticFiles()) {
    if (file.path != path) continue;
    CHttpResponse response;
    if (request.method != "GET" && request.method != "HEAD") {
      response = TextResponse(405, "Allowed: GET, HEAD\n");
      response.fields.emplace_back("Allow", "GET, HEAD");
      return response;
    }
    // A link with an older or newer version (an upgrade under way) is checked again each time.
    const std::string_view target = request.target;
    const size_t question = target.find('?');
    const bool current =
        question != std::string_view::npos && target.substr(question + 1) == "v=" + file.version;
    response.fields = {
        {"Cache-Control", current ? "public, max-age=31536000, immutable" : "no-cache"},
        {"ETag", file.etag}};
    // Only the tag validates: no Last-Modified, so If-Modified-Since alone never matches.
    if (IsNotModified(request, file.etag, std::numeric_limits<int64_t>::max())) {
      response.status = 304;
      return response;
    }
    response.fields.emplace_back("Content-Type", std::string(file.contentType));
    response.body = file.body;
    response.omitBody = request.method == "HEAD";
    return response;
  }
  return TextResponse(404, "The pages' files are /static/velk.css and /static/velk.js.\n");
}
