// Tests of the service's answers: reports, caching headers of images, state and registration.
#include "app/service.h"

#include <future>
#include <gtest/gtest.h>

#include "http/cache.h"
#include "tests/test_support.h"
#include "storage/write_queue.h"

namespace {

constexpr char kKey[] = "12345678901234567890";

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(InitKeyHashing());
    m_store = OpenStore(m_dir.File("service.sqlite"));
    ASSERT_EQ(CreateAccountNow(*m_store, "bob", kKey, 1252), ECreateResult::kCreated);
    CServiceOptions options;
    options.publicUrl = "http://sig.example";
    m_service = std::make_unique<CSignatureService>(*m_store, m_clock, options);
  }

  CHttpResponse Send(const CHttpRequest& request) {
    std::promise<CHttpResponse> answer;
    m_service->Handle(request, [&answer](CHttpResponse response) { answer.set_value(response); });
    return answer.get_future().get();
  }
  CHttpResponse Get(const std::string& target) {
    CHttpRequest request;
    request.method = "GET";
    request.target = target;
    request.host = "localhost";
    return Send(request);
  }
  CHttpResponse Post(const std::string& target, const std::string& body) {
    CHttpRequest request;
    request.method = "POST";
    request.target = target;
    request.body = body;
    request.host = "localhost";
    return Send(request);
  }
  // A registration as a browser sends it: the form's page first, then the post with the page's
  // nonce cookie and token.
  CHttpResponse Register(const std::string& fields) {
    const CHttpResponse form = Get("/user/register");
    CHttpRequest request;
    request.method = "POST";
    request.target = "/user/register";
    request.host = "localhost";
    request.cookie = Cookies(form);
    request.body = fields + "&csrf=" + Csrf(Body(form));
    return Send(request);
  }
  std::string Report(const std::string& tags) {
    return std::string("/signature/generate/?user=bob&key=") + kKey + "&" + tags;
  }

  static std::string Field(const CHttpResponse& response, const std::string& name) {
    for (const auto& [fieldName, value] : response.fields) {
      if (fieldName == name) return value;
    }
    return "";
  }
  static std::string Body(const CHttpResponse& response) {
    return response.body ? *response.body : std::string();
  }
  // The "csrf" field of the first form of `page`.
  static std::string Csrf(const std::string& page) {
    const size_t at = page.find("name=\"csrf\" value=\"") + 19;
    return page.substr(at, page.find('"', at) - at);
  }
  // The Cookie field of a browser that took every Set-Cookie of `response`.
  static std::string Cookies(const CHttpResponse& response) {
    std::string cookies;
    for (const auto& [fieldName, value] : response.fields) {
      if (fieldName != "Set-Cookie") continue;
      cookies += (cookies.empty() ? "" : "; ") + value.substr(0, value.find(';'));
    }
    return cookies;
  }
  // The page a form's 303 leads to, fetched with the cookies it set.
  CHttpResponse Follow(const CHttpResponse& redirect) {
    EXPECT_EQ(redirect.status, 303);
    CHttpRequest request;
    request.method = "GET";
    request.target = Field(redirect, "Location");
    request.host = "localhost";
    request.cookie = Cookies(redirect);
    return Send(request);
  }

  CTempDir m_dir;
  CFakeClock m_clock;
  std::unique_ptr<CStore> m_store;
  std::unique_ptr<CSignatureService> m_service;
};

TEST_F(ServiceTest, GetAndPostReportsChangeTheState) {
  const CHttpResponse get =
      Get(Report("artist=Caf\xe9&title=Wave%20%28Live%29&album=Tides&year=2001&genre=Rock"));
  EXPECT_EQ(get.status, 200) << Body(get);
  std::string state = Body(Get("/signature/bob.json"));
  EXPECT_NE(state.find("\"playback\":\"playing\""), std::string::npos) << state;
  EXPECT_NE(state.find("\"artist\":\"Café\""), std::string::npos) << state;
  EXPECT_NE(state.find("\"title\":\"Wave (Live)\""), std::string::npos) << state;
  EXPECT_NE(state.find("\"image\":\"http://sig.example/signature/bob.png\""), std::string::npos);

  m_clock.Advance(2000);
  // The plug-in's POST: the object without the query, the query as the body.
  const CHttpResponse post = Post("/signature/generate/", std::string("user=bob&key=") + kKey +
                                                              "&artist=stopped&title=stopped");
  EXPECT_EQ(post.status, 200) << Body(post);
  state = Body(Get("/signature/bob.json"));
  EXPECT_NE(state.find("\"playback\":\"stopped\""), std::string::npos) << state;
  EXPECT_NE(state.find("\"artist\":\"Café\""), std::string::npos) << state;
}

