// The settings store on the real registry backend: load, store, read back, and odd stored values.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/win32_platform.h"
#include "settings/settings.h"
#include "wine_check.h"

namespace {

// The real error texts, but messages are recorded instead of shown: a message box would block.
class CRecordingSystem final : public CSystem {
 public:
  void SetRuntimeLocale(const char*) override {}
  bool StartSockets() override { return true; }
  void ShowMessage(const char* text) override { messages.push_back(text); }
  std::string SystemErrorText(long code) override { return Win32System().SystemErrorText(code); }
  void ShellOpen(const char*, const char*, const char*, const char*, int) override {}

  std::vector<std::string> messages;
};

// The real registry, except that the `fail_at`-th value write (1-based, 0: none) reports
// `fail_code` without writing.
class CFailingRegistry final : public CRegistry {
 public:
  long CreateUserKey(const char* subkey, RegAccess access, RegKey* key) override {
    return Win32Registry().CreateUserKey(subkey, access, key);
  }
  long OpenUserKey(const char* subkey, RegAccess access, RegKey* key) override {
    return Win32Registry().OpenUserKey(subkey, access, key);
  }
  long QueryValueBytes(RegKey key, const char* name, unsigned char* buffer,
                       std::uint32_t* size) override {
    return Win32Registry().QueryValueBytes(key, name, buffer, size);
  }
  long SetTextValue(RegKey key, const char* name, const char* text, std::uint32_t size) override {
    if (++writes == fail_at) return fail_code;
    return Win32Registry().SetTextValue(key, name, text, size);
  }
  void CloseKey(RegKey key) override { Win32Registry().CloseKey(key); }

  int writes = 0;
  int fail_at = 0;
  long fail_code = ERROR_ACCESS_DENIED;
};

CRecordingSystem g_system;
CFailingRegistry g_registry;

void ResetSettings() {
  Settings.User.clear();
  Settings.Key.clear();
  Settings.Enabled = 0;
  Settings.Method = 1;
}

// Reads a value with the Win32 API directly. Returns the error code; fills type and bytes.
LONG ReadRaw(const char* name, DWORD* type, std::string* bytes) {
  HKEY key = nullptr;
  LONG result = RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, &key);
  if (result != ERROR_SUCCESS) return result;
  char buffer[4096];
  DWORD size = sizeof buffer;
  result = RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(buffer), &size);
  if (result == ERROR_SUCCESS) bytes->assign(buffer, size);
  RegCloseKey(key);
  return result;
}

void CheckStoredText(const char* name, const std::string& text) {
  DWORD type = 0;
  std::string bytes;
  CHECK_EQ_INT(ReadRaw(name, &type, &bytes), ERROR_SUCCESS);
  CHECK_EQ_INT(type, REG_SZ);
  CHECK(bytes == text + std::string(1, '\0'));
}

void Plant(const char* name, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  CHECK_EQ_INT(RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_SET_VALUE, &key), 0);
  CHECK_EQ_INT(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), 0);
  RegCloseKey(key);
}

void FirstRunCreatesTheKeyAndWritesNothing() {
  ResetSettings();
  CHECK(LoadSettings());
  CHECK_EQ_STR(Settings.User, "Username");
  CHECK_EQ_STR(Settings.Key, "Key");
  CHECK_EQ_INT(Settings.Enabled, 0);
  CHECK_EQ_INT(Settings.Method.load(), 1);
  for (const char* name : {"Enabled", "Method", "User", "Key"}) {
    DWORD type = 0;
    std::string bytes;
    CHECK_EQ_INT(ReadRaw(name, &type, &bytes), ERROR_FILE_NOT_FOUND);
  }
}

