// Fault sweep across the whole plug-in: every fallible seam call of a small scenario fails in turn.
//
// A scenario runs the plug-in's life against the fakes: module load, timer ticks through a few
// tracks, a stop, the configuration dialog applied and cancelled (with ticks inside it), quit and
// unload. A clean run counts the calls each fault plan sees; then the scenario is run again once
// for every call k of every plan, with call k failing once, and again with every call from k on
// failing. After each run: no handle, block or timer is left behind, RequestInFlight is clear
// whenever no worker is left to run, the next tick without faults reports exactly the right URL,
// and a fresh load of the module reports correctly from what the run left in the registry. Leaks
// and memory errors beyond what the fakes track are ASan's and LSan's to find (native-asan).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "delivery/send_report.h"
#include "delivery/service_url.h"
#include "framework/dialog.h"
#include "platform/fake/fake_dialogs.h"
#include "platform/fake/fake_host.h"
#include "platform/fake/fake_internet.h"
#include "platform/fake/fake_registry.h"
#include "platform/fake/fake_system.h"
#include "platform/fake/fake_threads.h"
#include "plugin/plugin.h"
#include "reporter/reporter_state.h"
#include "settings/resource.h"
#include "settings/settings.h"
#include "tests/support/cycle_fakes.h"
#include "tests/support/scoped_platform.h"

namespace {

// The scenario's base conditions. kWriteProtected denies every registry write, so Apply shows a
// message (with a tick inside the message box) and the message box itself becomes a swept call.
enum class Variant { kGet, kPost, kWriteProtected };

const char* VariantName(Variant variant) {
  switch (variant) {
    case Variant::kGet:
      return "GET";
    case Variant::kPost:
      return "POST";
    case Variant::kWriteProtected:
      return "write-protected registry";
  }
  return "?";
}

// One injection point: call `k` (1-based) of fault site `site` (an index into CWorld::Sites())
// fails, once or from then on. k = 0 is a clean run.
struct CInjection {
  std::size_t site = 0;
  int k = 0;
  bool persistent = false;
};

// One run's fakes, installed as the platform for the run's lifetime.
class CWorld {
 public:
  CWorld(Variant variant, CInjection injection) : variant_(variant), injection_(injection) {
    platform_.Host(host).Threads(threads).System(system).Registry(registry).Internet(internet);
    platform_.Dialogs(dialogs);
    for (CFaultSites fake_sites :
         {host.FaultSites(), threads.FaultSites(), system.FaultSites(), registry.FaultSites(),
          internet.FaultSites(), dialogs.FaultSites()}) {
      sites_.insert(sites_.end(), fake_sites.begin(), fake_sites.end());
    }
    ApplyBase();
    if (injection_.k > 0) {
      sites_[injection_.site].plan->FailNth(injection_.k, injection_.persistent);
    }
  }

  CFakeHost host;
  CFakeThreads threads{CFakeThreads::Mode::kRecord};
  CFakeSystem system;
  CFakeRegistry registry;
  CFakeInternet internet;
  CFakeDialogs dialogs;

  // Every fallible call of every fake, in the same order in every world.
  const CFaultSites& Sites() const { return sites_; }
  bool IsSite(std::size_t site, const CFaultPlan& plan) const { return sites_[site].plan == &plan; }

  // True once the injected fault has struck.
  bool Struck() const {
    return injection_.k > 0 && sites_[injection_.site].plan->Calls() >= injection_.k;
  }

  // Stops the injected fault; the variant's base conditions stay.
  void Disarm() {
    for (const CFaultSite& site : sites_) site.plan->Clear();
    injection_.k = 0;
    ApplyBase();
  }

  // The dialog fake, readied for the next opening: no actions left over from an opening that failed
  // or ended early.
  CFakeDialogs& NextDialog() {
    dialogs.DropPendingActions();
    dialogs.AddTemplate(IDD_CONFIGURE, {IDOK, IDC_USERNAME, IDCANCEL, IDC_ENABLE, IDC_REGISTER,
                                        IDC_METHOD_GET, IDC_METHOD_POST, IDC_KEY});
    return dialogs;
  }

