// Tests of module load, the host's entries and module unload against the in-memory platform.
#include "plugin/plugin.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "delivery/send_report.h"
#include "delivery/service_url.h"
#include "framework/dialog.h"
#include "platform/fake/fake_dialogs.h"
#include "platform/fake/fake_host.h"
#include "platform/fake/fake_registry.h"
#include "platform/fake/fake_system.h"
#include "platform/fake/fake_threads.h"
#include "reporter/report_cycle.h"
#include "reporter/reporter_state.h"
#include "settings/resource.h"
#include "settings/settings.h"
#include "tests/support/cycle_fakes.h"
#include "tests/support/scoped_platform.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kStoppedPrefix = std::string(kServiceBaseUrl) + "/?user=";

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetModuleRecords();
    platform_.Host(host_).Threads(threads_).System(system_).Registry(registry_).Dialogs(dialogs_);
  }

  void TearDown() override {
    ModuleDetach();
    EXPECT_EQ(threads_.LiveAllocations(), 0u);
    EXPECT_EQ(registry_.OpenHandles(), 0u);
    for (const CFakeThreads::CPendingWorker& worker : threads_.PendingWorkers()) {
      DiscardReportJob(worker.arg);
    }
  }

  // The URLs handed to workers that have not run, oldest first.
  std::vector<std::string> PendingUrls() const {
    std::vector<std::string> urls;
    for (const CFakeThreads::CPendingWorker& worker : threads_.PendingWorkers()) {
      urls.emplace_back(static_cast<const ReportJob*>(worker.arg)->Url);
    }
    return urls;
  }

  // Registry operations seen so far, as letters: c(reate), o(pen), q(uery), s(et), x (close).
  std::string RegistryTrace() const {
    std::string trace;
    for (const CRegCall& call : registry_.calls) trace += "coqsx"[static_cast<int>(call.op)];
    return trace;
  }

  CFakeHost host_;
  CFakeThreads threads_{CFakeThreads::Mode::kRecord};
  CFakeSystem system_;
  CFakeRegistry registry_;
  CFakeDialogs dialogs_;
  CScopedPlatform platform_;
};

TEST_F(PluginTest, DescriptorIsOneRecordWithTheHostsWritesKept) {
  PluginDescriptorRecord* first = winampGetGeneralPurposePlugin();
  EXPECT_EQ(first->version, 0x10);
  EXPECT_STREQ(first->description, "Velk - Winamp Moxel");
  ASSERT_NE(first->init, nullptr);
  ASSERT_NE(first->config, nullptr);
  ASSERT_NE(first->quit, nullptr);
  EXPECT_EQ(first->hwndParent, nullptr);
  int window = 0;
  first->hwndParent = &window;
  first->hDllInstance = &window;
  PluginDescriptorRecord* second = winampGetGeneralPurposePlugin();
  EXPECT_EQ(second, first);
  EXPECT_EQ(second->hwndParent, &window);
  EXPECT_EQ(second->hDllInstance, &window);
}

TEST_F(PluginTest, LoadSetsLocaleStartsSocketsReadsSettingsThenStartsTheTimer) {
  registry_.PlantText(kSettingsKey, "User", "alice");
  registry_.PlantText(kSettingsKey, "Enabled", "1");
  // The settings must be in place by the time the timer starts.
  ASSERT_TRUE(ModuleAttach());

  ASSERT_NE(ReporterState.ReportUrl, nullptr);
  EXPECT_EQ(std::strlen(ReporterState.ReportUrl), 0u);
  EXPECT_THAT(system_.locales, ElementsAre("bg_BG.utf8"));
  EXPECT_EQ(system_.sockets_started, 1);
  EXPECT_EQ(RegistryTrace().substr(0, 3), "cxo");
  EXPECT_EQ(Settings.User, "alice");
  EXPECT_EQ(Settings.Enabled, 1);
  EXPECT_THAT(system_.messages, IsEmpty());

  const std::vector<CFakeThreads::CTimer> timers = threads_.Timers();
  ASSERT_EQ(timers.size(), 1u);
  EXPECT_EQ(timers[0].period_ms, kReportPeriodMs);
  EXPECT_EQ(timers[0].proc, &OnReportTimer);
  EXPECT_EQ(ReporterState.TimerId, timers[0].id);
  EXPECT_THAT(host_.Questions(), IsEmpty());
}

