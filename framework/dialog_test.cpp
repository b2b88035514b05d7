// Tests of the modal dialog base: command dispatch, defaults, data exchange, centring and handles.
#include "framework/dialog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/fake/fake_dialogs.h"
#include "tests/support/scoped_platform.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr int kTemplate = 700;
constexpr int kText = 10;
constexpr int kBox = 11;
constexpr int kMapped = 12;
constexpr int kEditChanged = 0x300;  // EN_CHANGE

class CProbeDialog : public CDialog {
 public:
  explicit CProbeDialog(int template_id = kTemplate) : CDialog(template_id) {}

  std::string m_strText = "start";
  CButton m_btnBox;
  std::vector<std::string> events;

 protected:
  void DoDataExchange(CDataExchange* dx) override {
    DDX_Text(dx, kText, m_strText);
    DDX_Control(dx, kBox, m_btnBox);
  }
  CommandTable GetCommandTable() const override {
    static const CommandEntry kEntries[] = {{kMapped, Command(&CProbeDialog::OnMapped)}};
    return {kEntries, 1};
  }
  void OnCancel() override {
    events.push_back("cancel");
    CDialog::OnCancel();
  }

 private:
  void OnMapped() {
    events.push_back("mapped");
    m_btnBox.SetCheck(m_btnBox.GetCheck() + 1);
    // A second modal run of the same object while it is open is refused.
    if (DoModal() != -1) events.push_back("nested run");
  }
};

class DialogBaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dialogs_.AddTemplate(kTemplate, {kText, kBox, kMapped, IDOK, IDCANCEL});
    platform_.Dialogs(dialogs_);
  }
  void TearDown() override { EXPECT_EQ(dialogs_.Misuses(), 0); }
  CFakeDialogs dialogs_;
  CScopedPlatform platform_;
};

TEST_F(DialogBaseTest, DispatchesClicksThroughTheTableThenTheDefaultOk) {
  CProbeDialog dialog;
  dialogs_.Then([&] {
    EXPECT_TRUE(dialogs_.Centred());
    EXPECT_EQ(dialogs_.Item(kText).text, "start");  // the base's first exchange
  });
  dialogs_.Click(kMapped);
  dialogs_.Command(kMapped, kEditChanged);  // not a click: ignored
  dialogs_.Click(kMapped);
  dialogs_.Type(kText, "typed");
  dialogs_.Command(IDOK);
  EXPECT_EQ(dialog.DoModal(), IDOK);
  EXPECT_THAT(dialog.events, ElementsAre("mapped", "mapped"));
  EXPECT_EQ(dialogs_.Item(kBox).check, 2);
  EXPECT_EQ(dialog.m_strText, "typed");  // the default OnOK saved the controls before closing
}

TEST_F(DialogBaseTest, CancelEndsWithoutSavingAndHandlesGoInertOnceClosed) {
  CProbeDialog dialog;
  dialogs_.Type(kText, "typed");
  dialogs_.Command(IDCANCEL);
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  EXPECT_THAT(dialog.events, ElementsAre("cancel"));
  EXPECT_EQ(dialog.m_strText, "start");

  const std::size_t calls = dialogs_.Calls().size();
  EXPECT_EQ(dialog.Window(), nullptr);
  EXPECT_EQ(dialog.m_btnBox.GetCheck(), 0);
  dialog.m_btnBox.SetCheck(1);
  dialog.DialogItem(kText).Enable(false);
  dialog.EndDialog(IDOK);
  EXPECT_FALSE(dialog.UpdateData(true));
  EXPECT_EQ(dialogs_.Calls().size(), calls);
}

TEST_F(DialogBaseTest, OnlyATemplateAtTheOriginIsCentred) {
  dialogs_.AddTemplate(701, {kText, kBox}, /*at_origin=*/false);
  CProbeDialog dialog(701);
  dialogs_.Then([&] { dialog.EndDialog(5); });
  EXPECT_EQ(dialog.DoModal(), 5);
  EXPECT_THAT(dialogs_.Calls("CenterDialog"), IsEmpty());
}

}  // namespace
