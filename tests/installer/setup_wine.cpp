// End-to-end run of Velk-Setup.exe under Wine: a silent install into a planted player folder that
// the registry names while the player runs, a silent uninstall that keeps the settings, a silent
// install refused for a folder without winamp.exe, and a screenshot of the folder page.
//
//   setup_wine INSTALLER     (a Unix or Windows path; VELK_BIN_DIR names the built gen_Velk.dll's
//   folder)

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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
  CHECK(WaitFor([] { return !Exists(kUninstaller); }, 30000));
  CHECK(!Exists(kPlugins + "\\gen_Velk.dll"));
  CHECK(!KeyExists(root, kUninstallKey));
  CHECK_EQ_STR(RegText(HKEY_CURRENT_USER, kSettingsKey, "User"), "alice");
  CHECK(Exists(kPlayer + "\\winamp.exe"));
}

void RefuseFolderWithoutPlayer(const std::string& installer) {
  CHECK_EQ_INT(Run(Quoted(installer) + " /S /D=" + kTop + "\\Empty"), 2);
  CHECK(!Exists(kTop + "\\Empty\\Plugins"));
  CHECK(!KeyExists(HKEY_CURRENT_USER, kUninstallKey));
}

struct CFoundEdit {
  std::string text;
  bool found = false;
};

BOOL CALLBACK FindEditWithText(HWND window, LPARAM context) {
  auto* wanted = reinterpret_cast<CFoundEdit*>(context);
  char class_name[32];
  char text[MAX_PATH];
  GetClassNameA(window, class_name, sizeof class_name);
  text[0] = '\0';
  // The edit belongs to another process: only WM_GETTEXT reads its text.
  SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_BLOCK,
                      1000, nullptr);
  if (lstrcmpiA(class_name, "Edit") == 0 && wanted->text == text) wanted->found = true;
  return !wanted->found;
}

// Opens the installer, goes on from the welcome page to the folder page, checks that the folder
// shown is the player's, and saves the window to <build>/artifacts/installer.png.
void ScreenshotFolderPage(const std::string& installer) {
  HANDLE process = Start(Quoted(installer));
  if (!CHECK(process != nullptr)) return;
  const std::string caption = std::string("Velk ") + VELK_VERSION + " Setup";
  HWND window = nullptr;
  CHECK(
      WaitFor([&] { return (window = FindWindowA("#32770", caption.c_str())) != nullptr; }, 30000));
  if (window != nullptr) {
    Sleep(500);
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, IDOK)));
    CFoundEdit folder;
    folder.text = kPlayer;
    CHECK(WaitFor(
        [&] {
          EnumChildWindows(window, FindEditWithText, reinterpret_cast<LPARAM>(&folder));
          return folder.found;
        },
        10000));
    Sleep(1000);
    const std::string artifacts = BinFolder() + "\\..\\artifacts";
    CreateDirectoryA(artifacts.c_str(), nullptr);
    CHECK(screenshot::SaveWindow(window, artifacts + "\\installer.png") > 8);
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
  ScreenshotFolderPage(installer);
  return winecheck::Finish();
}
