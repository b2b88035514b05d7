// Report delivery: one HTTP exchange with the signature service per report, on a worker thread.
#pragma once

#include <cstddef>

// Copies `url` and starts SendReportThread on the copy, so that the caller may overwrite its buffer
// at once. Window thread. Returns false when the copy or the thread could not be made; nothing is
// then left running or allocated. Never throws.
bool StartReportWorker(const char* url);

// Worker thread body. `url` is a heap copy made by StartReportWorker, owned and freed by this run.
// Sends the report, swallows every failure, then clears ReporterState.RequestInFlight. Returns 0.
unsigned SendReportThread(void* url);

// One exchange for the report URL `url` (not owned), with the method in Settings.Method at the time
// of the call, read once. Throws CInternetException when the network fails; releases every handle
// it opened, on every way out. A URL that SplitReportUrl refuses is dropped without any exchange.
void SendReport(const char* url);

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
