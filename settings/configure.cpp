// CConfigure: data exchange, opening, the enable switch, Apply, Cancel and the registration link.
#include "settings/configure.h"

#include "delivery/service_url.h"
#include "platform/platform.h"
#include "settings/resource.h"
#include "settings/settings.h"

CConfigure::CConfigure() : CDialog(IDD_CONFIGURE) {}

void CConfigure::DoDataExchange(CDataExchange* dx) {
  CDialog::DoDataExchange(dx);
  DDX_Text(dx, IDC_USERNAME, m_strUser);
  DDX_Text(dx, IDC_KEY, m_strKey);
  DDX_Control(dx, IDC_ENABLE, m_btnEnable);
  DDX_Control(dx, IDC_METHOD_GET, m_btnMethodGet);
  DDX_Control(dx, IDC_METHOD_POST, m_btnMethodPost);
}

CDialog::CommandTable CConfigure::GetCommandTable() const {
  static const CommandEntry kEntries[] = {
      {IDOK, Command(&CConfigure::SaveSettings)},
      {IDCANCEL, Command(&CConfigure::OnCancelClicked)},
      {IDC_REGISTER, Command(&CConfigure::OnRegisterClicked)},
      {IDC_ENABLE, Command(&CConfigure::OnEnableClicked)},
  };
  return {kEntries, sizeof kEntries / sizeof kEntries[0]};
}

bool CConfigure::OnInitDialog() {
  // The base's first exchange loads the still empty texts and attaches the three buttons.
  CDialog::OnInitDialog();
  m_strUser = Settings.User;
  m_strKey = Settings.Key;
  const bool get = Settings.Method != 0;
  m_btnEnable.SetCheck(Settings.Enabled != 0 ? 1 : 0);
  m_btnMethodGet.SetCheck(get ? 1 : 0);
  m_btnMethodPost.SetCheck(get ? 0 : 1);
  OnEnableClicked();
  UpdateData(false);
  return true;
}

void CConfigure::OnEnableClicked() {
  UpdateData(false);
  const bool enable = m_btnEnable.GetCheck() != 0;
  for (int id : {IDC_USERNAME, IDC_KEY, IDC_METHOD_GET, IDC_METHOD_POST}) {
    DialogItem(id).Enable(enable);
  }
}

void CConfigure::SaveSettings() {
  UpdateData(true);
  if (StoreSettings(m_strUser, m_strKey, m_btnEnable.GetCheck(), m_btnMethodGet.GetCheck())) {
    OnOK();
  }
}

void CConfigure::OnCancelClicked() { EndDialog(IDCANCEL); }

void CConfigure::OnRegisterClicked() {
  Platform().system->ShellOpen("open", kRegistrationPageUrl, "", nullptr, kShowMaximized);
}
