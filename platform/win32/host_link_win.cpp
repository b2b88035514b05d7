// Questions to the player's main window through its WM_USER interface.
#include <windows.h>

#include "platform/win32/win32_platform.h"

namespace {

class CWin32HostLink final : public CHostLink {
 public:
  explicit CWin32HostLink(void* const* window_slot) : window_slot_(window_slot) {}

  std::intptr_t AskHost(std::uintptr_t wparam, std::intptr_t lparam) override {
    HWND window = static_cast<HWND>(*window_slot_);
    if (window == nullptr) return 0;
    return static_cast<std::intptr_t>(
        SendMessageA(window, WM_USER, static_cast<WPARAM>(wparam), static_cast<LPARAM>(lparam)));
  }

 private:
  void* const* window_slot_;
};

}  // namespace

CHostLink& Win32HostLink(void* const* window_slot) {
  static CWin32HostLink link(window_slot);
  return link;
}
