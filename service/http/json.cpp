// JSON answers: ListenBrainz's shapes and the state document's strings.
#include "http/json.h"

#include <boost/json.hpp>
#include <cstdio>

namespace json = boost::json;

CHttpResponse JsonResponse(int status, const json::object& body) {
  CHttpResponse response = TextResponse(status, json::serialize(body) + "\n");
  for (auto& [name, value] : response.fields) {
    if (name == "Content-Type") value = "application/json";
  }
  return response;
}

CHttpResponse JsonError(int status, const std::string& error) {
  return JsonResponse(status, {{"code", status}, {"error", error}});
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (u < 0x20 || u == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", u);
      out += escape;
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}