 private:
  void ApplyBase() {
    if (variant_ == Variant::kWriteProtected) registry.faults.set.FailNth(1, true);
  }

  Variant variant_;
  CInjection injection_;
  CScopedPlatform platform_;
  CFaultSites sites_;
};

const std::string kRecoveryPath = "C:\\Music\\Recovery - Song.mp3";

std::string TrackUrl(const std::string& user, const std::string& key, const std::string& tags) {
  return std::string(kServiceBaseUrl) + "/?user=" + user + "&key=" + key + tags;
}

class FaultSweepTest : public ::testing::TestWithParam<Variant> {
 protected:
  void SetUp() override { ResetModuleRecords(); }
  void TearDown() override { ResetModuleRecords(); }

  void Tick(CWorld& world) { world.threads.FireTimer(ReporterState.TimerId); }

  // Runs every worker started so far. None is left to clear RequestInFlight afterwards, so it must
  // be clear.
  void RunWorkers(CWorld& world) {
    world.threads.RunPendingWorkers();
    EXPECT_EQ(ReporterState.RequestInFlight.load(), 0) << "RequestInFlight outlived the workers";
  }

  bool TimerRunning(const CWorld& world) const {
    for (const CFakeThreads::CTimer& timer : world.threads.Timers()) {
      if (timer.running) return true;
    }
    return false;
  }

  // The next tick, without faults, with a track never reported before: exactly one worker on
  // exactly the right URL, whose exchange completes and lowers the flag.
  void ExpectNextTickReports(CWorld& world) {
    world.host.Play(42, kRecoveryPath, {{"ARTIST", "Recovery"}, {"TITLE", "Song"}});
    const std::size_t calls_before = world.internet.Calls().size();
    Tick(world);
    const std::vector<CFakeThreads::CPendingWorker> pending = world.threads.PendingWorkers();
    if (!TimerRunning(world) || Settings.Enabled == 0) {
      EXPECT_TRUE(pending.empty());
      return;
    }
    ASSERT_EQ(pending.size(), 1u) << "the next tick started no report";
    EXPECT_EQ(
        static_cast<const ReportJob*>(pending[0].arg)->Url,
        TrackUrl(Settings.User, Settings.Key, "&artist=Recovery&title=Song&album=&year=&genre="));
    RunWorkers(world);
    const std::vector<std::string> calls = world.internet.Calls();
    std::string last_step;
    for (std::size_t i = calls_before; i < calls.size(); ++i) {
      EXPECT_EQ(calls[i].find("-> fail"), std::string::npos) << calls[i];
      if (calls[i].rfind("ReleaseHandle", 0) != 0) last_step = calls[i];
    }
    const bool post = Settings.Method == 0;
    EXPECT_EQ(last_step.rfind(post ? "EndRequest(" : "SendRequest(", 0), 0u) << last_step;
  }

  // Nothing the run made is left behind.
  void ExpectNothingLeft(const CWorld& world) {
    EXPECT_TRUE(world.threads.PendingWorkers().empty());
    EXPECT_EQ(ReporterState.RequestInFlight.load(), 0);
    EXPECT_FALSE(TimerRunning(world)) << "a timer outlived the module";
    EXPECT_EQ(world.threads.LiveAllocations(), 0u);
    EXPECT_EQ(world.threads.BadReleases(), 0);
    EXPECT_EQ(world.registry.OpenHandles(), 0u);
    EXPECT_EQ(world.registry.bad_handle_uses, 0);
    EXPECT_EQ(world.internet.OpenHandles(), 0u);
    EXPECT_EQ(world.internet.BadReleases(), 0);
    EXPECT_EQ(world.dialogs.Misuses(), 0);
  }

