// End-to-end run of Velk-Setup.exe under Wine: a silent install into a planted player folder that
// the registry names while the player runs, a silent uninstall that keeps the settings, a silent
// install refused for a folder without winamp.exe, a silent install with an account whose first
// report the installed plug-in sends, an upgrade that keeps the settings, and screenshots of the
// folder and account pages.
//
//   setup_wine INSTALLER     (a Unix or Windows path; VELK_BIN_DIR names the built gen_Velk.dll's
//   folder)

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/player/host_player.h"
#include "tests/wine/e2e_support.h"
#include "tests/wine/screenshot.h"
#include "tests/wine/wine_check.h"

namespace {

const std::string kTop = "C:\\velk setup test";
const std::string kPlayer = kTop + "\\Winamp";
const std::string kPlugins = kPlayer + "\\Plugins";
const std::string kUninstaller = kPlugins + "\\Uninstall-Velk.exe";
const char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Velk";
const char kSettingsKey[] = "Software\\Winamp\\Velk";
const char kPlayerClass[] = "Winamp v1.x";

// Wine maps the Unix root to drive Z:.
std::string WindowsPath(std::string path) {
  if (!path.empty() && path[0] == '/') path = std::string("Z:").append(path);
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

// Appends rather than prepends: GCC 12 warns of an overlapping copy in a std::string inserted at
// the front in C++20 at -O3 (its bug 105329).
std::string Quoted(const std::string& text) { return std::string("\"").append(text).append("\""); }

std::string BinFolder() {
  const char* bin = std::getenv("VELK_BIN_DIR");
  return bin == nullptr ? std::string() : WindowsPath(bin);
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool ReadWhole(const std::string& path, std::string* bytes) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  bytes->clear();
  char buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
    bytes->append(buffer, n);
  std::fclose(file);
  return true;
}

bool WriteWhole(const std::string& path, const std::string& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

// A REG_SZ value, or "<none>" when the key or value is missing.
std::string RegText(HKEY root, const char* key, const char* name) {
  char value[1024];
  DWORD size = sizeof value;
  if (RegGetValueA(root, key, name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS) {
    return "<none>";
  }
  return value;
}

// The four settings as the plug-in reads them (RegQueryValueExA), each as "NAME=TEXT" when stored
// as a REG_SZ of its text and exactly one terminating NUL, else "NAME?"; joined by blanks.
std::string PluginSettings() {
  std::string all;
  for (const char* name : {"Enabled", "Method", "User", "Key"}) {
    char data[1024];
    DWORD type = 0;
    DWORD size = sizeof data;
    HKEY key = nullptr;
    bool ok =
        RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, &key) == 0 &&
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) == 0 &&
        type == REG_SZ && size > 0 && data[size - 1] == '\0' && std::strlen(data) + 1 == size;
    if (key != nullptr) RegCloseKey(key);
    all += all.empty() ? "" : " ";
    all += ok ? std::string(name) + "=" + data : std::string(name) + "?";
  }
  return all;
}

bool KeyExists(HKEY root, const char* key) {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(root, key, 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
  RegCloseKey(opened);
  return true;
}

void SetRegText(HKEY root, const char* key, const char* name, const std::string& value) {
  RegSetKeyValueA(root, key, name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

// Starts `command`; the caller closes the process handle. Null on failure.
HANDLE Start(const std::string& command) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::string line = command;
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

// Runs `command` to its end (at most 60 s) and returns its exit code, or -1.
long Run(const std::string& command) {
  HANDLE process = Start(command);
  if (process == nullptr) return -1;
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(process, 60000) != WAIT_OBJECT_0) TerminateProcess(process, code);
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return static_cast<long>(code);
}

template <typename Done>
bool WaitFor(Done done, int timeout_ms) {
  for (int waited = 0; !done(); waited += 100) {
    if (waited >= timeout_ms) return false;
    Sleep(100);
  }
  return true;
}

// A fresh player folder with a winamp.exe and the plug-in's settings as a user left them; no
// earlier install of the plug-in.
void PlantPlayer() {
  SHFILEOPSTRUCTA erase{};
  const std::string from = kTop + std::string(1, '\0');
  erase.wFunc = FO_DELETE;
  erase.pFrom = from.c_str();
  erase.fFlags = FOF_NO_UI;
  SHFileOperationA(&erase);
  CreateDirectoryA(kTop.c_str(), nullptr);
  CreateDirectoryA(kPlayer.c_str(), nullptr);
  CreateDirectoryA((kTop + "\\Empty").c_str(), nullptr);
  CHECK(WriteWhole(kPlayer + "\\winamp.exe", "MZ"));
  RegDeleteTreeA(HKEY_CURRENT_USER, kUninstallKey);
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, kUninstallKey);
  SetRegText(HKEY_CURRENT_USER, kSettingsKey, "User", "alice");
}

LRESULT CALLBACK PlayerStandInProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_DESTROY) PostQuitMessage(0);
  if (message == WM_TIMER) PostQuitMessage(3);
  return DefWindowProcA(window, message, w, l);
}

// Plays the running player: a window of the player's class, on its own, until it is closed or a
// minute has passed. Exits with 0 when closed, 3 when the minute ran out.
int RunPlayerStandIn() {
  WNDCLASSA type{};
  type.lpfnWndProc = PlayerStandInProc;
  type.hInstance = GetModuleHandleA(nullptr);
  type.lpszClassName = kPlayerClass;
  RegisterClassA(&type);
  HWND window = CreateWindowA(kPlayerClass, "Winamp", WS_OVERLAPPEDWINDOW, 0, 0, 275, 116, nullptr,
                              nullptr, type.hInstance, nullptr);
  SetTimer(window, 1, 60000, nullptr);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
  return static_cast<int>(message.wParam);
}

// The player's stand-in, started from this program's file; null when it did not come up.
HANDLE StartPlayerStandIn() {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  HANDLE player = Start(Quoted(self) + " --player");
  if (player != nullptr &&
      !WaitFor([] { return FindWindowA(kPlayerClass, nullptr) != nullptr; }, 10000)) {
    TerminateProcess(player, 1);
    CloseHandle(player);
    return nullptr;
  }
  return player;
}

// Registers the player as its own installer does: per user, the folder as the default value of
// HKCU\Software\Winamp; for all users, only an uninstall entry under HKLM.
void RegisterPlayer(HKEY root) {
  const char* key = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Winamp";
  if (root == HKEY_CURRENT_USER) {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, key);
    SetRegText(HKEY_CURRENT_USER, "Software\\Winamp", nullptr, kPlayer);
  } else {
    RegDeleteKeyValueA(HKEY_CURRENT_USER, "Software\\Winamp", nullptr);
    SetRegText(HKEY_LOCAL_MACHINE, key, "UninstallString", Quoted(kPlayer + "\\UninstWA.exe"));
  }
}

