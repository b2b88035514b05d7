// In-memory stand-in for the internet library: records every call, tracks open handles, fails on
// cue.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/fake/fault_plan.h"
#include "platform/platform.h"

// Every operation is recorded as one line of text, e.g. `OpenRequest(c2, POST,
// /signature/generate/, 0xa4000000)`, with handles written as s<n>, c<n> and r<n> (session,
// connection, request; n counts all handles made since the last Reset). Texts appear as given,
// control characters escaped as \r and \n.
//
// Thread-safe: report workers call it from their own threads while a test inspects it. Every call
// but ReleaseHandle counts against faults.call; the failing call throws CInternetException with the
// plan's code (AddRequestHeaders returns false instead) and is still recorded, with " -> fail"
// appended.
class CFakeInternet final : public CInternet {
 public:
  // Runs before each operation is recorded, outside the fake's lock, with the operation's name
  // ("OpenSession", "SendRequest", ...). A test may block in it, or throw from it to simulate a
  // failure of any kind; a throw skips the operation entirely.
  using CallHook = std::function<void(const std::string& operation)>;

  CFakeInternet() = default;

  // Forgets the calls, the handles and the fault plan (its count too).
  void Reset();
  void SetCallHook(CallHook hook);

  std::vector<std::string> Calls() const;
  // Handles made and not yet released.
  std::size_t OpenHandles() const;
  // ReleaseHandle calls for a handle that was not open (null, unknown, or released already).
  int BadReleases() const;

  NetHandle OpenSession() override;
  NetHandle ConnectHttp(NetHandle session, const char* host, std::uint16_t port) override;
  NetHandle OpenRequest(NetHandle connection, const char* verb, const char* object,
                        std::uint32_t flags) override;
  void SetTimeouts(NetHandle handle, std::uint32_t timeout_ms) override;
  void SendRequest(NetHandle request, const char* headers) override;
  bool AddRequestHeaders(NetHandle request, const char* headers, std::uint32_t flags) override;
  void SendRequestEx(NetHandle request, std::uint32_t total_length) override;
  void WriteRequestBody(NetHandle request, const char* data, std::size_t size) override;
  void EndRequest(NetHandle request) override;
  void ReleaseHandle(NetHandle handle) override;

  // Every call but ReleaseHandle counts against `call`; a failing one reports "cannot connect"
  // unless the plan names another code. A sweep over k = 1..faults.call.Calls() of a clean run
  // visits every injection point.
  struct {
    CFaultPlan call{12029};
  } faults;
  CFaultSites FaultSites();

 private:
  // Runs the hook of the test, if any, without holding the lock.
  void RunHook(const std::string& operation);
  // Consults the fault plan and records `call`. Returns the error code to report, 0 for success;
  // caller holds the lock.
  long RecordLocked(std::string call);
  // Makes a new open handle whose name starts with `kind`; caller holds the lock.
  NetHandle MakeHandleLocked(char kind);
  // The recorded name of `handle` ("s1", "c2", "?" when unknown); caller holds the lock.
  // A handle released already is shown as "s1(released)".
  std::string NameLocked(NetHandle handle) const;
  // Throws CInternetException(code) when `code` is not 0.
  static void ThrowIf(long code);

  mutable std::mutex mutex_;
  CallHook hook_;
  std::vector<std::string> calls_;
  std::vector<std::string> names_;  // names_[i] belongs to handle value i + 1
  std::set<NetHandle> open_;
  int bad_releases_ = 0;
};