TEST_F(ServiceTest, AbsoluteTargetsFromProxiesCountByTheirPath) {
  EXPECT_EQ(Get("http://localhost" + Report("artist=A&title=P")).status, 200);
  EXPECT_NE(Body(Get("HTTP://sig.example:80/signature/bob.json")).find("\"title\":\"P\""),
            std::string::npos);
  EXPECT_EQ(Get("http://localhost").status, 302);
}

TEST_F(ServiceTest, RefusedReportsChangeNothing) {
  EXPECT_EQ(Get("/signature/generate/?user=bob&artist=a").status, 400);
  EXPECT_EQ(Get("/signature/generate/?user=nobody&key=1&artist=a").status, 403);
  EXPECT_EQ(Get("/signature/generate/?user=bob&key=99&artist=a").status, 403);
  EXPECT_EQ(Get("/signature/generate/?user=bob&key=Key&artist=a").status, 403);
  EXPECT_EQ(Get(Report("title=" + std::string(256, 'x'))).status, 400);
  CHttpRequest put;
  put.method = "PUT";
  put.target = Report("title=x");
  EXPECT_EQ(Send(put).status, 405);
  const std::string state = Body(Get("/signature/bob.json"));
  EXPECT_NE(state.find("\"playback\":\"none\""), std::string::npos) << state;
  EXPECT_NE(state.find("\"wrong_key\":true"), std::string::npos) << state;

  EXPECT_EQ(Get(Report("artist=a&title=b")).status, 200);
  EXPECT_EQ(Get(Report("artist=a&title=c")).status, 429);
  EXPECT_NE(Body(Get("/signature/bob.json")).find("\"title\":\"b\""), std::string::npos);
}

TEST_F(ServiceTest, ImagesCarryCachingHeadersAndAnswer304) {
  const CHttpResponse first = Get("/signature/bob.png");
  ASSERT_EQ(first.status, 200);
  EXPECT_EQ(Field(first, "Content-Type"), "image/png");
  EXPECT_EQ(Field(first, "Cache-Control"), "public, max-age=30");
  const std::string etag = Field(first, "ETag");
  const std::string lastModified = Field(first, "Last-Modified");
  EXPECT_EQ(etag, MakeEntityTag(Body(first)));
  EXPECT_TRUE(ParseHttpDate(lastModified));

  CHttpRequest conditional;
  conditional.method = "GET";
  conditional.target = "/signature/bob.png";
  conditional.ifNoneMatch = etag;
  const CHttpResponse notModified = Send(conditional);
  EXPECT_EQ(notModified.status, 304);
  EXPECT_EQ(Field(notModified, "ETag"), etag);
  EXPECT_EQ(Field(notModified, "Cache-Control"), "public, max-age=30");
  EXPECT_FALSE(notModified.body);
  conditional.ifNoneMatch.reset();
  conditional.ifModifiedSince = lastModified;
  EXPECT_EQ(Send(conditional).status, 304);

  // A new track: a new image, a new tag, a later date; the old validators no longer hold.
  m_clock.Advance(5000);
  ASSERT_EQ(Get(Report("artist=A&title=T&album=&year=&genre=")).status, 200);
  const CHttpResponse playing = Get("/signature/bob.png");
  EXPECT_NE(Field(playing, "ETag"), etag);
  EXPECT_EQ(Field(playing, "Last-Modified"), FormatHttpDate(m_clock.WallSeconds()));
  EXPECT_EQ(Send(conditional).status, 200);
  conditional.ifModifiedSince.reset();
  conditional.ifNoneMatch = etag;
  EXPECT_EQ(Send(conditional).status, 200);

  // HEAD: the fields of the full answer without its body.
  CHttpRequest head;
  head.method = "HEAD";
  head.target = "/signature/bob.png";
  const CHttpResponse headAnswer = Send(head);
  EXPECT_EQ(headAnswer.status, 200);
  EXPECT_TRUE(headAnswer.omitBody);
  EXPECT_EQ(Field(headAnswer, "ETag"), Field(playing, "ETag"));
}

