// CFakeSystem: recording implementation of the runtime, sockets, message and shell seam.
#include "platform/fake/fake_system.h"

namespace {

std::optional<std::string> TextOrNone(const char* text) {
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

}  // namespace

void CFakeSystem::SetRuntimeLocale(const char* locale) {
  locales.push_back(locale != nullptr ? locale : "(null)");
}

bool CFakeSystem::StartSockets() {
  if (faults.sockets.Next() != 0) return false;
  ++sockets_started;
  return true;
}

void CFakeSystem::ShowMessage(const char* text) {
  if (faults.message.Next() != 0) return;
  // A copy: the callback may show another message, which can move the recorded texts.
  const std::string shown = text != nullptr ? text : "";
  messages.push_back(shown);
  if (on_message) on_message(shown);
}

std::string CFakeSystem::SystemErrorText(long code) {
  error_text_queries.push_back(code);
  const auto found = error_texts.find(code);
  return found != error_texts.end() ? found->second : std::string();
}

void CFakeSystem::ShellOpen(const char* verb, const char* file, const char* parameters,
                            const char* directory, int show_command) {
  if (faults.shell.Next() != 0) return;
  shell_opens.push_back({TextOrNone(verb), TextOrNone(file), TextOrNone(parameters),
                         TextOrNone(directory), show_command});
}

CFaultSites CFakeSystem::FaultSites() {
  return {{"socket start", &faults.sockets},
          {"message box", &faults.message},
          {"shell open", &faults.shell}};
}
