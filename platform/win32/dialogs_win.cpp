// Modal dialogs from this module's resources, and their controls, over the system's dialog manager.
#include <windows.h>

#include <string>

#include "platform/win32/win32_platform.h"

namespace {

// The module holding this code (the plug-in DLL, or a test program it is linked into), whose
// resources hold the templates. Asked afresh each time: cheap, and right whichever module it is.
HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

// Finds the CDialogEvents that RunModal handed over at creation and forwards to it. Messages that
// arrive before WM_INITDIALOG (font and size set-up) go to the dialog manager's defaults.
INT_PTR Dispatch(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrA(window, GWLP_USERDATA, lparam);
    auto* events = reinterpret_cast<CDialogEvents*>(lparam);
    return events->DialogCreated(window) ? TRUE : FALSE;
  }
  auto* events = reinterpret_cast<CDialogEvents*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (events == nullptr) return FALSE;
  if (message == WM_COMMAND) {
    events->DialogCommand(LOWORD(wparam), HIWORD(wparam));
    return TRUE;
  }
  return FALSE;
}

// The system's dialog manager calls this; nothing may unwind into it. A message whose handling
// throws counts as handled and the dialog stays open.
INT_PTR CALLBACK DialogEntry(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  try {
    return Dispatch(window, message, wparam, lparam);
  } catch (...) {
    return message == WM_INITDIALOG || message == WM_COMMAND ? TRUE : FALSE;
  }
}

// The position a dialog template asks for, in either template format. False when the resource is
// missing or too short to hold one.
bool TemplatePosition(int template_id, short* x, short* y) {
  HMODULE module = ThisModule();
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(template_id), MAKEINTRESOURCEA(5));
  if (found == nullptr) return false;
  HGLOBAL loaded = LoadResource(module, found);
  const auto* bytes = static_cast<const unsigned char*>(loaded ? LockResource(loaded) : nullptr);
  const DWORD size = SizeofResource(module, found);
  if (bytes == nullptr || size < 22) return false;
  const auto word = [bytes](int at) { return static_cast<WORD>(bytes[at] | bytes[at + 1] << 8); };
  // DLGTEMPLATEEX starts with version 1 and signature 0xFFFF; DLGTEMPLATE with its style.
  const bool extended = word(0) == 1 && word(2) == 0xFFFF;
  const int at = extended ? 18 : 10;
  *x = static_cast<short>(word(at));
  *y = static_cast<short>(word(at + 2));
  return true;
}

class CWin32Dialogs final : public CDialogs {
 public:
  std::intptr_t RunModal(int template_id, CDialogEvents* events) override {
    return DialogBoxParamA(ThisModule(), MAKEINTRESOURCEA(template_id), nullptr, DialogEntry,
                           reinterpret_cast<LPARAM>(events));
  }

  void EndModal(DialogWindow window, std::intptr_t result) override {
    EndDialog(Hwnd(window), result);
  }

  std::string GetItemText(DialogWindow window, int control_id) override {
    HWND item = GetDlgItem(Hwnd(window), control_id);
    if (item == nullptr) return std::string();
    std::string text(static_cast<std::size_t>(GetWindowTextLengthA(item)) + 1, '\0');
    const int copied = GetWindowTextA(item, &text[0], static_cast<int>(text.size()));
    text.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
    return text;
  }

  void SetItemText(DialogWindow window, int control_id, const char* text) override {
    SetDlgItemTextA(Hwnd(window), control_id, text);
  }

  int GetItemCheck(DialogWindow window, int control_id) override {
    return static_cast<int>(SendDlgItemMessageA(Hwnd(window), control_id, BM_GETCHECK, 0, 0));
  }

  void SetItemCheck(DialogWindow window, int control_id, int state) override {
    SendDlgItemMessageA(Hwnd(window), control_id, BM_SETCHECK, static_cast<WPARAM>(state), 0);
  }

  void EnableItem(DialogWindow window, int control_id, bool enable) override {
    EnableWindow(GetDlgItem(Hwnd(window), control_id), enable ? TRUE : FALSE);
  }

  bool TemplateAtOrigin(int template_id) override {
    short x = 1;
    short y = 1;
    return TemplatePosition(template_id, &x, &y) && x == 0 && y == 0;
  }

  void CenterDialog(DialogWindow window) override {
    HWND dialog = Hwnd(window);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    RECT bounds{};
    if (!GetMonitorInfoA(MonitorFromWindow(dialog, MONITOR_DEFAULTTOPRIMARY), &monitor) ||
        !GetWindowRect(dialog, &bounds)) {
      return;
    }
    const RECT& area = monitor.rcWork;
    const int width = bounds.right - bounds.left;
    const int height = bounds.bottom - bounds.top;
    const int left = area.left + (area.right - area.left - width) / 2;
    const int top = area.top + (area.bottom - area.top - height) / 2;
    SetWindowPos(dialog, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

 private:
  static HWND Hwnd(DialogWindow window) { return static_cast<HWND>(window); }
};

}  // namespace

CDialogs& Win32Dialogs() {
  static CWin32Dialogs dialogs;
  return dialogs;
}