TEST_F(ServiceTest, StoppedImageChangesWithItsAgeOnly) {
  ASSERT_EQ(Get(Report("artist=A&title=T&album=&year=&genre=")).status, 200);
  m_clock.Advance(3000);
  ASSERT_EQ(Get(Report("artist=stopped&title=stopped")).status, 200);
  const int64_t stoppedAt = m_clock.WallSeconds();
  const CHttpResponse justStopped = Get("/signature/bob.png");
  m_clock.Advance(30000);
  EXPECT_EQ(Field(Get("/signature/bob.png"), "ETag"), Field(justStopped, "ETag"));
  m_clock.Advance(40000);  // 70 s: "1 min ago"
  const CHttpResponse minuteLater = Get("/signature/bob.png");
  EXPECT_NE(Field(minuteLater, "ETag"), Field(justStopped, "ETag"));
  EXPECT_EQ(Field(minuteLater, "Last-Modified"), FormatHttpDate(stoppedAt + 60));
  m_clock.Advance(20000);
  EXPECT_EQ(Field(Get("/signature/bob.png"), "ETag"), Field(minuteLater, "ETag"));
}

TEST_F(ServiceTest, ProblemsStillGiveAnImage) {
  const CHttpResponse own = Get("/signature/bob.png");
  for (const char* target : {"/signature/nobody.png", "/signature/bad%20name.png",
                             "/signature/.png", "/signature/x&y.png"}) {
    const CHttpResponse missing = Get(target);
    EXPECT_EQ(missing.status, 200) << target;
    EXPECT_EQ(Field(missing, "Content-Type"), "image/png") << target;
    EXPECT_EQ(Body(missing).compare(1, 3, "PNG"), 0) << target;
    EXPECT_NE(Field(missing, "ETag"), Field(own, "ETag")) << target;
  }
  // A wrong key turns a waiting account's image into an explanation.
  ASSERT_EQ(Get("/signature/generate/?user=bob&key=Key&artist=stopped&title=stopped").status, 403);
  EXPECT_NE(Field(Get("/signature/bob.png"), "ETag"), Field(own, "ETag"));
  EXPECT_EQ(Get("/signature/nobody.json").status, 404);
  EXPECT_EQ(Get("/nothing").status, 404);
}

TEST_F(ServiceTest, AnAccountMadeLaterIsNotHiddenByTheCachedNoAccountImage) {
  const CHttpResponse missing = Get("/signature/late.png");
  m_clock.Advance(10000);
  ASSERT_EQ(Register("name=late&codepage=1252").status, 303);
  m_store->Queue().Flush();
  CHttpRequest conditional;
  conditional.method = "GET";
  conditional.target = "/signature/late.png";
  conditional.ifModifiedSince = Field(missing, "Last-Modified");
  const CHttpResponse waiting = Send(conditional);
  EXPECT_EQ(waiting.status, 200);
  EXPECT_NE(Field(waiting, "ETag"), Field(missing, "ETag"));
}

