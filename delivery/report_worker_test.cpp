// Tests of the report worker's start and top level: its own URL copy, the flag, stray exceptions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "delivery/send_report.h"
#include "platform/fake/fake_internet.h"
#include "platform/platform.h"
#include "reporter/reporter_state.h"
#include "settings/settings.h"
#include "tests/support/scoped_platform.h"

namespace {

using ::testing::HasSubstr;

constexpr char kUrlA[] = "http://localhost/signature/generate/?user=a&key=k&artist=A&title=A";
constexpr char kUrlB[] = "http://localhost/signature/generate/?user=a&key=k&artist=B&title=B";

const ReportWorkerLinks kLinks{&ReporterState.RequestInFlight, &Settings.Method};

// Holds started workers until the test runs them, or refuses to start any.
class CHeldThreads final : public CThreads {
 public:
  bool StartWorker(WorkerProc proc, void* arg) override {
    if (refuse_) return false;
    held_.emplace_back(proc, arg);
    return true;
  }
  WaitOutcome RunWorkerFor(WorkerProc proc, void* arg, unsigned) override {
    proc(arg);
    return WaitOutcome::kEnded;
  }
  std::uintptr_t StartThreadTimer(unsigned, TimerProc) override { return 0; }
  void StopThreadTimer(std::uintptr_t) override {}
  void* AllocateZeroed(std::size_t bytes) override { return std::calloc(1, bytes); }
  void Release(void* memory) override { std::free(memory); }

  void Refuse() { refuse_ = true; }
  std::size_t Held() const { return held_.size(); }
  // Runs the held workers one after the other on the calling thread, oldest first.
  void RunHeld() {
    for (auto& [proc, arg] : held_) EXPECT_EQ(proc(arg), 0u);
    held_.clear();
  }
  // Runs the held workers all at once, each on a thread of its own, and waits for them.
  void RunHeldConcurrently() {
    std::vector<std::thread> threads;
    for (auto& [proc, arg] : held_) threads.emplace_back(proc, arg);
    for (std::thread& thread : threads) thread.join();
    held_.clear();
  }

 private:
  bool refuse_ = false;
  std::vector<std::pair<WorkerProc, void*>> held_;
};

class ReportWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_.Threads(threads_).Internet(internet_);
    Settings.Method.store(1);
    ReporterState.RequestInFlight.store(0);
  }
  void TearDown() override { threads_.RunHeld(); }

  // The object of every GET request recorded so far.
  std::vector<std::string> GetObjects() const {
    std::vector<std::string> objects;
    for (const std::string& call : internet_.Calls()) {
      if (call.rfind("OpenRequest(", 0) == 0) objects.push_back(call);
    }
    return objects;
  }

  CHeldThreads threads_;
  CFakeInternet internet_;
  CScopedPlatform platform_;
};

TEST_F(ReportWorkerTest, EachWorkerSendsTheUrlAsItWasWhenStarted) {
  char buffer[kReportUrlSize] = {};
  std::strcpy(buffer, kUrlA);
  ASSERT_TRUE(StartReportWorker(buffer, kLinks));
  // The window thread formats the next report into the same buffer while the first still waits.
  std::strcpy(buffer, kUrlB);
  ASSERT_TRUE(StartReportWorker(buffer, kLinks));
  std::memset(buffer, 'x', sizeof buffer - 1);
  threads_.RunHeld();

  const std::vector<std::string> objects = GetObjects();
  ASSERT_EQ(objects.size(), 2u);
  EXPECT_THAT(objects[0], HasSubstr("artist=A&title=A, "));
  EXPECT_THAT(objects[1], HasSubstr("artist=B&title=B, "));
}

TEST_F(ReportWorkerTest, MethodIsTakenWhenTheExchangeRuns) {
  ASSERT_TRUE(StartReportWorker(kUrlA, kLinks));
  Settings.Method.store(0);
  threads_.RunHeld();
  const std::vector<std::string> objects = GetObjects();
  ASSERT_EQ(objects.size(), 1u);
  EXPECT_EQ(objects[0], "OpenRequest(c2, POST, /signature/generate/, 0xa4000000)");
}

TEST_F(ReportWorkerTest, RefusedStartLeavesNothingBehind) {
  threads_.Refuse();
  ReporterState.RequestInFlight.store(1);
  EXPECT_FALSE(StartReportWorker(kUrlA, kLinks));
  EXPECT_EQ(threads_.Held(), 0u);
  // The copy was freed (the sanitizer build reports a leak otherwise); the flag is the caller's.
  EXPECT_EQ(ReporterState.RequestInFlight.load(), 1);
}

TEST_F(ReportWorkerTest, AnyExceptionIsSwallowedAndTheFlagCleared) {
  for (const char* operation : {"OpenSession", "SendRequest"}) {
    SCOPED_TRACE(operation);
    internet_.Reset();
    const std::string failing = operation;
    internet_.SetCallHook([failing](const std::string& op) {
      if (op == failing) throw std::bad_alloc();
    });
    ReporterState.RequestInFlight.store(1);
    ASSERT_TRUE(StartReportWorker(kUrlA, kLinks));
    threads_.RunHeld();
    EXPECT_EQ(ReporterState.RequestInFlight.load(), 0);
    EXPECT_EQ(internet_.OpenHandles(), 0u);
  }
  internet_.SetCallHook([](const std::string&) { throw 42; });
  ReporterState.RequestInFlight.store(1);
  ASSERT_TRUE(StartReportWorker(kUrlA, kLinks));
  threads_.RunHeld();
  EXPECT_EQ(ReporterState.RequestInFlight.load(), 0);
}

// Workers of the cycle and of the quit entry may overlap; the sanitizer build checks that they
// share the fake, the settings and the flag soundly.
TEST_F(ReportWorkerTest, OverlappingWorkersEachCompleteTheirExchange) {
  Settings.Method.store(0);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(StartReportWorker(i % 2 == 0 ? kUrlA : kUrlB, kLinks));
  ReporterState.RequestInFlight.store(1);
  threads_.RunHeldConcurrently();
  EXPECT_EQ(ReporterState.RequestInFlight.load(), 0);
  EXPECT_EQ(internet_.OpenHandles(), 0u);
  EXPECT_EQ(internet_.BadReleases(), 0);
  EXPECT_EQ(internet_.Calls().size(), 4u * 12u);
}

}  // namespace
