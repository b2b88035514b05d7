// CScopedPlatform: the platform of one test, installed for a scope; an area left out fails the
// test.
#pragma once

#include "platform/platform.h"

// Installs, for its lifetime, the areas a test hands it. Every area it was not handed is a
// stand-in whose every call fails the running test with a message that names the area and the
// call, then answers as a failing system call does (0, null, false, -1 or empty text) instead of
// crashing on a null pointer. Going out of scope restores the platform that was in use before.
// Window thread of the test; workers may call the stand-ins, which report from any thread.
class CScopedPlatform {
 public:
  CScopedPlatform();
  ~CScopedPlatform();
  CScopedPlatform(const CScopedPlatform&) = delete;
  CScopedPlatform& operator=(const CScopedPlatform&) = delete;

  // Each installs its area at once, replacing what was there; the object must outlive the scope.
  CScopedPlatform& Host(CHostLink& host);
  CScopedPlatform& Threads(CThreads& threads);
  CScopedPlatform& System(CSystem& system);
  CScopedPlatform& Registry(CRegistry& registry);
  CScopedPlatform& Internet(CInternet& internet);
  CScopedPlatform& Dialogs(CDialogs& dialogs);

 private:
  template <class Area>
  CScopedPlatform& Install(Area* CPlatform::*slot, Area& area) {
    Platform().*slot = &area;
    return *this;
  }

  CPlatform previous_;
};
