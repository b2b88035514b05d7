// Shared pieces of the end-to-end Wine programs: where things are, planting the plug-in's registry
// settings, capture servers that go down and up, and raw request bytes in an exact notation.
#pragma once

#include "capture_server.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

// The Windows form of the Unix directory in environment variable `name` (set by CTest), followed
// by `suffix`; Wine maps the Unix root to drive Z:. Empty when the variable is not set.
inline std::string DirectoryFromEnvironment(const char* name, const char* suffix) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::string();
  std::string path = value;
  if (path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path + suffix;
}

// The plug-in DLL of this build tree, or `file` next to it.
inline std::string PluginPath(const char* file = "gen_Velk.dll") {
  return DirectoryFromEnvironment("VELK_BIN_DIR", "\\") + file;
}

constexpr char kSettingsKeyPath[] = "Software\\Winamp\\Velk";

// Replaces HKCU\Software\Winamp\Velk by a key holding exactly `values`, each a REG_SZ of its
// text plus terminator, as the plug-in's own Apply writes them. Returns false on a registry error.
inline bool PlantSettings(const std::vector<std::pair<std::string, std::string>>& values) {
  RegDeleteTreeA(HKEY_CURRENT_USER, kSettingsKeyPath);
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  bool ok = true;
  for (const auto& value : values) {
    ok = ok && RegSetValueExA(key, value.first.c_str(), 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(value.second.c_str()),
                              static_cast<DWORD>(value.second.size() + 1)) == ERROR_SUCCESS;
  }
  RegCloseKey(key);
  return ok;
}

// Reads the notation used for exact bytes in scenario files: "\r", "\n", "\t", "\\" and "\xHH"
// stand for those bytes; every other byte stands for itself. Returns false on a bad escape.
inline bool Unescape(const std::string& text, std::string* bytes) {
  bytes->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      *bytes += text[i];
      continue;
    }
    if (++i >= text.size()) return false;
    switch (text[i]) {
      case 'r':
        *bytes += '\r';
        break;
      case 'n':
        *bytes += '\n';
        break;
      case 't':
        *bytes += '\t';
        break;
      case '\\':
        *bytes += '\\';
        break;
      case 'x': {
        if (i + 2 >= text.size()) return false;
        const std::string hex = text.substr(i + 1, 2);
        char* end = nullptr;
        const long value = std::strtol(hex.c_str(), &end, 16);
        if (hex.size() != 2 || end != hex.c_str() + 2) return false;
        *bytes += static_cast<char>(value);
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

// The inverse of Unescape, one output line per line of the bytes (each ending after its "\n").
inline std::vector<std::string> EscapeLines(const std::string& bytes) {
  std::vector<std::string> lines(1);
  for (unsigned char c : bytes) {
    std::string& line = lines.back();
    if (c == '\r') {
      line += "\\r";
    } else if (c == '\n') {
      line += "\\n";
    } else if (c == '\t') {
      line += "\\t";
    } else if (c == '\\') {
      line += "\\\\";
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      line += hex;
    } else {
      line += static_cast<char>(c);
    }
    if (c == '\n') lines.emplace_back();
  }
  if (lines.back().empty()) lines.pop_back();
  return lines;
}

inline void PrintEscaped(const char* indent, const std::string& bytes) {
  for (const std::string& line : EscapeLines(bytes)) std::printf("%s%s\n", indent, line.c_str());
}

// The capture servers of one scenario: the one listening now and the requests of earlier ones.
// Shared by the scenario's thread and, for a silent server, the thread that stops it.
class CServers {
 public:
  explicit CServers(CCaptureServer::Mode mode) : mode_(mode) { InitializeCriticalSection(&lock_); }
  ~CServers() {
    Down();
    DeleteCriticalSection(&lock_);
  }

  bool Up() {
    EnterCriticalSection(&lock_);
    bool ok = current_ != nullptr;
    if (!ok) {
      current_ = std::make_unique<CCaptureServer>(mode_);
      ok = current_->Start();
    }
    LeaveCriticalSection(&lock_);
    return ok;
  }

  void Down() {
    EnterCriticalSection(&lock_);
    if (current_ != nullptr) {
      current_->Stop();
      for (const std::string& request : current_->Requests()) earlier_.push_back(request);
      current_.reset();
    }
    LeaveCriticalSection(&lock_);
  }

  std::vector<std::string> All() {
    EnterCriticalSection(&lock_);
    std::vector<std::string> all = earlier_;
    if (current_ != nullptr) {
      for (const std::string& request : current_->Requests()) all.push_back(request);
    }
    LeaveCriticalSection(&lock_);
    return all;
  }

  // Waits until `count` requests have arrived in all. A server that is down receives nothing.
  bool WaitFor(std::size_t count, DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (All().size() < count) {
      if (GetTickCount64() >= deadline) return false;
      Sleep(10);
    }
    return true;
  }

 private:
  const CCaptureServer::Mode mode_;
  CRITICAL_SECTION lock_;
  std::unique_ptr<CCaptureServer> current_;  // guarded by lock_
  std::vector<std::string> earlier_;         // guarded by lock_
};

// Stops a silent server once the expected requests have arrived (or after a while), so that the
// plug-in's workers, which wait for an answer, end and the module can unload.
struct CSilentStopper {
  CServers* servers;
  std::size_t expected;
  DWORD limit_ms;  // longest wait for the requests
  DWORD quiet_ms;  // how long the server still holds the connections once they are there
  HANDLE thread = nullptr;

  static DWORD WINAPI Main(LPVOID self) {
    auto* stopper = static_cast<CSilentStopper*>(self);
    stopper->servers->WaitFor(stopper->expected, stopper->limit_ms);
    Sleep(stopper->quiet_ms);
    stopper->servers->Down();
    return 0;
  }
  void Start() { thread = CreateThread(nullptr, 0, &Main, this, 0, nullptr); }
  void Join() {
    if (thread == nullptr) return;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
};

}  // namespace e2e
