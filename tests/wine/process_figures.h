// Figures of the test process for the soak and unload programs: its handle count and private
// bytes, a counting loopback server that keeps nothing per request, and loop counts from the
// environment.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace figures {

struct CProcessFigures {
  unsigned long handles = 0;
  unsigned long long private_bytes = 0;
};

// Same layout as PROCESS_MEMORY_COUNTERS_EX; declared here so that no import library is needed.
struct CMemoryCounters {
  DWORD cb;
  DWORD PageFaultCount;
  SIZE_T PeakWorkingSetSize;
  SIZE_T WorkingSetSize;
  SIZE_T QuotaPeakPagedPoolUsage;
  SIZE_T QuotaPagedPoolUsage;
  SIZE_T QuotaPeakNonPagedPoolUsage;
  SIZE_T QuotaNonPagedPoolUsage;
  SIZE_T PagefileUsage;
  SIZE_T PeakPagefileUsage;
  SIZE_T PrivateUsage;
};

// Handles open in this process, counted by asking the system about every possible handle value
// (Wine's GetProcessHandleCount answers 0).
inline unsigned long ProbeHandles() {
  unsigned long count = 0;
  DWORD flags = 0;
  for (std::uintptr_t value = 4; value < 0x20000; value += 4) {
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  }
  return count;
}

// Committed private memory of this process, summed over its address space (Wine reports no
// PrivateUsage).
inline unsigned long long WalkPrivateBytes() {
  unsigned long long total = 0;
  MEMORY_BASIC_INFORMATION region;
  const char* address = nullptr;
  while (VirtualQuery(address, &region, sizeof region) == sizeof region) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
    const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
    if (next <= address) break;
    address = next;
  }
  return total;
}

inline CProcessFigures Sample() {
  CProcessFigures figures;
  DWORD handles = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &handles) && handles != 0) {
    figures.handles = handles;
  } else {
    figures.handles = ProbeHandles();
  }
  using GetMemoryInfo = BOOL(WINAPI*)(HANDLE, CMemoryCounters*, DWORD);
  static const auto get_memory_info = reinterpret_cast<GetMemoryInfo>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "K32GetProcessMemoryInfo")));
  CMemoryCounters counters = {};
  counters.cb = sizeof counters;
  if (get_memory_info != nullptr && get_memory_info(GetCurrentProcess(), &counters, counters.cb)) {
    figures.private_bytes = counters.PrivateUsage;
  }
  if (figures.private_bytes == 0) figures.private_bytes = WalkPrivateBytes();
  return figures;
}

inline void Print(const char* when, const CProcessFigures& figures) {
  std::printf("%s: %lu handles, %llu private bytes\n", when, figures.handles,
              figures.private_bytes);
  std::fflush(stdout);
}

// True when `after` is within `percent` of `before` (and both were measured).
inline bool Flat(unsigned long long before, unsigned long long after, double percent) {
  if (before == 0) return false;
  const double change = (static_cast<double>(after) - static_cast<double>(before)) /
                        static_cast<double>(before) * 100.0;
  return change <= percent && change >= -percent;
}

// True when the handle count stayed flat: within 1%, or, since 1% of the few dozen handles of a
// test process is less than one, within two handles (the system makes some objects lazily, such as
// a thread pool's, on a timer of its own). A leak per report or per round shows as hundreds.
inline bool FlatHandles(unsigned long before, unsigned long after) {
  return before != 0 && (Flat(before, after, 1.0) || (after <= before + 2 && after + 2 >= before));
}

// The positive integer in environment variable `name`, or `fallback`.
inline int CountFromEnvironment(const char* name, int fallback) {
  const char* text = std::getenv(name);
  const int value = text != nullptr ? std::atoi(text) : 0;
  return value > 0 ? value : fallback;
}

// A loopback server on 127.0.0.1:80 that answers every request with an empty 200 and counts the
// report requests it read, keeping nothing per request, so that it does not move the process's
// figures. One thread serves the connections one at a time. Start and Stop on one thread.
class CCountingServer {
 public:
  ~CCountingServer() { Stop(); }

  bool Start() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener_ == INVALID_SOCKET) return false;
    BOOL reuse = TRUE;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
               sizeof reuse);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(80);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, SOMAXCONN) != 0) {
      return false;
    }
    thread_ = CreateThread(nullptr, 0, &CCountingServer::Main, this, 0, nullptr);
    return thread_ != nullptr;
  }

  void Stop() {
    if (listener_ != INVALID_SOCKET) {
      closesocket(listener_);
      listener_ = INVALID_SOCKET;
    }
    if (thread_ != nullptr) {
      WaitForSingleObject(thread_, INFINITE);
      CloseHandle(thread_);
      thread_ = nullptr;
      WSACleanup();
    }
  }

  // Requests whose head began with `prefix`, and all others.
  void SetExpectedPrefix(const char* prefix) { prefix_ = prefix; }
  long Reports() const { return reports_.load(); }
  long Others() const { return others_.load(); }

  // Waits until `count` report requests have arrived; false after `timeout_ms`.
  bool WaitForReports(long count, DWORD timeout_ms) const {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (Reports() < count) {
      if (GetTickCount64() >= deadline) return false;
      Sleep(5);
    }
    return true;
  }

 private:
  static DWORD WINAPI Main(LPVOID self) {
    static_cast<CCountingServer*>(self)->Loop();
    return 0;
  }

  void Loop() {
    for (;;) {
      SOCKET connection = accept(listener_, nullptr, nullptr);
      if (connection == INVALID_SOCKET) return;  // the listener was closed
      Serve(connection);
      closesocket(connection);
    }
  }

  // Reads one request head into a fixed buffer, counts it and answers.
  void Serve(SOCKET connection) {
    char head[4096];
    int length = 0;
    while (length < static_cast<int>(sizeof head) - 1) {
      const int got =
          recv(connection, head + length, static_cast<int>(sizeof head) - 1 - length, 0);
      if (got <= 0) break;
      length += got;
      head[length] = '\0';
      if (std::strstr(head, "\r\n\r\n") != nullptr) break;
    }
    head[length] = '\0';
    if (prefix_ != nullptr && std::strncmp(head, prefix_, std::strlen(prefix_)) == 0) {
      ++reports_;
    } else {
      ++others_;
    }
    static const char kAnswer[] =
        "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    send(connection, kAnswer, static_cast<int>(sizeof kAnswer - 1), 0);
  }

  SOCKET listener_ = INVALID_SOCKET;
  HANDLE thread_ = nullptr;
  const char* prefix_ = nullptr;
  std::atomic<long> reports_{0};
  std::atomic<long> others_{0};
};

}  // namespace figures
