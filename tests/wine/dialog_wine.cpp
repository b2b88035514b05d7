// The configuration dialog on the real system: its template as built into the plug-in DLL, and the
// real dialog driven from a second thread by keyboard and mouse messages, with a screenshot.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32/win32_platform.h"
#include "settings/configure.h"
#include "settings/resource.h"
#include "settings/settings.h"
#include "screenshot.h"
#include "e2e_support.h"
#include "wine_check.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Where things are.

// The Windows form of the build's bin/ folder (VELK_BIN_DIR), followed by `suffix`.
std::string BinDirectory(const char* suffix) {
  return e2e::DirectoryFromEnvironment("VELK_BIN_DIR", suffix);
}

// ---------------------------------------------------------------------------------------------
// The template, read from the resources of a module.

constexpr WORD kButton = 0x0080;
constexpr WORD kEdit = 0x0081;
constexpr WORD kStatic = 0x0082;

struct ExpectedControl {
  int id;
  WORD window_class;
  const char* caption;  // nullptr: a picture, whose caption is the bitmap's resource identifier
  int bitmap;
  DWORD style;  // besides WS_CHILD
  short x, y, cx, cy;
};

const ExpectedControl kControls[] = {
    {IDOK, kButton, "Apply", 0, WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 121, 79, 65, 14},
    {IDC_STATIC, kStatic, "Username", 0, WS_VISIBLE | WS_GROUP | SS_LEFT, 6, 22, 32, 8},
    {IDC_USERNAME, kEdit, "", 0, WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 45, 20, 216,
     12},
    {IDCANCEL, kButton, "Cancel", 0, WS_VISIBLE | BS_PUSHBUTTON, 193, 79, 68, 14},
    {IDC_ENABLE, kButton, "Enable Velk", 0, WS_VISIBLE | BS_AUTOCHECKBOX, 6, 7, 52, 8},
    {IDC_REGISTER, kButton, "Register now! :)", 0, WS_VISIBLE | BS_PUSHBUTTON, 194, 57, 67, 14},
    {IDC_METHOD_GET, kButton, "GET", 0, BS_AUTORADIOBUTTON, 137, 7, 31, 10},
    {IDC_METHOD_POST, kButton, "POST", 0, BS_AUTORADIOBUTTON, 226, 7, 35, 10},
    {IDC_STATIC, kStatic, "HTTP method:", 0, WS_GROUP | SS_LEFT, 73, 7, 48, 8},
    {IDC_KEY, kEdit, "", 0, WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_NUMBER | ES_AUTOHSCROLL, 45,
     36, 216, 12},
    {IDC_STATIC, kStatic, "Key", 0, WS_VISIBLE | WS_GROUP | SS_LEFT, 6, 37, 32, 8},
    {IDC_STATIC, kStatic, "You don't have account ?", 0, WS_VISIBLE | WS_GROUP | SS_LEFT, 109, 60,
     84, 9},
    {IDC_STATIC, kStatic, nullptr, IDB_LOGO_B,
     WS_VISIBLE | WS_BORDER | SS_BITMAP | SS_CENTERIMAGE | SS_SUNKEN, 59, 63, 32, 30},
    {IDC_STATIC, kStatic, nullptr, IDB_LOGO_A,
     WS_VISIBLE | WS_BORDER | SS_BITMAP | SS_CENTERIMAGE | SS_SUNKEN, 6, 63, 36, 30},
    {IDC_STATIC, kStatic, "and", 0, WS_VISIBLE | WS_GROUP | SS_LEFT, 43, 75, 12, 18},
    {IDC_STATIC, kStatic, "Powered by:", 0, WS_VISIBLE | WS_GROUP | SS_LEFT, 6, 52, 84, 8},
};
constexpr int kControlCount = sizeof kControls / sizeof kControls[0];

// A cursor over a template's bytes; reads past the end yield zeros and set `overrun`.
struct CTemplateReader {
  const unsigned char* bytes;
  DWORD size;
  DWORD at = 0;
  bool overrun = false;

