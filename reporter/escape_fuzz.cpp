// Fuzz target for EscapeForUrl: the escaped text decodes back to the input and is safe in a URL.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "reporter/escape.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower-case digits are never written
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  const std::string out = EscapeForUrl(in);
  FUZZ_CHECK(out.size() <= 3 * in.size());

  // Decode: every "%" starts an escape of two capital hexadecimal digits; every other byte is
  // itself and never one of the characters that must be escaped.
  std::string decoded;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(out[i]);
    FUZZ_CHECK(c >= 0x21 && c != 0x7F);
    if (c != '%') {
      const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
      const bool digit = c >= '0' && c <= '9';
      FUZZ_CHECK(letter || digit || c >= 0x80);
      decoded += static_cast<char>(c);
      continue;
    }
    FUZZ_CHECK(i + 2 < out.size());
    const int high = HexValue(out[i + 1]);
    const int low = HexValue(out[i + 2]);
    FUZZ_CHECK(high >= 0 && low >= 0);
    decoded += static_cast<char>(high * 16 + low);
    i += 2;
  }

  // "_" is written as the escape of a blank; every other byte comes back as it was.
  std::string expected(in);
  for (char& c : expected) {
    if (c == '_') c = ' ';
  }
  FUZZ_CHECK(decoded == expected);

  // The reusing form gives the same text whatever the output held before.
  std::string reused(in.size() % 7, 'x');
  EscapeForUrl(in, reused);
  FUZZ_CHECK(reused == out);
  return 0;
}
