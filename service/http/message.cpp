// The HTTP requests the service handles and the answers it gives, free of any network library.
#include "http/message.h"

const char* StatusText(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 410:
      return "Gone";
    case 411:
      return "Length Required";
    case 413:
      return "Content Too Large";
    case 414:
      return "URI Too Long";
    case 415:
      return "Unsupported Media Type";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    case 505:
      return "HTTP Version Not Supported";
  }
  // A status without a phrase of its own takes its class's.
  static const char* const kClasses[] = {"Informational", "Success", "Redirection", "Client Error",
                                         "Server Error"};
  return status >= 100 && status < 600 ? kClasses[status / 100 - 1] : "Server Error";
}

namespace {

CHttpResponse Uncached(int status, const char* type, std::string body) {
  CHttpResponse response;
  response.status = status;
  response.fields = {{"Content-Type", type}, {"Cache-Control", "no-store"}};
  response.body = std::make_shared<const std::string>(std::move(body));
  return response;
}

}  // namespace

CHttpResponse TextResponse(int status, std::string text) {
  return Uncached(status, "text/plain; charset=utf-8", std::move(text));
}

CHttpResponse HtmlResponse(int status, std::string html) {
  return Uncached(status, "text/html; charset=utf-8", std::move(html));
}

std::string SerializeHead(const CHttpResponse& response, const std::string& date, bool close) {
  std::string head;
  head.reserve(256);
  head += "HTTP/1.1 ";
  head += std::to_string(response.status);
  head += ' ';
  head += StatusText(response.status);
  // No answer may be taken for another type than the one it names (a text page run as script).
  head += "\r\nServer: velk-service\r\nX-Content-Type-Options: nosniff\r\nDate: ";
  head += date;
  head += "\r\n";
  for (const auto& [name, value] : response.fields) {
    head += name;
    head += ": ";
    head += value;
    head += "\r\n";
  }
  if (response.status != 304) {
    head += "Content-Length: ";
    head += std::to_string(response.body ? response.body->size() : 0);
    head += "\r\n";
  }
  if (close) head += "Connection: close\r\n";
  head += "\r\n";
  return head;
}

CHttpResponse CHttpHandler::BodyTooLarge(std::string_view) const {
  return TextResponse(413,
                      "The body is longer than " + std::to_string(kMaxBodyBytes) + " bytes.\n");
}

bool CameOverHttps(const CHttpRequest& request) { return request.forwardedProto == "https"; }

namespace {

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == ':' || c == '[' || c == ']';
}

}  // namespace

std::string PublicUrl(const CHttpRequest& request, const std::string& configured) {
  if (!configured.empty()) return configured;
  bool usable = !request.host.empty() && request.host.size() <= 255;
  for (char c : request.host) usable = usable && IsHostChar(c);
  return "http://" + (usable ? request.host : std::string("localhost"));
}