// Installs into the registered player's folder and uninstalls again; the uninstall entry belongs
// under `root`, where the player is registered.
void InstallAndUninstallSilently(const std::string& installer, HKEY root) {
  const HKEY other = root == HKEY_CURRENT_USER ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  // The player is running: the installer closes it before it copies.
  HANDLE player = StartPlayerStandIn();
  CHECK(player != nullptr);
  CHECK_EQ_INT(Run(Quoted(installer) + " /S"), 0);
  if (player != nullptr) {
    DWORD code = 1;
    CHECK(WaitForSingleObject(player, 0) == WAIT_OBJECT_0 && GetExitCodeProcess(player, &code));
    CHECK_EQ_INT(code, 0);
    TerminateProcess(player, 1);
    CloseHandle(player);
  }
  std::string installed;
  std::string built;
  CHECK(ReadWhole(kPlugins + "\\gen_Velk.dll", &installed));
  CHECK(ReadWhole(BinFolder() + "\\gen_Velk.dll", &built));
  CHECK(!built.empty() && installed == built);
  CHECK(Exists(kUninstaller));
  CHECK_EQ_STR(RegText(root, kUninstallKey, "UninstallString"), Quoted(kUninstaller));
  CHECK_EQ_STR(RegText(root, kUninstallKey, "DisplayVersion"), VELK_VERSION);
  CHECK_EQ_STR(RegText(root, kUninstallKey, "InstallLocation"), kPlugins);
  CHECK(!KeyExists(other, kUninstallKey));

  // The uninstaller hands over to a copy of itself in the temporary folder and returns at once.
  CHECK_EQ_INT(Run(Quoted(kUninstaller) + " /S"), 0);
  // It removes the files first and the entry last.
  CHECK(WaitFor([&] { return !Exists(kUninstaller) && !KeyExists(root, kUninstallKey); }, 30000));
  CHECK(!Exists(kPlugins + "\\gen_Velk.dll"));
  CHECK_EQ_STR(RegText(HKEY_CURRENT_USER, kSettingsKey, "User"), "alice");
  CHECK(Exists(kPlayer + "\\winamp.exe"));
}

void RefuseFolderWithoutPlayer(const std::string& installer) {
  CHECK_EQ_INT(Run(Quoted(installer) + " /S /D=" + kTop + "\\Empty"), 2);
  CHECK(!Exists(kTop + "\\Empty\\Plugins"));
  CHECK(!KeyExists(HKEY_CURRENT_USER, kUninstallKey));
}

