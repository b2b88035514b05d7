// Starting a report worker with its own copy of the URL, and the worker's top level.
#include <cstring>
#include <new>

#include "delivery/send_report.h"
#include "platform/platform.h"

bool StartReportWorker(const char* url, ReportWorkerLinks links) {
  const std::size_t size = std::strlen(url) + 1;
  char* copy = new (std::nothrow) char[size];
  if (copy == nullptr) return false;
  std::memcpy(copy, url, size);
  ReportJob* job = new (std::nothrow) ReportJob{copy, links};
  if (job == nullptr) {
    delete[] copy;
    return false;
  }
  if (!Platform().threads->StartWorker(SendReportThread, job)) {
    DiscardReportJob(job);
    return false;
  }
  return true;
}

void DiscardReportJob(void* job) {
  ReportJob* owned = static_cast<ReportJob*>(job);
  if (owned == nullptr) return;
  delete[] owned->Url;
  delete owned;
}

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
