// Tests of the settings store against the in-memory registry and system.
#include "settings/settings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/fake/fake_registry.h"
#include "platform/fake/fake_system.h"
#include "tests/support/cycle_fakes.h"
#include "tests/support/scoped_platform.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Bytes = std::vector<unsigned char>;

Bytes TextBytes(const std::string& text, bool terminated = true) {
  Bytes bytes(text.begin(), text.end());
  if (terminated) bytes.push_back(0);
  return bytes;
}

class SettingsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetModuleRecords();
    platform_.Registry(registry_).System(system_);
  }

  void TearDown() override {
    EXPECT_EQ(registry_.OpenHandles(), 0u);
    EXPECT_EQ(registry_.bad_handle_uses, 0);
  }

  // The registry calls so far, one short line each, for comparisons of order and arguments.
  std::vector<std::string> Log() const {
    static const char* const kAccess[] = {"all", "set", "query"};
    std::vector<std::string> lines;
    for (const CRegCall& call : registry_.calls) {
      switch (call.op) {
        case RegOp::kCreate:
        case RegOp::kOpen:
          lines.push_back(std::string(call.op == RegOp::kCreate ? "create " : "open ") + call.name +
                          " " + kAccess[static_cast<int>(call.access)]);
          break;
        case RegOp::kQuery:
          lines.push_back("query " + call.name + " " + std::to_string(call.size));
          break;
        case RegOp::kSet:
          lines.push_back("set " + call.name + " " + std::to_string(call.size));
          break;
        case RegOp::kClose:
          lines.push_back("close");
          break;
      }
    }
    return lines;
  }

  void Plant(const char* name, const std::string& text) {
    registry_.PlantText(kSettingsKey, name, text);
  }
  std::optional<std::string> Stored(const char* name) const {
    return registry_.Text(kSettingsKey, name);
  }

  CFakeRegistry registry_;
  CFakeSystem system_;
  CScopedPlatform platform_;
};

// --- Loading -------------------------------------------------------------------------------------

TEST_F(SettingsStoreTest, FirstRunCreatesTheKeyAndTakesTheDefaults) {
  ASSERT_TRUE(LoadSettings());

  EXPECT_TRUE(registry_.HasKey(kSettingsKey));
  EXPECT_THAT(Log(),
              ElementsAre("create Software\\Winamp\\Velk all", "close",
                          "open Software\\Winamp\\Velk query", "query User 1024", "query Key 1024",
                          "query Enabled 1024", "query Method 1024", "close"));
  EXPECT_EQ(Settings.User, "Username");
  EXPECT_EQ(Settings.Key, "Key");
  EXPECT_EQ(Settings.Enabled, 0);
  EXPECT_EQ(Settings.Method, 1);
  EXPECT_THAT(system_.messages, IsEmpty());
}

TEST_F(SettingsStoreTest, UnreadableValuesFallBackToDefaultsSilently) {
  Plant("User", "alice");
  Plant("Enabled", "1");
  Plant("Method", "POST");
  registry_.faults.query.FailNth(1, true, kErrorAccessDenied);

  ASSERT_TRUE(LoadSettings());

  EXPECT_EQ(Settings.User, "Username");
  EXPECT_EQ(Settings.Enabled, 0);
  EXPECT_EQ(Settings.Method, 1);
  EXPECT_THAT(system_.messages, IsEmpty());
}

TEST_F(SettingsStoreTest, KeyThatCannotBeCreatedOrOpenedFailsTheLoadWithItsMessage) {
  registry_.faults.create.FailNth(1, false, kErrorAccessDenied);
  EXPECT_FALSE(LoadSettings());
  EXPECT_THAT(system_.messages, ElementsAre("Couldn't create registry keys."));
  EXPECT_THAT(Log(), ElementsAre("create Software\\Winamp\\Velk all"));

  system_.messages.clear();
  registry_.calls.clear();
  registry_.faults.open.FailNth(1, false, kErrorAccessDenied);
  EXPECT_FALSE(LoadSettings());
  EXPECT_THAT(system_.messages, ElementsAre("Couldn't open registry key."));
  EXPECT_THAT(Log(), ElementsAre("create Software\\Winamp\\Velk all", "close",
                                 "open Software\\Winamp\\Velk query"));
}

// One stored "Enabled" or "Method" value (nullopt: missing) and the record it must load into.
struct FlagCase {
  const char* label;
  const char* name;
  std::optional<Bytes> data;
  std::uint32_t type;
  int enabled;
  int method;
};

class FlagLoadTest : public SettingsStoreTest, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(FlagLoadTest, ComparesTheWholeTextExactly) {
  const FlagCase& c = GetParam();
  registry_.PlantKey(kSettingsKey);
  if (c.data) registry_.PlantValue(kSettingsKey, c.name, c.type, *c.data);

  ASSERT_TRUE(LoadSettings());
  EXPECT_EQ(Settings.Enabled, c.enabled);
  EXPECT_EQ(Settings.Method, c.method);
}

