// Text helpers over UTF-8: the quoted form used by reprs and messages, Unicode white space
// trimming and splitting, UTF-8 validation and repair, and quote stripping.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace skarvel {

// The quoted form of a text: between double quotes; a backslash before '"' and '\\'; tab,
// carriage return, line feed and NUL as \t, \r, \n and \0; a combining mark (grapheme extender)
// or any other non-printable character as \u{hex}; everything else, including printable
// non-ASCII letters and the single quote, unchanged. `text` should be valid UTF-8; a byte
// that is not part of a valid sequence is written as U+FFFD.
std::string quoted_form(std::string_view text);

// `text` without the Unicode white space (the White_Space property) at either end.
std::string_view trim_unicode_whitespace(std::string_view text);

// Appends to `out` the pieces of `text` between runs of Unicode white space; no empty pieces.
void split_unicode_whitespace(std::string_view text, std::vector<std::string_view>& out);

// True when `text` is valid UTF-8. Otherwise false, and `valid_up_to` (when not null) is the
// length of the longest valid prefix.
bool is_valid_utf8(std::string_view text, std::size_t* valid_up_to = nullptr);

// `bytes` read as UTF-8, each maximal invalid subsequence replaced by one U+FFFD (the usual
// "substitution of maximal subparts"), so that file names can be compared and shown as text.
std::string utf8_lossy(std::string_view bytes);

// `text` without the double quotes (any number of them) at either end.
std::string_view strip_double_quotes(std::string_view text);

}  // namespace skarvel
