// Tests of the report URL split and of the GET and POST exchanges against the fake internet.
#include "delivery/send_report.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/fake/fake_internet.h"
#include "platform/fake/fake_threads.h"
#include "platform/platform.h"
#include "reporter/reporter_state.h"
#include "settings/settings.h"
#include "tests/support/scoped_platform.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr char kReportUrl[] =
    "http://localhost/signature/generate/?user=alice&key=k3y&artist=a&title=t&album=&year=&genre=";

struct Split {
  bool ok;
  std::string host, path, bare, query;
};

Split SplitOf(const std::string& url, bool post) {
  ReportUrlParts parts;
  const bool ok = SplitReportUrl(url.c_str(), post, &parts);
  if (!ok) return {false, "", "", "", ""};
  return {true, parts.Host, parts.Path, parts.PathWithoutQuery, QueryOfPath(parts.Path)};
}

TEST(SplitReportUrl, ReportUrlGivesServiceHostObjectAndBody) {
  const Split get = SplitOf(kReportUrl, false);
  ASSERT_TRUE(get.ok);
  EXPECT_EQ(get.host, "localhost");
  EXPECT_EQ(get.path,
            "/signature/generate/?user=alice&key=k3y&artist=a&title=t&album=&year=&genre=");
  EXPECT_EQ(get.bare, "") << "filled for POST only";

  const Split post = SplitOf(kReportUrl, true);
  ASSERT_TRUE(post.ok);
  EXPECT_EQ(post.host, "localhost");
  EXPECT_EQ(post.path, get.path);
  EXPECT_EQ(post.bare, "/signature/generate/");
  EXPECT_EQ(post.query, "user=alice&key=k3y&artist=a&title=t&album=&year=&genre=");
}

TEST(SplitReportUrl, QuestionMarksCountWhereverTheyStand) {
  // A "?" in the host part stays in the host and ends the object of a POST before it starts.
  const Split in_host = SplitOf("http://ser?ver/signature/generate/?user=u", true);
  EXPECT_EQ(in_host.host, "ser?ver");
  EXPECT_EQ(in_host.path, "/signature/generate/?user=u");
  EXPECT_EQ(in_host.bare, "");
  EXPECT_EQ(in_host.query, "user=u");

  // A user name holding "?": the object ends at the first "?", the body starts after the last.
  const Split in_user = SplitOf("http://h/signature/generate/?user=wh?o&key=k", true);
  EXPECT_EQ(in_user.path, "/signature/generate/?user=wh?o&key=k");
  EXPECT_EQ(in_user.bare, "/signature/generate/");
  EXPECT_EQ(in_user.query, "o&key=k");

  // No "?" at all: the object is the whole path, and so is the body.
  const Split none = SplitOf("http://h/signature/generate/x", true);
  EXPECT_EQ(none.path, "/signature/generate/x");
  EXPECT_EQ(none.bare, "/signature/generate/x");
  EXPECT_EQ(none.query, "/signature/generate/x");
}

TEST(SplitReportUrl, SlashesDecideHostAndPath) {
  const Split no_path = SplitOf("http://host", true);
  EXPECT_EQ(no_path.host, "host");
  EXPECT_EQ(no_path.path, "");
  // Slashes inside the query belong to the path; the host is only what the 2nd and 3rd enclose.
  const Split slashy = SplitOf("http://h:80/a/?user=x/y", false);
  EXPECT_EQ(slashy.host, "h:80");
  EXPECT_EQ(slashy.path, "/a/?user=x/y");
  const Split empty = SplitOf("", true);
  EXPECT_TRUE(empty.ok);
  EXPECT_EQ(empty.host + empty.path + empty.bare, "");
}

TEST(SplitReportUrl, PartsThatDoNotFitAreRefused) {
  const std::string host_fits = "http://" + std::string(kHostBufferSize - 1, 'h') + "/p";
  EXPECT_EQ(SplitOf(host_fits, true).host.size(), kHostBufferSize - 1);
  EXPECT_FALSE(SplitOf("http://" + std::string(kHostBufferSize, 'h') + "/p", true).ok);

  const std::string path_fits = "http://h/" + std::string(kPathBufferSize - 2, 'p');
  EXPECT_EQ(SplitOf(path_fits, true).bare.size(), kPathBufferSize - 1);
  EXPECT_FALSE(SplitOf(path_fits + "p", false).ok);
  EXPECT_FALSE(SplitOf(path_fits + "p", true).ok);
}

class SendReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_.Internet(internet_).Threads(threads_);
    Settings.Method.store(1);
    ReporterState.RequestInFlight.store(0);
  }

  // Runs one worker on `url` to its end, with the flag set.
  void RunWorker(const char* url) {
    ReporterState.RequestInFlight.store(1);
    EXPECT_TRUE(StartReportWorker(url, {&ReporterState.RequestInFlight, &Settings.Method}));
  }

  // One exchange with the method the settings hold.
  static void Send(const char* url) { SendReport(url, Settings.Method.load() == 0); }

  CFakeInternet internet_;
  CFakeThreads threads_{CFakeThreads::Mode::kInline};
  CScopedPlatform platform_;
};