Bytes Padded(const std::string& text, std::size_t size) {
  Bytes bytes = TextBytes(text);
  bytes.resize(size, 0);
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Values, FlagLoadTest,
    ::testing::Values(FlagCase{"EnabledOne", "Enabled", TextBytes("1"), kRegSz, 1, 1},
                      FlagCase{"EnabledOneWithoutNul", "Enabled", TextBytes("1", false), kRegSz, 1,
                               1},
                      FlagCase{"EnabledZero", "Enabled", TextBytes("0"), kRegSz, 0, 1},
                      FlagCase{"EnabledEmpty", "Enabled", TextBytes(""), kRegSz, 0, 1},
                      FlagCase{"EnabledZeroOne", "Enabled", TextBytes("01"), kRegSz, 0, 1},
                      FlagCase{"EnabledTrue", "Enabled", TextBytes("true"), kRegSz, 0, 1},
                      FlagCase{"EnabledOneBlank", "Enabled", TextBytes("1 "), kRegSz, 0, 1},
                      FlagCase{"EnabledDword", "Enabled", Bytes{1, 0, 0, 0}, kRegDword, 0, 1},
                      FlagCase{"EnabledOver1024", "Enabled", Padded("1", 1025), kRegSz, 0, 1},
                      FlagCase{"MethodGet", "Method", TextBytes("GET"), kRegSz, 0, 1},
                      FlagCase{"MethodPost", "Method", TextBytes("POST"), kRegSz, 0, 0},
                      FlagCase{"MethodLowerCase", "Method", TextBytes("get"), kRegSz, 0, 0},
                      FlagCase{"MethodEmpty", "Method", TextBytes(""), kRegSz, 0, 0},
                      FlagCase{"MethodGetBlank", "Method", TextBytes("GET "), kRegSz, 0, 0},
                      FlagCase{"MethodMissing", "Method", std::nullopt, kRegSz, 0, 1},
                      FlagCase{"MethodOver1024", "Method", Padded("POST", 1025), kRegSz, 0, 1}),
    [](const auto& info) { return std::string(info.param.label); });

// One stored "User" or "Key" value and the text it must load as.
struct TextCase {
  const char* label;
  const char* name;
  std::optional<Bytes> data;
  std::string expected;
};

class TextLoadTest : public SettingsStoreTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(TextLoadTest, TakesTheDataUnchangedOrTheDefault) {
  const TextCase& c = GetParam();
  registry_.PlantKey(kSettingsKey);
  if (c.data) registry_.PlantValue(kSettingsKey, c.name, kRegSz, *c.data);

