// libpq's pipeline mode on one connection of the PostgreSQL store: many statements, one round trip.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct pg_result;
class CPostgresConnection;

// Sends statements without waiting for their answers and takes the answers at a sync. Owned by its
// connection, which makes it forget what was sent whenever the connection drops. Not thread-safe:
// the connection's owner serializes the uses.
class CPostgresPipeline {
 public:
  using OnResult = std::function<void(const pg_result* result)>;

  explicit CPostgresPipeline(CPostgresConnection& connection) : m_connection(connection) {}
  CPostgresPipeline(const CPostgresPipeline&) = delete;
  CPostgresPipeline& operator=(const CPostgresPipeline&) = delete;

  // Send sends a statement as CPostgresConnection::Run takes it, connecting first when needed,
  // without waiting for its answer; Sync takes the answers of all statements sent since the last
  // Sync, in order, calling the `onResult` of each that succeeded with its rows, and then throws
  // CStoreError for the first that failed (the server skipped the rest). A broken connection, or
  // answers later than the answer bound, throw from either at once and drop the connection. The
  // answers to many statements may be taken while sending, so an `onResult` may run inside Send.
  void Send(const char* name, const std::vector<std::string>& params,
            const std::vector<bool>& binary = {}, OnResult onResult = {});
  void Sync();
  // Forgets the statements sent and the failure taken: their connection is gone.
  void Forget();

 private:
  // Ends the statements sent so far with a sync and takes their answers. Pipeline mode stays on.
  void TakeAnswers();
  // Throws CStoreError with the connection's error; drops a broken connection, and one left in
  // pipeline mode (its answers could not be told apart any more).
  [[noreturn]] void Fail(const std::string& message);

  CPostgresConnection& m_connection;
  std::vector<OnResult> m_pending;  // of the statements sent and not answered yet, in order
  std::string m_failure;            // the first failure among the answers taken before Sync
  bool m_failureIsItem = false;     // m_failure refused a value, not the work (see CStoreError)
};
