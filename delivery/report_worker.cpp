// Starting a report worker with its own copy of the URL, and the worker's top level.
#include <cstring>
#include <new>
#include <type_traits>

#include "delivery/send_report.h"
#include "platform/platform.h"

// The record and the URL share one allocation, so that making a job has one way to fail and freeing
// it one call; nothing in it needs destroying.
static_assert(std::is_trivially_destructible<ReportJob>::value, "a job is freed as plain bytes");

bool StartReportWorker(const char* url, ReportWorkerLinks links) {
  const std::size_t size = std::strlen(url) + 1;
  char* block = new (std::nothrow) char[sizeof(ReportJob) + size];
  if (block == nullptr) return false;
  char* copy = block + sizeof(ReportJob);
  std::memcpy(copy, url, size);
  ReportJob* job = new (block) ReportJob{copy, links};
  bool started = false;
  try {
    started = Platform().threads->StartWorker(SendReportThread, job);
  } catch (...) {
  }
  if (!started) DiscardReportJob(job);
  return started;
}

void DiscardReportJob(void* job) { delete[] static_cast<char*>(job); }

unsigned SendReportThread(void* job) {
  ReportJob* owned = static_cast<ReportJob*>(job);
  std::atomic<int>* in_flight = owned->Links.InFlight;
  // Nothing may escape a worker thread, and whatever happens the flag must come down, or the
  // cycle would never start another report.
  try {
    // One reading of the method for the whole exchange: a change made in the dialog meanwhile must
    // not pair a POST object with a GET sequence or the reverse.
    SendReport(owned->Url, owned->Links.Method->load() == 0);
  } catch (...) {
  }
  DiscardReportJob(owned);
  in_flight->store(0);
  return 0;
}