  DWORD Read(int width) {
    DWORD value = 0;
    for (int i = 0; i < width; ++i, ++at) {
      if (at >= size) {
        overrun = true;
        continue;
      }
      value |= static_cast<DWORD>(bytes[at]) << (8 * i);
    }
    return value;
  }
  void AlignTo4() { at = (at + 3) & ~3u; }
  // A name-or-ordinal field: "#<n>" for an ordinal, else the UTF-16 text (ASCII expected).
  std::string NameOrOrdinal() {
    const DWORD first = Read(2);
    if (first == 0xFFFF) return "#" + std::to_string(Read(2));
    std::string text;
    for (DWORD c = first; c != 0 && !overrun; c = Read(2)) text += static_cast<char>(c);
    return text;
  }
};

void CheckTemplateControl(CTemplateReader& in, const ExpectedControl& want, int index) {
  in.AlignTo4();
  const std::string where = "control " + std::to_string(index + 1) + ": ";
  winecheck::Record(in.Read(4) == 0, __FILE__, __LINE__, where + "help context 0");
  winecheck::Record(in.Read(4) == 0, __FILE__, __LINE__, where + "extended style 0");
  const DWORD style = in.Read(4);
  winecheck::Record(style == (WS_CHILD | want.style), __FILE__, __LINE__,
                    where + "style " + std::to_string(style));
  const short x = static_cast<short>(in.Read(2));
  const short y = static_cast<short>(in.Read(2));
  const short cx = static_cast<short>(in.Read(2));
  const short cy = static_cast<short>(in.Read(2));
  winecheck::Record(x == want.x && y == want.y && cx == want.cx && cy == want.cy, __FILE__,
                    __LINE__, where + "rectangle");
  winecheck::Record(static_cast<int>(in.Read(4)) == want.id, __FILE__, __LINE__, where + "id");
  winecheck::Record(in.NameOrOrdinal() == "#" + std::to_string(want.window_class), __FILE__,
                    __LINE__, where + "class");
  const std::string caption = in.NameOrOrdinal();
  const std::string wanted =
      want.caption != nullptr ? want.caption : "#" + std::to_string(want.bitmap);
  winecheck::Record(caption == wanted, __FILE__, __LINE__, where + "caption \"" + caption + "\"");
  winecheck::Record(in.Read(2) == 0, __FILE__, __LINE__, where + "no creation data");
}

void CheckTemplate(HMODULE module) {
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(IDD_CONFIGURE), MAKEINTRESOURCEA(5));
  if (!CHECK(found != nullptr)) return;
  CTemplateReader in{static_cast<const unsigned char*>(LockResource(LoadResource(module, found))),
                     SizeofResource(module, found)};
  if (!CHECK(in.bytes != nullptr)) return;
  // Read in order into locals: the CHECK macros evaluate their arguments more than once.
  const DWORD version = in.Read(2);
  const DWORD signature = in.Read(2);
  const DWORD help = in.Read(4);
  const DWORD ex_style = in.Read(4);
  const DWORD style = in.Read(4);
  const DWORD count = in.Read(2);
  const DWORD x = in.Read(2);
  const DWORD y = in.Read(2);
  const DWORD cx = in.Read(2);
  const DWORD cy = in.Read(2);
  const std::string menu = in.NameOrOrdinal();
  const std::string window_class = in.NameOrOrdinal();
  const std::string caption = in.NameOrOrdinal();
  const DWORD points = in.Read(2);
  const DWORD weight = in.Read(2);
  const DWORD italic = in.Read(1);
  const DWORD charset = in.Read(1);
  const std::string face = in.NameOrOrdinal();
  CHECK_EQ_INT(version, 1);
  CHECK_EQ_INT(signature, 0xFFFF);  // DLGTEMPLATEEX
  CHECK_EQ_INT(help, 0);
  CHECK_EQ_INT(ex_style, WS_EX_TOOLWINDOW);
  CHECK_EQ_INT(style, WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT |
                          DS_FIXEDSYS | DS_3DLOOK);
  CHECK_EQ_INT(count, kControlCount);
  CHECK(x == 0 && y == 0 && cx == 268 && cy == 100);
  CHECK_EQ_STR(menu, "");
  CHECK_EQ_STR(window_class, "");  // the standard dialog class
  CHECK_EQ_STR(caption, "Velk - Winamp Moxel");
  CHECK(points == 8 && weight == 0 && italic == 0 && charset == DEFAULT_CHARSET);
  CHECK_EQ_STR(face, "MS Shell Dlg");
  for (int i = 0; i < kControlCount; ++i) CheckTemplateControl(in, kControls[i], i);
  CHECK(!in.overrun);
}

