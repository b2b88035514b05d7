// The service's logs: error and notice lines on standard error, where a repeated error takes one
// line with a count, and one access line per request on standard output.
#include "base/log.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>

namespace {

constexpr std::chrono::seconds kQuietTime(10);

struct CLogLine {
  std::chrono::steady_clock::time_point writtenAt;
  unsigned long leftOut = 0;
};

// Now in UTC: "2026-01-31T12:34:56.789Z".
std::string Timestamp() {
  const auto now = std::chrono::system_clock::now();
  const time_t seconds = std::chrono::system_clock::to_time_t(now);
  const long millis = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  struct tm parts;
  gmtime_r(&seconds, &parts);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, millis);
  return text;
}

// `text` on one line: each run of CR and LF becomes " / ", trailing ones are dropped.
std::string OneLine(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  std::string out;
  bool breaking = false;
  for (char c : text) {
    if (c == '\n' || c == '\r') {
      breaking = true;
      continue;
    }
    if (breaking) out += " / ";
    breaking = false;
    out.push_back(c);
  }
  return out;
}

// Appends `text` with quotes, backslashes and bytes outside printable ASCII as \xNN.
void AppendPrintable(std::string& out, std::string_view text) {
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7F || c == '"' || c == '\\') {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", u);
      out += escape;
    } else {
      out.push_back(c);
    }
  }
}

// Writes `line` in one call, so that lines of several threads never interleave.
void WriteLine(FILE* stream, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stream);
}

}  // namespace

void LogLine(const char* level, std::string_view text) {
  WriteLine(stderr, Timestamp() + " " + level + " velk-service: " + OneLine(text) + "\n");
}

void LogRepeated(const std::string& what, const std::string& detail) {
  static std::mutex mutex;
  static std::map<std::string, CLogLine> lines;  // one entry per kind of error: a short list
  const auto now = std::chrono::steady_clock::now();
  unsigned long leftOut = 0;
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto [line, added] = lines.try_emplace(what);
    if (!added && now - line->second.writtenAt < kQuietTime) {
      ++line->second.leftOut;
      return;
    }
    leftOut = line->second.leftOut;
    line->second = CLogLine{now, 0};
  }
  std::string text = what + ": " + OneLine(detail);
  if (leftOut != 0) {
    text += " (and " + std::to_string(leftOut) + " more like it since the last such line)";
  }
  LogLine("error", text);
}

std::string AccessLine(const CAccessRecord& record) {
  std::string line;
  AppendPrintable(line, record.client.empty() ? "-" : record.client);
  line += " \"";
  if (record.method.empty()) {
    line += "-";
  } else {
    AppendPrintable(line, record.method);
    line += " ";
    AppendPrintable(line, record.target.substr(0, record.target.find_first_of("?#")));
  }
  char tail[64];
  std::snprintf(tail, sizeof tail, "\" %d %zu %.6f", record.status, record.bytes, record.seconds);
  return line + tail;
}

void LogAccess(const CAccessRecord& record) {
  WriteLine(stdout, Timestamp() + " " + AccessLine(record) + "\n");
}
