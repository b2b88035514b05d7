// Fuzz target for form decoding: URL queries and application/x-www-form-urlencoded bodies.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "service/http/form_decode.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// `value` as a browser's form encoder writes it: unreserved bytes as they are, a blank as '+',
// every other byte as %XX.
std::string FormEncode(std::string_view value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : value) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '*') {
      out += c;
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

}  // namespace

// Input: any bytes as a form, and, split at zero bytes, the values of a form a browser sends.
// - Fields are the non-empty parts between '&', named up to their first '='; decoding never grows.
// - Whatever bytes a browser encodes come back exactly, under their own names.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t parts = 0;
  for (size_t start = 0; start <= size;) {
    const size_t end = std::min(input.find('&', start), size);
    parts += end > start;
    start = end + 1;
  }
  const std::vector<CFormField> fields = SplitForm(input);
  FUZZ_CHECK(fields.size() == parts);
  for (const CFormField& field : fields) {
    FUZZ_CHECK(field.name.find_first_of("&=") == std::string_view::npos);
    FUZZ_CHECK(field.rawValue.find('&') == std::string_view::npos);
    FUZZ_CHECK(PercentDecode(field.rawValue).size() <= field.rawValue.size());
  }

  const std::vector<std::string> values = SplitAtZeroBytes(input);
  std::string form = "first=";
  for (size_t i = 0; i < values.size(); ++i) {
    form += "&f" + std::to_string(i) + "=" + FormEncode(values[i]);
  }
  const std::vector<CFormField> sent = SplitForm(form);
  FUZZ_CHECK(sent.size() == values.size() + 1);
  for (size_t i = 0; i < values.size(); ++i) {
    std::string value = "unset";
    FUZZ_CHECK(FindFormValue(sent, "f" + std::to_string(i), &value) && value == values[i]);
  }
  std::string absent;
  FUZZ_CHECK(!FindFormValue(sent, "f", &absent) && absent.empty());
  return 0;
}
