// Starting a report worker with its own copy of the URL, and the worker's top level.
#include <cstring>
#include <new>

#include "delivery/send_report.h"
#include "platform/platform.h"
#include "reporter/reporter_state.h"

bool StartReportWorker(const char* url) {
  const std::size_t size = std::strlen(url) + 1;
  char* copy = new (std::nothrow) char[size];
  if (copy == nullptr) return false;
  std::memcpy(copy, url, size);
  bool started = false;
  try {
    started = Platform().threads->StartWorker(SendReportThread, copy);
  } catch (...) {
  }
  if (!started) delete[] copy;
  return started;
}

unsigned SendReportThread(void* url) {
  char* owned = static_cast<char*>(url);
  // Nothing may escape a worker thread, and whatever happens the flag must come down, or the
  // cycle would never start another report.
  try {
    SendReport(owned);
  } catch (...) {
  }
  delete[] owned;
  ReporterState.RequestInFlight.store(0);
  return 0;
}
