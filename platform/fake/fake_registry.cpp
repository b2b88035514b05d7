// CFakeRegistry: in-memory registry keys and values with access checks, fault plans and a call log.
#include "platform/fake/fake_registry.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

constexpr unsigned char kJunk = 0xA5;

bool CanQuery(RegAccess access) {
  return access == RegAccess::kQueryValue || access == RegAccess::kAllAccess;
}

bool CanSet(RegAccess access) {
  return access == RegAccess::kSetValue || access == RegAccess::kAllAccess;
}

}  // namespace

bool CFakeRegistry::Caseless::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) <
           std::tolower(static_cast<unsigned char>(y));
  });
}

RegKey CFakeRegistry::Issue(const std::string& subkey, RegAccess access) {
  RegKey key = reinterpret_cast<RegKey>(next_handle_);
  next_handle_ += 4;
  handles_[key] = Handle{subkey, access};
  return key;
}

const CFakeRegistry::Handle* CFakeRegistry::Find(RegKey key) {
  const auto found = handles_.find(key);
  if (found == handles_.end()) {
    ++bad_handle_uses;
    return nullptr;
  }
  return &found->second;
}

long CFakeRegistry::CreateUserKey(const char* subkey, RegAccess access, RegKey* key) {
  CRegCall call{RegOp::kCreate, subkey, access};
  call.result = faults.create.Next();
  if (call.result == kErrorSuccess) {
    keys_[subkey];
    *key = Issue(subkey, access);
  }
  calls.push_back(call);
  return call.result;
}

long CFakeRegistry::OpenUserKey(const char* subkey, RegAccess access, RegKey* key) {
  CRegCall call{RegOp::kOpen, subkey, access};
  call.result = faults.open.Next();
  if (call.result == kErrorSuccess) {
    if (keys_.count(subkey) == 0) {
      call.result = kErrorFileNotFound;
    } else {
      *key = Issue(subkey, access);
    }
  }
  calls.push_back(call);
  return call.result;
}

long CFakeRegistry::QueryValueBytes(RegKey key, const char* name, unsigned char* buffer,
                                    std::uint32_t* size) {
  CRegCall call{RegOp::kQuery, name};
  call.size = *size;
  std::memset(buffer, kJunk, *size);
  call.result = faults.query.Next();
  const Handle* handle = Find(key);
  if (call.result == kErrorSuccess) {
    if (handle == nullptr) {
      call.result = kErrorInvalidHandle;
    } else if (!CanQuery(handle->access)) {
      call.result = kErrorAccessDenied;
    }
  }
  if (call.result == kErrorSuccess) {
    const Values& values = keys_[handle->subkey];
    const auto found = values.find(name);
    if (found == values.end()) {
      call.result = kErrorFileNotFound;
    } else {
      const std::vector<unsigned char>& data = found->second.data;
      if (data.size() > *size) {
        call.result = kErrorMoreData;
      } else if (!data.empty()) {
        std::memcpy(buffer, data.data(), data.size());
      }
      *size = static_cast<std::uint32_t>(data.size());
      call.size_out = *size;
    }
  }
  calls.push_back(call);
  return call.result;
}

long CFakeRegistry::SetTextValue(RegKey key, const char* name, const char* text,
                                 std::uint32_t size) {
  CRegCall call{RegOp::kSet, name};
  call.size = size;
  call.result = faults.set.Next();
  const Handle* handle = Find(key);
  if (call.result == kErrorSuccess) {
    if (handle == nullptr) {
      call.result = kErrorInvalidHandle;
    } else if (!CanSet(handle->access)) {
      call.result = kErrorAccessDenied;
    }
  }
  if (call.result == kErrorSuccess) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    keys_[handle->subkey][name] = CRegValue{kRegSz, {bytes, bytes + size}};
  }
  calls.push_back(call);
  return call.result;
}

void CFakeRegistry::CloseKey(RegKey key) {
  calls.push_back(CRegCall{RegOp::kClose, ""});
  if (Find(key) != nullptr) handles_.erase(key);
}

void CFakeRegistry::PlantKey(const std::string& subkey) { keys_[subkey]; }

void CFakeRegistry::PlantValue(const std::string& subkey, const std::string& name,
                               std::uint32_t type, const std::vector<unsigned char>& data) {
  keys_[subkey][name] = CRegValue{type, data};
}

void CFakeRegistry::PlantText(const std::string& subkey, const std::string& name,
                              const std::string& text) {
  std::vector<unsigned char> data(text.begin(), text.end());
  data.push_back(0);
  PlantValue(subkey, name, kRegSz, data);
}

bool CFakeRegistry::HasKey(const std::string& subkey) const { return keys_.count(subkey) != 0; }

std::optional<CRegValue> CFakeRegistry::Value(const std::string& subkey,
                                              const std::string& name) const {
  const auto key = keys_.find(subkey);
  if (key == keys_.end()) return std::nullopt;
  const auto value = key->second.find(name);
  if (value == key->second.end()) return std::nullopt;
  return value->second;
}

std::optional<std::string> CFakeRegistry::Text(const std::string& subkey,
                                               const std::string& name) const {
  const std::optional<CRegValue> value = Value(subkey, name);
  if (!value) return std::nullopt;
  const auto end = std::find(value->data.begin(), value->data.end(), 0);
  return std::string(value->data.begin(), end);
}

CFaultSites CFakeRegistry::FaultSites() {
  return {{"registry create", &faults.create},
          {"registry open", &faults.open},
          {"registry query", &faults.query},
          {"registry set", &faults.set}};
}
