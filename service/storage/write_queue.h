// The store's write queue: writes merged per account and committed in batches by a writer thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "storage/store.h"

struct CQueuedCreation {
  CAccountRecord record;
  std::function<void(ECreateResult)> done;
};

// Runs on the writer thread once a report's transaction has committed (`stored`) or failed.
using ReportDone =
    std::function<void(bool stored, const CReportOutcome& outcome, const std::string& error)>;

struct CQueuedReport {
  std::string nameKey;
  CReportWrite report;
  ReportDone done;
  CReportOutcome outcome;  // filled by Commit
};

// The database's side of the write queue, called on the writer thread only (CheckWritable also
// before the queue takes its first write).
class CCommitter {
 public:
  virtual ~CCommitter() = default;
  // Commits a small write, so that a database that cannot be written (a full disk, a read-only
  // mount, missing rights) is noticed before anything is promised. Throws CStoreError with a
  // message for people.
  virtual void CheckWritable() = 0;
  // Commits `writes`, then `reports` in order, then `creations` (a name that a write frees may be
  // taken by a creation of the same batch) in one transaction: fills `results` (sized as
  // `creations`) and each report's outcome; on failure throws CStoreError after rolling back, and
  // no creation counts as made. Only shared stores get reports.
  virtual void Commit(const std::vector<CQueuedCreation>& creations,
                      const std::map<std::string, CAccountWrite>& writes,
                      std::vector<CQueuedReport>& reports, std::vector<ECreateResult>& results) = 0;
};

// Merges `later`, a write of the same account queued after `into`, into it: the later state and
// kept report win, the states it replaces are passed through, listens of both are kept.
void MergeWrite(CAccountWrite& into, CAccountWrite later);

// Queues writes and commits them in batches on a writer thread of its own, so that many reports
// cost one transaction; each write's caller learns the outcome only once its transaction has
// committed or failed. The thread starts with the queue; the destructor commits what is queued
// and stops it. `committer` outlives the queue.
class CWriteQueue {
 public:
  // Runs on the writer thread once a write's transaction has committed (`stored`) or failed
  // (`error` says why).
  using Done = std::function<void(bool stored, const std::string& error)>;

  explicit CWriteQueue(CCommitter& committer);
  ~CWriteQueue();
  CWriteQueue(const CWriteQueue&) = delete;
  CWriteQueue& operator=(const CWriteQueue&) = delete;

  // CCommitter::CheckWritable on the calling thread: call it before queuing any write.
  void CheckWritable() { m_committer.CheckWritable(); }
  // Queues the creation of an account; `done` runs on the writer thread once the outcome is known
  // (kDuplicate when the name is taken in any letter case).
  void CreateAccount(CAccountRecord record, std::function<void(ECreateResult)> done);
  // Queues a write for the account `name`. A later write of the same account still queued is
  // merged into it (see MergeWrite); both callers learn the one outcome.
  void Write(const std::string& name, CAccountWrite write, Done done);
  // Queues a report for the account `name` of a shared store (see CReportWrite); `done` runs on
  // the writer thread once committed (`stored`) or failed. Reports are never merged: each is
  // decided in turn, after the batch's writes.
  void Report(const std::string& name, CReportWrite report, ReportDone done);
  // Returns once everything queued before the call has been committed (or has failed).
  void Flush();
  // Queues a check that the store takes writes: after the writes queued before it, the writer
  // thread commits a small write as CheckWritable does; `done` runs there with the outcome.
  // Checks queued while one waits share its outcome.
  void CheckReady(Done done);

 private:
  struct CPendingWrite {
    CAccountWrite write;
    std::vector<Done> done;
  };
  void RunWriter();
  // Commits a batch in one transaction, or each of its parts on its own when one part held what
  // the database refuses, and gives every caller its outcome.
  void CommitBatch(std::vector<CQueuedCreation>& creations,
                   std::map<std::string, CPendingWrite>& writes,
                   std::vector<CQueuedReport>& reports);
  // Commits each of a batch's writes, reports and creations in a transaction of its own, and
  // gives each its own outcome.
  void CommitEach(std::vector<CQueuedCreation>& creations,
                  std::map<std::string, CPendingWrite>& writes,
                  std::vector<CQueuedReport>& reports);
  // Runs CheckWritable on the writer thread and gives each of `checks` its outcome.
  void AnswerReadyChecks(std::vector<Done>& checks);

  CCommitter& m_committer;
  std::mutex m_queueMutex;
  std::condition_variable m_queueWake;
  std::condition_variable m_flushed;
  std::vector<CQueuedCreation> m_creations;
  std::map<std::string, CPendingWrite> m_writes;  // by lower-case name
  std::vector<CQueuedReport> m_reports;           // in the order they came
  uint64_t m_enqueued = 0;                        // writes queued so far
  uint64_t m_committed = 0;                       // writes the writer has finished with so far
  std::vector<Done> m_readyChecks;
  bool m_stopping = false;
  std::thread m_writerThread;  // last: starts once the rest is made
};
