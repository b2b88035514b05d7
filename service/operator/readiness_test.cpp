// Tests of the readiness check: one store check at a time, its outcome shared, and a time limit.
#include "operator/readiness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace {

// A database whose write check is whatever the test sets; it commits nothing.
class CCheckedCommitter : public CCommitter {
 public:
  explicit CCheckedCommitter(std::function<void()> check) : m_check(std::move(check)) {}
  void CheckWritable() override {
    ++checks;
    m_check();
  }
  void Commit(const std::vector<CQueuedCreation>&, const std::map<std::string, CAccountWrite>&,
              std::vector<CQueuedReport>&, std::vector<ECreateResult>&) override {}
  std::atomic<int> checks{0};

 private:
  std::function<void()> m_check;
};

// The answers of `count` checks asked at once.
std::vector<std::pair<bool, std::string>> Ask(CReadiness& readiness, int count) {
  std::vector<std::promise<std::pair<bool, std::string>>> answers(count);
  for (auto& answer : answers) {
    readiness.Check([&answer](bool ready, const std::string& reason) {
      answer.set_value({ready, reason});
    });
  }
  std::vector<std::pair<bool, std::string>> got;
  for (auto& answer : answers) got.push_back(answer.get_future().get());
  return got;
}

TEST(ReadinessTest, SharesOneCheckAndReportsFailuresAndTimeOuts) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> mode{0};  // 0: writable, 1: refuses, 2: hangs until released
  CCheckedCommitter database([&] {
    if (mode == 1) throw CStoreError("disk I/O error");
    if (mode == 2) released.wait();
  });
  {
    CWriteQueue queue(database);
    CReadiness readiness(queue, std::chrono::milliseconds(200));
    // Checks asked together while one runs share it: a slow store is asked once, not per poll.
    mode = 2;
    const auto started = std::chrono::steady_clock::now();
    const auto timedOut = Ask(readiness, 3);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(200));
    for (const auto& answer : timedOut) {
      EXPECT_EQ(answer, std::make_pair(false, std::string("the database did not take a write in "
                                                          "time")));
    }
    EXPECT_EQ(database.checks, 1);
    release.set_value();
    // The late check ends well; whether or not this one shares it, the store is ready.
    EXPECT_EQ(Ask(readiness, 1)[0], std::make_pair(true, std::string()));

    mode = 1;
    EXPECT_EQ(Ask(readiness, 1)[0],
              std::make_pair(false, std::string("the database refused a write: disk I/O error")));
    mode = 0;
    EXPECT_EQ(Ask(readiness, 2), (std::vector<std::pair<bool, std::string>>(2, {true, ""})));
  }
}

}  // namespace