// A silent install given an account writes it, switched on, into the player user's settings (the
// stored method kept), and the installed plug-in's first tick reports with it. One given only
// half an account, or one the service would refuse, changes nothing; one given none, nothing of
// the settings.
void InstallWithAccount(const std::string& installer) {
  const std::string into = " /D=" + kPlayer;
  RegDeleteTreeA(HKEY_CURRENT_USER, kSettingsKey);
  for (const char* refused : {"/USER=bob smith /KEY=12345", "/USER=bob&co /KEY=1",
                              "/USER=caf\xe9 /KEY=1", "/USER=bob /KEY=12#", "/USER=bob"}) {
    CHECK_EQ_INT(Run(Quoted(installer) + " /S " + refused + into), 3);
  }
  CHECK(!Exists(kPlugins + "\\gen_Velk.dll"));
  CHECK(!KeyExists(HKEY_CURRENT_USER, kSettingsKey));

  CHECK_EQ_INT(Run(Quoted(installer) + " /S /USER=bob /KEY=12345" + into), 0);
  CHECK_EQ_STR(PluginSettings(), "Enabled=1 Method=GET User=bob Key=12345");

  CCaptureServer server(CCaptureServer::Mode::kAnswerOk);
  if (CHECK(server.Start())) {
    std::vector<CPlaylistEntry> playlist;
    std::string error;
    CHECK(ParsePlaylist("play\t1t\tC:\\Music\\a.mp3\tARTIST=Salt & Sand\tTITLE=Wave\n", &playlist,
                        &error));
    CPlayerOptions options;
    options.dll_path = kPlugins + "\\gen_Velk.dll";
    options.print_questions = false;
    options.max_run_ms = 40000;
    CHostPlayer player(options, playlist);
    if (!CHECK(player.Run(&error))) std::printf("  %s\n", error.c_str());
    // The playlist's one tick sends the track; quit sends "stopped" at once, so the two
    // exchanges may end in either order.
    CHECK(server.WaitForRequests(2, 5000));
    std::string lines;
    for (const std::string& request : server.Requests()) {
      lines += request.substr(0, request.find('\r')) + "\n";
    }
    CHECK(lines.find("GET /signature/generate/?user=bob&key=12345&artist=Salt%20%26%20Sand&title="
                     "Wave&album=&year=&genre= HTTP/1.1\n") != std::string::npos);
    CHECK(lines.find("GET /signature/generate/?user=bob&key=12345&artist=stopped&title=stopped "
                     "HTTP/1.1\n") != std::string::npos);
  }
  server.Stop();

  // An upgrade: the settings a user left, off and with POST, stay as they are without an account
  // on the command line; with one, the method stays.
  CHECK(e2e::PlantSettings(
      {{"Enabled", "0"}, {"Method", "POST"}, {"User", "carol"}, {"Key", "777"}}));
  CHECK_EQ_INT(Run(Quoted(installer) + " /S" + into), 0);
  CHECK_EQ_STR(PluginSettings(), "Enabled=0 Method=POST User=carol Key=777");
  CHECK_EQ_INT(Run(Quoted(installer) + " /S /KEY=42 /USER=dave" + into), 0);
  CHECK_EQ_STR(PluginSettings(), "Enabled=1 Method=POST User=dave Key=42");
  CHECK(e2e::PlantSettings({{"Enabled", "0"}, {"User", "carol"}, {"Key", "777"}}));
}

// The text of a window of another process: only WM_GETTEXT reads it there.
std::string WindowText(HWND window) {
  char text[2048];
  text[0] = '\0';
  SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_BLOCK,
                      1000, nullptr);
  return text;
}

struct CChildSearch {
  const char* class_name;
  std::string text;  // the whole text wanted, or a part of it when `part` is set
  bool part;
  HWND found;
};

BOOL CALLBACK FindChild(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<CChildSearch*>(context);
  char class_name[32];
  GetClassNameA(window, class_name, sizeof class_name);
  const std::string text = WindowText(window);
  if (lstrcmpiA(class_name, search->class_name) == 0 &&
      (search->part ? text.find(search->text) != std::string::npos : text == search->text)) {
    search->found = window;
  }
  return search->found == nullptr;
}

// The control of class `class_name` under `window` whose text is `text` (or holds it, with `part`)
// within 10 s; null when none came.
HWND WaitForChild(HWND window, const char* class_name, const std::string& text, bool part = false) {
  CChildSearch search{class_name, text, part, nullptr};
  WaitFor(
      [&] {
        EnumChildWindows(window, FindChild, reinterpret_cast<LPARAM>(&search));
        return search.found != nullptr;
      },
      10000);
  return search.found;
}

