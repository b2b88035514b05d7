// cycle_demo: the report cycle against a simulated player, printing each tick and its report URL.
#include <cstdio>
#include <map>
#include <string>

#include "platform/fake/cycle_fakes.h"
#include "platform/fake/fake_host.h"
#include "platform/fake/fake_internet.h"
#include "platform/fake/fake_threads.h"
#include "platform/platform.h"
#include "reporter/report_cycle.h"
#include "reporter/reporter_state.h"
#include "reporter/service_url.h"
#include "settings/settings.h"

namespace {

class CDemo {
 public:
  CDemo() { InstallCycleFakes(host_, threads_, internet_); }
  ~CDemo() {
    threads_.RunPendingWorkers();
    RemoveCycleFakes(CPlatform{});
  }

  CFakeHost& Host() { return host_; }

  // Runs one tick after printing `what` the player is doing, then prints what the cycle asked and
  // the report it handed to a worker, if any.
  void Tick(const char* what) {
    host_.ClearQuestions();
    const int started = threads_.WorkersStarted();
    OnReportTimer();
    std::printf("tick %d: %s\n", ++tick_, what);
    std::printf("  asked:  %s\n", Asked().c_str());
    if (threads_.WorkersStarted() > started) {
      std::printf("  report: %s\n", ReporterState.ReportUrl);
    } else if (ReporterState.RequestInFlight.load() != 0) {
      std::printf("  report: none, the previous report is still in flight\n");
    } else if (host_.Questions().size() == 1) {
      std::printf("  report: none, the stop was reported already\n");
    } else {
      std::printf("  report: none, nothing changed since \"%s\"\n",
                  ReporterState.LastReported.c_str());
    }
  }

  // Lets the workers started so far run their exchanges, which clears RequestInFlight.
  void FinishReports() {
    if (threads_.RunPendingWorkers() > 0) std::printf("  (the report's exchange ends)\n");
  }

 private:
  std::string Asked() const {
    std::string asked;
    for (const CHostQuestion& question : host_.Questions()) {
      if (!asked.empty()) asked += ", ";
      switch (question.lparam) {
        case kIpcIsPlaying:
          asked += "playing?";
          break;
        case kIpcGetListPos:
          asked += "position";
          break;
        case kIpcGetPlaylistFile:
          asked += "file";
          break;
        default:
          asked += question.tag_name;
          break;
      }
    }
    return asked.empty() ? "nothing" : asked;
  }

  CFakeHost host_;
  CFakeThreads threads_{CFakeThreads::Mode::kRecord};
  CFakeInternet internet_;
  int tick_ = 0;
};

}  // namespace

int main() {
  std::printf("Velk report cycle against a simulated player\n");
  std::printf("service: %s, user \"alice\", key \"k3y\", reporting on\n\n", kServiceBaseUrl);
  CDemo demo;
  CFakeHost& host = demo.Host();

  host.Play(0, "C:\\Music\\Salt & Sand - Wave.mp3",
            {{"ARTIST", "Salt & Sand"},
             {"TITLE", "Wave (Live)"},
             {"ALBUM", "Tides"},
             {"YEAR", "2001"},
             {"GENRE", "Rock"}});
  demo.Tick("playing a tagged track");
  demo.Tick("the same track, its report not yet delivered");
  demo.FinishReports();
  demo.Tick("the same track");

  host.Play(1, "C:\\Music\\Artist - Title.mp3", {});
  demo.Tick("the next track, untagged: artist and title from the file name");
  demo.FinishReports();

  host.Play(2, "C:\\Music\\Other Band - Another Song.mp3",
            {{"ARTIST", "Other Band"}, {"TITLE", "Another Song"}, {"GENRE", "Jazz"}});
  demo.Tick("a track change");
  demo.FinishReports();

  host.SetPlayState(3);
  demo.Tick("paused (the player answers 3)");
  demo.FinishReports();
  demo.Tick("still paused");

  host.SetPlayState(1);
  demo.Tick("playing again, the same track");
  demo.FinishReports();

  host.SetPlayState(0);
  demo.Tick("stopped");
  demo.FinishReports();
  demo.Tick("still stopped");
  return 0;
}
