// Escaping of tag values: one left-to-right pass over a 256-entry table.
#include "reporter/escape.h"

#include <array>
#include <cstdint>

namespace {

// For each byte, the code its escape carries, or -1 when the byte is copied unchanged.
constexpr std::array<int, 256> MakeEscapeCodes() {
  std::array<int, 256> codes{};
  for (int byte = 0; byte < 256; ++byte) {
    const bool letter = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
    const bool digit = byte >= '0' && byte <= '9';
    codes[byte] = (byte >= 0x80 || letter || digit) ? -1 : byte;
  }
  codes['_'] = ' ';
  return codes;
}

constexpr std::array<int, 256> kEscapeCodes = MakeEscapeCodes();
constexpr char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

void EscapeForUrl(std::string_view in, std::string& out) {
  out.resize(in.size() * 3);
  char* write = out.data();
  for (const char c : in) {
    const int code = kEscapeCodes[static_cast<unsigned char>(c)];
    if (code < 0) {
      *write++ = c;
    } else {
      write[0] = '%';
      write[1] = kHexDigits[code >> 4];
      write[2] = kHexDigits[code & 0xF];
      write += 3;
    }
  }
  out.resize(static_cast<std::size_t>(write - out.data()));
}

std::string EscapeForUrl(std::string_view in) {
  std::string out;
  EscapeForUrl(in, out);
  return out;
}
