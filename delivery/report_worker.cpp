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
  ReportJob* job = new (block) ReportJob{copy, links, {1}};
  bool started = false;
  try {
    started = Platform().threads->StartWorker(SendReportThread, job);
  } catch (...) {
  }
  if (!started) DiscardReportJob(job);
  return started;
}

void DiscardReportJob(void* job) { delete[] static_cast<char*>(job); }

namespace {

// Lets go of one holder's share of `job`; the last share frees it.
void ReleaseJob(ReportJob* job) {
  if (job->Holders.fetch_sub(1) == 1) DiscardReportJob(job);
}

// The exchange's own thread: one exchange, then its share of the job goes.
unsigned ExchangeThread(void* job) {
  ReportJob* shared = static_cast<ReportJob*>(job);
  try {
    // One reading of the method for the whole exchange: a change made in the dialog meanwhile must
    // not pair a POST object with a GET sequence or the reverse.
    SendReport(shared->Url, shared->Links.Method->load() == 0);
  } catch (...) {
  }
  ReleaseJob(shared);
  return 0;
}

}  // namespace

unsigned SendReportThread(void* job) {
  ReportJob* owned = static_cast<ReportJob*>(job);
  std::atomic<int>* in_flight = owned->Links.InFlight;
  // The internet library bounds each wait for the next bytes, not the whole exchange, so a server
  // that deals out its answer a byte at a time could hold it, and with it the flag, for as long as
  // it likes. The exchange runs on a thread that this one waits for only so long.
  owned->Holders.store(2);
  CThreads::WaitOutcome outcome = CThreads::WaitOutcome::kNotStarted;
  // Nothing may escape a worker thread, and whatever happens the flag must come down, or the
  // cycle would never start another report.
  try {
    outcome = Platform().threads->RunWorkerFor(ExchangeThread, owned, kExchangeDeadlineMs);
  } catch (...) {
  }
  if (outcome == CThreads::WaitOutcome::kNotStarted) ReleaseJob(owned);
  ReleaseJob(owned);
  in_flight->store(0);
  return 0;
}