void CheckBitmap(HMODULE module, int id) {
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(2));
  if (!CHECK(found != nullptr)) return;
  CHECK_EQ_INT(SizeofResource(module, found), 6952);
  const auto* info =
      static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(module, found)));
  if (!CHECK(info != nullptr)) return;
  CHECK_EQ_INT(info->biSize, 40);
  CHECK_EQ_INT(info->biWidth, 48);
  CHECK_EQ_INT(info->biHeight, 48);  // positive: bottom-up
  CHECK_EQ_INT(info->biPlanes, 1);
  CHECK_EQ_INT(info->biBitCount, 24);
  CHECK_EQ_INT(info->biCompression, BI_RGB);
  CHECK_EQ_INT(info->biSizeImage, 6912);
  CHECK_EQ_INT(info->biClrUsed, 0);
}

// The resources as the plug-in DLL of this build carries them.
void CheckResources() {
  const std::string dll = BinDirectory("\\gen_Velk.dll");
  HMODULE module = LoadLibraryExA(dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!CHECK(module != nullptr)) {
    std::printf("cannot load %s\n", dll.c_str());
    return;
  }
  CheckTemplate(module);
  CheckBitmap(module, IDB_LOGO_A);
  CheckBitmap(module, IDB_LOGO_B);
  FreeLibrary(module);
}

// Copies the window's area of the screen into `<build>/artifacts/configure_dialog.png`. Returns
// the number of distinct colours seen (a blank capture has one or two), or 0 on failure.
int SaveScreenshot(HWND window) {
  const std::string folder = BinDirectory("\\..\\artifacts");
  CreateDirectoryA(folder.c_str(), nullptr);
  return screenshot::SaveWindow(window, folder + "\\configure_dialog.png");
}

// ---------------------------------------------------------------------------------------------
// Driving the real dialog from a second thread.

DWORD g_dialog_thread = 0;
std::atomic<int> g_ticks{0};
std::atomic<int> g_ticks_elsewhere{0};

// The report timer's stand-in: counts ticks, and ticks that ran on some other thread.
void Tick() {
  ++g_ticks;
  if (GetCurrentThreadId() != g_dialog_thread) ++g_ticks_elsewhere;
}

bool WaitFor(const std::function<bool()>& done, int timeout_ms = 3000) {
  for (int waited = 0; !done(); waited += 20) {
    if (waited >= timeout_ms) return false;
    Sleep(20);
  }
  return true;
}

HWND FindDialog() { return FindWindowA("#32770", "Velk - Winamp Moxel"); }

HWND Focus() {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(g_dialog_thread, &info) ? info.hwndFocus : nullptr;
}

