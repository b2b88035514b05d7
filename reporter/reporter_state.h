// The report cycle's process-wide state, shared with the report workers and the quit entry.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

constexpr std::size_t kReportUrlSize = 4096;
constexpr char kStoppedKey[] = "stopped";

struct ReporterStateRecord {
  // Change key of the last report started: "stopped" or "<escaped artist> - <escaped title>".
  // Window thread only.
  std::string LastReported{kStoppedKey};
  // Set by the cycle (window thread) before it starts a worker; cleared by that worker when its
  // exchange is over, or by the cycle when no worker could be started.
  std::atomic<int> RequestInFlight{0};
  // A stopped report was started since the last track report. Window thread only.
  int StoppedSent = 0;
  // kReportUrlSize zero-filled bytes, allocated at module load and never released: the URL of the
  // report being formatted. Workers get their own copy, so the window thread may reuse it at once.
  char* ReportUrl = nullptr;
  // Identifier of the report timer, 0 for none. Set at start-up, used at quit.
  std::uintptr_t TimerId = 0;
};

extern ReporterStateRecord ReporterState;
