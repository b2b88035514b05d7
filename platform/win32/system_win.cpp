// Win32System: runtime locale, Windows sockets, message boxes, system error texts and the shell.
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

#include <clocale>

#include "platform/win32/win32_platform.h"

namespace {

// The framework would caption its message boxes with the application's name.
constexpr char kMessageCaption[] = "Velk";

class CWin32System final : public CSystem {
 public:
  void SetRuntimeLocale(const char* locale) override { std::setlocale(LC_ALL, locale); }

  // Version 2.2; the sockets stay initialised for the life of the process.
  bool StartSockets() override {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }

  // Owned by the calling thread's active window (the open dialog, say), so it is modal to it.
  void ShowMessage(const char* text) override {
    MessageBoxA(GetActiveWindow(), text, kMessageCaption, MB_OK);
  }

  std::string SystemErrorText(long code) override {
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, static_cast<DWORD>(code), LANG_USER_DEFAULT, reinterpret_cast<char*>(&buffer), 0,
        nullptr);
    std::string text;
    if (length != 0 && buffer != nullptr) text.assign(buffer, length);
    if (buffer != nullptr) LocalFree(buffer);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
    return text;
  }

  void ShellOpen(const char* verb, const char* file, const char* parameters, const char* directory,
                 int show_command) override {
    ShellExecuteA(nullptr, verb, file, parameters, directory, show_command);
  }
};

}  // namespace

CSystem& Win32System() {
  static CWin32System system;
  return system;
}
