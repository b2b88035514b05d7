// A registry for the Wine test programs: the real one, with one value write made to fail.
#pragma once

#include <windows.h>

#include <cstdint>
#include <new>

#include "platform/win32/win32_platform.h"

// The real registry, except that the `fail_at`-th value write (1-based, 0: none) reports
// `fail_code` without writing, or with `throws` throws std::bad_alloc, as running out of memory
// inside the system would.
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
    if (++writes == fail_at) {
      if (throws) throw std::bad_alloc();
      return fail_code;
    }
    return Win32Registry().SetTextValue(key, name, text, size);
  }
  void CloseKey(RegKey key) override { Win32Registry().CloseKey(key); }

  int writes = 0;
  int fail_at = 0;
  long fail_code = ERROR_ACCESS_DENIED;
  bool throws = false;
};
