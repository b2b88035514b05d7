// The store's write queue: writes merged per account, committed in batches by the writer thread.
#include "storage/write_queue.h"

#include <chrono>

#include "base/metrics.h"

namespace {

// Registered at start, so that they show from the first scrape on.
CGauge& queuedWrites =
    Metrics()
        .Gauge("velk_store_write_queue", "Writes and account creations queued, not yet committed")
        .Get();
CHistogram& commitDurations = Metrics()
                                  .Histogram("velk_store_commit_duration_seconds",
                                             "Time to commit one batch of writes, failed ones too")
                                  .Get();

// Commit, timed; returns the error ("" when committed) and sets `itemFault` when the database
// refused a value of the batch.
std::string TryCommit(CCommitter& committer, const std::vector<CQueuedCreation>& creations,
                      const std::map<std::string, CAccountWrite>& writes,
                      std::vector<CQueuedReport>& reports, std::vector<ECreateResult>& results,
                      bool* itemFault) {
  std::string error;
  const auto started = std::chrono::steady_clock::now();
  try {
    committer.Commit(creations, writes, reports, results);
  } catch (const CStoreError& failure) {
    error = failure.what();
    *itemFault = failure.ItemFault();
    for (ECreateResult& result : results) {
      if (result == ECreateResult::kCreated) result = ECreateResult::kFailed;
    }
  }
  commitDurations.Observe(
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  return error;
}

}  // namespace

void MergeWrite(CAccountWrite& into, CAccountWrite later) {
  for (CTrackState& passed : later.passedStates) into.passedStates.push_back(std::move(passed));
  if (later.state) {
    // The state it replaces still ends a listen of the plug-in, if it was one.
    if (into.state) into.passedStates.push_back(std::move(*into.state));
    into.state = std::move(later.state);
    into.nowMs = later.nowMs;
  }
  if (later.keptAction != CAccountWrite::EKept::kLeave) {
    into.keptAction = later.keptAction;
    into.kept = std::move(later.kept);
  }
  if (later.settings) into.settings = std::move(later.settings);
  if (later.keyHash) {
    into.keyHash = std::move(later.keyHash);
    into.keepSession = std::move(later.keepSession);
  }
  if (later.playerToken) into.playerToken = std::move(later.playerToken);
  if (later.codePage) into.codePage = later.codePage;
  if (later.settings || later.codePage) into.nowMs = later.nowMs;
  into.remove = into.remove || later.remove;
  into.markWrongKey = into.markWrongKey || later.markWrongKey;
  if (later.clearHistory) {
    into.clearHistory = true;
    into.listens.clear();
  }
  if (later.keepHistory) into.keepHistory = later.keepHistory;
  for (CListen& listen : later.listens) into.listens.push_back(std::move(listen));
}

CWriteQueue::CWriteQueue(CCommitter& committer)
    : m_committer(committer), m_writerThread([this] { RunWriter(); }) {}

CWriteQueue::~CWriteQueue() {
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_stopping = true;
  }
  m_queueWake.notify_all();
  m_writerThread.join();
}

void CWriteQueue::CreateAccount(CAccountRecord record, std::function<void(ECreateResult)> done) {
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_creations.push_back({std::move(record), std::move(done)});
    ++m_enqueued;
  }
  queuedWrites.Add(1);
  m_queueWake.notify_one();
}

void CWriteQueue::Write(const std::string& name, CAccountWrite write, Done done) {
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    CPendingWrite& pending = m_writes[NameKey(name)];
    MergeWrite(pending.write, std::move(write));
    pending.done.push_back(std::move(done));
    ++m_enqueued;
  }
  queuedWrites.Add(1);
  m_queueWake.notify_one();
}

void CWriteQueue::Report(const std::string& name, CReportWrite report, ReportDone done) {
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_reports.push_back({NameKey(name), std::move(report), std::move(done), {}});
    ++m_enqueued;
  }
  m_queueWake.notify_one();
}

void CWriteQueue::Flush() {
  std::unique_lock<std::mutex> lock(m_queueMutex);
  const uint64_t target = m_enqueued;
  m_flushed.wait(lock, [&] { return m_committed >= target; });
}