  void OpenDialogAndApply(CWorld& world) {
    CFakeDialogs& dialogs = world.NextDialog();
    dialogs.Type(IDC_USERNAME, "bob");
    dialogs.Type(IDC_KEY, "456");
    dialogs.Click(IDC_REGISTER);
    // Ticks go on inside the modal loop: a new track is reported with the account not yet applied.
    dialogs.Then([this, &world] {
      world.host.Play(3, "C:\\Music\\Third.mp3",
                      {{"ARTIST", "Salt & Sand"}, {"TITLE", "Wave (Live)"}, {"ALBUM", "Tides"}});
      Tick(world);
    });
    dialogs.Click(IDOK);
    dialogs.Command(IDCANCEL);  // reached only when Apply failed and left the dialog open
    winampGetGeneralPurposePlugin()->config();
  }

  void OpenDialogAndCancel(CWorld& world) {
    CFakeDialogs& dialogs = world.NextDialog();
    dialogs.Type(IDC_USERNAME, "carol");
    dialogs.ToggleCheck(IDC_ENABLE);
    dialogs.Then([this, &world] { Tick(world); });
    dialogs.Click(IDCANCEL);
    winampGetGeneralPurposePlugin()->config();
  }

  // The scenario; returns whether the module loaded.
  bool RunScenario(CWorld& world, Variant variant) {
    world.registry.PlantText(kSettingsKey, "User", "alice");
    world.registry.PlantText(kSettingsKey, "Key", "123");
    world.registry.PlantText(kSettingsKey, "Enabled", "1");
    world.registry.PlantText(kSettingsKey, "Method", variant == Variant::kPost ? "POST" : "GET");
    world.system.on_message = [this, &world](const std::string&) { Tick(world); };
    int window = 0;
    PluginDescriptor.hwndParent = &window;

    if (!ModuleAttach()) {
      EXPECT_EQ(ReporterState.ReportUrl, nullptr);
      EXPECT_EQ(ReporterState.TimerId, 0u);
      return false;
    }
    world.host.Play(1, "C:\\Music\\First.mp3", {{"ARTIST", "First"}, {"TITLE", "Song"}});
    Tick(world);
    RunWorkers(world);
    Tick(world);  // same track: nothing to report

    // No tags: artist and title come from the file name.
    world.host.Play(2, "C:\\Music\\Some Band - Hello World.mp3", {});
    Tick(world);
    RunWorkers(world);

    OpenDialogAndApply(world);
    RunWorkers(world);

    world.host.SetPlayState(3);
    Tick(world);
    RunWorkers(world);
    Tick(world);  // still paused: no second stopped report

    OpenDialogAndCancel(world);
    RunWorkers(world);

    world.host.Play(4, "C:\\Music\\Fourth.mp3", {{"ARTIST", "A_B"}, {"TITLE", "50% off"}});
    Tick(world);
    RunWorkers(world);

    if (world.Struck()) {
      world.Disarm();
      ExpectNextTickReports(world);
    }
    winampGetGeneralPurposePlugin()->quit();
    RunWorkers(world);
    ModuleDetach();
    return true;
  }

  // A fresh mapping of the module, without faults, loads what the faulted run left in the
  // registry and reports correctly.
  void ExpectFreshLoadReports(CWorld& world, bool write_protected, bool read_failed) {
    world.Disarm();
    ResetModuleRecords();
    ASSERT_TRUE(ModuleAttach());
    const auto user = world.registry.Text(kSettingsKey, "User");
    const auto key = world.registry.Text(kSettingsKey, "Key");
    const auto enabled = world.registry.Text(kSettingsKey, "Enabled");
    ASSERT_TRUE(user.has_value() && key.has_value());
    // Apply writes in the order Enabled, Method, User, Key and stops at the first failure: each
    // value holds either its planted or its applied text. When a read failed at load, the dialog
    // showed (and Apply wrote back) the defaults, the edit boxes being disabled with reporting off.
    EXPECT_TRUE(user == "alice" || (user == "bob" && !write_protected) ||
                (user == "Username" && read_failed))
        << user.value_or("-");
    EXPECT_TRUE(key == "123" || (key == "456" && !write_protected) || (key == "Key" && read_failed))
        << key.value_or("-");
    EXPECT_EQ(Settings.User, *user);
    EXPECT_EQ(Settings.Key, *key);
    EXPECT_EQ(Settings.Enabled, enabled == "1" ? 1 : 0);
    ExpectNextTickReports(world);
    winampGetGeneralPurposePlugin()->quit();
    RunWorkers(world);
    ModuleDetach();
    ExpectNothingLeft(world);
  }

