// The storage interface's shared part: the write queue, its writer thread and the batches it
// commits, and the choice of implementation by the database's name.
#include "storage/store.h"

#include <sodium.h>

#include <array>
#include <chrono>

#include "base/metrics.h"

#include "storage/postgres_store.h"
#include "storage/sqlite_store.h"

namespace {

// Registered at start, so that they show from the first scrape on.
CGauge& queuedWrites =
    Metrics()
        .Gauge("velk_store_write_queue", "Writes and account creations queued, not yet committed")
        .Get();
CCounter& storeErrors =
    Metrics().Counter("velk_store_errors_total", "Database operations that failed").Get();
CHistogram& commitDurations = Metrics()
                                  .Histogram("velk_store_commit_duration_seconds",
                                             "Time to commit one batch of writes, failed ones too")
                                  .Get();

}  // namespace

CStoreError::CStoreError(const std::string& what, bool itemFault)
    : std::runtime_error(what), m_itemFault(itemFault) {
  storeErrors.Add();
}

std::string NameKey(std::string_view name) {
  std::string key(name);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

std::string NewSecret() {
  std::array<unsigned char, 32> bytes;
  randombytes_buf(bytes.data(), bytes.size());
  std::string hex(bytes.size() * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), bytes.data(), bytes.size());
  hex.pop_back();
  return hex;
}

bool IsPostgresUri(std::string_view db) {
  auto startsWith = [&](std::string_view prefix) { return db.substr(0, prefix.size()) == prefix; };
  // A key=value connection string names at least one of these.
  return startsWith("postgresql://") || startsWith("postgres://") ||
         db.find("dbname=") != std::string_view::npos ||
         db.find("host=") != std::string_view::npos ||
         db.find("service=") != std::string_view::npos;
}

std::unique_ptr<CStore> OpenStore(const std::string& db) {
  if (IsPostgresUri(db)) return std::make_unique<CPostgresStore>(db);
  return std::make_unique<CSqliteStore>(db);
}

CStore::~CStore() = default;

std::vector<int64_t> CStore::AddFailedAttempt(const std::string&, int64_t, int64_t) { return {}; }
std::vector<CListen> CStore::RecentListens(const std::string&, size_t) { return {}; }
std::vector<CChartRow> CStore::Chart(const std::string&, EChart, int64_t, size_t) { return {}; }

std::vector<int64_t> CStore::FailedAttempts(const std::string&, int64_t) { return {}; }

bool CStore::UseOnce(const std::string& id, int64_t nowMs, int64_t expiresMs) {
  std::lock_guard<std::mutex> lock(m_usedMutex);
  for (auto it = m_used.begin(); it != m_used.end();) {
    it = it->second < nowMs ? m_used.erase(it) : std::next(it);
  }
  return m_used.emplace(id, expiresMs).second;
}

void CStore::StartWriter() {
  m_writerThread = std::thread([this] { RunWriter(); });
}

void CStore::StopWriter() {
  if (!m_writerThread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_stopping = true;
  }
  m_queueWake.notify_all();
  m_writerThread.join();
}

void CStore::CreateAccount(CAccountRecord record, std::function<void(ECreateResult)> done) {
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_creations.push_back({std::move(record), std::move(done)});
    ++m_enqueued;
  }
  queuedWrites.Add(1);
  m_queueWake.notify_one();
}