void CWriteQueue::CheckReady(Done done) {
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_readyChecks.push_back(std::move(done));
  }
  m_queueWake.notify_one();
}

void CWriteQueue::RunWriter() {
  for (;;) {
    std::vector<CQueuedCreation> creations;
    std::map<std::string, CPendingWrite> writes;
    std::vector<CQueuedReport> reports;
    std::vector<Done> readyChecks;
    uint64_t upTo = 0;
    {
      std::unique_lock<std::mutex> lock(m_queueMutex);
      m_queueWake.wait(lock, [this] {
        return m_stopping || !m_creations.empty() || !m_writes.empty() || !m_reports.empty() ||
               !m_readyChecks.empty();
      });
      if (m_creations.empty() && m_writes.empty() && m_reports.empty() && m_readyChecks.empty())
        return;
      creations.swap(m_creations);
      writes.swap(m_writes);
      reports.swap(m_reports);
      readyChecks.swap(m_readyChecks);
      upTo = m_enqueued;
    }
    if (!creations.empty() || !writes.empty() || !reports.empty())
      CommitBatch(creations, writes, reports);
    {
      std::lock_guard<std::mutex> lock(m_queueMutex);
      queuedWrites.Add(static_cast<int64_t>(m_committed) - static_cast<int64_t>(upTo));
      m_committed = upTo;
    }
    m_flushed.notify_all();
    if (!readyChecks.empty()) AnswerReadyChecks(readyChecks);
  }
}

void CWriteQueue::AnswerReadyChecks(std::vector<Done>& checks) {
  std::string error;
  try {
    m_committer.CheckWritable();
  } catch (const std::exception& failure) {
    error = failure.what();
  }
  for (Done& done : checks) done(error.empty(), error);
}

void CWriteQueue::CommitBatch(std::vector<CQueuedCreation>& creations,
                              std::map<std::string, CPendingWrite>& writes,
                              std::vector<CQueuedReport>& reports) {
  std::vector<ECreateResult> results(creations.size(), ECreateResult::kFailed);
  std::map<std::string, CAccountWrite> plain;
  for (const auto& [nameKey, pending] : writes) plain.emplace(nameKey, pending.write);
  bool itemFault = false;
  const std::string error = TryCommit(m_committer, creations, plain, reports, results, &itemFault);
  if (itemFault && creations.size() + plain.size() + reports.size() > 1) {
    // One write held what the database refuses: each is committed on its own, so that only that
    // one fails.
    return CommitEach(creations, writes, reports);
  }
  for (size_t i = 0; i < creations.size(); ++i) creations[i].done(results[i]);
  for (auto& [nameKey, pending] : writes) {
    for (Done& done : pending.done) done(error.empty(), error);
  }
  for (CQueuedReport& report : reports) report.done(error.empty(), report.outcome, error);
}

void CWriteQueue::CommitEach(std::vector<CQueuedCreation>& creations,
                             std::map<std::string, CPendingWrite>& writes,
                             std::vector<CQueuedReport>& reports) {
  bool itemFault = false;
  std::vector<ECreateResult> noResults;
  std::vector<CQueuedReport> noReports;
  for (auto& [nameKey, pending] : writes) {
    const std::string error =
        TryCommit(m_committer, {}, {{nameKey, pending.write}}, noReports, noResults, &itemFault);
    for (Done& done : pending.done) done(error.empty(), error);
  }
  for (CQueuedReport& report : reports) {
    std::vector<CQueuedReport> one;
    one.push_back({report.nameKey, report.report, nullptr, {}});
    const std::string error = TryCommit(m_committer, {}, {}, one, noResults, &itemFault);
    report.done(error.empty(), one[0].outcome, error);
  }
  for (CQueuedCreation& creation : creations) {
    std::vector<CQueuedCreation> one;
    one.push_back({creation.record, nullptr});
    std::vector<ECreateResult> result(1, ECreateResult::kFailed);
    TryCommit(m_committer, one, {}, noReports, result, &itemFault);
    creation.done(result[0]);
  }
}
