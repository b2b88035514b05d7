// Report delivery: one HTTP exchange with the signature service per report, on a worker thread.
#pragma once

#include <atomic>
#include <cstddef>

// What a report worker shares with the code that started it: records with static storage, which
// outlive every worker.
struct ReportWorkerLinks {
  // Set to 0 by the worker when its exchange is over, whatever the outcome.
  std::atomic<int>* InFlight;
  // Non-zero GET, 0 POST; read once, when the exchange begins.
  const std::atomic<int>* Method;
};

// A worker's argument: its links and its own copy of the URL, in one heap block made by
// StartReportWorker and freed by the SendReportThread run it is handed to (or DiscardReportJob).
// The run shares it with the thread of its exchange, which may outlive the run; the last of them to
// let go frees it.
struct ReportJob {
  const char* Url;  // points into the same block, just after the record
  ReportWorkerLinks Links;
  std::atomic<int> Holders;
};

// The longest a report's exchange may take, its connecting, sending and receiving together, however
// the server deals out its bytes: SendReportThread abandons it then.
constexpr unsigned kExchangeDeadlineMs = 45000;

// Copies `url` and starts SendReportThread on the copy, so that the caller may overwrite its buffer
// at once. Window thread. Returns false when the copy or the thread could not be made; nothing is
// then left running or allocated, and *links.InFlight is untouched. Never throws.
bool StartReportWorker(const char* url, ReportWorkerLinks links);

// Worker thread body. `job` is a ReportJob made by StartReportWorker, owned by this run. Runs the
// exchange on a thread of its own and waits for it kExchangeDeadlineMs at most; an exchange still
// running then is abandoned to end when the network lets it, and frees the job. Swallows every
// failure, then clears *InFlight. Returns 0.
unsigned SendReportThread(void* job);

// Frees a ReportJob whose worker never ran (a test's held worker, say) without sending anything.
void DiscardReportJob(void* job);

// One exchange for the report URL `url` (not owned), as a POST when `post`, else a GET. Throws
// CInternetException when the network fails; releases every handle it opened, on every way out. A
// URL that SplitReportUrl refuses is dropped without any exchange.
void SendReport(const char* url, bool post);

// The three parts of a report URL that the exchange uses, in fixed buffers, zero-terminated.
constexpr std::size_t kHostBufferSize = 512;
constexpr std::size_t kPathBufferSize = 2048;
struct ReportUrlParts {
  // The characters between the second and the third "/".
  char Host[kHostBufferSize];
  // Everything from the third "/" on, query included.
  char Path[kPathBufferSize];
  // With `post`, the characters of Path met before the first "?" of the whole URL (a "?" in the
  // host part counts); empty otherwise.
  char PathWithoutQuery[kPathBufferSize];
};

// Splits `url` (zero-terminated, not owned) into `*parts`, one character at a time. Returns false,
// with `*parts` unusable, when a part does not fit its buffer; never writes past a buffer.
bool SplitReportUrl(const char* url, bool post, ReportUrlParts* parts);

// The POST body of `path`: what follows its last "?", or the whole of `path` when it holds none.
// Points into `path`.
const char* QueryOfPath(const char* path);
