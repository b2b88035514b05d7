// Parsing of the simulated player's playlist text (format described in playlist.h).
#include "tests/player/playlist.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

std::vector<std::string> SplitOnTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (start < line.size()) {
    const std::size_t end = line.find('\t', start);
    const std::size_t stop = end == std::string::npos ? line.size() : end;
    if (stop > start) fields.push_back(line.substr(start, stop - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return fields;
}

bool ParseInteger(const std::string& text, long long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtoll(text.c_str(), &end, 10);
  return errno == 0 && end == text.c_str() + text.size();
}

bool ParseState(const std::string& text, std::intptr_t* state) {
  if (text == "play") {
    *state = 1;
  } else if (text == "pause") {
    *state = 3;
  } else if (text == "stop") {
    *state = 0;
  } else {
    long long value = 0;
    if (!ParseInteger(text, &value)) return false;
    *state = static_cast<std::intptr_t>(value);
  }
  return true;
}

// "<n>t", "<n>ms" or "<x>s" (x may have a fraction).
bool ParseDuration(const std::string& text, CPlaylistEntry* entry) {
  long long whole = 0;
  if (text.size() > 1 && text.back() == 't') {
    if (!ParseInteger(text.substr(0, text.size() - 1), &whole) || whole <= 0) return false;
    entry->unit = CPlaylistEntry::Unit::kQuestions;
    entry->amount = static_cast<std::uint64_t>(whole);
    return true;
  }
  if (text.size() > 2 && text.compare(text.size() - 2, 2, "ms") == 0) {
    if (!ParseInteger(text.substr(0, text.size() - 2), &whole) || whole <= 0) return false;
    entry->unit = CPlaylistEntry::Unit::kMilliseconds;
    entry->amount = static_cast<std::uint64_t>(whole);
    return true;
  }
  if (text.size() > 1 && text.back() == 's') {
    const std::string number = text.substr(0, text.size() - 1);
    char* end = nullptr;
    const double seconds = std::strtod(number.c_str(), &end);
    if (end != number.c_str() + number.size() || !(seconds > 0) || seconds > 1e6) return false;
    entry->unit = CPlaylistEntry::Unit::kMilliseconds;
    entry->amount = static_cast<std::uint64_t>(seconds * 1000.0 + 0.5);
    return entry->amount > 0;
  }
  return false;
}

bool ParseTrack(const std::vector<std::string>& fields, CPlaylistEntry* entry, std::string* fault) {
  if (fields.size() < 3) {
    *fault = "a track needs a state, a time and a path";
    return false;
  }
  if (!ParseState(fields[0], &entry->play_state)) {
    *fault = "unknown play state \"" + fields[0] + "\"";
    return false;
  }
  if (!ParseDuration(fields[1], entry)) {
    *fault = "bad time \"" + fields[1] + "\" (use e.g. 3t, 1.5s or 200ms)";
    return false;
  }
  if (fields[2] == "<null>") {
    entry->has_path = false;
  } else if (fields[2] != "<empty>") {
    entry->path = fields[2];
  }
  for (std::size_t i = 3; i < fields.size(); ++i) {
    const std::size_t equals = fields[i].find('=');
    if (equals == std::string::npos || equals == 0) {
      *fault = "a tag must read NAME=VALUE: \"" + fields[i] + "\"";
      return false;
    }
    entry->tags.emplace_back(fields[i].substr(0, equals), fields[i].substr(equals + 1));
  }
  return true;
}

// Handles one "@" line. `code_page` is the conversion in force (0 for raw bytes).
bool ParseDirective(const std::string& line, unsigned* code_page,
                    std::vector<CPlaylistEntry>* entries, int number, std::string* fault) {
  CPlaylistEntry entry;
  entry.line = number;
  if (line == "@config") {
    entry.kind = CPlaylistEntry::Kind::kConfig;
    entries->push_back(entry);
    return true;
  }
  if (line.rfind("@mark ", 0) == 0 && line.size() > 6) {
    entry.kind = CPlaylistEntry::Kind::kMark;
    entry.mark = line.substr(6);
    entries->push_back(entry);
    return true;
  }
  if (line.rfind("@codepage ", 0) == 0) {
    const std::string value = line.substr(10);
    long long page = 0;
    if (value == "raw") {
      *code_page = 0;
      return true;
    }
    if (ParseInteger(value, &page) && page > 0 && page < 65536) {
      *code_page = static_cast<unsigned>(page);
      return true;
    }
  }
  *fault = "unknown directive \"" + line + "\"";
  return false;
}

}  // namespace

const std::string* CPlaylistEntry::FindTag(const std::string& name) const {
  for (const auto& tag : tags) {
    if (tag.first == name) return &tag.second;
  }
  return nullptr;
}

bool Utf8ToCodePage(const std::string& utf8, unsigned code_page, std::string* out) {
  out->clear();
  if (utf8.empty()) return true;
  const int length = static_cast<int>(utf8.size());
  const int wide_length =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
  if (wide_length <= 0) return false;
  std::wstring wide(static_cast<std::size_t>(wide_length), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, &wide[0], wide_length);
  BOOL lossy = FALSE;
  const int bytes = WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide.data(), wide_length,
                                        nullptr, 0, nullptr, &lossy);
  if (bytes <= 0 || lossy) return false;
  out->assign(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide.data(), wide_length, &(*out)[0], bytes,
                      nullptr, nullptr);
  return true;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

bool ParsePlaylist(const std::string& text, std::vector<CPlaylistEntry>* entries,
                   std::string* error) {
  entries->clear();
  unsigned code_page = 0;
  bool any_track = false;
  int number = 0;
  for (const std::string& line : SplitLines(text)) {
    ++number;
    std::string fault;
    bool ok = true;
    if (line.empty() || line[0] == '#') {
      continue;
    } else if (line[0] == '@') {
      ok = ParseDirective(line, &code_page, entries, number, &fault);
    } else {
      std::string converted = line;
      if (code_page != 0 && !Utf8ToCodePage(line, code_page, &converted)) {
        fault = "text not representable in code page " + std::to_string(code_page);
        ok = false;
      }
      CPlaylistEntry entry;
      entry.line = number;
      entry.code_page = code_page;
      if (ok) ok = ParseTrack(SplitOnTabs(converted), &entry, &fault);
      if (ok) {
        const std::vector<std::string> written = SplitOnTabs(line);
        entry.written_path = written.size() > 2 ? written[2] : std::string();
      }
      if (ok) {
        entries->push_back(entry);
        any_track = true;
      }
    }
    if (!ok) {
      *error = "playlist line " + std::to_string(number) + ": " + fault;
      return false;
    }
  }
  if (!any_track) {
    *error = "the playlist has no track line";
    return false;
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::string* bytes) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  bytes->clear();
  char buffer[4096];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes->append(buffer, got);
  const bool ok = std::ferror(file) == 0;
  std::fclose(file);
  return ok;
}
