// The answer that carries a signature image.
#include "images/image_response.h"

#include "http/cache.h"

CHttpResponse ImageResponse(const CHttpRequest& request, const std::shared_ptr<const CImage>& image,
                            const char* contentType) {
  CHttpResponse response;
  response.fields = {{"Cache-Control", kImageCacheControl},
                     {"ETag", image->etag},
                     {"Last-Modified", FormatHttpDate(image->lastModified)}};
  if (IsNotModified(request, image->etag, image->lastModified)) {
    response.status = 304;
    return response;
  }
  response.fields.emplace_back("Content-Type", contentType);
  // An SVG is a document: nothing in it may run or fetch, wherever it is opened (an image too
  // intricate for outlines carries its PNG inline).
  if (std::string_view(contentType) == "image/svg+xml")
    response.fields.emplace_back("Content-Security-Policy", "default-src 'none'; img-src data:");
  response.body = std::shared_ptr<const std::string>(image, &image->png);
  response.omitBody = request.method == "HEAD";
  return response;
}
