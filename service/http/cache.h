// Validators of cached images (ETag, Last-Modified), HTTP dates, and the decision to answer 304.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "http/message.h"

// "Sun, 06 Nov 1994 08:49:37 GMT" for a Unix time.
std::string FormatHttpDate(int64_t unixSeconds);
// The Unix time of an HTTP date in the preferred form above; nothing for anything else (a date
// that cannot be read makes the condition that holds it count as absent).
std::optional<int64_t> ParseHttpDate(std::string_view text);

// A strong entity tag for `content`: a quoted hexadecimal digest, so that equal images always
// carry equal tags, whenever and however often they are rendered.
std::string MakeEntityTag(std::string_view content);

// Whether a GET or HEAD of a representation with `etag` and `lastModified` (Unix seconds) can be
// answered 304. If-None-Match decides when present ("*" or any listed tag, weakly compared);
// only without it does If-Modified-Since count.
bool IsNotModified(const CHttpRequest& request, std::string_view etag, int64_t lastModified);
