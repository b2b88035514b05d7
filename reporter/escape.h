// Escaping of tag values for the query of a report URL.
#pragma once

#include <string>
#include <string_view>

// Writes `in` to `out`, replacing out's content and reusing its capacity, with every byte below
// 0x80 that is neither a letter nor a digit written as "%" and two capital hexadecimal digits of
// its code: the blank and the 32 printable punctuation characters, and also the control bytes
// 0x00-0x1F and 0x7F so that none reaches the request line raw. "_" is written as "%20", like a
// blank. Bytes 0x80-0xFF, letters and digits are copied. One pass; `out` grows at most once, to 3 *
// in.size(). `in` must not alias `out`.
void EscapeForUrl(std::string_view in, std::string& out);
std::string EscapeForUrl(std::string_view in);