TEST_F(PluginTest, TimerTicksRunTheReportCycle) {
  registry_.PlantText(kSettingsKey, "Enabled", "1");
  ASSERT_TRUE(ModuleAttach());
  ASSERT_TRUE(threads_.FireTimer(ReporterState.TimerId));
  EXPECT_THAT(PendingUrls(),
              ElementsAre(kStoppedPrefix + "Username&key=Key&artist=stopped&title=stopped"));
}

// One failing start-up step per test case: the step fails, later steps never run.
class FailedStartUpTest : public PluginTest, public ::testing::WithParamInterface<int> {};

TEST_P(FailedStartUpTest, ShowsOneMessageAndLeavesNoTimerNorMemory) {
  std::string message;
  std::string registry_trace;
  switch (GetParam()) {
    case 0:
      system_.faults.sockets.FailNth(1, true);
      message = kSocketsFailedMessage;
      break;
    case 1:
      registry_.faults.create.FailNth(1, true, kErrorAccessDenied);
      message = "Couldn't create registry keys.";
      registry_trace = "c";
      break;
    default:
      registry_.faults.open.FailNth(1, true, kErrorAccessDenied);
      message = "Couldn't open registry key.";
      registry_trace = "cxo";
      break;
  }

  EXPECT_FALSE(ModuleAttach());
  EXPECT_THAT(system_.messages, ElementsAre(message));
  EXPECT_EQ(RegistryTrace(), registry_trace);
  EXPECT_THAT(threads_.Timers(), IsEmpty());
  EXPECT_EQ(ReporterState.TimerId, 0u);
  EXPECT_EQ(ReporterState.ReportUrl, nullptr);
  EXPECT_EQ(threads_.LiveAllocations(), 0u);
}

INSTANTIATE_TEST_SUITE_P(SocketsCreateKeyOpenKey, FailedStartUpTest, ::testing::Values(0, 1, 2));

TEST_F(PluginTest, NoMemoryForTheReportUrlRefusesToLoadBeforeAnythingStarts) {
  threads_.faults.allocate.FailNth(1, false);
  EXPECT_FALSE(ModuleAttach());
  EXPECT_THAT(system_.messages, ElementsAre(kOutOfMemoryMessage));
  EXPECT_THAT(system_.locales, IsEmpty());
  EXPECT_THAT(threads_.Timers(), IsEmpty());
}

TEST_F(PluginTest, ATimerThatCannotStartStillLoads) {
  threads_.faults.start_timer.FailNth(1, false);
  ASSERT_TRUE(ModuleAttach());
  EXPECT_EQ(ReporterState.TimerId, 0u);
  EXPECT_THAT(system_.messages, IsEmpty());
}

TEST_F(PluginTest, InitReturnsZeroAndChangesNothing) {
  ASSERT_TRUE(ModuleAttach());
  const std::size_t registry_calls = registry_.calls.size();
  EXPECT_EQ(winampGetGeneralPurposePlugin()->init(), 0);
  EXPECT_THAT(host_.Questions(), IsEmpty());
  EXPECT_EQ(threads_.WorkersStarted(), 0);
  EXPECT_EQ(threads_.Timers().size(), 1u);
  EXPECT_EQ(registry_.calls.size(), registry_calls);
  EXPECT_EQ(ReporterState.LastReported, kStoppedKey);
}

