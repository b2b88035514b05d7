// CFakeSystem: an in-memory CSystem that records locale, socket start, messages and shell opens.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/fake/fault_plan.h"
#include "platform/platform.h"

// One ShellOpen call. A null pointer argument is recorded as an empty optional, so tests can tell
// a missing text from an empty one.
struct CShellOpenCall {
  std::optional<std::string> verb;
  std::optional<std::string> file;
  std::optional<std::string> parameters;
  std::optional<std::string> directory;
  int show_command = 0;
};

// Records every call for later inspection; nothing is shown or opened. Not thread-safe: like the
// real message box and shell, it is used from the window thread only.
class CFakeSystem final : public CSystem {
 public:
  void SetRuntimeLocale(const char* locale) override;
  // Counts a call on `faults.sockets`; returns false when the plan fails it.
  bool StartSockets() override;
  // Appends the text to `messages`, then runs `on_message` if set (a test can run timer ticks
  // there, as the real message box's loop would).
  void ShowMessage(const char* text) override;
  // The entry of `error_texts` for `code`, or the empty text when there is none.
  std::string SystemErrorText(long code) override;
  void ShellOpen(const char* verb, const char* file, const char* parameters, const char* directory,
                 int show_command) override;

  // Every locale passed to SetRuntimeLocale, in order (a null pointer as "(null)").
  std::vector<std::string> locales;
  // A failing message box shows nothing and returns at once (nothing recorded, no on_message); a
  // failing shell open opens nothing (nothing recorded).
  struct {
    CFaultPlan sockets;
    CFaultPlan message;
    CFaultPlan shell;
  } faults;
  CFaultSites FaultSites();
  int sockets_started = 0;  // successful StartSockets calls
  std::vector<std::string> messages;
  std::function<void(const std::string&)> on_message;
  std::map<long, std::string> error_texts;
  std::vector<long> error_text_queries;  // codes passed to SystemErrorText, in order
  std::vector<CShellOpenCall> shell_opens;
};
