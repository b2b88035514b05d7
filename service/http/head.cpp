// Finding the end of a request's head in received bytes, tolerant of the line ends clients send.
#include "http/head.h"

#include "http/message.h"

namespace {

// Room for the method, two blanks and the version around the longest target.
constexpr size_t kMaxRequestLine = kMaxTargetBytes + 32;

}  // namespace

CHeadScanner::EStatus CHeadScanner::Scan(std::string_view data) {
  if (!m_started) {
    while (m_pos < data.size() && (data[m_pos] == '\r' || data[m_pos] == '\n')) ++m_pos;
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
    if (data[end] == '\n') ++end;
    const std::string_view line = data.substr(m_lineStart, m_pos - m_lineStart);
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
