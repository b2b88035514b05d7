// Tests of the report cycle racing real report workers (ThreadSanitizer checks it in native-tsan).
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>

#include "delivery/service_url.h"
#include "platform/fake/fake_host.h"
#include "platform/fake/fake_internet.h"
#include "platform/fake/fake_threads.h"
#include "reporter/report_cycle.h"
#include "reporter/reporter_state.h"
#include "settings/settings.h"
#include "tests/support/cycle_fakes.h"

namespace {

class ReportCycleThreadsTest : public testing::Test {
 protected:
  void TearDown() override { threads_.JoinAll(); }

  CFakeHost host_;
  CFakeThreads threads_{CFakeThreads::Mode::kReal};
  CFakeInternet internet_;
  CCycleFakes cycle_{host_, threads_, internet_};
};

TEST_F(ReportCycleThreadsTest, ExchangesNeverOverlapAndEveryWorkerClearsTheFlag) {
  // Each exchange releases its handles before its worker clears RequestInFlight, and the cycle
  // starts no worker while the flag is set: so a new exchange always finds no handle open.
  std::atomic<int> overlaps{0};
  internet_.SetCallHook([this, &overlaps](const std::string& operation) {
    if (operation == "OpenSession" && internet_.OpenHandles() != 0) overlaps.fetch_add(1);
  });

  constexpr int kTicks = 3000;
  for (int i = 0; i < kTicks; ++i) {
    switch (i % 4) {
      case 0:
        host_.Play(0, "C:\\Music\\A - One.mp3", {{"ARTIST", "A"}, {"TITLE", "One"}});
        break;
      case 1:
        host_.Play(1, "C:\\Music\\B - Two.mp3", {});
        break;
      case 2:
        host_.SetPlayState(3);
        break;
      default:
        Settings.Method.store((i / 4) % 2);  // GET and POST by turns
        break;
    }
    OnReportTimer();
    // Every other tick waits for the worker, so that both open and closed gates are exercised.
    if (i % 2 == 1) {
      while (ReporterState.RequestInFlight.load() != 0) std::this_thread::yield();
    }
  }
  threads_.JoinAll();

  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(ReporterState.RequestInFlight.load(), 0);
  EXPECT_GE(threads_.WorkersStarted(), kTicks / 4);
  EXPECT_EQ(internet_.OpenHandles(), 0u);
  EXPECT_EQ(internet_.BadReleases(), 0);

  // One request per worker, each for one of the three reports the ticks can produce.
  const std::string path = "/signature/generate/?user=alice&key=k3y&";
  const std::set<std::string> objects = {
      "GET, " + path + "artist=A&title=One&album=&year=&genre=",
      "GET, " + path + "artist=B%20&title=%20Two&album=&year=&genre=",
      "GET, " + path + "artist=stopped&title=stopped",
      "POST, /signature/generate/",
  };
  int requests = 0;
  for (const std::string& call : internet_.Calls()) {
    if (call.rfind("OpenRequest(", 0) != 0) continue;
    ++requests;
    const std::size_t from = call.find(", ") + 2;
    const std::string verb_and_object = call.substr(from, call.rfind(", ") - from);
    EXPECT_EQ(objects.count(verb_and_object), 1u) << call;
  }
  EXPECT_EQ(requests, threads_.WorkersStarted());
}

}  // namespace
