// The modal dialog base: a template-bound dialog with data exchange, a command table and control
// handles.
//
// A small stand-in for the application framework's dialog class, built on Platform().dialogs. A
// derived class names its template, binds members to controls in DoDataExchange, lists its button
// handlers in a command table and overrides OnInitDialog, OnOK or OnCancel as needed. Everything
// here runs on the thread that called DoModal (the window thread); nothing is thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

// Identifiers of the standard buttons, with the values <windows.h> gives them; the portable code
// never includes that header, and the resource script takes them from it.
#ifndef IDOK
#define IDOK 1
#endif
#ifndef IDCANCEL
#define IDCANCEL 2
#endif

class CDialog;

// The direction and target of one data exchange, passed to DoDataExchange.
struct CDataExchange {
  CDialog* m_pDlgWnd;
  // True: controls into members (saving); false: members into controls (loading).
  bool m_bSaveAndValidate;
};

// A handle on one control of an open dialog, found by its identifier. It reads the dialog's window
// at every call, so it never outlives the window it names: while the dialog is closed, or before
// it is attached, every operation does nothing and every query answers 0.
class CControl {
 public:
  CControl() = default;
  CControl(CDialog* dialog, int control_id) : dialog_(dialog), id_(control_id) {}

  bool IsAttached() const { return dialog_ != nullptr; }
  int ControlId() const { return id_; }
  // Enables or disables the control for the user (keyboard and mouse input).
  void Enable(bool enable);

 protected:
  // The open dialog's window, or nullptr while unattached or closed.
  DialogWindow Window() const;

 private:
  friend void DDX_Control(CDataExchange* dx, int control_id, CControl& control);
  CDialog* dialog_ = nullptr;
  int id_ = 0;
};

// A check box or radio button. Check states: 0 clear, 1 checked, 2 indeterminate.
class CButton : public CControl {
 public:
  int GetCheck() const;
  void SetCheck(int state);
};

// Moves the text of control `control_id` into `value` (saving) or `value` into the control
// (loading). Texts have no length limit.
void DDX_Text(CDataExchange* dx, int control_id, std::string& value);
// Attaches `control` to control `control_id` of the dialog, once; later calls in either direction
// leave an attached handle alone.
void DDX_Control(CDataExchange* dx, int control_id, CControl& control);

class CDialog : private CDialogEvents {
 public:
  explicit CDialog(int template_id) : template_id_(template_id) {}
  ~CDialog() override = default;
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // Creates the dialog from its template and runs it until EndDialog. Returns the code passed to
  // EndDialog, or -1 when the dialog could not be created (or is already open).
  std::intptr_t DoModal();
  // Ends the modal loop with `result` once the current handler returns. Does nothing while closed.
  void EndDialog(std::intptr_t result);
  // Runs DoDataExchange in the given direction (true: controls into members). Returns true: no
  // exchange here can fail. Does nothing and returns false while the dialog is closed.
  bool UpdateData(bool save_and_validate = true);
  // A handle on control `control_id`, for enabling or disabling it.
  CControl DialogItem(int control_id) { return CControl(this, control_id); }
  // The open dialog's window; nullptr while closed.
  DialogWindow Window() const { return window_; }

 protected:
  // A button handler of the command table: a member of the derived class, no arguments.
  using CommandHandler = void (CDialog::*)();
  struct CommandEntry {
    int control_id;
    CommandHandler handler;
  };
  struct CommandTable {
    const CommandEntry* entries;
    std::size_t count;
  };
  // Turns a derived class's member into a table entry's handler.
  template <class Derived>
  static CommandHandler Command(void (Derived::*handler)()) {
    return static_cast<CommandHandler>(handler);
  }

  // The derived class's click handlers, searched in order before the defaults (IDOK runs OnOK,
  // IDCANCEL runs OnCancel). Only BN_CLICKED commands are dispatched; other notifications are
  // ignored. A handler that throws ends its command there, and the dialog stays open.
  virtual CommandTable GetCommandTable() const { return {nullptr, 0}; }
  // The bindings of members to controls; the base has none.
  virtual void DoDataExchange(CDataExchange* dx);
  // Runs after the dialog is created (and centred when its template sits at 0, 0). The base loads
  // the members into the controls. Returns true to let the system focus the first tab stop.
  virtual bool OnInitDialog();
  // Default IDOK: saves the controls into the members, then ends the dialog with IDOK.
  virtual void OnOK();
  // Default IDCANCEL: ends the dialog with IDCANCEL.
  virtual void OnCancel();

 private:
  bool DialogCreated(DialogWindow window) override;
  void DialogCommand(int control_id, int notify_code) override;
  // Runs the handler of a BN_CLICKED command: the command table's, then the defaults.
  void Dispatch(int control_id, int notify_code);

  int template_id_;
  DialogWindow window_ = nullptr;
  bool running_ = false;
};
