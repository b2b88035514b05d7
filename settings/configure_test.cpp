// Tests of the configuration dialog's logic against in-memory dialogs, registry and system, and of
// the logo bitmap files.
#include "settings/configure.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "delivery/service_url.h"
#include "platform/fake/fake_dialogs.h"
#include "platform/fake/fake_registry.h"
#include "platform/fake/fake_system.h"
#include "settings/resource.h"
#include "settings/settings.h"
#include "tests/support/scoped_platform.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ConfigureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Show("alice", "1234", 1, 1);
    dialogs_.AddTemplate(IDD_CONFIGURE, {IDOK, IDC_USERNAME, IDCANCEL, IDC_ENABLE, IDC_REGISTER,
                                         IDC_METHOD_GET, IDC_METHOD_POST, IDC_KEY});
    platform_.Dialogs(dialogs_).Registry(registry_).System(system_);
  }

  void TearDown() override {
    EXPECT_EQ(dialogs_.Misuses(), 0);
    EXPECT_EQ(registry_.OpenHandles(), 0u);
  }

  // The in-memory settings the dialog opens with.
  static void Show(const std::string& user, const std::string& key, int enabled, int method) {
    Settings.User = user;
    Settings.Key = key;
    Settings.Enabled = enabled;
    Settings.Method = method;
  }

  // Runs one CConfigure through the queued actions, as PluginConfig does.
  std::intptr_t Run() {
    CConfigure dialog;
    return dialog.DoModal();
  }

  std::string Stored(const char* name) const {
    return registry_.Text(kSettingsKey, name).value_or("<missing>");
  }

  bool Enabled(int id) const { return dialogs_.Item(id).enabled; }
  const std::string& Text(int id) const { return dialogs_.Item(id).text; }
  int Check(int id) const { return dialogs_.Item(id).check; }

  CFakeDialogs dialogs_;
  CFakeRegistry registry_;
  CFakeSystem system_;
  CScopedPlatform platform_;
};

TEST_F(ConfigureTest, OpensCentredShowingSettingsWithFieldsFollowingTheCheckBox) {
  dialogs_.Then([&] {
    EXPECT_TRUE(dialogs_.Centred());
    EXPECT_EQ(Text(IDC_USERNAME), "alice");
    EXPECT_EQ(Text(IDC_KEY), "1234");
    EXPECT_EQ(Check(IDC_ENABLE), 1);
    EXPECT_EQ(Check(IDC_METHOD_GET), 1);
    EXPECT_EQ(Check(IDC_METHOD_POST), 0);
    for (int id : {IDC_USERNAME, IDC_KEY, IDC_METHOD_GET, IDC_METHOD_POST})
      EXPECT_TRUE(Enabled(id));
  });
  dialogs_.Command(IDCANCEL);
  EXPECT_EQ(Run(), IDCANCEL);
  EXPECT_THAT(dialogs_.Calls("EnableItem"), ElementsAre("EnableItem 2000 1", "EnableItem 2001 1",
                                                        "EnableItem 2003 1", "EnableItem 2004 1"));
  EXPECT_THAT(registry_.calls, IsEmpty());
}

TEST_F(ConfigureTest, OpeningWithReportingOffDisablesTheFieldsButNotTheButtons) {
  Show("alice", "1234", 0, 1);
  dialogs_.Then([&] {
    EXPECT_EQ(Check(IDC_ENABLE), 0);
    for (int id : {IDC_USERNAME, IDC_KEY, IDC_METHOD_GET, IDC_METHOD_POST})
      EXPECT_FALSE(Enabled(id));
    for (int id : {IDC_ENABLE, IDOK, IDCANCEL, IDC_REGISTER}) EXPECT_TRUE(Enabled(id));
    // The edit boxes still show the stored texts, greyed.
    EXPECT_EQ(Text(IDC_USERNAME), "alice");
  });
  dialogs_.Type(IDC_USERNAME, "bob");
  // Apply with the check box clear still stores the texts of the disabled boxes.
  dialogs_.Click(IDOK);
  EXPECT_EQ(Run(), IDOK);
  EXPECT_THAT(dialogs_.Calls("Ignored"), ElementsAre("Ignored 2000"));
  EXPECT_EQ(Stored("Enabled"), "0");
  EXPECT_EQ(Stored("User"), "alice");
  EXPECT_EQ(Stored("Key"), "1234");
}

TEST_F(ConfigureTest, ClickingTheCheckBoxRevertsTypingAndSwitchesTheFields) {
  dialogs_.Type(IDC_USERNAME, "bob");
  dialogs_.Type(IDC_KEY, "999");
  dialogs_.ToggleCheck(IDC_ENABLE);
  dialogs_.Then([&] {
    EXPECT_EQ(Text(IDC_USERNAME), "alice");
    EXPECT_EQ(Text(IDC_KEY), "1234");
    EXPECT_FALSE(Enabled(IDC_USERNAME));
    EXPECT_FALSE(Enabled(IDC_METHOD_POST));
  });
  dialogs_.ToggleCheck(IDC_ENABLE);
  dialogs_.Then([&] { EXPECT_TRUE(Enabled(IDC_KEY)); });
  dialogs_.Type(IDC_USERNAME, "carol");
  dialogs_.Command(IDOK);  // Enter
  EXPECT_EQ(Run(), IDOK);
  EXPECT_EQ(Settings.User, "carol");
  EXPECT_EQ(Settings.Key, "1234");
  EXPECT_EQ(Settings.Enabled, 1);
}

