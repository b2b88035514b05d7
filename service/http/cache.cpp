// Validators of cached images (ETag, Last-Modified), HTTP dates, and the decision to answer 304.
#include "http/cache.h"

#include <sodium.h>

#include <cstdio>
#include <ctime>

namespace {

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool ParseNumber(std::string_view text, size_t at, size_t digits, int* value) {
  if (at + digits > text.size()) return false;
  *value = 0;
  for (size_t i = at; i < at + digits; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    *value = *value * 10 + (text[i] - '0');
  }
  return true;
}

// The entity tags of an If-None-Match value without their weakness prefix; "*" stays "*".
template <typename F>
bool AnyEntityTag(std::string_view list, F matches) {
  size_t i = 0;
  while (i < list.size()) {
    while (i < list.size() && (list[i] == ' ' || list[i] == '\t' || list[i] == ',')) ++i;
    if (i >= list.size()) break;
    if (list[i] == '*') {
      if (matches(std::string_view("*"))) return true;
      ++i;
      continue;
    }
    if (list.compare(i, 2, "W/") == 0) i += 2;
    if (i >= list.size() || list[i] != '"') return false;  // malformed: stop looking
    const size_t end = list.find('"', i + 1);
    if (end == std::string_view::npos) return false;
    if (matches(list.substr(i, end - i + 1))) return true;
    i = end + 1;
  }
  return false;
}

}  // namespace

std::string FormatHttpDate(int64_t unixSeconds) {
  const time_t t = static_cast<time_t>(unixSeconds);
  struct tm tm;
  gmtime_r(&t, &tm);
  char text[32];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday],
                tm.tm_mday, kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                tm.tm_sec);
  return text;
}

std::optional<int64_t> ParseHttpDate(std::string_view text) {
  // "Sun, 06 Nov 1994 08:49:37 GMT": fixed positions.
  if (text.size() != 29 || text.compare(3, 2, ", ") != 0 || text[7] != ' ' || text[11] != ' ' ||
      text[16] != ' ' || text[19] != ':' || text[22] != ':' || text.compare(25, 4, " GMT") != 0) {
    return std::nullopt;
  }
  struct tm tm = {};
  int month = -1;
  for (int m = 0; m < 12; ++m) {
    if (text.compare(8, 3, kMonths[m]) == 0) month = m;
  }
  int year = 0;
  if (month < 0 || !ParseNumber(text, 5, 2, &tm.tm_mday) || !ParseNumber(text, 12, 4, &year) ||
      !ParseNumber(text, 17, 2, &tm.tm_hour) || !ParseNumber(text, 20, 2, &tm.tm_min) ||
      !ParseNumber(text, 23, 2, &tm.tm_sec)) {
    return std::nullopt;
  }
  if (tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 60) {
    return std::nullopt;
  }
  tm.tm_mon = month;
  tm.tm_year = year - 1900;
  return static_cast<int64_t>(timegm(&tm));
}

std::string MakeEntityTag(std::string_view content) {
  unsigned char digest[12];
  crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(content.data()),
                     content.size(), nullptr, 0);
  char hex[sizeof digest * 2 + 1];
  sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
  return std::string("\"") + hex + "\"";
}

bool IsNotModified(const CHttpRequest& request, std::string_view etag, int64_t lastModified) {
  if (request.ifNoneMatch) {
    return AnyEntityTag(*request.ifNoneMatch,
                        [&](std::string_view tag) { return tag == "*" || tag == etag; });
  }
  if (request.ifModifiedSince) {
    const std::optional<int64_t> since = ParseHttpDate(*request.ifModifiedSince);
    return since && lastModified <= *since;
  }
  return false;
}
