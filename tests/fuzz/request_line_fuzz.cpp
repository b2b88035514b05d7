// Fuzz target for the road of one report: tag values from the host go through the report cycle
// and the request sender; the request on the wire is well formed and carries the values back.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "delivery/service_url.h"
#include "platform/fake/fake_host.h"
#include "platform/fake/fake_threads.h"
#include "reporter/escape.h"
#include "reporter/report_cycle.h"
#include "reporter/reporter_state.h"
#include "reporter/track_info.h"
#include "settings/settings.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// Keeps what one exchange put on the wire; never fails.
class CWireCapture final : public CInternet {
 public:
  std::string verb;
  std::string object;
  std::string body;
  std::uint32_t body_length = 0;
  int open = 0;

  NetHandle OpenSession() override { return Handle(); }
  NetHandle ConnectHttp(NetHandle, const char*, std::uint16_t) override { return Handle(); }
  NetHandle OpenRequest(NetHandle, const char* v, const char* o, std::uint32_t) override {
    verb = v;
    object = o;
    return Handle();
  }
  void SetTimeouts(NetHandle, std::uint32_t) override {}
  void SendRequest(NetHandle, const char*) override {}
  bool AddRequestHeaders(NetHandle, const char*, std::uint32_t) override { return true; }
  void SendRequestEx(NetHandle, std::uint32_t total_length) override { body_length = total_length; }
  void WriteRequestBody(NetHandle, const char* data, std::size_t size) override {
    body.append(data, size);
  }
  void EndRequest(NetHandle) override {}
  void ReleaseHandle(NetHandle) override { --open; }

 private:
  NetHandle Handle() {
    ++open;
    return &open;
  }
};

// True when every byte may stand in a request target: 0x21-0x7E or 0x80-0xFF.
bool TargetBytes(const std::string& text) {
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x21 || byte == 0x7F) return false;
  }
  return true;
}

// ^GET /[\x21-\x7E\x80-\xFF]* HTTP/1\.1$
bool WellFormedGetLine(const std::string& line) {
  const std::string head = "GET /";
  const std::string tail = " HTTP/1.1";
  if (line.size() < head.size() + tail.size()) return false;
  if (line.compare(0, head.size(), head) != 0) return false;
  if (line.compare(line.size() - tail.size(), tail.size(), tail) != 0) return false;
  return TargetBytes(line.substr(head.size(), line.size() - head.size() - tail.size()));
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Decode(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The value of `name` in "a=1&b=2", or nothing.
bool Field(const std::string& query, const std::string& name, std::string* value) {
  std::size_t at = 0;
  while (at <= query.size()) {
    const std::size_t end = query.find('&', at);
    const std::string part = query.substr(at, end == std::string::npos ? end : end - at);
    if (part.compare(0, name.size() + 1, name + "=") == 0) {
      *value = part.substr(name.size() + 1);
      return true;
    }
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return false;
}

// What the service reads back from an escaped value: the host's text, "_" as a blank.
std::string Expected(std::string value) {
  for (char& c : value) {
    if (c == '_') c = ' ';
  }
  return value;
}

}  // namespace

// Input: a flag byte (bit 0: POST), then the file path and up to five tag values (artist, title,
// album, year, genre), separated by zero bytes. A value that is not there is a missing tag.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool post = (data[0] & 1) != 0;
  std::vector<std::string> fields(1);
  for (std::size_t i = 1; i < size; ++i) {
    if (data[i] == 0) {
      fields.emplace_back();
    } else {
      fields.back() += static_cast<char>(data[i]);
    }
  }
  const std::string path = fields[0];
  static const char* const kTags[] = {kTagArtist, kTagTitle, kTagAlbum, kTagYear, kTagGenre};
  std::map<std::string, std::string> tags;
  std::string host_value[5];
  for (std::size_t t = 0; t < 5 && t + 1 < fields.size(); ++t) {
    tags[kTags[t]] = fields[t + 1];
    host_value[t] = fields[t + 1].substr(0, kTagAnswerSize - 1);  // the host's answer limit
  }

  CFakeHost host;
  host.Play(7, path, tags);
  CFakeThreads threads(CFakeThreads::Mode::kRecord);
  CWireCapture wire;
  CPlatform platform;
  platform.host = &host;
  platform.threads = &threads;
  platform.internet = &wire;
  UsePlatform(platform);
  Settings.User = "alice";
  Settings.Key = "123";
  Settings.Enabled = 1;
  Settings.Method = post ? 0 : 1;
  ReporterState.LastReported = kStoppedKey;
  ReporterState.RequestInFlight = 0;
  ReporterState.StoppedSent = 0;
  char url[kReportUrlSize] = {};
  ReporterState.ReportUrl = url;

  OnReportTimer();
  FUZZ_CHECK(threads.RunPendingWorkers() == 1);
  FUZZ_CHECK(ReporterState.RequestInFlight.load() == 0);
  FUZZ_CHECK(wire.open == 0);
  ReporterState.ReportUrl = nullptr;
  UsePlatform(CPlatform{});

  const std::string base_path = "/signature/generate/";
  std::string query;
  if (post) {
    FUZZ_CHECK(wire.verb == "POST");
    FUZZ_CHECK(wire.object == base_path);
    FUZZ_CHECK(wire.body_length == wire.body.size());
    FUZZ_CHECK(TargetBytes(wire.body));
    query = wire.body;
  } else {
    FUZZ_CHECK(wire.verb == "GET");
    FUZZ_CHECK(WellFormedGetLine("GET " + wire.object + " HTTP/1.1"));
    FUZZ_CHECK(wire.object.compare(0, base_path.size() + 1, base_path + "?") == 0);
    query = wire.object.substr(base_path.size() + 1);
  }
  FUZZ_CHECK(query.compare(0, 24, "user=alice&key=123&artis") == 0);

  // A cut URL never ends inside an escape.
  for (std::size_t i = 0; i < query.size(); ++i) {
    if (query[i] != '%') continue;
    FUZZ_CHECK(i + 2 < query.size() && HexValue(query[i + 1]) >= 0 && HexValue(query[i + 2]) >= 0);
  }
  std::string artist = host_value[0];
  std::string title = host_value[1];
  if (artist.empty() || title.empty()) {
    artist = GuessTagFromFileName(path.c_str(), kTagArtist);
    title = GuessTagFromFileName(path.c_str(), kTagTitle);
  }
  const std::string expected[5] = {artist, title, host_value[2], host_value[3], host_value[4]};
  static const char* const kKeys[] = {"artist", "title", "album", "year", "genre"};
  std::string full_query = "user=alice&key=123";
  for (int t = 0; t < 5; ++t) {
    full_query += std::string("&") + kKeys[t] + "=" + EscapeForUrl(expected[t]);
  }

  // A URL over 1,023 characters is cut there, and a partial escape at its end dropped.
  const std::size_t prefix_length = std::string(kServiceBaseUrl).size() + 2;  // "/?"
  if (prefix_length + full_query.size() > 1023) {
    const std::size_t url_length = prefix_length + query.size();
    FUZZ_CHECK(url_length >= 1021 && url_length <= 1023);
    FUZZ_CHECK(full_query.compare(0, query.size(), query) == 0);
    return 0;
  }
  FUZZ_CHECK(query == full_query);
  for (int t = 0; t < 5; ++t) {
    std::string value;
    FUZZ_CHECK(Field(query, kKeys[t], &value));
    FUZZ_CHECK(Decode(value) == Expected(expected[t]));
  }
  return 0;
}
