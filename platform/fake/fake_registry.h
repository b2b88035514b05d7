// CFakeRegistry: an in-memory HKEY_CURRENT_USER with raw value bytes, call log, faults and handles.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/fake/fault_plan.h"
#include "platform/platform.h"

// Registry value types as the system numbers them.
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegDword = 4;
constexpr long kErrorInvalidHandle = 6;

enum class RegOp { kCreate, kOpen, kQuery, kSet, kClose };

// One call as the fake saw it. `name` is the subkey (create, open) or the value name (query, set).
// `size` is the capacity passed in (query) or the data size passed (set); `size_out` is the size
// reported back by a query. `access` matters for create and open only.
struct CRegCall {
  RegOp op;
  std::string name;
  RegAccess access = RegAccess::kAllAccess;
  std::uint32_t size = 0;
  std::uint32_t size_out = 0;
  long result = 0;
};

struct CRegValue {
  std::uint32_t type = kRegSz;
  std::vector<unsigned char> data;
};

// Keys and value names compare without regard to ASCII case, as the system's do. Handles carry the
// access they were opened with: querying needs kQueryValue or kAllAccess, setting needs kSetValue
// or kAllAccess, else the call fails with kErrorAccessDenied. A failed query fills the caller's
// whole buffer with junk, and a successful one fills the bytes after the data with junk, so that a
// reader that trusts bytes it was not given shows up in tests. Not thread-safe: the registry is
// used from the window thread only.
class CFakeRegistry final : public CRegistry {
 public:
  long CreateUserKey(const char* subkey, RegAccess access, RegKey* key) override;
  long OpenUserKey(const char* subkey, RegAccess access, RegKey* key) override;
  long QueryValueBytes(RegKey key, const char* name, unsigned char* buffer,
                       std::uint32_t* size) override;
  long SetTextValue(RegKey key, const char* name, const char* text, std::uint32_t size) override;
  void CloseKey(RegKey key) override;

  // Test set-up and inspection; none of these is logged or counted by the fault plans.
  void PlantKey(const std::string& subkey);
  void PlantValue(const std::string& subkey, const std::string& name, std::uint32_t type,
                  const std::vector<unsigned char>& data);
  // A REG_SZ value holding `text` and one terminating NUL.
  void PlantText(const std::string& subkey, const std::string& name, const std::string& text);
  bool HasKey(const std::string& subkey) const;
  std::optional<CRegValue> Value(const std::string& subkey, const std::string& name) const;
  // The value's bytes up to (not including) its first NUL; nullopt when the value is missing.
  std::optional<std::string> Text(const std::string& subkey, const std::string& name) const;
  std::size_t OpenHandles() const { return handles_.size(); }

  std::vector<CRegCall> calls;
  // Calls with a handle that is not open (never issued, or already closed).
  int bad_handle_uses = 0;
  // One plan per kind of call; a failing call reports "access denied" unless the plan names
  // another code. CloseKey never fails.
  struct {
    CFaultPlan create{kErrorAccessDenied};
    CFaultPlan open{kErrorAccessDenied};
    CFaultPlan query{kErrorAccessDenied};
    CFaultPlan set{kErrorAccessDenied};
  } faults;
  CFaultSites FaultSites();

 private:
  struct Caseless {
    bool operator()(const std::string& a, const std::string& b) const;
  };
  using Values = std::map<std::string, CRegValue, Caseless>;
  struct Handle {
    std::string subkey;
    RegAccess access;
  };

  RegKey Issue(const std::string& subkey, RegAccess access);
  const Handle* Find(RegKey key);

  std::map<std::string, Values, Caseless> keys_;
  std::map<RegKey, Handle> handles_;
  std::uintptr_t next_handle_ = 0x100;
};
