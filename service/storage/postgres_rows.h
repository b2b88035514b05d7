// Reading the PostgreSQL store's answers and making its statements' parameters.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "storage/store.h"
#include "storage/track_state.h"

namespace pgrows {

inline std::string Text(const PGresult* result, int row, int column) {
  return std::string(PQgetvalue(result, row, column),
                     static_cast<size_t>(PQgetlength(result, row, column)));
}

inline int64_t Number(const PGresult* result, int row, int column) {
  return std::strtoll(PQgetvalue(result, row, column), nullptr, 10);
}

// A bytea column in text form ("\x..."), as its bytes.
inline std::string Bytes(const PGresult* result, int row, int column) {
  size_t length = 0;
  unsigned char* bytes = PQunescapeBytea(
      reinterpret_cast<const unsigned char*>(PQgetvalue(result, row, column)), &length);
  if (!bytes) throw CStoreError("out of memory");
  std::string out(reinterpret_cast<const char*>(bytes), length);
  PQfreemem(bytes);
  return out;
}

// The parameters for the five tags of `tags` (a CTrackState or a CKeptReport).
template <typename TTags>
inline void AddTags(std::vector<std::string>& params, const TTags& tags) {
  for (const std::string* tag : {&tags.artist, &tags.title, &tags.album, &tags.year, &tags.genre})
    params.push_back(*tag);
}

// The parameters of the "keep" statement for `kept`, due at `dueAtMs`; its tags go as binary
// bytea (kKeepBinary), since they are raw bytes in the account's code page.
inline std::vector<std::string> KeepParams(const std::string& nameKey, const CKeptReport& kept,
                                           int64_t dueAtMs) {
  std::vector<std::string> params = {nameKey, kept.stopped ? "t" : "f"};
  AddTags(params, kept);
  params.push_back(std::to_string(kept.arrivedAt));
  params.push_back(std::to_string(dueAtMs));
  params.push_back(std::to_string(static_cast<int>(kept.source)));
  params.push_back(std::to_string(kept.startedAt));
  params.push_back(std::to_string(kept.durationS));
  return params;
}
inline const std::vector<bool> kKeepBinary = {false, false, true, true, true, true, true};

// An array parameter in PostgreSQL's text form: every element quoted, so that any text (commas,
// braces, quotes, backslashes, blanks, "NULL") arrives as it is.
class CArrayParam {
 public:
  void Add(std::string_view element) {
    m_text += m_text.empty() ? "{\"" : ",\"";
    for (char c : element) {
      if (c == '"' || c == '\\') m_text += '\\';
      m_text += c;
    }
    m_text += '"';
  }
  void Add(int64_t number) { Add(std::to_string(number)); }
  // Bytes as a bytea element ("\x" and hex digits).
  void AddBytes(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex = "\\x";
    for (unsigned char c : bytes) {
      hex += kHex[c >> 4];
      hex += kHex[c & 15];
    }
    Add(hex);
  }
  std::string Take() { return m_text.empty() ? "{}" : m_text + "}"; }

 private:
  std::string m_text;
};

inline CTrackState::EPlayback PlaybackOf(int64_t value) {
  return value == 1   ? CTrackState::EPlayback::kPlaying
         : value == 2 ? CTrackState::EPlayback::kStopped
                      : CTrackState::EPlayback::kNone;
}

}  // namespace pgrows
