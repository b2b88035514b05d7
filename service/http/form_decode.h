// Splitting of URL queries and form bodies into fields, and percent-decoding of their values.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// One "name=value" part of a query or form body, still percent-encoded. Views into the split text.
struct CFormField {
  std::string_view name;
  std::string_view rawValue;
};

// Splits `text` at every '&', then each part at its first '='. Empty parts are skipped; a part
// without '=' is a field with an empty value. The views stay valid as long as `text` does.
std::vector<CFormField> SplitForm(std::string_view text);

// Decodes one value: "%XX" (two hexadecimal digits, either case) becomes that byte and '+'
// becomes a blank; every other byte, 0x80-0xFF included, is copied. A '%' that is not followed by
// two hexadecimal digits is kept as it is, except at the very end of the text: a report URL cut at
// its length limit may end inside an escape, and that incomplete escape is dropped.
std::string PercentDecode(std::string_view text);

// The decoded value of the first field called `name`, or nothing when no field has that name.
bool FindFormValue(const std::vector<CFormField>& fields, std::string_view name,
                   std::string* value);
