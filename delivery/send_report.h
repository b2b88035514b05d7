// Report delivery: one HTTP exchange with the signature service per report, on a worker thread.
#pragma once

// Copies `url` and starts SendReportThread on the copy, so that the caller may overwrite its buffer
// at once. Window thread. Returns false when the copy or the thread could not be made; nothing is
// then left running or allocated. Never throws.
bool StartReportWorker(const char* url);

// Worker thread body. `url` is a heap copy made by StartReportWorker, owned and freed by this run.
// Sends the report, swallows every failure, then clears ReporterState.RequestInFlight. Returns 0.
unsigned SendReportThread(void* url);

// One exchange for the report URL `url` (not owned), with the method in Settings.Method at the time
// of the call. Throws CInternetException when the network fails; releases every handle it opened.
void SendReport(const char* url);