  ASSERT_TRUE(LoadSettings());
  EXPECT_EQ(std::string(c.name) == "User" ? Settings.User : Settings.Key, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, TextLoadTest,
    ::testing::Values(
        TextCase{"UserMissing", "User", std::nullopt, "Username"},
        TextCase{"KeyMissing", "Key", std::nullopt, "Key"},
        TextCase{"UserEmpty", "User", TextBytes(""), ""},
        TextCase{"KeyEmpty", "Key", TextBytes(""), ""},
        TextCase{"KeyZeroBytes", "Key", Bytes{}, ""},
        TextCase{"UserHighBytes", "User", TextBytes("Bj\xf6rk & co"), "Bj\xf6rk & co"},
        TextCase{"UserWithoutNul", "User", TextBytes("ab", false), "ab"},
        TextCase{"UserInnerNul", "User", TextBytes(std::string("ab\0cd", 5)), "ab"},
        TextCase{"User1024", "User", TextBytes(std::string(1023, 'u')), std::string(1023, 'u')},
        TextCase{"User1024WithoutNul", "User", TextBytes(std::string(1024, 'u'), false),
                 std::string(1024, 'u')},
        TextCase{"User1025", "User", TextBytes(std::string(1024, 'u')), "Username"},
        TextCase{"Key1025", "Key", TextBytes(std::string(1024, '7')), "Key"}),
    [](const auto& info) { return std::string(info.param.label); });

// --- Storing -------------------------------------------------------------------------------------

TEST_F(SettingsStoreTest, StoreWritesAllFourValuesInOrderAsTerminatedTexts) {
  ASSERT_TRUE(LoadSettings());
  registry_.calls.clear();

  EXPECT_TRUE(StoreSettings("alice", "0815", 1, 1));

  EXPECT_THAT(Log(), ElementsAre("create Software\\Winamp\\Velk set", "close",
                                 "open Software\\Winamp\\Velk set", "set Enabled 2", "set Method 4",
                                 "set User 6", "set Key 5", "close"));
  EXPECT_EQ(registry_.Value(kSettingsKey, "Enabled")->data, TextBytes("1"));
  EXPECT_EQ(registry_.Value(kSettingsKey, "Method")->data, TextBytes("GET"));
  EXPECT_EQ(registry_.Value(kSettingsKey, "User")->data, TextBytes("alice"));
  EXPECT_EQ(registry_.Value(kSettingsKey, "Key")->data, TextBytes("0815"));
  EXPECT_EQ(registry_.Value(kSettingsKey, "Key")->type, kRegSz);
  EXPECT_THAT(system_.messages, IsEmpty());

  // Switched off, POST and empty texts are written too; any non-zero check state counts as on.
  EXPECT_TRUE(StoreSettings("", "", 0, 0));
  EXPECT_EQ(Stored("Enabled"), "0");
  EXPECT_EQ(Stored("Method"), "POST");
  EXPECT_EQ(registry_.Value(kSettingsKey, "User")->data, TextBytes(""));
  EXPECT_TRUE(StoreSettings("u", "k", 2, 2));
  EXPECT_EQ(Stored("Enabled"), "1");
  EXPECT_EQ(Settings.Enabled, 1);
  EXPECT_EQ(Settings.Method, 1);
}

TEST_F(SettingsStoreTest, StoreCarriesOnWhenOnlyTheCreateFails) {
  registry_.PlantKey(kSettingsKey);
  registry_.faults.create.FailNth(1, false, kErrorAccessDenied);

  EXPECT_TRUE(StoreSettings("alice", "1", 1, 1));
  EXPECT_THAT(system_.messages, IsEmpty());
  EXPECT_EQ(Stored("User"), "alice");
}

TEST_F(SettingsStoreTest, StoreThatCannotOpenTheKeyWritesNothingButKeepsTheNewValues) {
  Plant("User", "old");
  registry_.faults.open.FailNth(1, false, kErrorAccessDenied);

  EXPECT_FALSE(StoreSettings("new", "42", 1, 0));

  EXPECT_THAT(system_.messages, ElementsAre("Couldn't open registry key."));
  EXPECT_EQ(Stored("User"), "old");
  EXPECT_FALSE(Stored("Enabled").has_value());
  EXPECT_EQ(Settings.User, "new");
  EXPECT_EQ(Settings.Key, "42");
  EXPECT_EQ(Settings.Enabled, 1);
  EXPECT_EQ(Settings.Method, 0);
}

class WriteFailureTest : public SettingsStoreTest, public ::testing::WithParamInterface<int> {};

TEST_P(WriteFailureTest, FirstFailedWriteStopsAndShowsTheSystemText) {
  const int failing = GetParam();
  Plant("Enabled", "0");
  Plant("Method", "POST");
  Plant("User", "old");
  Plant("Key", "111");
  system_.error_texts[kErrorAccessDenied] = "Access is denied.";
  registry_.faults.set.FailNth(failing, false, kErrorAccessDenied);

  EXPECT_FALSE(StoreSettings("new", "222", 1, 1));

  EXPECT_THAT(system_.messages, ElementsAre("Access is denied."));
  const char* const names[] = {"Enabled", "Method", "User", "Key"};
  const char* const before[] = {"0", "POST", "old", "111"};
  const char* const after[] = {"1", "GET", "new", "222"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(Stored(names[i]), i + 1 < failing ? after[i] : before[i]) << names[i];
  }
  EXPECT_EQ(registry_.faults.set.Calls(), failing);
  EXPECT_EQ(Settings.User, "new");
  EXPECT_EQ(Settings.Key, "222");
  EXPECT_EQ(Settings.Enabled, 1);
  EXPECT_EQ(Settings.Method, 1);
}

INSTANTIATE_TEST_SUITE_P(EachValue, WriteFailureTest, ::testing::Range(1, 5));

TEST_F(SettingsStoreTest, WriteFailureWithoutSystemTextShowsTheCode) {
  registry_.faults.set.FailNth(2, false, 1234);
  EXPECT_FALSE(StoreSettings("u", "k", 0, 1));
  EXPECT_THAT(system_.messages, ElementsAre("Error 1234"));
  EXPECT_THAT(system_.error_text_queries, ElementsAre(1234));
}

// --- Round trips ---------------------------------------------------------------------------------

TEST_F(SettingsStoreTest, LongTextsAppliedAfterLoadAreHeldWholeAndReadBack) {
  ASSERT_TRUE(LoadSettings());
  const std::string user(1023, 'n');
  const std::string key(300, '9');

  ASSERT_TRUE(StoreSettings(user, key, 1, 1));
  EXPECT_EQ(Settings.User, user);
  EXPECT_EQ(registry_.Value(kSettingsKey, "Key")->data.size(), 301u);

  Settings.User.clear();
  Settings.Key.clear();
  ASSERT_TRUE(LoadSettings());
  EXPECT_EQ(Settings.User, user);
  EXPECT_EQ(Settings.Key, key);

  // A text too long for the read buffer is kept in memory and written whole, but does not load.
  ASSERT_TRUE(StoreSettings(user + "n", key, 1, 1));
  EXPECT_EQ(Settings.User.size(), 1024u);
  ASSERT_TRUE(LoadSettings());
  EXPECT_EQ(Settings.User, "Username");
}

}  // namespace
