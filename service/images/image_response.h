// The answer that carries a signature image: its validators and cache rules, or 304.
#pragma once

#include <memory>

#include "http/message.h"
#include "render/image_cache.h"

// How long clients and proxies may keep a signature image without asking again.
constexpr char kImageCacheControl[] = "public, max-age=30";

// The answer to a GET or HEAD of `image` (of `contentType`), or 304 when the client holds it.
CHttpResponse ImageResponse(const CHttpRequest& request, const std::shared_ptr<const CImage>& image,
                            const char* contentType = "image/png");