void Next(HWND window) {
  PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(window, IDOK)));
}

void Screenshot(HWND window, const char* file) {
  Sleep(1000);
  const std::string artifacts = BinFolder() + "\\..\\artifacts";
  CreateDirectoryA(artifacts.c_str(), nullptr);
  CHECK(screenshot::SaveWindow(window, artifacts + "\\" + file) > 8);
}

// Opens the installer and goes on from the welcome page to the folder page, which shows the
// player's folder (<build>/artifacts/installer.png), and to the account page, which shows the
// stored account: a user name the service would refuse is warned of on the page
// (installer-account.png) and not saved unless confirmed; a good one is saved on Next, reporting
// switched on once both boxes were filled.
void ScreenshotPages(const std::string& installer) {
  HANDLE process = Start(Quoted(installer));
  if (!CHECK(process != nullptr)) return;
  const std::string caption = std::string("Velk ") + VELK_VERSION + " Setup";
  HWND window = nullptr;
  CHECK(
      WaitFor([&] { return (window = FindWindowA("#32770", caption.c_str())) != nullptr; }, 30000));
  if (window != nullptr) {
    Sleep(500);
    Next(window);
    if (CHECK(WaitForChild(window, "Edit", kPlayer) != nullptr)) {
      Screenshot(window, "installer.png");
      Next(window);
    }
    HWND user = WaitForChild(window, "Edit", "carol");
    CHECK(WaitForChild(window, "Edit", "777") != nullptr);
    if (CHECK(user != nullptr)) {
      SendMessageTimeoutA(user, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("carol & co"), SMTO_BLOCK,
                          1000, nullptr);
      CHECK(WaitForChild(window, "Static", "The user name holds a blank.", true) != nullptr);
      Screenshot(window, "installer-account.png");
      // Next asks first; No keeps the page and writes nothing.
      Next(window);
      HWND question = nullptr;
      CHECK(WaitFor(
          [&] {
            question = FindWindowExA(nullptr, nullptr, "#32770", caption.c_str());
            if (question == window)
              question = FindWindowExA(nullptr, window, "#32770", caption.c_str());
            return question != nullptr;
          },
          10000));
      if (question != nullptr) {
        CHECK(WindowText(GetDlgItem(question, 0xFFFF)).find("Save them anyway?") !=
              std::string::npos);
        PostMessageA(question, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
      }
      CHECK(WaitFor([&] { return !IsWindow(question); }, 10000));
      CHECK(WaitForChild(window, "Edit", "carol & co") == user);
      CHECK_EQ_STR(PluginSettings(), "Enabled=0 Method? User=carol Key=777");
      // With the key cleared and typed again, both boxes become filled: "Enable Velk" is ticked.
      HWND key = WaitForChild(window, "Edit", "777");
      HWND enable = WaitForChild(window, "Button", "Enable Velk");
      for (const char* text : {"", "777"}) {
        SendMessageTimeoutA(key, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text), SMTO_BLOCK, 1000,
                            nullptr);
      }
      SendMessageTimeoutA(user, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("erin"), SMTO_BLOCK, 1000,
                          nullptr);
      CHECK_EQ_INT(SendMessageA(enable, BM_GETCHECK, 0, 0), BST_CHECKED);
      Next(window);
      CHECK(WaitFor([] { return PluginSettings() == "Enabled=1 Method=GET User=erin Key=777"; },
                    30000));
      CHECK_EQ_STR(PluginSettings(), "Enabled=1 Method=GET User=erin Key=777");
      CHECK(WaitForChild(window, "Static", "as \"erin\" from Winamp's next start", true) !=
            nullptr);
      Screenshot(window, "installer-finish.png");
    }
  }
  TerminateProcess(process, 0);
  WaitForSingleObject(process, 10000);
  CloseHandle(process);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--player") return RunPlayerStandIn();
  if (argc != 2 || BinFolder().empty()) {
    std::printf("usage: VELK_BIN_DIR=FOLDER setup_wine INSTALLER\n");
    return 2;
  }
  const std::string installer = WindowsPath(argv[1]);
  PlantPlayer();
  RegisterPlayer(HKEY_LOCAL_MACHINE);
  InstallAndUninstallSilently(installer, HKEY_LOCAL_MACHINE);
  RegisterPlayer(HKEY_CURRENT_USER);
  InstallAndUninstallSilently(installer, HKEY_CURRENT_USER);
  RefuseFolderWithoutPlayer(installer);
  InstallWithAccount(installer);
  ScreenshotPages(installer);
  return winecheck::Finish();
}
