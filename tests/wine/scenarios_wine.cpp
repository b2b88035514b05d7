// The end-to-end scenario suite: each tests/scenarios/*.scenario file played through the real
// gen_Velk.dll in the simulated player, against the loopback capture server.
//
// A scenario file has sections, each opened by a line "[name]":
//   [registry]   Name=Value lines planted as REG_SZ values under HKCU\Software\Winamp\Velk before
//                the DLL loads (the key is emptied first); values use the byte notation below.
//   [playlist]   the simulated player's playlist, verbatim. "@mark server-down" stops the capture
//                server and "@mark server-up" starts it again.
//   [server]     "ok" (default: answer 200 at once), "silent" (read, never answer) or "trickle"
//                (answer with a header that grows a byte every 500 ms and never ends); the last
//                two are stopped once the expected requests have arrived, which ends the workers.
//   [dialog]     what a driver thread does to the configuration dialog, one action a line:
//                "enable" clicks the check box, "user=TEXT" and "key=TEXT" replace the edit
//                boxes' text, "apply" and "cancel" click those buttons and end one opening,
//                "quit" calls the plug-in's quit entry from the driver's thread.
//   [questions]  optional: the exact questions the plug-in must ask, in order, as the player
//                prints them (an empty section: no question at all).
//   [request]    one per request the server must receive, in order; its lines are joined, and
//                "\r", "\n", "\t", "\\" and "\xHH" stand for those bytes.
// Lines starting with "#" and blank lines are ignored outside the playlist. The first comment
// line says what the scenario shows.
//
// Arguments: an optional substring; only scenarios whose name holds it run. VELK_RECORD=1 prints
// the requests and questions received in the file's notation instead of failing on them;
// VELK_VERBOSE=1 prints every question as it is asked.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "capture_server.h"
#include "e2e_support.h"
#include "tests/player/host_player.h"
#include "tests/player/playlist.h"
#include "wine_check.h"

namespace {

constexpr char kDialogCaption[] = "Velk - Winamp Moxel";
constexpr int kEnableCheckBox = 2002;
constexpr int kUserEdit = 2000;
constexpr int kKeyEdit = 2001;
constexpr unsigned kPlaylistLimitMs = 60000;
constexpr DWORD kRequestWaitMs = 10000;
// Longest the player's thread may go without dispatching its messages; a dialog opening takes
// the most.
constexpr double kLongestStallMs = 1000;
// How long the server keeps listening after the expected requests, to catch unexpected ones.
constexpr DWORD kQuietAfterMs = 300;

struct CScenario {
  std::string name;
  std::string description;
  std::vector<std::pair<std::string, std::string>> registry;
  std::string playlist;
  CCaptureServer::Mode server_mode = CCaptureServer::Mode::kAnswerOk;
  std::vector<std::string> dialog;
  bool check_questions = false;
  std::vector<std::string> questions;
  std::vector<std::string> requests;
};

bool ParseScenario(const std::string& text, CScenario* scenario, std::string* error) {
  std::string section;
  int number = 0;
  for (const std::string& line : SplitLines(text)) {
    ++number;
    const std::string where = "line " + std::to_string(number) + ": ";
    if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
      section = line.substr(1, line.size() - 2);
      if (section == "request") scenario->requests.emplace_back();
      if (section == "questions") scenario->check_questions = true;
      continue;
    }
    if (section == "playlist") {
      scenario->playlist += line + "\n";
      continue;
    }
    if (line.empty()) continue;
    if (line[0] == '#') {
      if (scenario->description.empty()) scenario->description = line.substr(1);
      continue;
    }
    std::string bytes;
    if (section == "registry") {
      const std::size_t equals = line.find('=');
      if (equals == std::string::npos || !e2e::Unescape(line.substr(equals + 1), &bytes)) {
        *error = where + "a registry line reads Name=Value";
        return false;
      }
      scenario->registry.emplace_back(line.substr(0, equals), bytes);
    } else if (section == "server") {
      if (line != "ok" && line != "silent" && line != "trickle") {
        *error = where + "the server is \"ok\", \"silent\" or \"trickle\"";
        return false;
      }
      scenario->server_mode = line == "ok"       ? CCaptureServer::Mode::kAnswerOk
                              : line == "silent" ? CCaptureServer::Mode::kSilent
                                                 : CCaptureServer::Mode::kTrickle;
    } else if (section == "dialog") {
      scenario->dialog.push_back(line);
    } else if (section == "questions") {
      scenario->questions.push_back(line);
    } else if (section == "request") {
      if (!e2e::Unescape(line, &bytes)) {
        *error = where + "bad escape in a request";
        return false;
      }
      scenario->requests.back() += bytes;
    } else {
      *error = where + "text outside a known section";
      return false;
    }
  }
  return true;
}

