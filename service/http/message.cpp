// The HTTP requests the service handles and the answers it gives, free of any network library.
#include "http/message.h"

const char* StatusText(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 302:
      return "Found";
    case 304:
      return "Not Modified";
    case 400:
      return "Bad Request";
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
    case 411:
      return "Length Required";
    case 413:
      return "Content Too Large";
    case 414:
      return "URI Too Long";
    case 429:
      return "Too Many Requests";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Unknown";
  }
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
  head += "\r\nServer: velk-service\r\nDate: ";
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