std::string TextOf(HWND window) {
  char text[256] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

// A key press as the keyboard delivers it: posted to the window with the focus.
void Press(UINT key) {
  HWND target = Focus();
  PostMessageA(target, WM_KEYDOWN, key, 1);
  PostMessageA(target, WM_KEYUP, key, 0xC0000001);
}

void Type(const char* text) {
  HWND target = Focus();
  for (const char* c = text; *c != '\0'; ++c) PostMessageA(target, WM_CHAR, *c, 1);
}

// Tab to the next stop; checks that the focus lands on control `id`.
void TabTo(HWND dialog, int id) {
  Press(VK_TAB);
  HWND want = GetDlgItem(dialog, id);
  winecheck::Record(WaitFor([&] { return Focus() == want; }), __FILE__, __LINE__,
                    "Tab moves the focus to control " + std::to_string(id));
}

// Types `text` into the focused edit box, which Tab has selected, and waits for `shown`.
void TypeInto(HWND dialog, int id, const char* text, const char* shown) {
  HWND edit = GetDlgItem(dialog, id);
  Type(text);
  WaitFor([&] { return TextOf(edit) == shown; });
  CHECK_EQ_STR(TextOf(edit), shown);
}

void CheckCentred(HWND dialog) {
  RECT area{};
  RECT window{};
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
  GetWindowRect(dialog, &window);
  const int dx = (window.left + window.right) - (area.left + area.right);
  const int dy = (window.top + window.bottom) - (area.top + area.bottom);
  CHECK(dx >= -2 && dx <= 2 && dy >= -2 && dy <= 2);
}

// The children in Z order against the table: identifiers, classes, visibility, tab stops, and
// enabled state (edit boxes and method buttons follow `fields_enabled`, the rest always enabled).
void CheckChildren(HWND dialog, bool fields_enabled) {
  static const char* const kClassNames[] = {"Button", "Edit", "Static"};
  int index = 0;
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT), ++index) {
    if (index >= kControlCount) break;
    const ExpectedControl& want = kControls[index];
    const std::string where = "child " + std::to_string(index + 1) + ": ";
    char name[64] = {};
    GetClassNameA(child, name, sizeof name);
    const LONG style = GetWindowLongA(child, GWL_STYLE);
    const bool field = want.id == IDC_USERNAME || want.id == IDC_KEY || want.id == IDC_METHOD_GET ||
                       want.id == IDC_METHOD_POST;
    winecheck::Record((GetDlgCtrlID(child) & 0xFFFF) == (want.id & 0xFFFF), __FILE__, __LINE__,
                      where + "id");
    winecheck::Record(lstrcmpiA(name, kClassNames[want.window_class - kButton]) == 0, __FILE__,
                      __LINE__, where + "class " + name);
    winecheck::Record(!IsWindowVisible(child) == !(want.style & WS_VISIBLE), __FILE__, __LINE__,
                      where + "visible");
    // A checked radio button takes WS_TABSTOP from the system; hidden, it is still no stop.
    const bool tab_stop = (style & WS_TABSTOP) && IsWindowVisible(child);
    winecheck::Record(tab_stop == ((want.style & WS_TABSTOP) != 0), __FILE__, __LINE__,
                      where + "tab stop");
    winecheck::Record(!IsWindowEnabled(child) == (field && !fields_enabled), __FILE__, __LINE__,
                      where + "enabled");
    if (want.caption == nullptr) {
      // Pictures keep their frame (centred, not resized to the bitmap) and hold a bitmap.
      RECT frame{want.x, want.y, want.x + want.cx, want.y + want.cy};
      MapDialogRect(dialog, &frame);
      RECT actual{};
      GetWindowRect(child, &actual);
      MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&actual), 2);
      winecheck::Record(EqualRect(&frame, &actual) != FALSE, __FILE__, __LINE__,
                        where + "picture keeps its frame");
      winecheck::Record(SendMessageA(child, STM_GETIMAGE, IMAGE_BITMAP, 0) != 0, __FILE__, __LINE__,
                        where + "picture shows a bitmap");
    }
  }
  CHECK_EQ_INT(index, kControlCount);
}

int CheckOf(HWND dialog, int id) {
  return static_cast<int>(SendDlgItemMessageA(dialog, id, BM_GETCHECK, 0, 0));
}

// Closes whatever the dialog's thread still shows (the dialog, a message box), so that a failed
// check never leaves the program hanging in a modal loop.
// A window enumeration callback has the system's calling convention, which on i686 no lambda has.
BOOL CALLBACK CloseWindowOf(HWND window, LPARAM) {
  PostMessageA(window, WM_CLOSE, 0, 0);
  return TRUE;
}

void Rescue() {
  for (int round = 0; round < 50 && FindDialog() != nullptr; ++round) {
    EnumThreadWindows(g_dialog_thread, CloseWindowOf, 0);
    Sleep(100);
  }
}

