// The modal dialog base: modal run, command dispatch, data exchange and control handles.
#include "framework/dialog.h"

namespace {

CDialogs& Dialogs() { return *Platform().dialogs; }

}  // namespace

DialogWindow CControl::Window() const { return dialog_ != nullptr ? dialog_->Window() : nullptr; }

void CControl::Enable(bool enable) {
  if (DialogWindow window = Window()) Dialogs().EnableItem(window, id_, enable);
}

int CButton::GetCheck() const {
  DialogWindow window = Window();
  return window != nullptr ? Dialogs().GetItemCheck(window, ControlId()) : 0;
}

void CButton::SetCheck(int state) {
  if (DialogWindow window = Window()) Dialogs().SetItemCheck(window, ControlId(), state);
}

void DDX_Text(CDataExchange* dx, int control_id, std::string& value) {
  DialogWindow window = dx->m_pDlgWnd->Window();
  if (dx->m_bSaveAndValidate) {
    value = Dialogs().GetItemText(window, control_id);
  } else {
    Dialogs().SetItemText(window, control_id, value.c_str());
  }
}

void DDX_Control(CDataExchange* dx, int control_id, CControl& control) {
  if (control.IsAttached()) return;
  control.dialog_ = dx->m_pDlgWnd;
  control.id_ = control_id;
}

std::intptr_t CDialog::DoModal() {
  if (running_) return -1;
  running_ = true;
  const std::intptr_t result = Dialogs().RunModal(template_id_, this);
  running_ = false;
  window_ = nullptr;
  return result;
}

void CDialog::EndDialog(std::intptr_t result) {
  if (window_ != nullptr) Dialogs().EndModal(window_, result);
}

bool CDialog::UpdateData(bool save_and_validate) {
  if (window_ == nullptr) return false;
  CDataExchange dx{this, save_and_validate};
  DoDataExchange(&dx);
  return true;
}

void CDialog::DoDataExchange(CDataExchange*) {}

bool CDialog::OnInitDialog() {
  UpdateData(false);
  return true;
}

void CDialog::OnOK() {
  if (UpdateData(true)) EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

bool CDialog::DialogCreated(DialogWindow window) {
  window_ = window;
  if (Dialogs().TemplateAtOrigin(template_id_)) Dialogs().CenterDialog(window);
  return OnInitDialog();
}

// A handler that throws has done what it could; as with a failed Apply, the dialog stays open.
void CDialog::DialogCommand(int control_id, int notify_code) {
  try {
    Dispatch(control_id, notify_code);
  } catch (...) {
  }
}

void CDialog::Dispatch(int control_id, int notify_code) {
  if (notify_code != kButtonClicked) return;
  const CommandTable table = GetCommandTable();
  for (std::size_t i = 0; i < table.count; ++i) {
    if (table.entries[i].control_id == control_id) {
      (this->*table.entries[i].handler)();
      return;
    }
  }
  if (control_id == IDOK) {
    OnOK();
  } else if (control_id == IDCANCEL) {
    OnCancel();
  }
}
