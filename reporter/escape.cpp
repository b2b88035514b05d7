// Escaping of tag values: one left-to-right pass over a 256-entry table.
#include "reporter/escape.h"

#include <array>
#include <cstring>

namespace {

// What one input byte becomes: `length` bytes of `text` (1 for a copied byte, 3 for an escape).
struct CEscapeEntry {
  char text[3];
  unsigned char length;
};

constexpr char kHexDigits[] = "0123456789ABCDEF";

constexpr std::array<CEscapeEntry, 256> MakeEscapeTable() {
  std::array<CEscapeEntry, 256> table{};
  for (int byte = 0; byte < 256; ++byte) {
    const bool letter = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
    const bool digit = byte >= '0' && byte <= '9';
    if (byte >= 0x80 || letter || digit) {
      table[byte] = {{static_cast<char>(byte), 0, 0}, 1};
    } else {
      const int code = byte == '_' ? ' ' : byte;
      table[byte] = {{'%', kHexDigits[code >> 4], kHexDigits[code & 0xF]}, 3};
    }
  }
  return table;
}

constexpr std::array<CEscapeEntry, 256> kEscapeTable = MakeEscapeTable();

}  // namespace

void EscapeForUrl(std::string_view in, std::string& out) {
  // Every entry writes all three of its bytes and then advances by its length, so the loop has no
  // branch per byte; the output is sized for the worst case and trimmed afterwards.
  out.resize(in.size() * 3);
  char* write = out.data();
  for (const char c : in) {
    const CEscapeEntry& entry = kEscapeTable[static_cast<unsigned char>(c)];
    std::memcpy(write, entry.text, 3);
    write += entry.length;
  }
  out.resize(static_cast<std::size_t>(write - out.data()));
}

std::string EscapeForUrl(std::string_view in) {
  std::string out;
  EscapeForUrl(in, out);
  return out;
}