struct CDriver {
  std::function<void(HWND)> drive;
};

DWORD WINAPI DriverThread(void* arg) {
  auto* driver = static_cast<CDriver*>(arg);
  HWND dialog = nullptr;
  if (!CHECK(WaitFor([&] { return (dialog = FindDialog()) != nullptr; }, 10000))) return 0;
  // Ready once shown, with the focus the system put on the first tab stop.
  CHECK(WaitFor([&] { return IsWindowVisible(dialog) != FALSE; }));
  CHECK(WaitFor([&] { return Focus() == GetDlgItem(dialog, IDOK); }));
  driver->drive(dialog);
  if (!CHECK(WaitFor([&] { return !IsWindow(dialog); }))) Rescue();
  return 0;
}

// Opens CConfigure on this thread, as PluginConfig does, while `drive` acts on it from another.
std::intptr_t RunDialog(std::function<void(HWND)> drive) {
  CDriver driver{std::move(drive)};
  HANDLE thread = CreateThread(nullptr, 0, DriverThread, &driver, 0, nullptr);
  CConfigure dialog;
  const std::intptr_t result = dialog.DoModal();
  WaitForSingleObject(thread, 30000);
  CloseHandle(thread);
  return result;
}

void ShowSettings(const char* user, const char* key, int enabled, int method) {
  Settings.User = user;
  Settings.Key = key;
  Settings.Enabled = enabled;
  Settings.Method = method;
}

std::string Stored(const char* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return "<no key>";
  }
  char buffer[256] = {};
  DWORD size = sizeof buffer - 1;
  DWORD type = 0;
  const LONG result =
      RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return "<missing>";
  return type == REG_SZ && size == std::strlen(buffer) + 1 ? buffer : "<malformed>";
}

