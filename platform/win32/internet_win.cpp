// The internet area of the seam over WinINet: session, HTTP connection and request handles.
#include <windows.h>
#include <wininet.h>

#include <cstring>

#include "platform/win32/win32_platform.h"

namespace {

constexpr DWORD_PTR kContext = 1;

HINTERNET AsInternet(NetHandle handle) { return static_cast<HINTERNET>(handle); }

// Throws the calling thread's last error as a CInternetException when `ok` is false.
void ThrowUnless(bool ok) {
  if (!ok) throw CInternetException(GetLastError());
}

HINTERNET Checked(HINTERNET handle) {
  ThrowUnless(handle != nullptr);
  return handle;
}

void SetDwordOption(HINTERNET handle, DWORD option, DWORD value) {
  ThrowUnless(InternetSetOptionA(handle, option, &value, sizeof value) != FALSE);
}

// Every method may run on any thread; WinINet handles are used by one worker at a time.
class CWin32Internet final : public CInternet {
 public:
  NetHandle OpenSession() override {
    return Checked(InternetOpenA(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  }

  NetHandle ConnectHttp(NetHandle session, const char* host, std::uint16_t port) override {
    return Checked(InternetConnectA(AsInternet(session), host, port, nullptr, nullptr,
                                    INTERNET_SERVICE_HTTP, 0, kContext));
  }

  NetHandle OpenRequest(NetHandle connection, const char* verb, const char* object,
                        std::uint32_t flags) override {
    return Checked(HttpOpenRequestA(AsInternet(connection), verb, object, nullptr, nullptr, nullptr,
                                    flags, kContext));
  }

  // WinINet keeps the three bounds per connection and per request; on the session handle Wine
  // does not pass them on, so callers set them on both of the others.
  void SetTimeouts(NetHandle handle, std::uint32_t timeout_ms) override {
    SetDwordOption(AsInternet(handle), INTERNET_OPTION_CONNECT_TIMEOUT, timeout_ms);
    SetDwordOption(AsInternet(handle), INTERNET_OPTION_SEND_TIMEOUT, timeout_ms);
    SetDwordOption(AsInternet(handle), INTERNET_OPTION_RECEIVE_TIMEOUT, timeout_ms);
  }

  void SendRequest(NetHandle request, const char* headers) override {
    ThrowUnless(HttpSendRequestA(AsInternet(request), headers,
                                 static_cast<DWORD>(std::strlen(headers)), nullptr, 0) != FALSE);
  }

  bool AddRequestHeaders(NetHandle request, const char* headers, std::uint32_t flags) override {
    return HttpAddRequestHeadersA(AsInternet(request), headers, static_cast<DWORD>(-1), flags) !=
           FALSE;
  }

  void SendRequestEx(NetHandle request, std::uint32_t total_length) override {
    INTERNET_BUFFERSA buffers = {};
    buffers.dwStructSize = sizeof buffers;
    buffers.dwBufferTotal = total_length;
    ThrowUnless(HttpSendRequestExA(AsInternet(request), &buffers, nullptr, HSR_INITIATE,
                                   kContext) != FALSE);
  }

  void WriteRequestBody(NetHandle request, const char* data, std::size_t size) override {
    while (size > 0) {
      DWORD written = 0;
      ThrowUnless(InternetWriteFile(AsInternet(request), data, static_cast<DWORD>(size),
                                    &written) != FALSE);
      if (written == 0) throw CInternetException(ERROR_INTERNET_CONNECTION_ABORTED);
      data += written;
      size -= written;
    }
  }

  void EndRequest(NetHandle request) override {
    ThrowUnless(HttpEndRequestA(AsInternet(request), nullptr, 0, kContext) != FALSE);
  }

  void ReleaseHandle(NetHandle handle) override { InternetCloseHandle(AsInternet(handle)); }
};

}  // namespace

CInternet& Win32Internet() {
  static CWin32Internet internet;
  return internet;
}
