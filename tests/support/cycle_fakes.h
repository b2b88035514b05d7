// Installing the fakes one report cycle runs against, for the tests and the benchmark.
#pragma once

#include "platform/fake/fake_internet.h"
#include "platform/fake/fake_threads.h"
#include "platform/platform.h"
#include "tests/support/scoped_platform.h"

// Gives Settings, ReporterState and the descriptor's host-written fields the values a fresh
// mapping of the DLL starts with. ReportUrl is forgotten, not freed.
void ResetModuleRecords();

// For its lifetime: `host`, `threads` and `internet` are the platform (any other area fails the
// test); Settings holds an enabled account (`user`, `key`, GET) and ReporterState its load-time
// values with a fresh ReportUrl allocated from `threads` (and freed with it). Going out of scope
// forgets ReportUrl and restores the platform in use before.
class CCycleFakes {
 public:
  CCycleFakes(CHostLink& host, CFakeThreads& threads, CFakeInternet& internet,
              const char* user = "alice", const char* key = "k3y");
  ~CCycleFakes();
  CCycleFakes(const CCycleFakes&) = delete;
  CCycleFakes& operator=(const CCycleFakes&) = delete;

 private:
  CScopedPlatform platform_;
};