// Opening state, focus and Tab order, typing (digits only in the key box), then a click on Apply;
// the timer keeps ticking on this thread throughout.
void TypeThenApply() {
  RegDeleteKeyA(HKEY_CURRENT_USER, kSettingsKey);
  ShowSettings("Username", "Key", 1, 0);
  int ticks_at_open = 0;
  int ticks_before_apply = 0;
  const std::intptr_t result = RunDialog([&](HWND dialog) {
    ticks_at_open = g_ticks;
    CheckCentred(dialog);
    CHECK(GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    CheckChildren(dialog, true);
    CHECK_EQ_STR(TextOf(GetDlgItem(dialog, IDC_USERNAME)), "Username");
    CHECK_EQ_STR(TextOf(GetDlgItem(dialog, IDC_KEY)), "Key");  // shown although not digits
    CHECK_EQ_INT(CheckOf(dialog, IDC_ENABLE), BST_CHECKED);
    CHECK_EQ_INT(CheckOf(dialog, IDC_METHOD_GET), BST_UNCHECKED);
    CHECK_EQ_INT(CheckOf(dialog, IDC_METHOD_POST), BST_CHECKED);

    TabTo(dialog, IDC_USERNAME);
    TypeInto(dialog, IDC_USERNAME, "wine-user", "wine-user");
    TabTo(dialog, IDC_KEY);
    TypeInto(dialog, IDC_KEY, "12ab34", "1234");
    TabTo(dialog, IDOK);
    TabTo(dialog, IDC_USERNAME);
    TabTo(dialog, IDC_KEY);
    CHECK(SaveScreenshot(dialog) > 8);

    CHECK(WaitFor([&] { return g_ticks >= ticks_at_open + 3; }));
    ticks_before_apply = g_ticks;
    // Posted: a failed Apply would hold a sent click in its message box.
    PostMessageA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
  });
  CHECK_EQ_INT(result, IDOK);
  CHECK(ticks_before_apply >= ticks_at_open + 3);
  CHECK_EQ_INT(g_ticks_elsewhere.load(), 0);
  CHECK_EQ_STR(Stored("Enabled"), "1");
  CHECK_EQ_STR(Stored("Method"), "POST");
  CHECK_EQ_STR(Stored("User"), "wine-user");
  CHECK_EQ_STR(Stored("Key"), "1234");
  CHECK_EQ_STR(Settings.User, "wine-user");
  CHECK_EQ_STR(Settings.Key, "1234");
}

// Enter in an edit box applies, through the default button.
void EnterApplies() {
  ShowSettings("a", "1", 1, 1);
  const std::intptr_t result = RunDialog([](HWND dialog) {
    TabTo(dialog, IDC_USERNAME);
    TypeInto(dialog, IDC_USERNAME, "enter-user", "enter-user");
    Press(VK_RETURN);
  });
  CHECK_EQ_INT(result, IDOK);
  CHECK_EQ_STR(Stored("User"), "enter-user");
  CHECK_EQ_STR(Stored("Method"), "GET");
}

// A click on the check box reverts typing and disables the fields, Tab then skips them, and
// Escape closes without saving.
void CheckBoxThenEscape() {
  ShowSettings("u", "7", 1, 1);
  const std::intptr_t result = RunDialog([](HWND dialog) {
    HWND user = GetDlgItem(dialog, IDC_USERNAME);
    TabTo(dialog, IDC_USERNAME);
    TypeInto(dialog, IDC_USERNAME, "changed", "changed");
    SendMessageA(GetDlgItem(dialog, IDC_ENABLE), BM_CLICK, 0, 0);
    CHECK(WaitFor([&] { return !IsWindowEnabled(user); }));
    CHECK_EQ_STR(TextOf(user), "u");
    CHECK_EQ_INT(CheckOf(dialog, IDC_ENABLE), BST_UNCHECKED);
    CheckChildren(dialog, false);
    TabTo(dialog, IDOK);
    TabTo(dialog, IDOK);
    Press(VK_ESCAPE);
  });
  CHECK_EQ_INT(result, IDCANCEL);
  CHECK_EQ_STR(Settings.User, "u");
  CHECK_EQ_INT(Settings.Enabled, 1);
  CHECK_EQ_STR(Stored("User"), "wine-user");
  CHECK_EQ_STR(Stored("Enabled"), "1");
}

// Opening with reporting off shows the fields disabled; the title bar's close button cancels.
void ReportingOffThenCloseButton() {
  ShowSettings("off-user", "99", 0, 1);
  const std::intptr_t result = RunDialog([](HWND dialog) {
    CheckChildren(dialog, false);
    CHECK_EQ_STR(TextOf(GetDlgItem(dialog, IDC_USERNAME)), "off-user");
    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  });
  CHECK_EQ_INT(result, IDCANCEL);
  CHECK_EQ_STR(Stored("User"), "wine-user");
}

// Wine looks for its own fonts, Tahoma among them, in a folder that Debian's fonts-wine does not
// fill, and then draws "MS Shell Dlg" (Tahoma on Windows) with some wider system font, which cuts
// the labels short. Adding Wine's Tahoma for this process lets the dialog look as it does on
// Windows.
void UseWineTahoma() {
  for (const char* file : {"tahoma.ttf", "tahomabd.ttf"}) {
    const std::string path = std::string("Z:\\usr\\share\\wine\\fonts\\") + file;
    if (AddFontResourceExA(path.c_str(), FR_PRIVATE, nullptr) == 0) {
      std::printf("NOTE: %s not found; is fonts-wine installed?\n", path.c_str());
    }
  }
}

}  // namespace

int main() {
  CheckResources();
  UseWineTahoma();

  CPlatform platform;
  platform.threads = &Win32Threads();
  platform.system = &Win32System();
  platform.registry = &Win32Registry();
  platform.dialogs = &Win32Dialogs();
  UsePlatform(platform);
  g_dialog_thread = GetCurrentThreadId();
  const std::uintptr_t timer = Win32Threads().StartThreadTimer(50, Tick);
  CHECK(timer != 0);

  TypeThenApply();
  CheckBoxThenEscape();
  ReportingOffThenCloseButton();
  EnterApplies();

  Win32Threads().StopThreadTimer(timer);
  RegDeleteKeyA(HKEY_CURRENT_USER, kSettingsKey);
  return winecheck::Finish();
}
