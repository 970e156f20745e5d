// The Unicode rules that text in this system follows: names and prefixes
// compare under canonical equivalence, results are trimmed of white space in
// the Unicode sense. Pure functions, safe on any thread.
#pragma once

#include <string>
#include <string_view>

namespace zorva {

// The canonical composed form (NFC). ASCII text and text that is not valid
// UTF-8 come back unchanged.
std::string canonical(std::string_view text);

bool isAscii(std::string_view text);

// Byte order of the canonical composed forms, which is the order of their
// Unicode scalar values.
bool canonicalLess(std::string_view a, std::string_view b);

// `text` without white space and line breaks at either end (Unicode
// separators, tab, the line breaks U+000A to U+000D, U+0085).
std::string trimmedWhitespace(std::string_view text);

} // namespace zorva
