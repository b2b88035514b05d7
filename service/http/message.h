// The HTTP requests the service handles and the answers it gives, free of any network library.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/log.h"

// Limits on what a client may send. Over a limit, the request is answered with a 4xx status and
// nothing of it is acted upon.
constexpr size_t kMaxTargetBytes = 8 * 1024;  // the request target (path and query): 414
constexpr size_t kMaxBodyBytes = 4 * 1024;    // the body: 413
constexpr size_t kMaxHeadBytes = 16 * 1024;   // request line and header fields together: 431

struct CHttpRequest {
  std::string method;  // "GET", "HEAD", "POST", ...
  std::string target;  // as sent: path and query, raw bytes
  std::string host;    // the Host field, empty when absent
  std::optional<std::string> ifNoneMatch;
  std::optional<std::string> ifModifiedSince;
  std::string body;
  // The client's own IP address: the peer's, or the one a trusted proxy names (see
  // http/client_address.h). Every limit per client and every log line uses this one.
  std::string clientAddress;
  std::string cookie;  // the Cookie field, empty when absent
  // X-Forwarded-Proto as a trusted proxy set it; empty when the peer is not a trusted proxy.
  std::string forwardedProto;
  std::string authorization;  // the Authorization field, empty when absent
  // Where a browser says the request came from: the Origin and Sec-Fetch-Site fields, empty
  // when absent.
  std::string origin;
  std::string fetchSite;
};

struct CHttpResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> fields;  // besides Date, Content-Length
  std::shared_ptr<const std::string> body;                  // null: no body
  bool omitBody = false;  // HEAD: the fields of the full answer, no body
  bool close = false;     // the connection ends after this answer
};

// The reason phrase of a status code; its class's ("Client Error") for one without its own.
const char* StatusText(int status);

// A plain-text answer, "text/plain; charset=utf-8", that is never cached.
CHttpResponse TextResponse(int status, std::string text);
// An HTML page, "text/html; charset=utf-8", that is never cached.
CHttpResponse HtmlResponse(int status, std::string html);

// The status line and fields of `response`, ending with the empty line. Adds Date (given as an
// HTTP date), "X-Content-Type-Options: nosniff", Content-Length (the body's size, also for HEAD;
// absent for 304) and "Connection: close" when the connection ends after this answer.
std::string SerializeHead(const CHttpResponse& response, const std::string& date, bool close);

// Whether the request came over HTTPS: "X-Forwarded-Proto: https" from a trusted proxy (the server
// passes the field on from those only).
bool CameOverHttps(const CHttpRequest& request);
// "http://host[:port]" of the service as users reach it: `configured` when set, else from the
// request's Host field ("localhost" when that is absent or unusable).
std::string PublicUrl(const CHttpRequest& request, const std::string& configured);

// What answers the requests a server receives.
class CHttpHandler {
 public:
  using Reply = std::function<void(CHttpResponse)>;
  virtual ~CHttpHandler() = default;
  // Answers `request` by calling `reply` exactly once: at once on the calling thread, or later on
  // another thread. Any network thread may call it.
  virtual void Handle(const CHttpRequest& request, Reply reply) = 0;
  // The longest body a request for `target` may carry, and the answer to a longer one (sent
  // before the body is read; the connection then closes). Any network thread.
  virtual size_t BodyLimit(std::string_view /*target*/) const { return kMaxBodyBytes; }
  virtual CHttpResponse BodyTooLarge(std::string_view target) const;
  // The name of the route that `target` takes, for metrics: one of a few fixed names, never a
  // part of the request such as an account name. Any thread.
  virtual std::string RouteName(const std::string& target) const {
    (void)target;
    return "other";
  }
  // Told of each answer once its last byte was sent, or of a request refused before it reached
  // Handle (an empty method). The network thread of its connection calls it.
  virtual void Answered(const CAccessRecord& /*answered*/) {}
};