TEST_F(ServiceTest, RegistrationPageAndItsChecks) {
  const CHttpResponse form = Get("/user/register");
  ASSERT_EQ(form.status, 200);
  EXPECT_NE(Body(form).find("<option value=\"1252\" selected>"), std::string::npos);
  EXPECT_NE(Body(form).find("<option value=\"1251\">"), std::string::npos);

  // The answer sends the browser on to the signed-in account page, which shows the key once.
  const CHttpResponse created = Register("name=Carol_1&codepage=1251");
  ASSERT_EQ(created.status, 303) << Body(created);
  const CHttpResponse shown = Follow(created);
  const std::string page = Body(shown);
  const size_t at = page.find("id=\"key\">");
  ASSERT_NE(at, std::string::npos);
  const std::string key = page.substr(at + 9, 20);
  EXPECT_TRUE(IsWellFormedKey(key)) << key;
  EXPECT_NE(page.find("http://sig.example/signature/Carol_1.png"), std::string::npos);
  // The page clears the cookie that carried the key, so a reload brings the session alone.
  EXPECT_EQ(Cookies(shown), "velk_flash=");
  CHttpRequest reload;
  reload.method = "GET";
  reload.target = "/account";
  reload.host = "localhost";
  reload.cookie = Cookies(created).substr(Cookies(created).find("velk_session="));
  const std::string again = Body(Send(reload));
  EXPECT_NE(again.find("Signed in as"), std::string::npos);
  EXPECT_EQ(again.find(key), std::string::npos);
  m_store->Queue().Flush();
  ASSERT_EQ(Get("/signature/generate/?user=carol_1&key=" + key + "&artist=%C0&title=t").status,
            200);
  EXPECT_NE(Body(Get("/signature/Carol_1.json")).find("\"artist\":\"А\""), std::string::npos);

  EXPECT_EQ(Register("name=CAROL_1&codepage=1252").status, 409);
  EXPECT_EQ(Register("name=bob&codepage=1252").status, 409);
  // Reserved names, and look-alikes of them in other case and with ".", "-" or "_".
  for (const char* reserved : {"Username", "ADMIN", "velk", "Support", "api", "admin.", "Ad_min",
                               "velk_service", "Velk.Service", "www.", "user-", "no_reply"}) {
    EXPECT_EQ(Register("name=" + std::string(reserved) + "&codepage=1252").status, 400) << reserved;
  }
  EXPECT_EQ(Register("name=dave&codepage=65001").status, 400);
  const CHttpResponse hostile = Register("name=%3Cscript%3Ealert(1)%3C%2Fscript%3E&codepage=1252");
  EXPECT_EQ(hostile.status, 400);
  EXPECT_EQ(Body(hostile).find("<script>"), std::string::npos);
  EXPECT_NE(Body(hostile).find("&lt;script&gt;"), std::string::npos);
}

// A registration posted by another site's page is refused before anything counts: no session,
// and the address's registrations stay free for its own.
TEST_F(ServiceTest, RegistrationFromAnotherSiteIsRefused) {
  CHttpRequest forged;
  forged.method = "POST";
  forged.target = "/user/register";
  forged.host = "localhost:8080";
  forged.origin = "https://evil.example";
  for (int i = 0; i < 11; ++i) {  // more than the address's registrations in an hour
    forged.body = "name=victim" + std::to_string(i) + "&codepage=1252";
    const CHttpResponse refused = Send(forged);
    EXPECT_EQ(refused.status, 403);
    EXPECT_EQ(Cookies(refused).find(kSessionCookie), std::string::npos);
  }
  // The form's own cookie and token do not help a post that a browser says came from elsewhere.
  const CHttpResponse form = Get("/user/register");
  forged.cookie = Cookies(form);
  forged.body = "name=victim&codepage=1252&csrf=" + Csrf(Body(form));
  for (const char* origin : {"https://evil.example", "null", "http://localhost.evil.example"}) {
    forged.origin = origin;
    EXPECT_EQ(Send(forged).status, 403) << origin;
  }
  forged.origin = "http://LOCALHOST:8080";
  forged.fetchSite = "cross-site";
  EXPECT_EQ(Send(forged).status, 403);
  forged.fetchSite = "same-origin";
  const CHttpResponse own = Send(forged);
  ASSERT_EQ(own.status, 303) << Body(own);
  EXPECT_NE((Cookies(own) + ";").find("velk_signin=;"), std::string::npos);  // nonce cleared
}

