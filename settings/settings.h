// The four persisted settings: the in-memory record and the operations that load and store them.
#pragma once

#include <atomic>
#include <string>

struct SettingsRecord {
  // Account name and key. Empty until LoadSettings; the record owns storage that grows to fit
  // whatever text the dialog applies. Window thread only.
  std::string User;
  std::string Key;
  // 1 on, 0 off; readers test for non-zero. Window thread only.
  int Enabled = 0;
  // Non-zero GET, 0 POST. Written on the window thread (load, Apply), read by report workers.
  std::atomic<int> Method{1};
};

extern SettingsRecord Settings;

// The registry key under HKEY_CURRENT_USER that holds the four values.
constexpr char kSettingsKey[] = "Software\\Winamp\\Velk";

// Reads the four values into Settings once, while the module loads (window thread). Returns false
// after showing "Couldn't create registry keys." or "Couldn't open registry key."; missing or
// unusable values are not failures and leave the defaults in place.
bool LoadSettings();

// Apply: puts the dialog's values into Settings (in force from then on, whatever follows), then
// writes "Enabled", "Method", "User" and "Key" in that order. Returns true when all four writes
// succeeded; otherwise a message has been shown and the values written so far stay written.
bool StoreSettings(const std::string& user, const std::string& key, int enabled, int method_get);
