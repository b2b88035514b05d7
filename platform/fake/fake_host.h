// CFakeHost: a scriptable in-memory player answering the host questions, recording each one.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/fake/fault_plan.h"
#include "platform/platform.h"

// One question as the host received it. For kIpcGetExtendedFileInfo the tag name, file name and
// answer buffer are read from the request record at the time of the question.
struct CHostQuestion {
  std::uintptr_t wparam = 0;
  std::intptr_t lparam = 0;
  std::string tag_name;
  std::string file_name;
  bool file_name_null = false;
  const char* answer_buffer = nullptr;
  std::int32_t answer_size = 0;
};

// Answers the four questions from a script: the play-state answer, the current list position, the
// file path of each playlist entry and the tags of each file. Unknown operations, entries without
// a path and missing tags answer 0. Tag values are written into the caller's answer buffer like a
// host does: at most size - 1 characters and a terminator. Single-threaded (the window thread).
class CFakeHost final : public CHostLink {
 public:
  std::intptr_t AskHost(std::uintptr_t wparam, std::intptr_t lparam) override;

  // The answer to kIpcIsPlaying: 1 playing, 3 paused, 0 stopped, or anything else.
  void SetPlayState(std::intptr_t answer) { play_state_ = answer; }
  void SetListPosition(std::intptr_t position) { list_position_ = position; }
  // The path of playlist entry `position`; std::nullopt makes kIpcGetPlaylistFile answer 0. The
  // address handed out stays valid until this entry is set again or the fake is destroyed.
  void SetEntry(std::intptr_t position, std::optional<std::string> path);
  // Tags of the file at `path`. An empty value is still a value (nonzero answer, empty text).
  void SetTag(const std::string& path, const std::string& tag_name, const std::string& value);
  void RemoveTag(const std::string& path, const std::string& tag_name);
  void ClearTags(const std::string& path);
  // Convenience: entry `position` becomes current, playing, with `path` and the given tags.
  void Play(std::intptr_t position, const std::string& path,
            const std::map<std::string, std::string>& tags);
  // Misbehaving host: fill the whole answer buffer with the value repeated, no terminator.
  void SetUnterminatedAnswers(bool on) { unterminated_ = on; }

  const std::vector<CHostQuestion>& Questions() const { return questions_; }
  // The operation numbers asked so far, in order.
  std::vector<std::intptr_t> Operations() const;
  // The tag names asked so far, in order.
  std::vector<std::string> TagNamesAsked() const;
  void ClearQuestions() { questions_.clear(); }

  // Every question counts against `ask`; a failing one is recorded and answers 0, as a message to
  // a window that is gone does.
  struct {
    CFaultPlan ask;
  } faults;
  CFaultSites FaultSites();

 private:
  std::intptr_t AnswerTagQuestion(std::uintptr_t record_address, CHostQuestion& question);

  std::intptr_t play_state_ = 0;
  std::intptr_t list_position_ = 0;
  std::map<std::intptr_t, std::string> entries_;
  std::map<std::string, std::map<std::string, std::string>> tags_;
  bool unterminated_ = false;
  std::vector<CHostQuestion> questions_;
};
