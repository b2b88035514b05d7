// CFakeHost: answers from its script and records every question.
#include "platform/fake/fake_host.h"

#include <algorithm>
#include <cstring>

std::intptr_t CFakeHost::AskHost(std::uintptr_t wparam, std::intptr_t lparam) {
  CHostQuestion question;
  question.wparam = wparam;
  question.lparam = lparam;
  std::intptr_t answer = 0;
  if (faults.ask.Next() != 0) {
    questions_.push_back(std::move(question));
    return 0;
  }
  switch (lparam) {
    case kIpcIsPlaying:
      answer = play_state_;
      break;
    case kIpcGetListPos:
      answer = list_position_;
      break;
    case kIpcGetPlaylistFile: {
      const auto entry = entries_.find(static_cast<std::intptr_t>(wparam));
      if (entry != entries_.end()) answer = reinterpret_cast<std::intptr_t>(entry->second.c_str());
      break;
    }
    case kIpcGetExtendedFileInfo:
      answer = AnswerTagQuestion(wparam, question);
      break;
    default:
      break;
  }
  questions_.push_back(std::move(question));
  return answer;
}

std::intptr_t CFakeHost::AnswerTagQuestion(std::uintptr_t record_address, CHostQuestion& question) {
  const auto* request = reinterpret_cast<const ExtendedFileInfoRequest*>(record_address);
  if (request == nullptr) return 0;
  if (request->TagName != nullptr) question.tag_name = request->TagName;
  question.file_name_null = request->FileName == nullptr;
  if (request->FileName != nullptr) question.file_name = request->FileName;
  question.answer_buffer = request->Answer;
  question.answer_size = request->AnswerSize;
  if (request->FileName == nullptr || request->TagName == nullptr) return 0;
  if (request->Answer == nullptr || request->AnswerSize <= 0) return 0;

  const auto file = tags_.find(question.file_name);
  if (file == tags_.end()) return 0;
  const auto tag = file->second.find(question.tag_name);
  if (tag == file->second.end()) return 0;

  const std::string& value = tag->second;
  const std::size_t size = static_cast<std::size_t>(request->AnswerSize);
  if (unterminated_ && !value.empty()) {
    for (std::size_t i = 0; i < size; ++i) request->Answer[i] = value[i % value.size()];
    return 1;
  }
  const std::size_t length = std::min(value.size(), size - 1);
  std::memcpy(request->Answer, value.data(), length);
  request->Answer[length] = '\0';
  return 1;
}

void CFakeHost::SetEntry(std::intptr_t position, std::optional<std::string> path) {
  if (path.has_value()) {
    entries_[position] = std::move(*path);
  } else {
    entries_.erase(position);
  }
}

void CFakeHost::SetTag(const std::string& path, const std::string& tag_name,
                       const std::string& value) {
  tags_[path][tag_name] = value;
}

void CFakeHost::RemoveTag(const std::string& path, const std::string& tag_name) {
  const auto file = tags_.find(path);
  if (file != tags_.end()) file->second.erase(tag_name);
}

void CFakeHost::ClearTags(const std::string& path) { tags_.erase(path); }

void CFakeHost::Play(std::intptr_t position, const std::string& path,
                     const std::map<std::string, std::string>& tags) {
  play_state_ = 1;
  list_position_ = position;
  SetEntry(position, path);
  tags_[path] = tags;
}

std::vector<std::intptr_t> CFakeHost::Operations() const {
  std::vector<std::intptr_t> operations;
  for (const CHostQuestion& question : questions_) operations.push_back(question.lparam);
  return operations;
}

std::vector<std::string> CFakeHost::TagNamesAsked() const {
  std::vector<std::string> names;
  for (const CHostQuestion& question : questions_) {
    if (question.lparam == kIpcGetExtendedFileInfo) names.push_back(question.tag_name);
  }
  return names;
}

CFaultSites CFakeHost::FaultSites() { return {{"host question", &faults.ask}}; }
