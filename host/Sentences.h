// Recognised text as a reader expects it: the recogniser gives lower-case
// words without punctuation; a final is shown and written as a sentence.
#pragma once

#include <string>

namespace zorva::host {

// Capitalises the first letter and "I" with its contractions, and ends the
// text with "?" when it opens like a question ("can you", "what", ...), else
// with "." (unless it already ends with either, or "!"). Rule-based: names
// stay lower-case, and a question that opens like a statement gets ".".
std::string asSentence(const std::string& text);

} // namespace zorva::host
