// The in-memory Settings record and its registry storage: loading at module load, storing on Apply.
#include "settings/settings.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "platform/platform.h"

SettingsRecord Settings;

namespace {

// Every value is read into a buffer of this size; larger data counts as no usable value.
constexpr std::uint32_t kReadBufferSize = 1024;

constexpr char kCreateFailed[] = "Couldn't create registry keys.";
constexpr char kOpenFailed[] = "Couldn't open registry key.";

// Reads value `name` as text: its data bytes up to the first NUL, or all of them when the data
// holds no NUL. The registry type is not looked at. nullopt when the value is missing, larger than
// the buffer, or unreadable.
std::optional<std::string> ReadText(RegKey key, const char* name) {
  unsigned char buffer[kReadBufferSize];
  std::uint32_t size = kReadBufferSize;
  if (Platform().registry->QueryValueBytes(key, name, buffer, &size) != kErrorSuccess) {
    return std::nullopt;
  }
  unsigned char* end = buffer + std::min(size, kReadBufferSize);
  return std::string(buffer, std::find(buffer, end, 0));
}

// Writes `text` as a REG_SZ value of its length plus the terminating NUL.
long WriteText(RegKey key, const char* name, const std::string& text) {
  return Platform().registry->SetTextValue(key, name, text.c_str(),
                                           static_cast<std::uint32_t>(text.size() + 1));
}

// The system's text for a failed write, or "Error <code>" when the system has none. The code is
// shown as the unsigned 32-bit number the system returned.
std::string WriteFailureText(long code) {
  std::string text = Platform().system->SystemErrorText(code);
  if (text.empty()) {
    text = "Error " + std::to_string(static_cast<std::uint32_t>(code));
  }
  return text;
}

}  // namespace

bool LoadSettings() {
  CRegistry& registry = *Platform().registry;
  RegKey key = nullptr;
  if (registry.CreateUserKey(kSettingsKey, RegAccess::kAllAccess, &key) != kErrorSuccess) {
    Platform().system->ShowMessage(kCreateFailed);
    return false;
  }
  registry.CloseKey(key);

  key = nullptr;
  if (registry.OpenUserKey(kSettingsKey, RegAccess::kQueryValue, &key) != kErrorSuccess) {
    Platform().system->ShowMessage(kOpenFailed);
    return false;
  }
  const std::optional<std::string> user = ReadText(key, "User");
  const std::optional<std::string> account_key = ReadText(key, "Key");
  if (const auto enabled = ReadText(key, "Enabled"); enabled && *enabled == "1") {
    Settings.Enabled = 1;
  }
  if (const auto method = ReadText(key, "Method")) {
    Settings.Method = *method == "GET" ? 1 : 0;
  }
  registry.CloseKey(key);

  // The defaults stand in only for values that were not loaded; a loaded empty text stays empty.
  Settings.User = user.value_or("Username");
  Settings.Key = account_key.value_or("Key");
  return true;
}

bool StoreSettings(const std::string& user, const std::string& key, int enabled, int method_get) {
  // In force from here on for the report cycle, whether or not the writes below succeed; the
  // copies are made first, so the four values change together or not at all.
  std::string new_user = user;
  std::string new_key = key;
  Settings.User.swap(new_user);
  Settings.Key.swap(new_key);
  Settings.Enabled = enabled != 0 ? 1 : 0;
  Settings.Method = method_get != 0 ? 1 : 0;
  const std::pair<const char*, std::string> values[] = {
      {"Enabled", std::to_string(Settings.Enabled)},
      {"Method", Settings.Method != 0 ? "GET" : "POST"},
      {"User", Settings.User},
      {"Key", Settings.Key},
  };

  CRegistry& registry = *Platform().registry;
  RegKey handle = nullptr;
  // Only makes sure the key exists; whether writing is possible is decided by the open below.
  if (registry.CreateUserKey(kSettingsKey, RegAccess::kSetValue, &handle) == kErrorSuccess) {
    registry.CloseKey(handle);
  }

  handle = nullptr;
  if (registry.OpenUserKey(kSettingsKey, RegAccess::kSetValue, &handle) != kErrorSuccess) {
    Platform().system->ShowMessage(kOpenFailed);
    return false;
  }
  bool written = true;
  try {
    for (const auto& [name, text] : values) {
      if (const long code = WriteText(handle, name, text); code != kErrorSuccess) {
        Platform().system->ShowMessage(WriteFailureText(code).c_str());
        written = false;
        break;
      }
    }
  } catch (...) {
    registry.CloseKey(handle);
    throw;
  }
  registry.CloseKey(handle);
  return written;
}
