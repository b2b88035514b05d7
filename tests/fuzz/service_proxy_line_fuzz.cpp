// Fuzz target for the PROXY protocol line a TCP proxy puts before the client's bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "service/http/client_address.h"
#include "tests/fuzz/fuzz_check.h"

using EStatus = CProxyLine::EStatus;

// Input: the first bytes of a connection. The server parses them again as more arrive, so every
// prefix that ends before the line does must ask for more (or say there is no line) rather than
// decide otherwise; a complete line is at most 107 bytes and ends at its first CR LF.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const CProxyLine line = ParseProxyLine(input);
  if (line.status == EStatus::kComplete) {
    FUZZ_CHECK(line.length >= 8 && line.length <= 107 && line.length <= size);
    FUZZ_CHECK(input.find("\r\n") == line.length - 2);
    if (line.client) {
      // The source is what the line says, in the form it says it: "TCP4 " and a dotted quad
      // exactly, or an IPv6 address that reads back as itself.
      const std::string_view words = input.substr(6, line.length - 8);
      const std::string_view source = words.substr(5, words.find(' ', 5) - 5);
      if (words.substr(0, 4) == "TCP4") {
        FUZZ_CHECK(line.client->is_v4() && line.client->to_string() == source);
      } else {
        FUZZ_CHECK(boost::asio::ip::make_address(line.client->to_string()) == *line.client);
        FUZZ_CHECK(source.find('\0') == std::string_view::npos);
      }
    }
  } else {
    FUZZ_CHECK(line.length == 0 && !line.client);
  }
  // Bytes up to the first CR LF (within the line's bound) decide nothing but absence.
  const size_t end = input.substr(0, 107).find("\r\n");
  const size_t decided = end == std::string_view::npos ? std::min<size_t>(size, 107) : end + 2;
  for (size_t n = 0; n < decided; ++n) {
    const EStatus early = ParseProxyLine(input.substr(0, n)).status;
    FUZZ_CHECK(early == EStatus::kNeedMore || (early == EStatus::kAbsent && line.status == early));
  }
  return 0;
}
