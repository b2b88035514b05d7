// The feed of account changes from PostgreSQL: LISTEN on the service's channel, a heartbeat that
// bounds how stale an instance may be, and the sequence that shows a missed change.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "storage/connect_gate.h"
#include "storage/store.h"

struct pg_conn;

// The numbers of the changes a feed has seen, and what they let it vouch for: the epoch, which
// changes whenever a change may have gone missing, and the lease within which the feed is live.
// Epoch and Live from any thread; the rest from the feed's thread only.
class CChangeSequence {
 public:
  // Live for at most this long after the heartbeat that last came back was sent: the bound on how
  // stale an answer from memory may be when the connection hangs.
  static constexpr int64_t kLeaseMs = 1000;

  uint64_t Epoch() const { return m_epoch.load(std::memory_order_acquire); }
  bool Live() const;
  void NewEpoch() { m_epoch.fetch_add(1, std::memory_order_acq_rel); }
  // A query that reads the counter is sent now.
  void Sent() { m_seenAtSend = m_lastSeq; }
  // Takes the counter `seq` read right after LISTEN by a query sent at steady time `sentMs`.
  void Listening(int64_t seq, int64_t sentMs);
  // Takes the counter `seq` read by a heartbeat sent at steady time `sentMs`.
  void TakeCounter(int64_t seq, int64_t sentMs);
  // Takes the number `seq` of a change's notice: a number skipped is a change missed.
  void TakeNumber(int64_t seq);
  // The connection is gone: not live until a heartbeat comes back on another.
  void Lost() { m_liveUntilMs.store(0, std::memory_order_release); }

 private:
  std::atomic<uint64_t> m_epoch{1};
  std::atomic<int64_t> m_liveUntilMs{0};  // steady ms
  int64_t m_lastSeq = -1;                 // the last number seen in order; -1: none yet
  int64_t m_seenAtSend = -1;              // m_lastSeq when the query now outstanding was sent
  // Counters read by heartbeats (steady send time, value), checked once every change committed
  // before them must have arrived.
  std::deque<std::pair<int64_t, int64_t>> m_checks;
};

// Each transaction that changes accounts takes the next number of the counter `change_seq` in
// `service_meta` (the row lock keeps the numbers in commit order) and sends, for each account it
// changes, "SEQ NAME VERSION" ("SEQ NAME -" for a deletion) on the channel kChangeChannel. A
// number skipped, or a counter found ahead of the numbers seen, means a change went missing: the
// epoch changes. Another program may send "NAME" (that account changed) or nothing (everything
// may have changed) on the channel itself.
class CPostgresChangeFeed : public CChangeFeed {
 public:
  static constexpr char kChangeChannel[] = "velk_changes";
  static constexpr int64_t kLeaseMs = CChangeSequence::kLeaseMs;
  static constexpr int64_t kHeartbeatEveryMs = 250;

  // Starts the feed's thread, which connects with `conninfo` and keeps connecting again while the
  // feed lives (50 ms after a loss, then every half second, when `gate` lets it through; `gate`
  // outlives the feed). Never throws for the database.
  CPostgresChangeFeed(std::string conninfo, CConnectGate& gate);
  // Stops the thread (at most a connection attempt's timeout) and disconnects.
  ~CPostgresChangeFeed() override;
  CPostgresChangeFeed(const CPostgresChangeFeed&) = delete;
  CPostgresChangeFeed& operator=(const CPostgresChangeFeed&) = delete;

  void Subscribe(OnChange onChange) override;
  uint64_t Epoch() const override { return m_sequence.Epoch(); }
  bool Live() const override { return m_sequence.Live(); }

 private:
  void Run();
  // Connects (within the connection attempt's timeout), in non-blocking mode; returns null when
  // that failed. Feed thread.
  pg_conn* Connect();
  // Listens on `conn`, then takes notifications and heartbeats until it fails, hangs or the feed
  // stops. Feed thread.
  void Serve(pg_conn* conn);
  // Handles one payload sent on the channel. Feed thread.
  void TakeNotice(std::string_view payload);
  void Report(const std::string& nameKey, int64_t version);
  // Waits up to `ms` for the wake-up pipe or (when not negative) `socket`; false when stopping.
  bool Wait(int socket, int64_t ms);

  const std::string m_conninfo;
  CConnectGate& m_gate;
  std::atomic<bool> m_stopping{false};
  int m_wake[2] = {-1, -1};  // a pipe: the destructor writes to wake the thread

  CChangeSequence m_sequence;
  // The feed thread's own.
  bool m_lossLogged = false;

  std::mutex m_subscriberMutex;
  OnChange m_onChange;
  std::thread m_thread;
};
