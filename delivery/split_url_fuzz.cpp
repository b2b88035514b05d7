// Fuzz target for SplitReportUrl and QueryOfPath: the parts are the URL's pieces between its
// slashes, cut nowhere, and a URL whose parts do not fit is refused without a write past a buffer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "delivery/send_report.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// Position of the `n`-th (1-based) "/" in `url`, or npos.
std::size_t NthSlash(const std::string& url, int n) {
  std::size_t at = std::string::npos;
  for (int i = 0; i < n; ++i) {
    at = url.find('/', at == std::string::npos ? 0 : at + 1);
    if (at == std::string::npos) return at;
  }
  return at;
}

}  // namespace

// The first byte chooses the method (odd: POST); the rest, up to a zero byte, is the URL.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool post = (data[0] & 1) != 0;
  std::string url(reinterpret_cast<const char*>(data + 1), size - 1);
  url.resize(std::strlen(url.c_str()));

  // On the heap, so that ASan sees a write past any of the three buffers.
  auto parts = std::make_unique<ReportUrlParts>();
  const bool split = SplitReportUrl(url.c_str(), post, parts.get());

  const std::size_t second = NthSlash(url, 2);
  const std::size_t third = NthSlash(url, 3);
  std::string host;
  if (second != std::string::npos) {
    host =
        url.substr(second + 1, third == std::string::npos ? std::string::npos : third - second - 1);
  }
  const std::string path = third == std::string::npos ? std::string() : url.substr(third);
  std::string bare;
  if (post && third != std::string::npos) {
    const std::size_t question = url.find('?');
    if (question == std::string::npos) {
      bare = path;
    } else if (question > third) {
      bare = url.substr(third, question - third);
    }
  }

  const bool fits = host.size() < kHostBufferSize && path.size() < kPathBufferSize;
  FUZZ_CHECK(split == fits);
  if (!split) return 0;
  FUZZ_CHECK(host == parts->Host);
  FUZZ_CHECK(path == parts->Path);
  FUZZ_CHECK(bare == parts->PathWithoutQuery);

  // The body is what follows the path's last "?", or the whole path when it holds none.
  const std::string query = QueryOfPath(parts->Path);
  const std::size_t last_question = path.rfind('?');
  FUZZ_CHECK(query == (last_question == std::string::npos ? path : path.substr(last_question + 1)));
  return 0;
}
