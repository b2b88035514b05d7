// Measures the history's writes on each store: listens a second taken through writes of 1,000
// listens each, and the plug-in's states a second with history on against off: states 40 s apart
// (each ends a listen of the plug-in, the most a state can cost) and 10 s apart (none does).
// Usage: history_bench SQLITE_FILE [POSTGRES_CONNINFO]; the files and the database get accounts
// named histbench*, so give it a new file and an empty database.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <future>
#include <string>

#include "storage/store.h"
#include "storage/write_queue.h"

namespace {

// A year of listens 5 minutes apart, beyond the default limit, so that later imports also trim.
constexpr int kImports = 100;
constexpr int kListensPerImport = 1000;
constexpr int kAccounts = 2000;
constexpr int kRounds = 5;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void Create(CStore& store, const std::string& name, bool keep) {
  CAccountRecord record;
  record.name = name;
  record.keyHash = "bench";
  record.createdAt = std::time(nullptr);
  record.keepHistory = keep;
  store.Queue().CreateAccount(record, [name](ECreateResult result) {
    if (result != ECreateResult::kCreated) std::fprintf(stderr, "%s not created\n", name.c_str());
  });
}

// Listens a second through writes of kListensPerImport listens to one account.
double Imports(CStore& store) {
  Create(store, "histbench-import", true);
  store.Queue().Flush();
  const int64_t start = std::time(nullptr) - int64_t{kImports} * kListensPerImport * 300;
  const auto began = std::chrono::steady_clock::now();
  for (int i = 0; i < kImports; ++i) {
    CAccountWrite write;
    for (int j = 0; j < kListensPerImport; ++j) {
      const int n = i * kListensPerImport + j;
      CListen listen;
      listen.at = start + n * 300;
      listen.artist = "Artist " + std::to_string(n % 1000);
      listen.title = "Title " + std::to_string(n % 20000);
      listen.album = "Album";
      listen.source = CListen::ESource::kListenBrainz;
      write.listens.push_back(std::move(listen));
    }
    std::promise<bool> done;
    store.Queue().Write("histbench-import", std::move(write),
                        [&done](bool stored, const std::string&) { done.set_value(stored); });
    if (!done.get_future().get()) std::fprintf(stderr, "an import was not stored\n");
  }
  return kImports * kListensPerImport / Seconds(began);
}

// The plug-in's states a second over kAccounts accounts that keep history or not, kRounds each,
// `apart` seconds apart, through reports on a shared store and writes on the others.
double States(CStore& store, bool keep, int apart) {
  const std::string prefix =
      std::string(keep ? "histbench-on" : "histbench-off") + std::to_string(apart) + "-";
  for (int i = 0; i < kAccounts; ++i) Create(store, prefix + std::to_string(i), keep);
  store.Queue().Flush();
  const int64_t start = std::time(nullptr) - kRounds * apart;
  const auto began = std::chrono::steady_clock::now();
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < kAccounts; ++i) {
      CTrackState state;
      state.playback = CTrackState::EPlayback::kPlaying;
      state.artist = "Artist " + std::to_string(i % 50);
      state.title = "Title " + std::to_string(round);
      state.trackAt = start + round * apart;
      state.fromPlugin = true;
      const std::string name = prefix + std::to_string(i);
      if (store.Shared()) {
        CReportWrite report;
        report.track = state;
        report.kept.arrivedAt = state.trackAt;
        report.nowMs = state.trackAt * 1000;
        store.Queue().Report(name, std::move(report),
                             [](bool, const CReportOutcome&, const std::string&) {});
      } else {
        CAccountWrite write;
        write.state = state;
        write.nowMs = state.trackAt * 1000;
        store.Queue().Write(name, std::move(write), [](bool, const std::string&) {});
      }
    }
    store.Queue().Flush();
  }
  return kAccounts * kRounds / Seconds(began);
}

// Milliseconds per read of the recent listens and of each chart of the imported account.
void Reads(CStore& store, const std::string& label) {
  const int64_t today = ListenDay(std::time(nullptr));
  const std::pair<const char*, std::function<void()>> reads[] = {
      {"recent 10", [&] { store.History().RecentListens("histbench-import", 10); }},
      {"artists 7d",
       [&] { store.History().Chart("histbench-import", EChart::kArtists, today - 6, 5); }},
      {"tracks 30d",
       [&] { store.History().Chart("histbench-import", EChart::kTracks, today - 29, 5); }},
      {"artists all", [&] { store.History().Chart("histbench-import", EChart::kArtists, 0, 5); }},
      {"tracks all", [&] { store.History().Chart("histbench-import", EChart::kTracks, 0, 5); }},
  };
  std::printf("%-10s reads of a year of listens (ms):", label.c_str());
  for (const auto& [name, read] : reads) {
    const auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) read();
    std::printf("  %s %.2f", name, Seconds(began) * 10);
  }
  std::printf("\n");
}

void Measure(const std::string& label, const std::string& db) {
  std::unique_ptr<CStore> store = OpenStore(db);
  // States first, before a year of imports leaves the database work to do (vacuum, checkpoints).
  for (int apart : {40, 10}) {
    const double off = States(*store, false, apart);
    const double on = States(*store, true, apart);
    const size_t kept =
        store->History().RecentListens("histbench-on" + std::to_string(apart) + "-0", 100).size();
    std::printf(
        "%-10s plug-in states %d s apart: history off %7.0f/s, on %7.0f/s (%.2fx; %zu "
        "listens per account)\n",
        label.c_str(), apart, off, on, on / off, kept);
  }
  const double imports = Imports(*store);
  std::printf("%-10s listens through writes of %d: %8.0f/s\n", label.c_str(), kListensPerImport,
              imports);
  Reads(*store, label);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: history_bench SQLITE_FILE [POSTGRES_CONNINFO]\n");
    return 2;
  }
  try {
    Measure("SQLite", argv[1]);
    if (argc > 2) Measure("PostgreSQL", argv[2]);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "history_bench: %s\n", error.what());
    return 1;
  }
  return 0;
}