TEST_F(ConfigureTest, ApplyStoresInMemoryThenInTheRegistryAndCloses) {
  Show("alice", "1234", 0, 1);
  dialogs_.ToggleCheck(IDC_ENABLE);
  dialogs_.Type(IDC_USERNAME, "bob");
  dialogs_.Type(IDC_KEY, "5678");
  dialogs_.Click(IDOK);
  dialogs_.Then([] { ADD_FAILURE() << "the dialog stayed open after a successful Apply"; });
  EXPECT_EQ(Run(), IDOK);
  EXPECT_EQ(dialogs_.PendingActions(), 1u);
  EXPECT_EQ(Settings.User, "bob");
  EXPECT_EQ(Settings.Key, "5678");
  EXPECT_EQ(Settings.Enabled, 1);
  EXPECT_EQ(Settings.Method, 1);
  EXPECT_EQ(Stored("Enabled"), "1");
  EXPECT_EQ(Stored("Method"), "GET");
  EXPECT_EQ(Stored("User"), "bob");
  EXPECT_EQ(Stored("Key"), "5678");
  EXPECT_THAT(system_.messages, IsEmpty());
}

TEST_F(ConfigureTest, PostIsShownOnTheHiddenButtonsAndWrittenBack) {
  Show("alice", "1234", 1, 0);
  dialogs_.Then([&] {
    EXPECT_EQ(Check(IDC_METHOD_GET), 0);
    EXPECT_EQ(Check(IDC_METHOD_POST), 1);
  });
  dialogs_.Click(IDOK);
  EXPECT_EQ(Run(), IDOK);
  EXPECT_EQ(Settings.Method, 0);
  EXPECT_EQ(Stored("Method"), "POST");
}

TEST_F(ConfigureTest, EmptyTextsAreStoredAndUsed) {
  dialogs_.Type(IDC_USERNAME, "");
  dialogs_.Type(IDC_KEY, "");
  dialogs_.Click(IDOK);
  EXPECT_EQ(Run(), IDOK);
  EXPECT_EQ(Settings.User, "");
  EXPECT_EQ(Settings.Key, "");
  EXPECT_EQ(Stored("User"), "");
  EXPECT_EQ(Stored("Key"), "");
}

TEST_F(ConfigureTest, ApplyWhenTheKeyCannotBeOpenedKeepsTheDialogOpenWithNewValuesInForce) {
  registry_.faults.open.FailNth(1, true, kErrorAccessDenied);
  std::string user_while_message_shown;
  system_.on_message = [&](const std::string&) { user_while_message_shown = Settings.User; };
  dialogs_.Type(IDC_USERNAME, "bob");
  dialogs_.Click(IDOK);
  dialogs_.Then([&] {
    EXPECT_TRUE(dialogs_.IsOpen());
    EXPECT_EQ(Text(IDC_USERNAME), "bob");
  });
  dialogs_.Click(IDCANCEL);
  EXPECT_EQ(Run(), IDCANCEL);
  EXPECT_THAT(system_.messages, ElementsAre("Couldn't open registry key."));
  EXPECT_EQ(user_while_message_shown, "bob");
  EXPECT_EQ(Settings.User, "bob");
  EXPECT_EQ(Stored("User"), "<missing>");

  // Reopening shows the in-memory values of the failed Apply.
  dialogs_.Then([&] { EXPECT_EQ(Text(IDC_USERNAME), "bob"); });
  dialogs_.Command(IDCANCEL);
  EXPECT_EQ(Run(), IDCANCEL);
}

TEST_F(ConfigureTest, ApplyWithAFailedWriteStaysOpenAndCancelKeepsTheNewValues) {
  registry_.PlantText(kSettingsKey, "Enabled", "0");
  registry_.PlantText(kSettingsKey, "User", "old");
  registry_.faults.set.FailNth(2, false, kErrorAccessDenied);  // "Method", the second write
  system_.error_texts[kErrorAccessDenied] = "Access is denied.";
  dialogs_.Type(IDC_USERNAME, "bob");
  dialogs_.Click(IDOK);
  dialogs_.Then([&] { EXPECT_TRUE(dialogs_.IsOpen()); });
  // The members now hold the applied text, so the check box's revert brings back "bob".
  dialogs_.Type(IDC_USERNAME, "typed later");
  dialogs_.ToggleCheck(IDC_ENABLE);
  dialogs_.Then([&] { EXPECT_EQ(Text(IDC_USERNAME), "bob"); });
  dialogs_.Command(IDCANCEL);  // Escape or the close button
  EXPECT_EQ(Run(), IDCANCEL);
  EXPECT_THAT(system_.messages, ElementsAre("Access is denied."));
  EXPECT_EQ(Stored("Enabled"), "1");
  EXPECT_EQ(Stored("User"), "old");
  EXPECT_EQ(Settings.User, "bob");
  EXPECT_EQ(Settings.Enabled, 1);
}