void StoredValuesReadBackAsTerminatedTexts() {
  CHECK(StoreSettings("Bj\xf6rk", "0815", 1, 0));
  CheckStoredText("Enabled", "1");
  CheckStoredText("Method", "POST");
  CheckStoredText("User", "Bj\xf6rk");
  CheckStoredText("Key", "0815");

  ResetSettings();
  CHECK(LoadSettings());
  CHECK_EQ_STR(Settings.User, "Bj\xf6rk");
  CHECK_EQ_STR(Settings.Key, "0815");
  CHECK_EQ_INT(Settings.Enabled, 1);
  CHECK_EQ_INT(Settings.Method.load(), 0);
}

void OddStoredValuesLoadSafely() {
  const DWORD one = 1;
  Plant("Enabled", REG_DWORD, &one, sizeof one);
  const std::string long_user(1024, 'u');  // 1,025 bytes with the NUL
  Plant("User", REG_SZ, long_user.c_str(), 1025);
  Plant("Key", REG_SZ, "987", 3);  // no terminating NUL
  Plant("Method", REG_SZ, "get", 4);
  ResetSettings();
  CHECK(LoadSettings());
  CHECK_EQ_INT(Settings.Enabled, 0);
  CHECK_EQ_STR(Settings.User, "Username");
  CHECK_EQ_STR(Settings.Key, "987");
  CHECK_EQ_INT(Settings.Method.load(), 0);

  const std::string longest(1023, 'v');  // exactly 1,024 bytes with the NUL
  Plant("User", REG_SZ, longest.c_str(), 1024);
  Plant("Enabled", REG_SZ, "1", 2);
  ResetSettings();
  CHECK(LoadSettings());
  CHECK_EQ_STR(Settings.User, longest);
  CHECK_EQ_INT(Settings.Enabled, 1);
}

void FailedWriteShowsTheSystemText() {
  CHECK(StoreSettings("before", "1", 0, 1));
  const std::string denied = Win32System().SystemErrorText(ERROR_ACCESS_DENIED);
  CHECK(!denied.empty());
  CHECK(denied.find_first_of("\r\n") == std::string::npos);
  CHECK(Win32System().SystemErrorText(0x2000ABCD).empty());

  g_registry.writes = 0;
  g_registry.fail_at = 2;
  CHECK(!StoreSettings("after", "2", 1, 0));
  g_registry.fail_at = 0;
  CHECK_EQ_INT(g_system.messages.size(), 1);
  if (!g_system.messages.empty()) CHECK_EQ_STR(g_system.messages[0], denied);
  g_system.messages.clear();
  CheckStoredText("Enabled", "1");
  CheckStoredText("Method", "GET");
  CheckStoredText("User", "before");
}

void AccessRightsAreThoseAskedFor() {
  RegKey key = nullptr;
  CHECK_EQ_INT(Win32Registry().OpenUserKey(kSettingsKey, RegAccess::kQueryValue, &key), 0);
  CHECK(Win32Registry().SetTextValue(key, "User", "x", 2) != ERROR_SUCCESS);
  Win32Registry().CloseKey(key);
  key = nullptr;
  CHECK_EQ_INT(Win32Registry().OpenUserKey(kSettingsKey, RegAccess::kSetValue, &key), 0);
  unsigned char buffer[16];
  std::uint32_t size = sizeof buffer;
  CHECK(Win32Registry().QueryValueBytes(key, "User", buffer, &size) != ERROR_SUCCESS);
  Win32Registry().CloseKey(key);
}

}  // namespace

int main() {
  RegDeleteKeyA(HKEY_CURRENT_USER, kSettingsKey);
  CPlatform platform;
  platform.registry = &g_registry;
  platform.system = &g_system;
  UsePlatform(platform);

  FirstRunCreatesTheKeyAndWritesNothing();
  StoredValuesReadBackAsTerminatedTexts();
  OddStoredValuesLoadSafely();
  FailedWriteShowsTheSystemText();
  AccessRightsAreThoseAskedFor();
  CHECK(g_system.messages.empty());

  RegDeleteKeyA(HKEY_CURRENT_USER, kSettingsKey);
  return winecheck::Finish();
}