TEST_F(SendReportTest, GetSendsTheWholePathWithOneHeaderLine) {
  Send(kReportUrl);
  EXPECT_THAT(
      internet_.Calls(),
      ElementsAre("OpenSession()", "ConnectHttp(s1, localhost, 80)", "SetTimeouts(c2, 15000)",
                  "OpenRequest(c2, GET, /signature/generate/"
                  "?user=alice&key=k3y&artist=a&title=t&album=&year=&genre=, 0xa4000000)",
                  "SetTimeouts(r3, 15000)", "SendRequest(r3, User-Agent: Velk/1.3\\r)",
                  "ReleaseHandle(r3)", "ReleaseHandle(c2)", "ReleaseHandle(s1)"));
  EXPECT_EQ(internet_.OpenHandles(), 0u);
}

TEST_F(SendReportTest, PostSendsTheQueryAsAFormBody) {
  Settings.Method.store(0);
  Send(kReportUrl);
  EXPECT_THAT(
      internet_.Calls(),
      ElementsAre("OpenSession()", "ConnectHttp(s1, localhost, 80)", "SetTimeouts(c2, 15000)",
                  "OpenRequest(c2, POST, /signature/generate/, 0xa4000000)",
                  "SetTimeouts(r3, 15000)",
                  "AddRequestHeaders(r3, Accept: text/*\\r\\nUser-Agent: Velk/1.2  Moxel\\r\\n"
                  "Accept-Language: en-us\\r\\nContent-type: "
                  "application/x-www-form-urlencoded\\r\\n, 0x10000000)",
                  "SendRequestEx(r3, 55)",
                  "WriteRequestBody(r3, user=alice&key=k3y&artist=a&title=t&album=&year=&genre=, "
                  "55)",
                  "EndRequest(r3)", "ReleaseHandle(r3)", "ReleaseHandle(c2)", "ReleaseHandle(s1)"));
}

TEST_F(SendReportTest, PostBodyLengthCountsBytes) {
  Settings.Method.store(0);
  // "J\xc3\xb6rg" is four letters in five bytes; "\xe9" one letter in one byte.
  Send("http://h/signature/generate/?user=J\xc3\xb6rg&key=\xe9");
  const std::vector<std::string> calls = internet_.Calls();
  ASSERT_GE(calls.size(), 8u);
  EXPECT_EQ(calls[6], "SendRequestEx(r3, 16)");
  EXPECT_EQ(calls[7], "WriteRequestBody(r3, user=J\xc3\xb6rg&key=\xe9, 16)");
}

TEST_F(SendReportTest, UrlThatCannotBeSplitIsDroppedWithoutAnExchange) {
  RunWorker(("http://" + std::string(kHostBufferSize, 'h') + "/p").c_str());
  EXPECT_TRUE(internet_.Calls().empty());
  EXPECT_EQ(ReporterState.RequestInFlight.load(), 0);
}

// Fails each fallible call of a clean exchange in turn, once and from then on, for both methods:
// the worker must return normally with the flag down and every handle it got released, request
// before connection before session.
TEST_F(SendReportTest, FailureAtEveryCallEndsTheExchangeCleanly) {
  for (const int method : {1, 0}) {
    Settings.Method.store(method);
    internet_.Reset();
    Send(kReportUrl);
    const int points = internet_.faults.call.Calls();
    ASSERT_EQ(points, method != 0 ? 6 : 9);
    for (const bool persistent : {false, true}) {
      for (int k = 1; k <= points; ++k) {
        SCOPED_TRACE("method " + std::to_string(method) + ", call " + std::to_string(k) +
                     (persistent ? ", persistent" : ", once"));
        internet_.Reset();
        internet_.faults.call.FailNth(k, persistent);
        RunWorker(kReportUrl);
        EXPECT_EQ(ReporterState.RequestInFlight.load(), 0);
        EXPECT_EQ(internet_.OpenHandles(), 0u);
        EXPECT_EQ(internet_.BadReleases(), 0);

        const std::vector<std::string> calls = internet_.Calls();
        std::vector<std::string> releases;
        int fallible = 0;
        std::size_t failed_at = calls.size();
        for (std::size_t i = 0; i < calls.size(); ++i) {
          if (calls[i].rfind("ReleaseHandle", 0) == 0) {
            releases.push_back(calls[i]);
            continue;
          }
          ++fallible;
          if (calls[i].find(" -> fail") != std::string::npos && failed_at == calls.size()) {
            failed_at = i;
            EXPECT_EQ(fallible, k);
          }
        }
        ASSERT_LT(failed_at, calls.size()) << "the k-th call did not fail";
        const bool headers = calls[failed_at].rfind("AddRequestHeaders", 0) == 0;
        if (headers && !persistent) {
          // A failure to add headers is not an error: the exchange goes on to its end.
          EXPECT_THAT(calls[calls.size() - 4], HasSubstr("EndRequest(r3)"));
        } else if (!headers) {
          // A throwing call ends the exchange: only releases follow it.
          EXPECT_EQ(calls.size() - 1 - failed_at, releases.size());
        }
        const std::vector<std::string> all_three = {"ReleaseHandle(r3)", "ReleaseHandle(c2)",
                                                    "ReleaseHandle(s1)"};
        ASSERT_LE(releases.size(), 3u);
        EXPECT_EQ(releases,
                  std::vector<std::string>(all_three.end() - releases.size(), all_three.end()));
      }
    }
  }
}

}  // namespace