TEST_F(PluginTest, QuitSendsStoppedReportWithCurrentAccountAndStopsTimer) {
  ASSERT_TRUE(ModuleAttach());  // nothing stored: reporting off, default account
  ReporterState.RequestInFlight = 1;
  ReporterState.StoppedSent = 1;
  ReporterState.LastReported = "A - B";
  const std::uintptr_t timer = ReporterState.TimerId;

  winampGetGeneralPurposePlugin()->quit();

  EXPECT_THAT(PendingUrls(),
              ElementsAre(kStoppedPrefix + "Username&key=Key&artist=stopped&title=stopped"));
  EXPECT_THAT(threads_.StopCalls(), ElementsAre(timer));
  EXPECT_EQ(ReporterState.TimerId, 0u);
  // Quit neither consults nor changes the cycle's state.
  EXPECT_EQ(ReporterState.RequestInFlight, 1);
  EXPECT_EQ(ReporterState.StoppedSent, 1);
  EXPECT_EQ(ReporterState.LastReported, "A - B");
  EXPECT_THAT(host_.Questions(), IsEmpty());

  // Loaded again while quit's worker still held the module (no new module load): init starts
  // the plug-in afresh instead of leaving it without a timer.
  ReporterState.RequestInFlight = 0;
  EXPECT_EQ(winampGetGeneralPurposePlugin()->init(), 0);
  ASSERT_EQ(threads_.Timers().size(), 2u);
  EXPECT_TRUE(threads_.Timers()[1].running);
  EXPECT_EQ(ReporterState.TimerId, threads_.Timers()[1].id);
  EXPECT_EQ(ReporterState.StoppedSent, 0);
  EXPECT_EQ(ReporterState.LastReported, kStoppedKey);
  winampGetGeneralPurposePlugin()->init();
  EXPECT_EQ(threads_.Timers().size(), 2u);
}

TEST_F(PluginTest, QuitUsesAccountAppliedSinceLoadAndKeepsTheFormattedUrlOwnCopy) {
  ASSERT_TRUE(ModuleAttach());
  Settings.User = "bob & co";
  Settings.Key = "42";
  winampGetGeneralPurposePlugin()->quit();
  // The window thread may format the next report at once: the worker keeps its own copy.
  std::strcpy(ReporterState.ReportUrl, "overwritten");
  EXPECT_THAT(PendingUrls(),
              ElementsAre(kStoppedPrefix + "bob & co&key=42&artist=stopped&title=stopped"));
}

TEST_F(PluginTest, QuitWithoutATimerKillsNone) {
  threads_.faults.start_timer.FailNth(1, false);
  ASSERT_TRUE(ModuleAttach());
  winampGetGeneralPurposePlugin()->quit();
  EXPECT_EQ(PendingUrls().size(), 1u);
  EXPECT_THAT(threads_.StopCalls(), IsEmpty());
  ModuleDetach();
  EXPECT_THAT(threads_.StopCalls(), IsEmpty());
}

TEST_F(PluginTest, UnloadWithoutQuitStopsTheTimerOnce) {
  ASSERT_TRUE(ModuleAttach());
  const std::uintptr_t timer = ReporterState.TimerId;
  ModuleDetach();
  ModuleDetach();
  EXPECT_THAT(threads_.StopCalls(), ElementsAre(timer));
  EXPECT_EQ(ReporterState.ReportUrl, nullptr);
}

TEST_F(PluginTest, ConfigRunsTheDialogModallyWithItsTemplate) {
  ASSERT_TRUE(ModuleAttach());
  dialogs_.AddTemplate(IDD_CONFIGURE, {IDOK, IDC_USERNAME, IDCANCEL, IDC_ENABLE, IDC_REGISTER,
                                       IDC_METHOD_GET, IDC_METHOD_POST, IDC_KEY});
  dialogs_.Click(IDCANCEL);
  winampGetGeneralPurposePlugin()->config();
  EXPECT_EQ(dialogs_.ModalRuns(), 1);
  EXPECT_FALSE(dialogs_.IsOpen());
  EXPECT_THAT(dialogs_.Calls("RunModal"), ElementsAre("RunModal 2000"));
}

}  // namespace
