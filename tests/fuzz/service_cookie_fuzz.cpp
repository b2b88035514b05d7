// Fuzz target for the account pages' cookies: finding a cookie in a Cookie field, and the sealed
// flash cookie that carries a form's result to the next page.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "service/people/flash.h"
#include "service/people/sessions.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

const CFlashes& Flashes() {
  static const CSystemClock clock;
  static const CFlashes flashes(clock, "fuzz secret");
  return flashes;
}

}  // namespace

// Input: a Cookie field as a client may send it, whose bytes also make a flash.
// - Any field: the cookie found holds no ';', and a flash is taken only from a value this store
//   sealed.
// - What a browser sends back (cookies in front, "; " between them) gives each cookie's value.
// - A flash sealed here comes back whole, and one changed byte makes it no flash at all.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  for (const std::string_view name : {kSessionCookie, kFlashCookie}) {
    const std::string value = CookieValue(input, name);
    FUZZ_CHECK(value.size() < size || value.empty());
    FUZZ_CHECK(value.find(';') == std::string::npos);
    FUZZ_CHECK(!Flashes().Take(value));
  }
  FUZZ_CHECK(!Flashes().Take(input));

  // Cookie values are visible ASCII without ';', ',' and blanks; the session's is a hex token.
  std::string token;
  for (const char c : input) {
    if (c > ' ' && c < 0x7F && c != ';' && c != ',' && c != '"' && c != '\\') token += c;
  }
  const std::string session = "0123abcd";
  const std::string field = "theme=" + token + "; " + std::string(kSessionCookie) + "=" + session +
                            "; " + kFlashCookie + "=" + token;
  FUZZ_CHECK(CookieValue(field, kSessionCookie) == session);
  FUZZ_CHECK(CookieValue(field, kFlashCookie) == token);

  // Flash fields never hold a zero byte; the input splits at them into the fields.
  CFlash flash;
  std::string* const fields[] = {&flash.sessionId, &flash.notice, &flash.key, &flash.deleted,
                                 &flash.playerToken};
  const std::vector<std::string> parts = SplitAtZeroBytes(input);
  for (size_t i = 0; i < parts.size(); ++i) *fields[i % 5] += parts[i];
  const std::string sealed = Flashes().Put(flash);
  const std::optional<CFlash> taken = Flashes().Take(sealed);
  FUZZ_CHECK(sealed.size() <= 4096 || !taken);
  if (sealed.size() <= 4096) {
    FUZZ_CHECK(taken && taken->sessionId == flash.sessionId && taken->notice == flash.notice &&
               taken->key == flash.key && taken->deleted == flash.deleted &&
               taken->playerToken == flash.playerToken);
  }
  std::string changed = sealed;
  const size_t where = size == 0 ? 0 : data[0] % changed.size();
  changed[where] = changed[where] == 'A' ? 'B' : 'A';
  FUZZ_CHECK(!Flashes().Take(changed));
  return 0;
}
