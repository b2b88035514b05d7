// Soak: thousands of reports through the real DLL to a loopback server, with the process's handle
// count and private bytes sampled after a warm-up, on the way and at the end. The handle count must
// stay flat (1%); so must private bytes with VELK_SOAK_STRICT=1 (scripts/soak), while the short run
// bounds their growth per report. VELK_SOAK_REPORTS sets the number of reports (default 250, what
// CI runs with the 200 ms test period); scripts/soak runs 10,000 with a 5 ms period.
//
// The host here is a minimal one that keeps nothing per question (the simulated player logs every
// question, which would grow the very figures measured): every play-state question moves to a new
// track, so that every tick whose gate is open makes one report.
#include <windows.h>

#include <cstdio>
#include <string>

#include "e2e_support.h"
#include "process_figures.h"
#include "tests/player/host_player.h"
#include "wine_check.h"

namespace {

constexpr char kReportPrefix[] = "GET /signature/generate/?user=alice&key=12345&artist=Soak&";
constexpr DWORD kPhaseLimitMs = 15 * 60 * 1000;
// Growth of private bytes per report that the short run tolerates (see the end of main).
constexpr double kLeakBytesPerReport = 1024;

class CSoakHost {
 public:
  // While frozen, the host keeps playing the same track, so ticks report nothing.
  void Freeze(bool frozen) { frozen_ = frozen; }
  long TracksStarted() const { return track_; }

  LRESULT Answer(WPARAM wparam, LPARAM lparam) {
    switch (lparam) {
      case kHostIsPlaying:
        if (!frozen_) ++track_;
        return 1;
      case kHostGetListPos:
        return 0;
      case kHostGetPlaylistFile:
        std::snprintf(path_, sizeof path_, "C:\\Music\\Soak - Track %ld.mp3", track_);
        return reinterpret_cast<LRESULT>(path_);
      case kHostGetExtendedFileInfo:
        return AnswerTag(reinterpret_cast<HostExtendedFileInfo*>(wparam));
      default:
        return 0;
    }
  }

 private:
  LRESULT AnswerTag(HostExtendedFileInfo* request) {
    if (request == nullptr || request->metadata == nullptr || request->retlen <= 0) return 0;
    const std::string tag = request->metadata;
    char value[64];
    if (tag == "ARTIST") {
      std::snprintf(value, sizeof value, "Soak");
    } else if (tag == "TITLE") {
      std::snprintf(value, sizeof value, "Track %ld", track_);
    } else if (tag == "ALBUM") {
      std::snprintf(value, sizeof value, "Long Run");
    } else {
      return 0;
    }
    lstrcpynA(request->ret, value, request->retlen);
    return 1;
  }

  bool frozen_ = false;
  long track_ = 0;
  char path_[MAX_PATH] = {};
};

CSoakHost g_host;

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_USER) return g_host.Answer(wparam, lparam);
  return DefWindowProcA(window, message, wparam, lparam);
}

// Dispatches this thread's messages (the plug-in's timer among them) until `done` holds or the
// limit passes. Returns whether `done` held.
template <typename Done>
bool PumpUntil(Done done, DWORD limit_ms) {
  const ULONGLONG deadline = GetTickCount64() + limit_ms;
  while (!done()) {
    if (GetTickCount64() >= deadline) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  }
  return true;
}

// Lets the plug-in report until `count` tracks have been started and all of them have arrived,
// then samples the process with no exchange under way.
bool ReportUpTo(figures::CCountingServer& server, long count, figures::CProcessFigures* sample) {
  g_host.Freeze(false);
  bool ok = PumpUntil([&] { return g_host.TracksStarted() >= count; }, kPhaseLimitMs);
  g_host.Freeze(true);
  ok = ok && PumpUntil([&] { return server.Reports() >= g_host.TracksStarted(); }, 30000);
  *sample = figures::Sample();
  return ok;
}

}  // namespace

