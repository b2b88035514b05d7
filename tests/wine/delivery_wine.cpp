// Report delivery on real WinINet under Wine: exact request bytes, silent and absent servers.
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <string>
#include <vector>

#include "capture_server.h"
#include "delivery/send_report.h"
#include "platform/platform.h"
#include "platform/win32/win32_platform.h"
#include "reporter/reporter_state.h"
#include "settings/settings.h"
#include "wine_check.h"

namespace {

// The bounds read back from a handle right after the exchange set them; kNotReadable where the
// library does not report the option for that kind of handle.
constexpr DWORD kNotReadable = 0xffffffffu;
struct Bounds {
  DWORD connect, send, receive;
};

// Forwards every call to WinINet and, after each SetTimeouts, reads the three bounds back.
class CTimeoutProbe final : public CInternet {
 public:
  CTimeoutProbe() { InitializeCriticalSection(&lock_); }
  ~CTimeoutProbe() { DeleteCriticalSection(&lock_); }

  // The bounds read after each SetTimeouts since the last call, in call order.
  std::vector<Bounds> Take() {
    EnterCriticalSection(&lock_);
    std::vector<Bounds> taken;
    taken.swap(seen_);
    LeaveCriticalSection(&lock_);
    return taken;
  }

  NetHandle OpenSession() override { return real_.OpenSession(); }
  NetHandle ConnectHttp(NetHandle session, const char* host, std::uint16_t port) override {
    return real_.ConnectHttp(session, host, port);
  }
  NetHandle OpenRequest(NetHandle connection, const char* verb, const char* object,
                        std::uint32_t flags) override {
    return real_.OpenRequest(connection, verb, object, flags);
  }
  void SetTimeouts(NetHandle handle, std::uint32_t timeout_ms) override {
    real_.SetTimeouts(handle, timeout_ms);
    const Bounds bounds = {Query(handle, INTERNET_OPTION_CONNECT_TIMEOUT),
                           Query(handle, INTERNET_OPTION_SEND_TIMEOUT),
                           Query(handle, INTERNET_OPTION_RECEIVE_TIMEOUT)};
    EnterCriticalSection(&lock_);
    seen_.push_back(bounds);
    LeaveCriticalSection(&lock_);
  }
  void SendRequest(NetHandle request, const char* headers) override {
    real_.SendRequest(request, headers);
  }
  bool AddRequestHeaders(NetHandle request, const char* headers, std::uint32_t flags) override {
    return real_.AddRequestHeaders(request, headers, flags);
  }
  void SendRequestEx(NetHandle request, std::uint32_t total_length) override {
    real_.SendRequestEx(request, total_length);
  }
  void WriteRequestBody(NetHandle request, const char* data, std::size_t size) override {
    real_.WriteRequestBody(request, data, size);
  }
  void EndRequest(NetHandle request) override { real_.EndRequest(request); }
  void ReleaseHandle(NetHandle handle) override { real_.ReleaseHandle(handle); }

 private:
  static DWORD Query(NetHandle handle, DWORD option) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (InternetQueryOptionA(static_cast<HINTERNET>(handle), option, &value, &size)) return value;
    return GetLastError() == ERROR_INTERNET_INCORRECT_HANDLE_TYPE ? kNotReadable : 0;
  }

  CInternet& real_ = Win32Internet();
  CRITICAL_SECTION lock_;
  std::vector<Bounds> seen_;  // guarded by lock_
};

constexpr char kUrl[] =
    "http://localhost/signature/generate/"
    "?user=alice&key=k3y&artist=Salt%20%26%20Sand&title=Wave&album=&year=&genre=";
constexpr char kExpectedGet[] =
    "GET /signature/generate/"
    "?user=alice&key=k3y&artist=Salt%20%26%20Sand&title=Wave&album=&year=&genre= HTTP/1.1\r\n"
    "Host: localhost\r\n"
    "User-Agent: Velk/1.3\r\n"
    "\r\n";
constexpr char kExpectedPost[] =
    "POST /signature/generate/ HTTP/1.1\r\n"
    "Accept: text/*\r\n"
    "User-Agent: Velk/1.2  Moxel\r\n"
    "Accept-Language: en-us\r\n"
    "Content-type: application/x-www-form-urlencoded\r\n"
    "Host: localhost\r\n"
    "Content-Length: 74\r\n"
    "Cache-Control: no-cache\r\n"
    "\r\n"
    "user=alice&key=k3y&artist=Salt%20%26%20Sand&title=Wave&album=&year=&genre=";
// Three bounds of 15 s each, plus a margin for a slow machine.
constexpr DWORD kWorkerBudgetMs = 50000;

