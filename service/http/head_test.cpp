// Tests of request-head scanning: the line ends real clients send, arrival in pieces, limits.
#include "http/head.h"

#include <gtest/gtest.h>

#include "http/message.h"

namespace {

using EStatus = CHeadScanner::EStatus;

constexpr char kStrictHead[] = "GET /x HTTP/1.1\r\nUser-Agent: Velk/1.3\r\nHost: localhost\r\n\r\n";

TEST(HeadScanner, LineEndsOfEveryKindGiveTheStrictHead) {
  const char* variants[] = {
      // The plug-in's GET header line ends in a lone CR; what follows depends on the HTTP library.
      "GET /x HTTP/1.1\r\nUser-Agent: Velk/1.3\rHost: localhost\r\n\r\n",
      "GET /x HTTP/1.1\r\nUser-Agent: Velk/1.3\r\r\nHost: localhost\r\n\r\n",
      "GET /x HTTP/1.1\nUser-Agent: Velk/1.3\nHost: localhost\n\n",
      "\r\n\r\nGET /x HTTP/1.1\r\nUser-Agent: Velk/1.3\r\nHost: localhost\r\n\r\n",
      kStrictHead,
  };
  for (const char* variant : variants) {
    CHeadScanner scanner;
    const std::string data = std::string(variant) + "BODY";
    ASSERT_EQ(scanner.Scan(data), EStatus::kComplete) << variant;
    EXPECT_EQ(scanner.Head(), kStrictHead) << variant;
    EXPECT_EQ(data.substr(scanner.Consumed()), "BODY") << variant;
  }
  // The lone CR may end the last header line before the empty line.
  CHeadScanner last;
  ASSERT_EQ(last.Scan("GET /x HTTP/1.1\r\nHost: h\r\nUser-Agent: Velk/1.3\r\r\n\r\n"),
            EStatus::kComplete);
  EXPECT_EQ(last.Head(), "GET /x HTTP/1.1\r\nHost: h\r\nUser-Agent: Velk/1.3\r\n\r\n");
}

TEST(HeadScanner, ABareCrEndsOnlyTheUserAgentLineOfAGet) {
  // Elsewhere a proxy may read the bytes differently, e.g. take the next field as part of this.
  for (const char* refused : {
           "GET /x HTTP/1.1\r\nX: y\rContent-Length: 46\r\n\r\n",
           "POST /x HTTP/1.1\r\nUser-Agent: Velk/1.3\rHost: h\r\n\r\n",
           "GET /x HTTP/1.1\rUser-Agent: Velk/1.3\r\n\r\n",
           "GET /x HTTP/1.1\r\nHost: h\r\r\n\r\n",
           "GET /x HTTP/1.1\r\nUser-Agent: Velk/1.3\r\n\r\r\n",
           "\rGET /x HTTP/1.1\r\n\r\n",
       }) {
    CHeadScanner scanner;
    EXPECT_EQ(scanner.Scan(refused), EStatus::kBadLineEnd) << refused;
  }
  CHeadScanner anyCase;
  EXPECT_EQ(anyCase.Scan("GET /x HTTP/1.1\r\nuser-agent: V\rHost: h\r\n\r\n"), EStatus::kComplete);
}

TEST(HeadScanner, ArrivalByteByByteGivesTheSameHead) {
  const std::string data =
      std::string("GET /x HTTP/1.1\r\nUser-Agent: Velk/1.3\rHost: localhost\r\n\r\n") + "GET /next";
  CHeadScanner scanner;
  EStatus status = EStatus::kNeedMore;
  size_t seen = 0;
  while (status == EStatus::kNeedMore && seen < data.size()) {
    status = scanner.Scan(std::string_view(data).substr(0, ++seen));
  }
  ASSERT_EQ(status, EStatus::kComplete);
  EXPECT_EQ(scanner.Head(), kStrictHead);
  EXPECT_EQ(data.substr(scanner.Consumed()), "GET /next");
  // A CR at the end of what has arrived may still get its LF: not complete yet.
  CHeadScanner waiting;
  EXPECT_EQ(waiting.Scan("GET /x HTTP/1.1\r\nHost: h\r\n\r"), EStatus::kNeedMore);
  EXPECT_EQ(waiting.Scan("GET /x HTTP/1.1\r\nHost: h\r\n\r\n"), EStatus::kComplete);
  EXPECT_EQ(waiting.Consumed(), 28u);
}

TEST(HeadScanner, LimitsOnTheTargetAndTheWholeHead) {
  const std::string longest = "GET /" + std::string(kMaxTargetBytes - 1, 'a') + " HTTP/1.1\r\n\r\n";
  CHeadScanner fits;
  EXPECT_EQ(fits.Scan(longest), EStatus::kComplete);

  CHeadScanner tooLong;
  EXPECT_EQ(tooLong.Scan("GET /" + std::string(kMaxTargetBytes + 64, 'a')),
            EStatus::kTargetTooLong);

  CHeadScanner bigHead;
  std::string head = "GET / HTTP/1.1\r\n";
  while (head.size() <= kMaxHeadBytes) head += "X-Filler: " + std::string(100, 'f') + "\r\n";
  EXPECT_EQ(bigHead.Scan(head), EStatus::kTooLarge);

  CHeadScanner reused;
  EXPECT_EQ(reused.Scan(kStrictHead), EStatus::kComplete);
  reused.Reset();
  EXPECT_EQ(reused.Scan("GET /y"), EStatus::kNeedMore);
}

}  // namespace
