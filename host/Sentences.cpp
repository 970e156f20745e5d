#include "Sentences.h"

#include <array>
#include <sstream>
#include <string_view>
#include <vector>

namespace zorva::host {

namespace {

constexpr std::array<std::string_view, 10> kQuestionWords{
    "what", "when", "where", "who", "whom", "whose", "which", "why", "how", "whats"};

// Verbs that open a question when a subject follows: "can you", "is it".
constexpr std::array<std::string_view, 34> kAuxiliaries{
    "am",     "is",     "are",      "was",       "were",    "do",      "does",
    "did",    "have",   "has",      "had",       "can",     "could",   "shall",
    "should", "will",   "would",    "may",       "might",   "must",    "isn't",
    "aren't", "wasn't", "weren't",  "don't",     "doesn't", "didn't",  "haven't",
    "hasn't", "can't",  "couldn't", "shouldn't", "won't",   "wouldn't"};

constexpr std::array<std::string_view, 24> kSubjects{
    "i",    "you",  "we",    "they",  "he",  "she",    "it",      "there",
    "this", "that", "these", "those", "the", "a",      "an",      "my",
    "your", "our",  "their", "his",   "her", "anyone", "anybody", "someone"};

template <std::size_t N>
bool among(const std::array<std::string_view, N>& words, std::string_view w) {
    for (std::string_view candidate : words)
        if (candidate == w)
            return true;
    return false;
}

bool isQuestion(const std::vector<std::string>& words) {
    if (words.empty())
        return false;
    if (among(kQuestionWords, words[0]) || words[0].rfind("what'", 0) == 0 ||
        words[0].rfind("how'", 0) == 0 || words[0].rfind("where'", 0) == 0 ||
        words[0].rfind("who'", 0) == 0)
        return true;
    if (words.size() < 2 || !among(kAuxiliaries, words[0]) || !among(kSubjects, words[1]))
        return false;
    // "do it", "do this": more often told than asked.
    return words[0] != "do" || words[1] == "you" || words[1] == "i" || words[1] == "we" ||
           words[1] == "they";
}

} // namespace

std::string asSentence(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;)
        words.push_back(w);
    if (words.empty())
        return text;
    const bool question = isQuestion(words);
    std::string out;
    for (std::string& w : words) {
        // "i", "i'm", "i've", "i'll", "i'd"
        if (w == "i" || w.rfind("i'", 0) == 0)
            w[0] = 'I';
        out += (out.empty() ? "" : " ") + w;
    }
    if (out[0] >= 'a' && out[0] <= 'z')
        out[0] = static_cast<char>(out[0] - 'a' + 'A');
    const char last = out.back();
    if (last != '.' && last != '?' && last != '!')
        out += question ? '?' : '.';
    return out;
}

} // namespace zorva::host
