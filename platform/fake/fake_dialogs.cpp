// In-memory modal dialogs: the scripted modal run and the control records.
#include "platform/fake/fake_dialogs.h"

#include <stdexcept>
#include <utility>

void CFakeDialogs::AddTemplate(int template_id, std::vector<int> control_ids, bool at_origin) {
  templates_[template_id] = Template{std::move(control_ids), at_origin};
}

void CFakeDialogs::Type(int control_id, std::string text) {
  script_.push_back([this, control_id, text = std::move(text)] {
    if (Control* control = Reachable(control_id)) control->text = text;
  });
}

void CFakeDialogs::Click(int control_id) {
  script_.push_back([this, control_id] {
    if (Reachable(control_id) != nullptr) events_->DialogCommand(control_id, kButtonClicked);
  });
}

void CFakeDialogs::ToggleCheck(int control_id) {
  script_.push_back([this, control_id] {
    Control* control = Reachable(control_id);
    if (control == nullptr) return;
    control->check = control->check == 0 ? 1 : 0;
    events_->DialogCommand(control_id, kButtonClicked);
  });
}

void CFakeDialogs::Command(int control_id, int notify_code) {
  script_.push_back(
      [this, control_id, notify_code] { events_->DialogCommand(control_id, notify_code); });
}

void CFakeDialogs::Then(std::function<void()> step) { script_.push_back(std::move(step)); }

const CFakeDialogs::Control& CFakeDialogs::Item(int control_id) const {
  auto found = controls_.find(control_id);
  if (found == controls_.end()) {
    throw std::out_of_range("no control " + std::to_string(control_id) + " in the last dialog");
  }
  return found->second;
}

std::vector<std::string> CFakeDialogs::Calls(const std::string& name) const {
  std::vector<std::string> kept;
  for (const std::string& call : calls_) {
    if (call == name || call.compare(0, name.size() + 1, name + " ") == 0) kept.push_back(call);
  }
  return kept;
}

std::intptr_t CFakeDialogs::RunModal(int template_id, CDialogEvents* events) {
  Record("RunModal " + std::to_string(template_id));
  if (faults.run.Next() != 0) return -1;
  auto found = templates_.find(template_id);
  if (open_ || found == templates_.end()) return -1;
  ++modal_runs_;
  controls_.clear();
  for (int id : found->second.control_ids) controls_[id] = Control{};
  events_ = events;
  open_ = true;
  ended_ = false;
  centred_ = false;
  result_ = 0;
  events_->DialogCreated(this);
  while (!ended_ && !script_.empty()) {
    std::function<void()> step = std::move(script_.front());
    script_.pop_front();
    step();
  }
  open_ = false;
  events_ = nullptr;
  if (!ended_) {
    Record("ScriptRanOut");
    return kScriptRanOut;
  }
  return result_;
}

void CFakeDialogs::EndModal(DialogWindow window, std::intptr_t result) {
  Record("EndModal " + std::to_string(result));
  if (!open_ || window != this) {
    ++misuses_;
    return;
  }
  ended_ = true;
  result_ = result;
}

std::string CFakeDialogs::GetItemText(DialogWindow window, int control_id) {
  Record("GetItemText " + std::to_string(control_id));
  Control* control = Find(window, control_id);
  return control != nullptr ? control->text : std::string();
}

void CFakeDialogs::SetItemText(DialogWindow window, int control_id, const char* text) {
  Record("SetItemText " + std::to_string(control_id) + " " + text);
  if (Control* control = Find(window, control_id)) control->text = text;
}

int CFakeDialogs::GetItemCheck(DialogWindow window, int control_id) {
  Record("GetItemCheck " + std::to_string(control_id));
  Control* control = Find(window, control_id);
  return control != nullptr ? control->check : 0;
}

void CFakeDialogs::SetItemCheck(DialogWindow window, int control_id, int state) {
  Record("SetItemCheck " + std::to_string(control_id) + " " + std::to_string(state));
  if (Control* control = Find(window, control_id)) control->check = state;
}

void CFakeDialogs::EnableItem(DialogWindow window, int control_id, bool enable) {
  Record("EnableItem " + std::to_string(control_id) + " " + (enable ? "1" : "0"));
  if (Control* control = Find(window, control_id)) control->enabled = enable;
}

bool CFakeDialogs::TemplateAtOrigin(int template_id) {
  auto found = templates_.find(template_id);
  return found != templates_.end() && found->second.at_origin;
}

void CFakeDialogs::CenterDialog(DialogWindow window) {
  Record("CenterDialog");
  if (!open_ || window != this) {
    ++misuses_;
    return;
  }
  centred_ = true;
}

CFakeDialogs::Control* CFakeDialogs::Find(DialogWindow window, int control_id) {
  auto found = controls_.find(control_id);
  if (!open_ || window != this || found == controls_.end()) {
    ++misuses_;
    return nullptr;
  }
  return &found->second;
}

CFakeDialogs::Control* CFakeDialogs::Reachable(int control_id) {
  Control* control = Find(this, control_id);
  if (control != nullptr && control->enabled) return control;
  Record("Ignored " + std::to_string(control_id));
  return nullptr;
}

void CFakeDialogs::Record(std::string call) { calls_.push_back(std::move(call)); }

CFaultSites CFakeDialogs::FaultSites() { return {{"dialog creation", &faults.run}}; }
