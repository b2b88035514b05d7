// CScopedPlatform and the stand-ins for areas a test did not install.
#include "tests/support/scoped_platform.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Fails the running test: `call` reached `area`, which the test never installed with `setter`.
void Missing(const char* area, const char* call, const char* setter) {
  ADD_FAILURE() << "the code under test called " << call << " of the " << area
                << ", which this test did not install (CScopedPlatform::" << setter << ")";
}

class CMissingHost final : public CHostLink {
 public:
  std::intptr_t AskHost(std::uintptr_t, std::intptr_t) override {
    Missing("host link", "AskHost", "Host");
    return 0;
  }
};

class CMissingThreads final : public CThreads {
 public:
  bool StartWorker(WorkerProc, void*) override { return Fail("StartWorker"), false; }
  WaitOutcome RunWorkerFor(WorkerProc, void*, unsigned) override {
    return Fail("RunWorkerFor"), WaitOutcome::kNotStarted;
  }
  std::uintptr_t StartThreadTimer(unsigned, TimerProc) override {
    return Fail("StartThreadTimer"), 0;
  }
  void StopThreadTimer(std::uintptr_t) override { Fail("StopThreadTimer"); }
  void* AllocateZeroed(std::size_t) override { return Fail("AllocateZeroed"), nullptr; }
  void Release(void*) override { Fail("Release"); }

 private:
  static void Fail(const char* call) { Missing("threads", call, "Threads"); }
};

class CMissingSystem final : public CSystem {
 public:
  void SetRuntimeLocale(const char*) override { Fail("SetRuntimeLocale"); }
  bool StartSockets() override { return Fail("StartSockets"), false; }
  void ShowMessage(const char*) override { Fail("ShowMessage"); }
  std::string SystemErrorText(long) override { return Fail("SystemErrorText"), std::string(); }
  void ShellOpen(const char*, const char*, const char*, const char*, int) override {
    Fail("ShellOpen");
  }

 private:
  static void Fail(const char* call) { Missing("system", call, "System"); }
};

class CMissingRegistry final : public CRegistry {
 public:
  long CreateUserKey(const char*, RegAccess, RegKey*) override {
    return Fail("CreateUserKey"), kErrorAccessDenied;
  }
  long OpenUserKey(const char*, RegAccess, RegKey*) override {
    return Fail("OpenUserKey"), kErrorAccessDenied;
  }
  long QueryValueBytes(RegKey, const char*, unsigned char*, std::uint32_t*) override {
    return Fail("QueryValueBytes"), kErrorAccessDenied;
  }
  long SetTextValue(RegKey, const char*, const char*, std::uint32_t) override {
    return Fail("SetTextValue"), kErrorAccessDenied;
  }
  void CloseKey(RegKey) override { Fail("CloseKey"); }

 private:
  static void Fail(const char* call) { Missing("registry", call, "Registry"); }
};

// Throws like the real library's failures, so the code under test takes its failure path.
class CMissingInternet final : public CInternet {
 public:
  NetHandle OpenSession() override { Fail("OpenSession"); }
  NetHandle ConnectHttp(NetHandle, const char*, std::uint16_t) override { Fail("ConnectHttp"); }
  NetHandle OpenRequest(NetHandle, const char*, const char*, std::uint32_t) override {
    Fail("OpenRequest");
  }
  void SetTimeouts(NetHandle, std::uint32_t) override { Fail("SetTimeouts"); }
  void SendRequest(NetHandle, const char*) override { Fail("SendRequest"); }
  bool AddRequestHeaders(NetHandle, const char*, std::uint32_t) override {
    Missing("internet library", "AddRequestHeaders", "Internet");
    return false;
  }
  void SendRequestEx(NetHandle, std::uint32_t) override { Fail("SendRequestEx"); }
  void WriteRequestBody(NetHandle, const char*, std::size_t) override { Fail("WriteRequestBody"); }
  void EndRequest(NetHandle) override { Fail("EndRequest"); }
  void ReleaseHandle(NetHandle) override {
    Missing("internet library", "ReleaseHandle", "Internet");
  }

 private:
  [[noreturn]] static void Fail(const char* call) {
    Missing("internet library", call, "Internet");
    throw CInternetException(0);
  }
};

class CMissingDialogs final : public CDialogs {
 public:
  std::intptr_t RunModal(int, CDialogEvents*) override { return Fail("RunModal"), -1; }
  void EndModal(DialogWindow, std::intptr_t) override { Fail("EndModal"); }
  std::string GetItemText(DialogWindow, int) override { return Fail("GetItemText"), std::string(); }
  void SetItemText(DialogWindow, int, const char*) override { Fail("SetItemText"); }
  int GetItemCheck(DialogWindow, int) override { return Fail("GetItemCheck"), 0; }
  void SetItemCheck(DialogWindow, int, int) override { Fail("SetItemCheck"); }
  void EnableItem(DialogWindow, int, bool) override { Fail("EnableItem"); }
  bool TemplateAtOrigin(int) override { return Fail("TemplateAtOrigin"), false; }
  void CenterDialog(DialogWindow) override { Fail("CenterDialog"); }

 private:
  static void Fail(const char* call) { Missing("dialogs", call, "Dialogs"); }
};

CMissingHost g_missing_host;
CMissingThreads g_missing_threads;
CMissingSystem g_missing_system;
CMissingRegistry g_missing_registry;
CMissingInternet g_missing_internet;
CMissingDialogs g_missing_dialogs;

}  // namespace

CScopedPlatform::CScopedPlatform() : previous_(Platform()) {
  CPlatform missing;
  missing.host = &g_missing_host;
  missing.threads = &g_missing_threads;
  missing.system = &g_missing_system;
  missing.registry = &g_missing_registry;
  missing.internet = &g_missing_internet;
  missing.dialogs = &g_missing_dialogs;
  UsePlatform(missing);
}

CScopedPlatform::~CScopedPlatform() { UsePlatform(previous_); }

CScopedPlatform& CScopedPlatform::Host(CHostLink& host) { return Install(&CPlatform::host, host); }

CScopedPlatform& CScopedPlatform::Threads(CThreads& threads) {
  return Install(&CPlatform::threads, threads);
}

CScopedPlatform& CScopedPlatform::System(CSystem& system) {
  return Install(&CPlatform::system, system);
}

CScopedPlatform& CScopedPlatform::Registry(CRegistry& registry) {
  return Install(&CPlatform::registry, registry);
}

CScopedPlatform& CScopedPlatform::Internet(CInternet& internet) {
  return Install(&CPlatform::internet, internet);
}

CScopedPlatform& CScopedPlatform::Dialogs(CDialogs& dialogs) {
  return Install(&CPlatform::dialogs, dialogs);
}