const char* MethodName(int method) { return method != 0 ? "GET" : "POST"; }

// Starts one report worker for `url` with the flag set, as the report cycle does, and waits up to
// kWorkerBudgetMs for the flag to come down. Returns the seconds that took, or -1 on timeout.
double RunWorker(const char* url) {
  ReporterState.RequestInFlight.store(1);
  const ULONGLONG start = GetTickCount64();
  if (!CHECK(StartReportWorker(url, {&ReporterState.RequestInFlight, &Settings.Method}))) return -1;
  while (ReporterState.RequestInFlight.load() != 0) {
    if (GetTickCount64() - start > kWorkerBudgetMs) return -1;
    Sleep(10);
  }
  return static_cast<double>(GetTickCount64() - start) / 1000.0;
}

// Prints `bytes` with line ends made visible, one request line or header per line.
void Show(const std::string& title, const std::string& bytes) {
  std::string shown;
  for (char c : bytes) {
    if (c == '\r') {
      shown += "\\r";
    } else if (c == '\n') {
      shown += "\\n\n";
    } else {
      shown += c;
    }
  }
  std::printf("--- %s (%u bytes)\n%s\n---\n", title.c_str(), static_cast<unsigned>(bytes.size()),
              shown.c_str());
  std::fflush(stdout);
}

// The bounds of one exchange: connection handle first, then request handle. Under Wine a request
// handle reports only its connect bound; its send and receive bounds show in the silent case.
void CheckBounds(const std::vector<Bounds>& seen) {
  if (!CHECK_EQ_INT(seen.size(), 2u)) return;
  CHECK_EQ_INT(seen[0].connect, 15000u);
  CHECK_EQ_INT(seen[0].send, 15000u);
  CHECK_EQ_INT(seen[0].receive, 15000u);
  CHECK_EQ_INT(seen[1].connect, 15000u);
  CHECK(seen[1].send == 15000u || seen[1].send == kNotReadable);
  CHECK(seen[1].receive == 15000u || seen[1].receive == kNotReadable);
}

void ExchangeIsExact(CTimeoutProbe& probe, int method, const char* expected) {
  std::printf("== %s against an answering server\n", MethodName(method));
  CCaptureServer server(CCaptureServer::Mode::kAnswerOk);
  if (!CHECK(server.Start())) return;
  Settings.Method.store(method);
  CHECK(RunWorker(kUrl) >= 0);
  CHECK(server.WaitForRequests(1, 5000));
  const std::vector<std::string> requests = server.Requests();
  if (!CHECK_EQ_INT(requests.size(), 1u)) return;
  Show(std::string(MethodName(method)) + " as received", requests[0]);
  CHECK_EQ_STR(requests[0], expected);
  CheckBounds(probe.Take());
}

void SilentServerReleasesTheWorker(CTimeoutProbe& probe, int method) {
  CCaptureServer server(CCaptureServer::Mode::kSilent);
  if (!CHECK(server.Start())) return;
  Settings.Method.store(method);
  const double seconds = RunWorker(kUrl);
  std::printf("== %s against a silent server: the worker ended after %.1f s\n", MethodName(method),
              seconds);
  std::fflush(stdout);
  CHECK(seconds >= 0);
  // The whole request reached the server: the worker waited for an answer, not for nothing.
  CHECK(server.WaitForRequests(1, 0));
  CHECK_EQ_INT(ReporterState.RequestInFlight.load(), 0);
  CheckBounds(probe.Take());
}

void AbsentServerReleasesTheWorker(CTimeoutProbe& probe, int method) {
  CCaptureServer server(CCaptureServer::Mode::kAbsent);
  if (!CHECK(server.Start())) return;
  Settings.Method.store(method);
  const double seconds = RunWorker(kUrl);
  std::printf("== %s with no server: the worker ended after %.1f s\n", MethodName(method), seconds);
  std::fflush(stdout);
  CHECK(seconds >= 0);
  CHECK_EQ_INT(ReporterState.RequestInFlight.load(), 0);
  probe.Take();
}

}  // namespace

int main() {
  CTimeoutProbe probe;
  CPlatform platform;
  platform.threads = &Win32Threads();
  platform.internet = &probe;
  UsePlatform(platform);

  ExchangeIsExact(probe, 1, kExpectedGet);
  ExchangeIsExact(probe, 0, kExpectedPost);
  SilentServerReleasesTheWorker(probe, 1);
  SilentServerReleasesTheWorker(probe, 0);
  AbsentServerReleasesTheWorker(probe, 1);
  AbsentServerReleasesTheWorker(probe, 0);
  return winecheck::Finish();
}