void CStore::Write(const std::string& name, CAccountWrite write, Done done) {
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    CPendingWrite& pending = m_writes[NameKey(name)];
    for (CTrackState& passed : write.passedStates)
      pending.write.passedStates.push_back(std::move(passed));
    if (write.state) {
      // The state it replaces still ends a listen of the plug-in, if it was one.
      if (pending.write.state)
        pending.write.passedStates.push_back(std::move(*pending.write.state));
      pending.write.state = std::move(write.state);
      pending.write.nowMs = write.nowMs;
    }
    if (write.keptAction != CAccountWrite::EKept::kLeave) {
      pending.write.keptAction = write.keptAction;
      pending.write.kept = std::move(write.kept);
    }
    if (write.settings) pending.write.settings = std::move(write.settings);
    if (write.keyHash) {
      pending.write.keyHash = std::move(write.keyHash);
      pending.write.keepSession = std::move(write.keepSession);
    }
    if (write.playerToken) pending.write.playerToken = std::move(write.playerToken);
    if (write.codePage) pending.write.codePage = write.codePage;
    if (write.settings || write.codePage) pending.write.nowMs = write.nowMs;
    pending.write.remove = pending.write.remove || write.remove;
    pending.write.markWrongKey = pending.write.markWrongKey || write.markWrongKey;
    if (write.clearHistory) {
      pending.write.clearHistory = true;
      pending.write.listens.clear();
    }
    if (write.keepHistory) pending.write.keepHistory = write.keepHistory;
    for (CListen& listen : write.listens) pending.write.listens.push_back(std::move(listen));
    pending.done.push_back(std::move(done));
    ++m_enqueued;
  }
  queuedWrites.Add(1);
  m_queueWake.notify_one();
}

void CStore::Report(const std::string& name, CReportWrite report, ReportDone done) {
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_reports.push_back({NameKey(name), std::move(report), std::move(done), {}});
    ++m_enqueued;
  }
  m_queueWake.notify_one();
}

void CStore::Flush() {
  std::unique_lock<std::mutex> lock(m_queueMutex);
  const uint64_t target = m_enqueued;
  m_flushed.wait(lock, [&] { return m_committed >= target; });
}

void CStore::CheckReady(Done done) {
  {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_readyChecks.push_back(std::move(done));
  }
  m_queueWake.notify_one();
}

void CStore::RunWriter() {
  for (;;) {
    std::vector<CCreation> creations;
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

void CStore::AnswerReadyChecks(std::vector<Done>& checks) {
  std::string error;
  try {
    CheckWritable();
  } catch (const std::exception& failure) {
    error = failure.what();
  }
  for (Done& done : checks) done(error.empty(), error);
}

void CStore::CommitBatch(std::vector<CCreation>& creations,
                         std::map<std::string, CPendingWrite>& writes,
                         std::vector<CQueuedReport>& reports) {
  std::vector<ECreateResult> results(creations.size(), ECreateResult::kFailed);
  std::map<std::string, CAccountWrite> plain;
  for (const auto& [nameKey, pending] : writes) plain.emplace(nameKey, pending.write);
  bool itemFault = false;
  const std::string error = TryCommit(creations, plain, reports, results, &itemFault);
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

std::string CStore::TryCommit(const std::vector<CCreation>& creations,
                              const std::map<std::string, CAccountWrite>& writes,
                              std::vector<CQueuedReport>& reports,
                              std::vector<ECreateResult>& results, bool* itemFault) {
  std::string error;
  const auto started = std::chrono::steady_clock::now();
  try {
    Commit(creations, writes, reports, results);
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

void CStore::CommitEach(std::vector<CCreation>& creations,
                        std::map<std::string, CPendingWrite>& writes,
                        std::vector<CQueuedReport>& reports) {
  bool itemFault = false;
  std::vector<ECreateResult> noResults;
  std::vector<CQueuedReport> noReports;
  for (auto& [nameKey, pending] : writes) {
    const std::string error =
        TryCommit({}, {{nameKey, pending.write}}, noReports, noResults, &itemFault);
    for (Done& done : pending.done) done(error.empty(), error);
  }
  for (CQueuedReport& report : reports) {
    std::vector<CQueuedReport> one;
    one.push_back({report.nameKey, report.report, nullptr, {}});
    const std::string error = TryCommit({}, {}, one, noResults, &itemFault);
    report.done(error.empty(), one[0].outcome, error);
  }
  for (CCreation& creation : creations) {
    std::vector<CCreation> one;
    one.push_back({creation.record, nullptr});
    std::vector<ECreateResult> result(1, ECreateResult::kFailed);
    TryCommit(one, {}, noReports, result, &itemFault);
    creation.done(result[0]);
  }
}
