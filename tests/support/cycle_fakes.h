// Installing the fakes one report cycle runs against, for the tests and the benchmark.
#pragma once

#include "platform/fake/fake_internet.h"
#include "platform/fake/fake_threads.h"
#include "platform/platform.h"

// Gives Settings, ReporterState and the descriptor's host-written fields the values a fresh
// mapping of the DLL starts with. ReportUrl is forgotten, not freed.
void ResetModuleRecords();

// Installs `host`, `threads` and `internet` as the platform; gives Settings an enabled account
// (`user`, `key`, GET) and ReporterState its load-time values with a fresh ReportUrl allocated from
// `threads` (freed with it). Returns the platform that was in use before.
CPlatform InstallCycleFakes(CHostLink& host, CFakeThreads& threads, CFakeInternet& internet,
                            const char* user = "alice", const char* key = "k3y");

// Forgets ReportUrl (its memory belongs to the fake threads) and installs `previous` again.
void RemoveCycleFakes(const CPlatform& previous);
