// Benchmark of the report cycle: allocations and time per tick, and escaping against a baseline.
//
// Ticks run with 255-character tags; the baseline is a literal 33-pass replace of the escaping.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>

#include "framework/format.h"
#include "platform/fake/fake_internet.h"
#include "platform/fake/fake_threads.h"
#include "platform/platform.h"
#include "reporter/escape.h"
#include "reporter/report_cycle.h"
#include "reporter/reporter_state.h"
#include "reporter/track_info.h"
#include "settings/settings.h"
#include "tests/support/cycle_fakes.h"

// ---------------------------------------------------------------------------------------------
// Every heap allocation of the program is counted.

namespace {
std::atomic<long> g_allocations{0};

void* CountedAllocation(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}

// Out of line, so that the compiler does not pair the inlined malloc of a replaced operator new
// with this free and call it a mismatch.
__attribute__((noinline)) void FreeCounted(void* block) { std::free(block); }
}  // namespace

void* operator new(std::size_t size) {
  void* block = CountedAllocation(size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return CountedAllocation(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return CountedAllocation(size);
}
void operator delete(void* block) noexcept { FreeCounted(block); }
void operator delete[](void* block) noexcept { FreeCounted(block); }
void operator delete(void* block, std::size_t) noexcept { FreeCounted(block); }
void operator delete[](void* block, std::size_t) noexcept { FreeCounted(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { FreeCounted(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { FreeCounted(block); }

namespace {

// ---------------------------------------------------------------------------------------------
// A host that answers from fixed texts without allocating, so that only the cycle's own
// allocations are counted.

class CQuietHost final : public CHostLink {
 public:
  std::intptr_t AskHost(std::uintptr_t wparam, std::intptr_t lparam) override {
    switch (lparam) {
      case kIpcIsPlaying:
        return 1;
      case kIpcGetListPos:
        return 0;
      case kIpcGetPlaylistFile:
        return reinterpret_cast<std::intptr_t>(path_.c_str());
      case kIpcGetExtendedFileInfo:
        return AnswerTag(*reinterpret_cast<const ExtendedFileInfoRequest*>(wparam));
      default:
        return 0;
    }
  }

  std::string path_ = "C:\\Music\\Some Band - Hello World.mp3";
  std::map<std::string, std::string> tags_;

 private:
  std::intptr_t AnswerTag(const ExtendedFileInfoRequest& request) {
    for (const auto& [name, value] : tags_) {
      if (std::strcmp(name.c_str(), request.TagName) != 0) continue;
      const std::size_t length =
          std::min(value.size(), static_cast<std::size_t>(request.AnswerSize) - 1);
      std::memcpy(request.Answer, value.data(), length);
      request.Answer[length] = '\0';
      return 1;
    }
    return 0;
  }
};

// A 255-character tag value as song titles go: mostly letters, with blanks and punctuation.
std::string TypicalTag(char seed) {
  const std::string pattern =
      std::string(1, seed) + "ave (Live at the Bowl) - Salt & Sand, pt. 2/3; ";
  std::string value;
  while (value.size() < 255) value += pattern;
  value.resize(255);
  return value;
}

// The escaping as a literal sequence of 33 whole-text replaces, one per row of the escape table,
// each building a new text. The baseline the one-pass EscapeForUrl is measured against.
std::string EscapeBy33Replaces(std::string text) {
  static const char* const kRows[33][2] = {
      {"%", "%25"}, {" ", "%20"}, {"!", "%21"}, {"\"", "%22"}, {"#", "%23"},  {"$", "%24"},
      {"&", "%26"}, {"'", "%27"}, {"(", "%28"}, {")", "%29"},  {"*", "%2A"},  {"+", "%2B"},
      {",", "%2C"}, {"-", "%2D"}, {".", "%2E"}, {"/", "%2F"},  {":", "%3A"},  {";", "%3B"},
      {"<", "%3C"}, {"=", "%3D"}, {">", "%3E"}, {"?", "%3F"},  {"@", "%40"},  {"{", "%7B"},
      {"|", "%7C"}, {"}", "%7D"}, {"~", "%7E"}, {"[", "%5B"},  {"\\", "%5C"}, {"]", "%5D"},
      {"^", "%5E"}, {"_", "%20"}, {"`", "%60"},
  };
  for (const auto& row : kRows) {
    const char c = row[0][0];
    if (text.find(c) == std::string::npos) continue;
    std::string replaced;
    std::size_t from = 0;
    for (std::size_t at = text.find(c); at != std::string::npos; at = text.find(c, from)) {
      replaced.append(text, from, at - from);
      replaced.append(row[1]);
      from = at + 1;
    }
    replaced.append(text, from, std::string::npos);
    text.swap(replaced);
  }
  return text;
}

// Installs the quiet host, fake threads and fake internet, enabled settings and a fresh
// ReporterState for the lifetime of one benchmark.
class CCycleRig {
 public:
  CCycleRig() {
    host_.tags_ = {{"ARTIST", TypicalTag('A')},
                   {"TITLE", TypicalTag('T')},
                   {"ALBUM", TypicalTag('L')},
                   {"YEAR", "2001"},
                   {"GENRE", TypicalTag('G')}};
  }
  ~CCycleRig() { threads_.RunPendingWorkers(); }

  CQuietHost host_;
  CFakeThreads threads_{CFakeThreads::Mode::kRecord};
  CFakeInternet internet_;
  CCycleFakes cycle_{host_, threads_, internet_, "alice", "0123456789abcdef"};
};

void BM_NoChangeTick(benchmark::State& state) {
  CCycleRig rig;
  OnReportTimer();  // reports the track; its worker then ends
  rig.threads_.RunPendingWorkers();
  OnReportTimer();  // the scratch texts reach their size
  const long before = g_allocations.load();
  for (auto _ : state) OnReportTimer();
  const long allocations = g_allocations.load() - before;
  if (rig.threads_.WorkersStarted() != 1) state.SkipWithError("a no-change tick reported");
  state.counters["allocs/tick"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_NoChangeTick);

// Every worker start is refused, so the cycle leaves its state as it was and each iteration runs
// the whole track-report path again: eight questions, five escapes, the URL, the URL copy.
void BM_TrackReportTick(benchmark::State& state) {
  CCycleRig rig;
  rig.threads_.faults.start_worker.FailNth(1, true);
  const long before = g_allocations.load();
  for (auto _ : state) OnReportTimer();
  const long allocations = g_allocations.load() - before;
  // The URL is cut at kFormatLimit - 1 characters, less a partial escape at its end.
  if (std::strlen(ReporterState.ReportUrl) < kFormatLimit - 3) {
    state.SkipWithError("the track report did not fill the URL");
  }
  state.counters["allocs/tick"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_TrackReportTick);

const std::string kTypicalTag = TypicalTag('W');
const std::string kAllEscapes(255, '&');

void BM_EscapeOnePass(benchmark::State& state, const std::string* input) {
  std::string out;
  for (auto _ : state) {
    EscapeForUrl(*input, out);
    benchmark::DoNotOptimize(out.data());
  }
  if (out != EscapeBy33Replaces(*input)) state.SkipWithError("the two escapings differ");
}
BENCHMARK_CAPTURE(BM_EscapeOnePass, typical, &kTypicalTag);
BENCHMARK_CAPTURE(BM_EscapeOnePass, all_escapes, &kAllEscapes);

void BM_EscapeBy33Replaces(benchmark::State& state, const std::string* input) {
  for (auto _ : state) {
    std::string out = EscapeBy33Replaces(*input);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK_CAPTURE(BM_EscapeBy33Replaces, typical, &kTypicalTag);
BENCHMARK_CAPTURE(BM_EscapeBy33Replaces, all_escapes, &kAllEscapes);

// The console output, plus a closing summary: allocations per no-change tick and the speed-up of
// the one-pass escaping over the 33-pass baseline.
class CSummaryReporter : public benchmark::ConsoleReporter {
 public:
  CSummaryReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      times_[run.benchmark_name()] = run.GetAdjustedCPUTime();
      const auto allocations = run.counters.find("allocs/tick");
      if (allocations != run.counters.end()) {
        allocations_[run.benchmark_name()] = allocations->second.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintSummary() const {
    std::printf("\nheap allocations per tick:\n");
    for (const auto& [name, value] : allocations_)
      std::printf("  %-24s %.2f\n", name.c_str(), value);
    std::printf("escaping a 255-character tag, CPU time of 33-pass replace / one pass:\n");
    for (const char* input : {"typical", "all_escapes"}) {
      const auto one = times_.find(std::string("BM_EscapeOnePass/") + input);
      const auto many = times_.find(std::string("BM_EscapeBy33Replaces/") + input);
      if (one == times_.end() || many == times_.end() || one->second <= 0) continue;
      std::printf("  %-12s %.1f ns / %.1f ns = %.1fx\n", input, many->second, one->second,
                  many->second / one->second);
    }
  }

 private:
  std::map<std::string, double> times_;
  std::map<std::string, double> allocations_;
};

// Fixed numbers of ticks for counting instructions under callgrind (scripts/bench_cycle), which
// reads the inclusive cost of these two functions. Out of line, and returning different fields so
// that identical-code folding cannot merge them into one name.
[[gnu::noinline]] int RunNoChangeTicks(int ticks) {
  for (int i = 0; i < ticks; ++i) OnReportTimer();
  return ReporterState.StoppedSent;
}
[[gnu::noinline]] int RunTrackTicks(int ticks) {
  for (int i = 0; i < ticks; ++i) OnReportTimer();
  return ReporterState.RequestInFlight.load();
}

int CountTicks(int ticks) {
  {
    CCycleRig rig;
    OnReportTimer();
    rig.threads_.RunPendingWorkers();
    OnReportTimer();
    RunNoChangeTicks(ticks);
  }
  {
    CCycleRig rig;
    rig.threads_.faults.start_worker.FailNth(1, true);
    RunTrackTicks(ticks);
  }
  std::printf("ran %d no-change ticks and %d track-report ticks\n", ticks, ticks);
  return 0;
}

}  // namespace

// With "--ticks=N" runs N ticks of each kind and nothing else; otherwise runs the benchmarks.
int main(int argc, char** argv) {
  if (argc == 2 && std::strncmp(argv[1], "--ticks=", 8) == 0) {
    return CountTicks(std::atoi(argv[1] + 8));
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  CSummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintSummary();
  benchmark::Shutdown();
  return 0;
}
