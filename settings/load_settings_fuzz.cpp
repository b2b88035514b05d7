// Fuzz target for LoadSettings over raw registry value bytes: any data, of any type and size, with
// or without a terminator, loads by the rules and never makes the load fail.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/fake/fake_registry.h"
#include "platform/fake/fake_system.h"
#include "settings/settings.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

constexpr const char* kNames[] = {"User", "Key", "Enabled", "Method"};
constexpr std::size_t kReadLimit = 1024;

// Reads the next `count` bytes of the input, or what is left of it.
std::vector<unsigned char> Take(const std::uint8_t*& data, std::size_t& size, std::size_t count) {
  if (count > size) count = size;
  std::vector<unsigned char> bytes(data, data + count);
  data += count;
  size -= count;
  return bytes;
}

}  // namespace

// Input: one byte naming the query that fails (1-4; anything else: none), then for each of the four
// values a control byte (bit 0: stored; bit 1: stored as a number type), a two-byte length (little
// endian, up to 65535) and that many data bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int failing_query = data[0];
  ++data;
  --size;

  CFakeRegistry registry;
  CFakeSystem system;
  // What a correct load yields for each value: its text, or nothing when it is not usable.
  std::optional<std::string> usable[4];
  for (int v = 0; v < 4 && size > 0; ++v) {
    const unsigned char control = Take(data, size, 1)[0];
    const std::vector<unsigned char> length = Take(data, size, 2);
    const std::size_t count = length.size() == 2 ? length[0] | (length[1] << 8) : 0;
    const std::vector<unsigned char> bytes = Take(data, size, count);
    if ((control & 1) == 0) continue;
    registry.PlantValue(kSettingsKey, kNames[v], (control & 2) != 0 ? kRegDword : kRegSz, bytes);
    // Values are queried in the order User, Key, Enabled, Method: query v + 1 is value v.
    if (bytes.size() <= kReadLimit && failing_query != v + 1) {
      std::string text(bytes.begin(), bytes.end());
      usable[v] = text.substr(0, text.find('\0'));
    }
  }
  if (failing_query >= 1 && failing_query <= 4) {
    registry.faults.query.FailNth(failing_query, false, kErrorAccessDenied);
  }

  CPlatform platform;
  platform.registry = &registry;
  platform.system = &system;
  UsePlatform(platform);
  Settings.User.clear();
  Settings.Key.clear();
  Settings.Enabled = 0;
  Settings.Method = 1;

  FUZZ_CHECK(LoadSettings());
  FUZZ_CHECK(system.messages.empty());
  FUZZ_CHECK(registry.OpenHandles() == 0);
  FUZZ_CHECK(registry.bad_handle_uses == 0);
  FUZZ_CHECK(Settings.User == usable[0].value_or("Username"));
  FUZZ_CHECK(Settings.Key == usable[1].value_or("Key"));
  FUZZ_CHECK(Settings.Enabled == (usable[2] == "1" ? 1 : 0));
  FUZZ_CHECK(Settings.Method == (usable[3] ? (*usable[3] == "GET" ? 1 : 0) : 1));
  // The key exists afterwards, and loading wrote no value.
  FUZZ_CHECK(registry.HasKey(kSettingsKey));
  for (const CRegCall& call : registry.calls) FUZZ_CHECK(call.op != RegOp::kSet);
  UsePlatform(CPlatform{});
  return 0;
}
