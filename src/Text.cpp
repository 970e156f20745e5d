#include "Text.h"

#include <cstdlib>
#include <memory>
#include <utf8proc.h>

namespace zorva {

namespace {

bool isWhitespace(utf8proc_int32_t c) {
    if ((c >= 0x09 && c <= 0x0D) || c == 0x85)
        return true;
    auto category = utf8proc_category(c);
    return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL ||
           category == UTF8PROC_CATEGORY_ZP;
}

const utf8proc_uint8_t* bytes(std::string_view text) {
    return reinterpret_cast<const utf8proc_uint8_t*>(text.data());
}

// The code point starting at `at` and its length in bytes; length 0 when
// the bytes there are not valid UTF-8.
std::pair<utf8proc_int32_t, std::size_t> decodeAt(std::string_view text, std::size_t at) {
    utf8proc_int32_t c = -1;
    auto n =
        utf8proc_iterate(bytes(text) + at, static_cast<utf8proc_ssize_t>(text.size() - at), &c);
    if (n <= 0 || c < 0)
        return {-1, 0};
    return {c, static_cast<std::size_t>(n)};
}

} // namespace

bool isAscii(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

std::string canonical(std::string_view text) {
    if (isAscii(text))
        return std::string(text);
    utf8proc_uint8_t* out = nullptr;
    auto n = utf8proc_map(bytes(text), static_cast<utf8proc_ssize_t>(text.size()), &out,
                          static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(out, &std::free);
    if (n < 0)
        return std::string(text);
    return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(n));
}

bool canonicalLess(std::string_view a, std::string_view b) {
    if (isAscii(a) && isAscii(b))
        return a < b;
    return canonical(a) < canonical(b);
}

std::string trimmedWhitespace(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        auto [c, n] = decodeAt(text, begin);
        if (n == 0 || !isWhitespace(c))
            break;
        begin += n;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t start = end - 1;
        // Back over continuation bytes to the start of the last code point.
        while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
            --start;
        auto [c, n] = decodeAt(text, start);
        if (n != end - start || !isWhitespace(c))
            break;
        end = start;
    }
    return std::string(text.substr(begin, end - begin));
}

} // namespace zorva