// Works the configuration dialog from its own thread, as a user would, while the player's thread
// runs the dialog's modal loop. Each "apply" or "cancel" ends one opening.
class CDialogDriver {
 public:
  explicit CDialogDriver(std::vector<std::string> actions) : actions_(std::move(actions)) {}

  void Start() {
    if (!actions_.empty()) thread_ = CreateThread(nullptr, 0, &Main, this, 0, nullptr);
  }
  // Ends the thread (it gives up waiting for a dialog that will not come) and returns what went
  // wrong, or the empty text.
  std::string Join() {
    stop_ = true;
    if (thread_ != nullptr) {
      WaitForSingleObject(thread_, INFINITE);
      CloseHandle(thread_);
    }
    return failure_;
  }
  int Openings() const { return openings_; }

 private:
  static DWORD WINAPI Main(LPVOID self) {
    static_cast<CDialogDriver*>(self)->Drive();
    return 0;
  }

  HWND WaitForDialog() {
    for (;;) {
      HWND dialog = FindWindowA(nullptr, kDialogCaption);
      if (dialog != nullptr && IsWindowVisible(dialog)) {
        Sleep(50);
        return dialog;
      }
      if (stop_) return nullptr;
      Sleep(10);
    }
  }

  bool WaitForClose(HWND dialog) {
    for (int i = 0; i < 1000 && IsWindow(dialog); ++i) Sleep(10);
    return !IsWindow(dialog);
  }

  void Drive() {
    HWND dialog = nullptr;
    for (const std::string& action : actions_) {
      if (dialog == nullptr) {
        dialog = WaitForDialog();
        if (dialog == nullptr) {
          failure_ = "the dialog never opened for \"" + action + "\"";
          return;
        }
        ++openings_;
      }
      if (action == "enable") {
        SendMessageA(GetDlgItem(dialog, kEnableCheckBox), BM_CLICK, 0, 0);
      } else if (action.rfind("user=", 0) == 0 || action.rfind("key=", 0) == 0) {
        const bool user = action[0] == 'u';
        std::string text;
        e2e::Unescape(action.substr(user ? 5 : 4), &text);
        SetWindowTextA(GetDlgItem(dialog, user ? kUserEdit : kKeyEdit), text.c_str());
      } else if (action == "quit") {
        using GetPlugin = HostPluginDescriptor* (*)();
        auto get = reinterpret_cast<GetPlugin>(reinterpret_cast<void (*)()>(
            GetProcAddress(GetModuleHandleA("gen_Velk.dll"), "winampGetGeneralPurposePlugin")));
        get()->quit();
      } else if (action == "apply" || action == "cancel") {
        SendMessageA(GetDlgItem(dialog, action == "apply" ? IDOK : IDCANCEL), BM_CLICK, 0, 0);
        if (!WaitForClose(dialog)) {
          failure_ = "the dialog stayed open after \"" + action + "\"";
          return;
        }
        dialog = nullptr;
      } else {
        failure_ = "unknown dialog action \"" + action + "\"";
        return;
      }
    }
  }

  std::vector<std::string> actions_;
  HANDLE thread_ = nullptr;
  std::atomic<bool> stop_{false};
  std::string failure_;
  int openings_ = 0;
};

bool EnvironmentFlag(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' && *value != '0';
}

void PrintRecording(const std::vector<std::string>& requests,
                    const std::vector<CHostQuestion>& questions) {
  std::printf("[questions]\n");
  for (const CHostQuestion& question : questions) std::printf("%s\n", question.text.c_str());
  for (const std::string& request : requests) {
    std::printf("\n[request]\n");
    e2e::PrintEscaped("", request);
  }
}

// Compares what arrived with what the scenario expects; prints each difference.
void CheckRequests(const CScenario& scenario, const std::vector<std::string>& got) {
  CHECK_EQ_INT(got.size(), scenario.requests.size());
  const std::size_t common = std::min(got.size(), scenario.requests.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (CHECK(got[i] == scenario.requests[i])) continue;
    std::printf("  request %zu expected:\n", i + 1);
    e2e::PrintEscaped("    ", scenario.requests[i]);
    std::printf("  request %zu received:\n", i + 1);
    e2e::PrintEscaped("    ", got[i]);
  }
  for (std::size_t i = common; i < got.size(); ++i) {
    std::printf("  unexpected request %zu:\n", i + 1);
    e2e::PrintEscaped("    ", got[i]);
  }
}