TEST_F(ConfigureTest, ApplyThatThrowsClosesTheKeyAndStaysOpenWithAllValuesInForce) {
  registry_.faults.set.ThrowNth(3);  // "User", the third write
  dialogs_.Type(IDC_USERNAME, "bob");
  dialogs_.Type(IDC_KEY, "99");
  dialogs_.Click(IDOK);
  dialogs_.Then([&] { EXPECT_TRUE(dialogs_.IsOpen()); });
  dialogs_.Click(IDOK);
  EXPECT_EQ(Run(), IDOK);
  EXPECT_EQ(Settings.User, "bob");
  EXPECT_EQ(Settings.Key, "99");
  EXPECT_EQ(Stored("User"), "bob");
  EXPECT_EQ(Stored("Key"), "99");
}

TEST_F(ConfigureTest, CancelTouchesNeitherSettingsNorTheRegistry) {
  dialogs_.Type(IDC_USERNAME, "bob");
  dialogs_.ToggleCheck(IDC_ENABLE);
  dialogs_.Click(IDCANCEL);
  EXPECT_EQ(Run(), IDCANCEL);
  EXPECT_EQ(Settings.User, "alice");
  EXPECT_EQ(Settings.Enabled, 1);
  EXPECT_THAT(registry_.calls, IsEmpty());
}

TEST_F(ConfigureTest, RegisterOpensThePageMaximisedAndLeavesTheDialogOpen) {
  dialogs_.Click(IDC_REGISTER);
  dialogs_.Then([&] { EXPECT_TRUE(dialogs_.IsOpen()); });
  dialogs_.Click(IDCANCEL);
  EXPECT_EQ(Run(), IDCANCEL);
  ASSERT_EQ(system_.shell_opens.size(), 1u);
  const CShellOpenCall& call = system_.shell_opens[0];
  EXPECT_EQ(call.verb, "open");
  EXPECT_EQ(call.file, std::string(kServiceOverTls ? "https://" : "http://") + VELK_SERVICE_HOST +
                           "/user/register");
  EXPECT_EQ(call.parameters, "");  // an empty text, not a missing one
  EXPECT_EQ(call.directory, std::nullopt);
  EXPECT_EQ(call.show_command, 3);
  EXPECT_THAT(registry_.calls, IsEmpty());
}

TEST_F(ConfigureTest, ADialogThatCannotBeCreatedTouchesNothing) {
  CFakeDialogs empty;
  platform_.Dialogs(empty);
  EXPECT_EQ(Run(), -1);
  EXPECT_EQ(Settings.User, "alice");
  EXPECT_THAT(registry_.calls, IsEmpty());
}

// The logo files as the resource script embeds them: a 14-byte file header the resource compiler
// drops, then the 6,952-byte bitmap resource.
std::vector<unsigned char> ReadLogo(const char* name) {
  std::string path = __FILE__;
  path = path.substr(0, path.find_last_of('/') + 1) + name;
  std::ifstream file(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(file), {});
}

std::uint32_t Le(const std::vector<unsigned char>& bytes, std::size_t at, int width) {
  std::uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = value << 8 | bytes[at + i];
  return value;
}

TEST(LogoBitmaps, Are48By48TwentyFourBitUncompressedBottomUpAndNotBlank) {
  for (const char* name : {"logo_a.bmp", "logo_b.bmp"}) {
    SCOPED_TRACE(name);
    const std::vector<unsigned char> bmp = ReadLogo(name);
    ASSERT_EQ(bmp.size(), 14u + 6952u);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(Le(bmp, 2, 4), bmp.size());
    EXPECT_EQ(Le(bmp, 10, 4), 54u);  // pixels right after the info header: no colour table
    EXPECT_EQ(Le(bmp, 14, 4), 40u);  // BITMAPINFOHEADER
    EXPECT_EQ(Le(bmp, 18, 4), 48u);
    EXPECT_EQ(Le(bmp, 22, 4), 48u);  // positive height: bottom-up rows
    EXPECT_EQ(Le(bmp, 26, 2), 1u);
    EXPECT_EQ(Le(bmp, 28, 2), 24u);
    EXPECT_EQ(Le(bmp, 30, 4), 0u);  // BI_RGB
    EXPECT_EQ(Le(bmp, 34, 4), 6912u);
    EXPECT_EQ(Le(bmp, 46, 4), 0u);
    std::set<std::uint32_t> colours;
    for (std::size_t at = 54; at + 3 <= bmp.size(); at += 3) colours.insert(Le(bmp, at, 3));
    EXPECT_GT(colours.size(), 16u);
  }
}

}  // namespace
