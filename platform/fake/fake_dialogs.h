// In-memory modal dialogs: controls as plain records and a scripted user, for dialog logic tests.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/fake/fault_plan.h"
#include "platform/platform.h"

// A test declares each template it opens (its control identifiers and whether it sits at 0, 0)
// and queues the user's actions. RunModal creates fresh controls (empty text, clear, enabled),
// calls DialogCreated, then performs the queued actions in order until the dialog is ended. The
// fake records every call it receives. Single-threaded, like the window thread it stands for.
class CFakeDialogs final : public CDialogs {
 public:
  struct Control {
    std::string text;
    int check = 0;
    bool enabled = true;
  };
  // RunModal's result when the queued actions ran out while the dialog was still open.
  static constexpr std::intptr_t kScriptRanOut = -2;

  void AddTemplate(int template_id, std::vector<int> control_ids, bool at_origin = true);

  // The user's actions, queued for the next RunModal. None acts on a disabled control, as the
  // system lets no input reach one; such an attempt is recorded as "Ignored <id>".
  // Replaces the text of an edit box, as typing over a selection does (no command is sent).
  void Type(int control_id, std::string text);
  // Clicks a push button: a BN_CLICKED command from it.
  void Click(int control_id);
  // Clicks an automatic check box: its check state flips, then a BN_CLICKED command follows.
  void ToggleCheck(int control_id);
  // A keyboard or title-bar command as the system's dialog manager sends it (Enter: IDOK;
  // Escape and the close button: IDCANCEL), whether or not the button is enabled; or, with
  // another `notify_code`, a control's notification such as an edit box's change.
  void Command(int control_id, int notify_code = kButtonClicked);
  // Runs `step` on the dialog's thread while it is open: checks, timer ticks, anything.
  void Then(std::function<void()> step);

  // State after (or during) a run. Item() of an undeclared control fails the calling test.
  const Control& Item(int control_id) const;
  bool IsOpen() const { return open_; }
  bool Centred() const { return centred_; }
  int ModalRuns() const { return modal_runs_; }
  std::size_t PendingActions() const { return script_.size(); }
  // Every call received, as "Name arg...", in order; Calls("Name") keeps those of one name.
  const std::vector<std::string>& Calls() const { return calls_; }
  std::vector<std::string> Calls(const std::string& name) const;
  // Calls that named a control the template does not declare, or a window that is not open.
  int Misuses() const { return misuses_; }

  // Drops the actions still queued (those an opening that failed, or ended early, left behind), so
  // that the next opening runs only what is queued after this.
  void DropPendingActions() { script_.clear(); }

  // Every RunModal counts against `run`; a failing one creates no dialog, runs none of the queued
  // actions and returns -1, as a dialog that cannot be created does.
  struct {
    CFaultPlan run;
  } faults;
  CFaultSites FaultSites();

  std::intptr_t RunModal(int template_id, CDialogEvents* events) override;
  void EndModal(DialogWindow window, std::intptr_t result) override;
  std::string GetItemText(DialogWindow window, int control_id) override;
  void SetItemText(DialogWindow window, int control_id, const char* text) override;
  int GetItemCheck(DialogWindow window, int control_id) override;
  void SetItemCheck(DialogWindow window, int control_id, int state) override;
  void EnableItem(DialogWindow window, int control_id, bool enable) override;
  bool TemplateAtOrigin(int template_id) override;
  void CenterDialog(DialogWindow window) override;

 private:
  struct Template {
    std::vector<int> control_ids;
    bool at_origin = true;
  };
  // The control a call names in the open dialog, or nullptr (recorded as a misuse).
  Control* Find(DialogWindow window, int control_id);
  // The control a user action names, or nullptr when it is disabled (recorded as ignored).
  Control* Reachable(int control_id);
  void Record(std::string call);

  std::map<int, Template> templates_;
  std::map<int, Control> controls_;
  std::deque<std::function<void()>> script_;
  CDialogEvents* events_ = nullptr;
  bool open_ = false;
  bool ended_ = false;
  bool centred_ = false;
  std::intptr_t result_ = 0;
  int modal_runs_ = 0;
  int misuses_ = 0;
  std::vector<std::string> calls_;
};