void CheckQuestions(const CScenario& scenario, const std::vector<CHostQuestion>& got) {
  std::vector<std::string> texts;
  for (const CHostQuestion& question : got) texts.push_back(question.text);
  if (CHECK(texts == scenario.questions)) return;
  std::size_t first = 0;
  while (first < texts.size() && first < scenario.questions.size() &&
         texts[first] == scenario.questions[first]) {
    ++first;
  }
  std::printf("  questions differ from number %zu on:\n", first + 1);
  std::printf("    expected: %s\n", first < scenario.questions.size()
                                        ? scenario.questions[first].c_str()
                                        : "(no more questions)");
  std::printf("    asked:    %s\n",
              first < texts.size() ? texts[first].c_str() : "(no more questions)");
}

void RunScenario(const CScenario& scenario, bool record) {
  std::printf("== %s:%s\n", scenario.name.c_str(), scenario.description.c_str());
  std::fflush(stdout);
  const int failed_before = winecheck::Counts().failed;
  std::vector<CPlaylistEntry> playlist;
  std::string error;
  if (!CHECK(ParsePlaylist(scenario.playlist, &playlist, &error))) {
    std::printf("  %s\n", error.c_str());
    return;
  }
  CHECK(e2e::PlantSettings(scenario.registry));
  e2e::CServers servers(scenario.server_mode);
  CHECK(servers.Up());
  e2e::CSilentStopper stopper{&servers, scenario.requests.size(), kRequestWaitMs + kPlaylistLimitMs,
                              kQuietAfterMs};
  if (scenario.server_mode != CCaptureServer::Mode::kAnswerOk) stopper.Start();
  CDialogDriver driver(scenario.dialog);
  driver.Start();

  CPlayerOptions options;
  options.dll_path = e2e::PluginPath();
  options.print_questions = EnvironmentFlag("VELK_VERBOSE");
  options.max_run_ms = kPlaylistLimitMs;
  options.on_mark = [&servers](const std::string& mark) {
    if (mark == "server-down") {
      servers.Down();
    } else if (mark == "server-up") {
      CHECK(servers.Up());
    } else {
      CHECK_EQ_STR(mark, "server-down or server-up");
    }
  };
  CHostPlayer player(options, playlist);
  const bool ran = player.Run(&error);
  if (!CHECK(ran)) std::printf("  %s\n", error.c_str());
  const std::string dialog_failure = driver.Join();
  CHECK_EQ_STR(dialog_failure, "");
  CHECK_EQ_INT(player.ConfigCalls(), driver.Openings());
  std::printf("  the player's thread was held %.0f ms at most\n",
              player.LongestStallMilliseconds());
  CHECK(player.LongestStallMilliseconds() < kLongestStallMs);

  stopper.Join();
  servers.WaitFor(scenario.requests.size(), kRequestWaitMs);
  Sleep(kQuietAfterMs);
  const std::vector<std::string> requests = servers.All();
  servers.Down();

  if (record) {
    PrintRecording(requests, player.Questions());
    return;
  }
  CheckRequests(scenario, requests);
  if (scenario.check_questions) CheckQuestions(scenario, player.Questions());
  if (winecheck::Counts().failed != failed_before && !options.print_questions) {
    std::printf("  questions asked:\n");
    for (const CHostQuestion& question : player.Questions()) {
      std::printf("    [%7.3f] %s\n", question.seconds, question.text.c_str());
    }
  }
}

std::vector<std::string> ScenarioFiles(const std::string& directory) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((directory + "*.scenario").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string directory =
      e2e::DirectoryFromEnvironment("VELK_SOURCE_DIR", "\\tests\\scenarios\\");
  const std::string filter = argc > 1 ? argv[1] : "";
  const bool record = EnvironmentFlag("VELK_RECORD");
  const std::vector<std::string> files = ScenarioFiles(directory);
  CHECK(!files.empty());
  for (const std::string& file : files) {
    CScenario scenario;
    scenario.name = file.substr(0, file.size() - std::string(".scenario").size());
    if (scenario.name.find(filter) == std::string::npos) continue;
    std::string text;
    std::string error;
    if (!CHECK(ReadWholeFile(directory + file, &text)) ||
        !CHECK(ParseScenario(text, &scenario, &error))) {
      std::printf("%s: %s\n", file.c_str(), error.c_str());
      continue;
    }
    RunScenario(scenario, record);
  }
  return winecheck::Finish();
}
