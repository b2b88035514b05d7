// Splitting of URL queries and form bodies into fields, and percent-decoding of their values.
#include "http/form_decode.h"

namespace {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::vector<CFormField> SplitForm(std::string_view text) {
  std::vector<CFormField> fields;
  while (!text.empty()) {
    const size_t amp = text.find('&');
    const std::string_view part = text.substr(0, amp);
    text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
    if (part.empty()) continue;
    const size_t eq = part.find('=');
    if (eq == std::string_view::npos) {
      fields.push_back({part, {}});
    } else {
      fields.push_back({part.substr(0, eq), part.substr(eq + 1)});
    }
  }
  return fields;
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out.push_back(' ');
      continue;
    }
    if (c != '%') {
      out.push_back(c);
      continue;
    }
    const size_t left = text.size() - i - 1;
    if (left < 2) {
      // An escape cut off by the end of the text (a truncated report) has nothing to show.
      if (left == 0 || HexDigitValue(text[i + 1]) >= 0) break;
      out.push_back(c);
      continue;
    }
    const int high = HexDigitValue(text[i + 1]);
    const int low = HexDigitValue(text[i + 2]);
    if (high < 0 || low < 0) {
      out.push_back(c);
      continue;
    }
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return out;
}

bool FindFormValue(const std::vector<CFormField>& fields, std::string_view name,
                   std::string* value) {
  for (const CFormField& field : fields) {
    if (field.name == name) {
      *value = PercentDecode(field.rawValue);
      return true;
    }
  }
  return false;
}
