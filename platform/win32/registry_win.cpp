// Win32Registry: the registry seam over advapi32, for keys under HKEY_CURRENT_USER.
#include <windows.h>

#include "platform/win32/win32_platform.h"

namespace {

REGSAM AccessMask(RegAccess access) {
  switch (access) {
    case RegAccess::kAllAccess:
      return KEY_ALL_ACCESS;
    case RegAccess::kSetValue:
      return KEY_SET_VALUE;
    case RegAccess::kQueryValue:
      return KEY_QUERY_VALUE;
  }
  return 0;
}

class CWin32Registry final : public CRegistry {
 public:
  long CreateUserKey(const char* subkey, RegAccess access, RegKey* key) override {
    HKEY created = nullptr;
    const LONG result =
        RegCreateKeyExA(HKEY_CURRENT_USER, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        AccessMask(access), nullptr, &created, nullptr);
    if (result == ERROR_SUCCESS) *key = created;
    return result;
  }

  long OpenUserKey(const char* subkey, RegAccess access, RegKey* key) override {
    HKEY opened = nullptr;
    const LONG result = RegOpenKeyExA(HKEY_CURRENT_USER, subkey, 0, AccessMask(access), &opened);
    if (result == ERROR_SUCCESS) *key = opened;
    return result;
  }

  long QueryValueBytes(RegKey key, const char* name, unsigned char* buffer,
                       std::uint32_t* size) override {
    DWORD data_size = *size;
    const LONG result =
        RegQueryValueExA(static_cast<HKEY>(key), name, nullptr, nullptr, buffer, &data_size);
    *size = data_size;
    return result;
  }

  long SetTextValue(RegKey key, const char* name, const char* text, std::uint32_t size) override {
    return RegSetValueExA(static_cast<HKEY>(key), name, 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(text), size);
  }

  void CloseKey(RegKey key) override { RegCloseKey(static_cast<HKEY>(key)); }
};

}  // namespace

CRegistry& Win32Registry() {
  static CWin32Registry registry;
  return registry;
}