// A track reported playing and then nothing for longer than the bound: image and state say
// "last played", the image's validators move on, and the next report plays again.
TEST_F(ServiceTest, NowPlayingEndsAfterTheBound) {
  ASSERT_EQ(Get(Report("artist=%20Salt%20&title=Wave%20%20&album=&year=&genre=")).status, 200);
  const int64_t trackAt = m_clock.WallSeconds();
  EXPECT_NE(Body(Get("/signature/bob.json")).find("\"title\":\"Wave\""), std::string::npos);
  m_clock.Advance(29 * 60 * 1000);
  const CHttpResponse playing = Get("/signature/bob.png");
  EXPECT_NE(Body(Get("/signature/bob.json")).find("\"playback\":\"playing\",\"expired\":false"),
            std::string::npos);
  m_clock.Advance(60 * 1000);
  const CHttpResponse ended = Get("/signature/bob.png");
  EXPECT_NE(Field(ended, "ETag"), Field(playing, "ETag"));
  EXPECT_EQ(Field(ended, "Last-Modified"), FormatHttpDate(trackAt + 30 * 60));
  EXPECT_NE(Body(Get("/signature/bob.json")).find("\"playback\":\"stopped\",\"expired\":true"),
            std::string::npos);
  CHttpRequest conditional;
  conditional.method = "GET";
  conditional.target = "/signature/bob.png";
  conditional.ifNoneMatch = Field(playing, "ETag");
  EXPECT_EQ(Send(conditional).status, 200);

  ASSERT_EQ(Get(Report("artist=A&title=Next&album=&year=&genre=")).status, 200);
  EXPECT_NE(Body(Get("/signature/bob.json")).find("\"playback\":\"playing\",\"expired\":false"),
            std::string::npos);
}

// The account page's forms act only with the session's token, sign-ins fail within the same
// bound as wrong report keys, and a saved look changes the image's size.
TEST_F(ServiceTest, AccountFormsNeedTheirTokenAndSignInsAreBounded) {
  const CHttpResponse created = Register("name=Dana&codepage=1252");
  std::string cookie;
  for (const auto& [fieldName, value] : created.fields) {
    if (fieldName == "Set-Cookie" && value.rfind(kSessionCookie, 0) == 0) cookie = value;
  }
  EXPECT_NE(cookie.find("HttpOnly; SameSite=Strict"), std::string::npos) << cookie;
  EXPECT_EQ(cookie.find("Secure"), std::string::npos);
  const std::string page = Body(Follow(created));
  const size_t at = page.find("name=\"csrf\" value=\"");
  ASSERT_NE(at, std::string::npos);
  const std::string csrf = page.substr(at + 19, 64);
  auto postWithCookie = [&](const std::string& target, const std::string& body) {
    CHttpRequest request;
    request.method = "POST";
    request.target = target;
    request.body = body;
    request.cookie = cookie.substr(0, cookie.find(';'));
    return Send(request);
  };
  const std::string look =
      "template=banner&theme=light&accent_mode=theme&accent=%23000000&codepage=1251";
  EXPECT_EQ(
      postWithCookie("/account/settings", "csrf=" + std::string(1, csrf[0] == '0' ? '1' : '0') +
                                              csrf.substr(1) + "&" + look)
          .status,
      403);
  EXPECT_EQ(Post("/account/settings", "csrf=" + csrf + "&" + look).status, 401);
  EXPECT_EQ(postWithCookie("/account/settings", "csrf=" + csrf + "&" + look).status, 303);
  // A code page is its number alone, and a refusal names the field; in a preview too.
  const std::string lookWithout = look.substr(0, look.size() - 4);
  for (const char* page : {"1251x", "%20932", "%2B932", ""}) {
    const CHttpResponse bad =
        postWithCookie("/account/settings", "csrf=" + csrf + "&" + lookWithout + page);
    EXPECT_EQ(bad.status, 400) << page;
    EXPECT_NE(Body(bad).find("codepage"), std::string::npos) << page;
    CHttpRequest preview;
    preview.method = "GET";
    preview.target = "/account/preview.png?" + lookWithout + page;
    preview.cookie = cookie.substr(0, cookie.find(';'));
    const CHttpResponse refused = Send(preview);
    EXPECT_EQ(refused.status, 400) << page;
    EXPECT_NE(Body(refused).find("\"codepage\""), std::string::npos) << Body(refused);
    preview.target = "/account/preview.png?" + look;
    EXPECT_EQ(Body(Send(preview)).substr(16, 8), std::string("\0\0\x01\xd4\0\0\0\x3c", 8));
  }
  EXPECT_EQ(Body(Get("/signature/Dana.png")).substr(16, 8),
            std::string("\0\0\x01\xd4\0\0\0\x3c", 8));  // 468x60

  // Sign-in: the form's own cookie and token, then the per-account bound on wrong keys.
  const CHttpResponse form = Get("/account");
  const std::string nonce = Field(form, "Set-Cookie");
  const std::string token = Csrf(Body(form));
  CHttpRequest signIn;
  signIn.method = "POST";
  signIn.target = "/account/signin";
  signIn.cookie = nonce.substr(0, nonce.find(';'));
  int refused = 0;
  int limited = 0;
  for (int i = 0; i < 25; ++i) {
    signIn.body = "csrf=" + token + "&name=dana&key=" + std::to_string(1000 + i);
    const int status = Send(signIn).status;
    refused += status == 403;
    limited += status == 429;
  }
  EXPECT_EQ(refused, 20);
  EXPECT_EQ(limited, 5);
  // Failed sign-ins are no player's reports: the public state does not change.
  EXPECT_NE(Body(Get("/signature/Dana.json")).find("\"wrong_key\":false"), std::string::npos);
  signIn.cookie.clear();
  EXPECT_EQ(Send(signIn).status, 403);
}