  // Runs the scenario with one injection and checks everything; returns false on a failure.
  bool RunInjected(Variant variant, CInjection injection) {
    ResetModuleRecords();
    CWorld world(variant, injection);
    SCOPED_TRACE(std::string(VariantName(variant)) + ": " + world.Sites()[injection.site].name +
                 " call " + std::to_string(injection.k) +
                 (injection.persistent ? " and on" : " once"));
    const auto injected = [&](const CFaultPlan& plan) {
      return injection.k > 0 && world.IsSite(injection.site, plan);
    };
    const bool loaded = RunScenario(world, variant);
    ExpectNothingLeft(world);
    if (!loaded) {
      // A refused load shows exactly one message, unless the message box itself failed.
      EXPECT_EQ(world.system.messages.size(), injected(world.system.faults.message) ? 0u : 1u);
    }
    // Without an injected read failure, the settings loaded are the planted ones.
    const bool read_failed = injected(world.registry.faults.query);
    if (loaded && !read_failed) {
      EXPECT_EQ(Settings.Enabled, 1);
    }
    ExpectFreshLoadReports(world, variant == Variant::kWriteProtected, read_failed);
    return !HasFailure();
  }
};

TEST_P(FaultSweepTest, EveryFallibleCallFailsOnceAndPersistently) {
  const Variant variant = GetParam();
  ASSERT_TRUE(RunInjected(variant, CInjection{}));  // the clean run must pass on its own

  // Count each site's calls in a clean run of the scenario alone.
  struct CSiteCount {
    std::string name;
    int calls;
    bool skipped;   // already failing in every run of the variant
    bool optional;  // a call the variant need not reach
  };
  std::vector<CSiteCount> counts;
  {
    ResetModuleRecords();
    CWorld world(variant, CInjection{});
    RunScenario(world, variant);
    for (std::size_t i = 0; i < world.Sites().size(); ++i) {
      // The base condition of the write-protected variant already fails every write, and only
      // that variant shows a message box.
      const bool write_protected = variant == Variant::kWriteProtected;
      counts.push_back({world.Sites()[i].name, world.Sites()[i].plan->Calls(),
                        write_protected && world.IsSite(i, world.registry.faults.set),
                        !write_protected && world.IsSite(i, world.system.faults.message)});
    }
  }

  int swept = 0;
  std::string summary;
  for (std::size_t site = 0; site < counts.size(); ++site) {
    if (counts[site].skipped) continue;
    summary += " " + counts[site].name + "=" + std::to_string(counts[site].calls);
    for (int k = 1; k <= counts[site].calls; ++k) {
      for (bool persistent : {false, true}) {
        ++swept;
        if (!RunInjected(variant, CInjection{site, k, persistent})) return;
      }
    }
  }
  std::printf("fault sweep (%s): %d injection points swept (calls per run:%s)\n",
              VariantName(variant), swept, summary.c_str());
  // The scenario must reach every kind of fallible call, or the sweep would silently skip it.
  for (const CSiteCount& count : counts) {
    if (count.optional) continue;
    EXPECT_GT(count.calls, 0) << count.name << " never called by the scenario";
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, FaultSweepTest,
                         ::testing::Values(Variant::kGet, Variant::kPost, Variant::kWriteProtected),
                         [](const ::testing::TestParamInfo<Variant>& info) {
                           switch (info.param) {
                             case Variant::kGet:
                               return std::string("Get");
                             case Variant::kPost:
                               return std::string("Post");
                             case Variant::kWriteProtected:
                               return std::string("WriteProtected");
                           }
                           return std::string("Unknown");
                         });

}  // namespace
