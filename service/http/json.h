// JSON answers: ListenBrainz's shapes and the state document's strings.
#pragma once

#include <string>
#include <string_view>

#include <boost/json/object.hpp>

#include "http/message.h"

// A JSON answer, never cached: `body` as it is, or {"code", "error"}.
CHttpResponse JsonResponse(int status, const boost::json::object& body);
CHttpResponse JsonError(int status, const std::string& error);
// A JSON string literal, quotes included, of UTF-8 `text`.
std::string JsonString(std::string_view text);