int main() {
  const long reports = figures::CountFromEnvironment("VELK_SOAK_REPORTS", 250);
  // WinINet and the thread pool create some objects on first use; they are made by then.
  const long warm_up = reports / 2 < 100 ? reports / 2 : 100;
  CHECK(e2e::PlantSettings(
      {{"Enabled", "1"}, {"Method", "GET"}, {"User", "alice"}, {"Key", "12345"}}));

  figures::CCountingServer server;
  server.SetExpectedPrefix(kReportPrefix);
  if (!CHECK(server.Start())) return winecheck::Finish();

  WNDCLASSA window_class = {};
  window_class.lpfnWndProc = HostWindowProc;
  window_class.hInstance = GetModuleHandleA(nullptr);
  window_class.lpszClassName = "VelkSoakHost";
  CHECK(RegisterClassA(&window_class) != 0);
  HWND window = CreateWindowA("VelkSoakHost", "Soak", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              window_class.hInstance, nullptr);
  CHECK(window != nullptr);

  HMODULE module = LoadLibraryA(e2e::PluginPath().c_str());
  if (!CHECK(module != nullptr)) return winecheck::Finish();
  using GetDescriptor = HostPluginDescriptor* (*)();
  const auto get_descriptor = reinterpret_cast<GetDescriptor>(
      reinterpret_cast<void*>(GetProcAddress(module, "winampGetGeneralPurposePlugin")));
  if (!CHECK(get_descriptor != nullptr)) return winecheck::Finish();
  HostPluginDescriptor* descriptor = get_descriptor();
  descriptor->hwndParent = window;
  descriptor->hDllInstance = module;
  CHECK_EQ_INT(descriptor->init(), 0);

  const ULONGLONG began = GetTickCount64();
  figures::CProcessFigures start;
  figures::CProcessFigures end;
  CHECK(ReportUpTo(server, warm_up, &start));
  figures::Print(("after " + std::to_string(warm_up) + " reports").c_str(), start);
  // Four steps between warm-up and end, printed, so that a growth shows its curve.
  for (int step = 1; step <= 4; ++step) {
    const long count = warm_up + (reports - warm_up) * step / 5;
    figures::CProcessFigures sample;
    CHECK(ReportUpTo(server, count, &sample));
    figures::Print(("after " + std::to_string(count) + " reports").c_str(), sample);
  }
  CHECK(ReportUpTo(server, reports, &end));
  const double seconds = (GetTickCount64() - began) / 1000.0;

  // Optionally, ticks that report nothing (the same track goes on playing) for a while: tells the
  // cost of the timer and the host questions from that of the exchanges.
  const int idle_ms = figures::CountFromEnvironment("VELK_SOAK_IDLE_MS", 0);
  if (idle_ms > 0) {
    const figures::CProcessFigures before = figures::Sample();
    PumpUntil([] { return false; }, static_cast<DWORD>(idle_ms));
    figures::Print("idle ticks, before", before);
    figures::Print("idle ticks, after", figures::Sample());
  }

  descriptor->quit();
  FreeLibrary(module);
  CHECK(PumpUntil([] { return GetModuleHandleA("gen_Velk.dll") == nullptr; }, 30000));
  server.Stop();
  DestroyWindow(window);

  // Every track once; quit's stopped report does not match the track prefix.
  CHECK_EQ_INT(server.Reports(), reports);
  CHECK_EQ_INT(server.Others(), 1);
  figures::Print("after warm-up", start);
  figures::Print("at the end", end);
  std::printf("%ld reports in %.1f s (%.0f per second)\n", server.Reports(), seconds,
              seconds > 0 ? server.Reports() / seconds : 0.0);
  CHECK(figures::FlatHandles(start.handles, end.handles));
  const long measured = reports - warm_up;
  const double growth_per_report =
      measured > 0 ? (static_cast<double>(end.private_bytes) - start.private_bytes) / measured : 0;
  std::printf("private bytes: %+.2f%% after warm-up, %.0f bytes per report\n",
              (static_cast<double>(end.private_bytes) - start.private_bytes) * 100.0 /
                  static_cast<double>(start.private_bytes),
              growth_per_report);
  if (figures::CountFromEnvironment("VELK_SOAK_STRICT", 0) != 0) {
    CHECK(figures::Flat(start.private_bytes, end.private_bytes, 1.0));
  } else {
    // Wine 8's WinINet alone, called directly with no plug-in code, keeps about 160 bytes per
    // exchange repeating one URL and about 430 per new URL, and every report is a new URL; a leaked
    // URL copy, request handle or thread stack per report would show as kilobytes.
    CHECK(growth_per_report <= kLeakBytesPerReport);
  }
  return winecheck::Finish();
}
