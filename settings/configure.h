// CConfigure: the modal dialog that edits the account name, the key and the enable switch.
#pragma once

#include <string>

#include "framework/dialog.h"

// Shows the in-memory Settings, applies edits to them and to the registry, or cancels. One object
// per opening, on the window thread: construct, DoModal, destroy.
class CConfigure : public CDialog {
 public:
  CConfigure();

  // Bound to IDC_USERNAME and IDC_KEY; empty at construction.
  std::string m_strUser;
  std::string m_strKey;
  // Bound to IDC_ENABLE, IDC_METHOD_GET and IDC_METHOD_POST; check states only.
  CButton m_btnEnable;
  CButton m_btnMethodGet;
  CButton m_btnMethodPost;

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  // Fills the controls from Settings. Returns true: the focus goes to the first tab stop, Apply.
  bool OnInitDialog() override;
  CommandTable GetCommandTable() const override;

  // Copies the members into the edit boxes (discarding unapplied typing), then enables or disables
  // the edit boxes and the method buttons to follow the check box.
  void OnEnableClicked();
  // Apply: the controls go into the members, then into Settings and the registry. Closes the
  // dialog only when every registry write succeeded; otherwise a message has been shown and the
  // dialog stays open with the input in place.
  void SaveSettings();
  // Closes the dialog; neither Settings nor the registry is touched.
  void OnCancelClicked();
  // Opens the service's registration page in the browser, maximised; the dialog stays open.
  void OnRegisterClicked();
};
