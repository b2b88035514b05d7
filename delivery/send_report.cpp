// One HTTP exchange per report: the URL split and the GET and POST request sequences.
#include "delivery/send_report.h"

#include <cstdint>
#include <cstring>

#include "delivery/service_url.h"
#include "platform/platform.h"

namespace {

// Bounds each wait to connect, to send and for the answer's next bytes; a server that answers a
// byte at a time never meets it, and only the whole exchange's deadline (kExchangeDeadlineMs)
// ends that wait.
constexpr std::uint32_t kExchangeTimeoutMs = 15000;

// The GET header ends in a lone carriage return; the internet library ends the line on the wire.
constexpr char kGetHeaders[] = "User-Agent: Velk/1.3\r";
constexpr char kPostHeaders[] =
    "Accept: text/*\r\n"
    "User-Agent: Velk/1.2  Moxel\r\n"
    "Accept-Language: en-us\r\n"
    "Content-type: application/x-www-form-urlencoded\r\n";

// Appends `c` to the zero-terminated text in `buffer` of `capacity` bytes, whose length is
// `*length`. Returns false, leaving the buffer as it was, when the text is full.
bool Append(char* buffer, std::size_t capacity, std::size_t* length, char c) {
  if (*length + 1 >= capacity) return false;
  buffer[(*length)++] = c;
  buffer[*length] = '\0';
  return true;
}

// Owns one handle of the internet library; releases it when the owner goes out of scope, so that
// request, connection and session come down in that order on every way out of an exchange.
class CNetHandleOwner {
 public:
  CNetHandleOwner(CInternet& internet, NetHandle handle) : m_internet(internet), m_handle(handle) {}
  ~CNetHandleOwner() {
    if (m_handle != nullptr) m_internet.ReleaseHandle(m_handle);
  }
  CNetHandleOwner(const CNetHandleOwner&) = delete;
  CNetHandleOwner& operator=(const CNetHandleOwner&) = delete;

  NetHandle Get() const { return m_handle; }

 private:
  CInternet& m_internet;
  NetHandle m_handle;
};

}  // namespace

bool SplitReportUrl(const char* url, bool post, ReportUrlParts* parts) {
  std::size_t host_length = 0;
  std::size_t path_length = 0;
  std::size_t bare_length = 0;
  parts->Host[0] = parts->Path[0] = parts->PathWithoutQuery[0] = '\0';
  int questions = 0;
  int slashes = 0;
  // The worker owns its copy of the URL, so nothing changes it during the walk and its end is
  // simply the terminating zero.
  for (const char* p = url; *p != '\0'; ++p) {
    if (*p == '?') ++questions;
    if (*p == '/') {
      ++slashes;
    } else if (slashes == 2) {
      if (!Append(parts->Host, kHostBufferSize, &host_length, *p)) return false;
    }
    if (slashes > 2) {
      if (!Append(parts->Path, kPathBufferSize, &path_length, *p)) return false;
      if (questions == 0 && post &&
          !Append(parts->PathWithoutQuery, kPathBufferSize, &bare_length, *p)) {
        return false;
      }
    }
  }
  return true;
}

const char* QueryOfPath(const char* path) {
  const char* last = std::strrchr(path, '?');
  return last == nullptr ? path : last + 1;
}

void SendReport(const char* url, bool post) {
  CInternet& internet = *Platform().internet;
  ReportUrlParts parts;
  // A URL whose parts do not fit cannot be the service's; it is dropped like a failed exchange.
  if (!SplitReportUrl(url, post, &parts)) return;

  // Over TLS the system checks the server's certificate as it checks any other, and a certificate
  // it refuses fails the exchange before anything is sent.
  const std::uint16_t port = kServiceOverTls ? 443 : 80;
  const std::uint32_t flags = kRequestFlags | (kServiceOverTls ? kSecureRequestFlag : 0);
  CNetHandleOwner session(internet, internet.OpenSession());
  CNetHandleOwner connection(internet, internet.ConnectHttp(session.Get(), parts.Host, port));
  internet.SetTimeouts(connection.Get(), kExchangeTimeoutMs);
  CNetHandleOwner request(internet,
                          internet.OpenRequest(connection.Get(), post ? "POST" : "GET",
                                               post ? parts.PathWithoutQuery : parts.Path, flags));
  internet.SetTimeouts(request.Get(), kExchangeTimeoutMs);
  if (!post) {
    internet.SendRequest(request.Get(), kGetHeaders);
    return;
  }
  const char* query = QueryOfPath(parts.Path);
  const std::size_t query_length = std::strlen(query);
  // The result is not tested: without these headers the body still carries the whole report.
  internet.AddRequestHeaders(request.Get(), kPostHeaders, kAddHeaderIfNew);
  internet.SendRequestEx(request.Get(), static_cast<std::uint32_t>(query_length));
  internet.WriteRequestBody(request.Get(), query, query_length);
  internet.EndRequest(request.Get());
}
