#include "Captions.h"

#include <cstdio>
#include <utf8proc.h>
#include <utility>

namespace zorva::host {

const char* label(Speaker s) {
    return s == Speaker::you ? "You" : "Them";
}

std::string clockText(int64_t ms) {
    if (ms < 0)
        ms = 0;
    const int64_t s = ms / 1000;
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "[%lld:%02lld:%02lld]", static_cast<long long>(s / 3600),
                      static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
    else
        std::snprintf(text, sizeof text, "[%02lld:%02lld]", static_cast<long long>(s / 60),
                      static_cast<long long>(s % 60));
    return text;
}

std::string safeText(std::string_view text, std::string_view control) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        utf8proc_int32_t cp = -1;
        const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + i),
                                        static_cast<utf8proc_ssize_t>(text.size() - i), &cp);
        if (n <= 0 || cp < 0) {
            out += "\uFFFD";
            ++i;
            continue;
        }
        const bool bidi = (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
        if (cp == '\r' || cp == '\n' || cp == '\t')
            out += ' ';
        else if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || bidi) // C0, DEL, C1
            out += control;
        else
            out.append(text.substr(i, static_cast<std::size_t>(n)));
        i += static_cast<std::size_t>(n);
    }
    return out;
}

namespace {

// Cuts text to `columns` characters (UTF-8 aware; wide characters count as
// one, which a partial line can afford) keeping its end, the newest words.
std::string lastColumns(const std::string& text, int columns) {
    std::size_t chars = 0;
    for (unsigned char c : text)
        chars += (c & 0xC0) != 0x80;
    if (columns <= 1 || chars <= static_cast<std::size_t>(columns))
        return text;
    // Keep columns - 1 characters after the ellipsis.
    const std::size_t drop = chars - static_cast<std::size_t>(columns) + 1;
    std::size_t seen = 0, i = 0;
    for (; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && seen++ == drop)
            break;
    return "…" + text.substr(i);
}

} // namespace

Captions::Captions(std::ostream& out, bool live, std::function<int()> width)
    : out_(out), live_(live), width_(std::move(width)) {}

void Captions::note(const std::string& text) {
    // A note of several lines (a helper's last words) stays several lines.
    std::size_t from = 0;
    for (std::size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1)
        line(safeText(std::string_view(text).substr(from, end - from)));
    line(safeText(std::string_view(text).substr(from)));
}

void Captions::final(Speaker who, int64_t startMs, const std::string& text) {
    partials_[static_cast<int>(who)].clear();
    line(clockText(startMs) + " " + label(who) + ": " + safeText(text));
}

void Captions::partial(Speaker who, int64_t startMs, const std::string& text) {
    if (!live_)
        return;
    std::string shown;
    if (!text.empty()) {
        const std::string head = clockText(startMs) + " " + label(who) + ": ";
        const int columns = width_ ? width_() : 80;
        // Never wrap: the erase below counts one screen line per partial.
        shown = head + lastColumns(safeText(text), columns - 1 - static_cast<int>(head.size()));
    }
    erasePartials();
    partials_[static_cast<int>(who)] = shown;
    drawPartials();
    flush();
}

void Captions::clearPartials() {
    erasePartials();
    partials_ = {};
    flush();
}

void Captions::line(const std::string& text) {
    erasePartials();
    out_ << text << '\n';
    drawPartials();
    flush();
}

void Captions::flush() {
    out_.flush();
    if (!out_ && broken_)
        std::exchange(broken_, nullptr)();
}

void Captions::erasePartials() {
    if (!live_ || drawn_ == 0)
        return;
    // Up to the first partial line, then clear to the end of the screen.
    out_ << "\x1b[" << drawn_ << "F\x1b[J";
    drawn_ = 0;
}

void Captions::drawPartials() {
    if (!live_)
        return;
    for (const std::string& p : partials_)
        if (!p.empty()) {
            out_ << "\x1b[2m" << p << "\x1b[0m\n";
            ++drawn_;
        }
}

} // namespace zorva::host
