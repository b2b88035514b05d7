// Finding the end of a request's head in received bytes, with the line ends clients send.
#pragma once

#include <string>
#include <string_view>

// Scans the bytes of one request as they arrive, until its head is complete. Lines end in CR LF
// or LF. Only the User-Agent line of a GET may also end in CRs without an LF, or several CRs and
// an LF: the plug-in's GET ends that line with a lone CR. A bare CR anywhere else could make a
// proxy and this service see different requests in the same bytes, so it is refused. Empty lines
// before the request line are skipped. The head it returns is in the strict
// form an HTTP parser expects, every line ended by CR LF; the bytes after the head (a body, the
// next request) are left alone. Work is linear in the bytes received, however they are split.
class CHeadScanner {
 public:
  enum class EStatus {
    kNeedMore,       // no complete head yet, and no limit passed
    kComplete,       // Consumed() and Head() tell the head
    kTooLarge,       // the head passes kMaxHeadBytes: answer 431
    kTargetTooLong,  // the request line passes what a kMaxTargetBytes target needs: answer 414
    kBadLineEnd,     // a bare CR where only CR LF may end a line: answer 400
  };

  // Scans `data`, which must begin with the bytes given to the calls since the last Reset.
  EStatus Scan(std::string_view data);
  // After kComplete: the bytes of `data` the head took, empty lines before it included.
  size_t Consumed() const { return m_consumed; }
  // After kComplete: the head in strict form, its final empty line included.
  const std::string& Head() const { return m_head; }
  // Forgets everything, for the next request.
  void Reset() { *this = CHeadScanner(); }

 private:
  bool m_started = false;  // the request line has begun
  size_t m_start = 0;      // where the request line begins
  size_t m_lineStart = 0;  // where the line being scanned begins
  size_t m_pos = 0;        // next byte to look at
  bool m_firstLine = true;
  bool m_get = false;  // the request line names the GET method
  size_t m_consumed = 0;
  std::string m_head;
};
