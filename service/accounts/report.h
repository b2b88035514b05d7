// A report from the plug-in: its fields as raw bytes, the limits they must keep, the stopped mark.
#pragma once

#include <string>
#include <string_view>

// Longest tag value, in bytes after percent-decoding, that a report may carry.
constexpr size_t kMaxTagBytes = 255;

// The decoded fields of one report, still in the player's code page.
struct CReport {
  std::string user;
  std::string key;
  std::string artist;
  std::string title;
  std::string album;
  std::string year;
  std::string genre;
  // A stopped report: artist and title are both "stopped" and album, year and genre are absent
  // (a track report always carries those three keys, empty or not).
  bool stopped = false;
};

enum class EReportError {
  kNone,
  kMissingAccount,  // no user or no key field
  kTagTooLong,      // a tag value over kMaxTagBytes
};

struct CReportParse {
  EReportError error = EReportError::kNone;
  std::string message;  // for the answer to the client; empty when error is kNone
  CReport report;
};

// Parses the query of a report URL (GET) or a report's form body (POST): "user=...&key=...&
// artist=...&title=...&album=...&year=...&genre=...". Fields may come in any order; the first of
// each name counts and unknown names are ignored. Missing tags are empty.
CReportParse ParseReport(std::string_view form);