// Sessions live in the data file: they outlive the service, each account keeps its newest 20, a
// new key ends all but the page that made it, and two idle hours end any.
TEST_F(ServiceTest, SessionsOutliveTheServiceAndEndWithTheKeyOrIdleness) {
  auto withCookie = [&](const std::string& method, const std::string& target,
                        const std::string& cookie, const std::string& body) {
    CHttpRequest request;
    request.method = method;
    request.target = target;
    request.cookie = cookie.substr(0, cookie.find(';'));
    request.body = body;
    return Send(request);
  };
  auto signIn = [&] {
    m_clock.Advance(1);  // the oldest session is the first to go
    const CHttpResponse form = Get("/account");
    const std::string nonce = Field(form, "Set-Cookie");
    const CHttpResponse signedIn =
        withCookie("POST", "/account/signin", nonce,
                   "name=bob&key=" + std::string(kKey) + "&csrf=" + Csrf(Body(form)));
    EXPECT_EQ(signedIn.status, 303);
    return Field(signedIn, "Set-Cookie");
  };
  auto page = [&](const std::string& cookie) {
    return Body(withCookie("GET", "/account", cookie, ""));
  };
  auto signedIn = [&](const std::string& cookie) {
    return page(cookie).find("id=\"signout\"") != std::string::npos;
  };
  std::vector<std::string> sessions;
  for (int i = 0; i < 21; ++i) sessions.push_back(signIn());
  EXPECT_FALSE(signedIn(sessions[0]));
  EXPECT_TRUE(signedIn(sessions[1]));
  m_service.reset();
  m_service = std::make_unique<CSignatureService>(*m_store, m_clock, CServiceOptions());
  EXPECT_TRUE(signedIn(sessions[20]));
  const CHttpResponse renewed =
      withCookie("POST", "/account/key", sessions[20], "csrf=" + Csrf(page(sessions[20])));
  EXPECT_EQ(renewed.status, 303);  // to the page that shows the new key once
  EXPECT_FALSE(signedIn(sessions[1]));
  EXPECT_TRUE(signedIn(sessions[20]));
  m_clock.Advance(2 * 3600 * 1000);
  EXPECT_FALSE(signedIn(sessions[20]));
}

TEST(ServiceText, JsonEscaping) {
  EXPECT_EQ(JsonString("a\"b\\c\n\x01é"), "\"a\\\"b\\\\c\\u000a\\u0001é\"");
}

}  // namespace
