// Finding the end of a request's head in received bytes, with the line ends clients send.
#include "http/head.h"

#include "http/message.h"

namespace {

// Room for the method, two blanks and the version around the longest target.
constexpr size_t kMaxRequestLine = kMaxTargetBytes + 32;

// Whether a header line is the User-Agent field, its name in any letter case.
bool IsUserAgentLine(std::string_view line) {
  constexpr std::string_view kName = "user-agent:";
  if (line.size() < kName.size()) return false;
  for (size_t i = 0; i < kName.size(); ++i) {
    char c = line[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kName[i]) return false;
  }
  return true;
}

}  // namespace

CHeadScanner::EStatus CHeadScanner::Scan(std::string_view data) {
  if (!m_started) {
    while (m_pos < data.size() && (data[m_pos] == '\r' || data[m_pos] == '\n')) {
      if (data[m_pos] == '\r') {
        if (m_pos + 1 == data.size()) return EStatus::kNeedMore;
        if (data[m_pos + 1] != '\n') return EStatus::kBadLineEnd;
      }
      ++m_pos;
    }
    if (m_pos == data.size()) return EStatus::kNeedMore;
    m_started = true;
    m_start = m_lineStart = m_pos;
  }
  while (m_pos < data.size()) {
    if (m_firstLine && m_pos - m_start > kMaxRequestLine) return EStatus::kTargetTooLong;
    if (m_pos - m_start >= kMaxHeadBytes) return EStatus::kTooLarge;
    const char c = data[m_pos];
    if (c != '\r' && c != '\n') {
      ++m_pos;
      continue;
    }
    // A line ends here: it takes the run of CRs and at most one LF after it. CRs at the end of
    // what has arrived may still be followed by their LF, so wait for the next byte.
    size_t end = m_pos;
    while (end < data.size() && data[end] == '\r') ++end;
    if (end == data.size()) return EStatus::kNeedMore;
    const bool lineFeed = data[end] == '\n';
    const std::string_view line = data.substr(m_lineStart, m_pos - m_lineStart);
    if (!lineFeed || end - m_pos > 1) {
      // CRs without an LF, or more than one CR before it.
      if (m_firstLine || !m_get || !IsUserAgentLine(line)) return EStatus::kBadLineEnd;
    }
    if (lineFeed) ++end;
    if (m_firstLine) m_get = line.substr(0, 4) == "GET ";
    m_firstLine = false;
    m_head.append(line);
    m_head += "\r\n";
    m_pos = m_lineStart = end;
    if (line.empty()) {
      m_consumed = end;
      return EStatus::kComplete;
    }
  }
  return EStatus::kNeedMore;
}
