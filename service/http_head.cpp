// Finding the end of a request's head in received bytes, tolerant of the line ends clients send.
#include "http_head.h"

#include "http_message.h"

namespace {

// Room for the method, two blanks and the version around the longest target.
constexpr size_t kMaxRequestLine = kMaxTargetBytes + 32;

}  // namespace

CHeadScanner::EStatus CHeadScanner::Scan(std::string_view data) {
  if (!started_) {
    while (pos_ < data.size() && (data[pos_] == '\r' || data[pos_] == '\n')) ++pos_;
    if (pos_ == data.size()) return EStatus::kNeedMore;
    started_ = true;
    start_ = lineStart_ = pos_;
  }
  while (pos_ < data.size()) {
    if (firstLine_ && pos_ - start_ > kMaxRequestLine) return EStatus::kTargetTooLong;
    if (pos_ - start_ >= kMaxHeadBytes) return EStatus::kTooLarge;
    const char c = data[pos_];
    if (c != '\r' && c != '\n') {
      ++pos_;
      continue;
    }
    // A line ends here: it takes the run of CRs and at most one LF after it. CRs at the end of
    // what has arrived may still be followed by their LF, so wait for the next byte.
    size_t end = pos_;
    while (end < data.size() && data[end] == '\r') ++end;
    if (end == data.size()) return EStatus::kNeedMore;
    if (data[end] == '\n') ++end;
    const std::string_view line = data.substr(lineStart_, pos_ - lineStart_);
    firstLine_ = false;
    head_.append(line);
    head_ += "\r\n";
    pos_ = lineStart_ = end;
    if (line.empty()) {
      consumed_ = end;
      return EStatus::kComplete;
    }
  }
  return EStatus::kNeedMore;
}
