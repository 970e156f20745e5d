#include "Captions.h"

#include <cstdio>

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
    line(text);
}

void Captions::final(Speaker who, int64_t startMs, const std::string& text) {
    partials_[static_cast<int>(who)].clear();
    line(clockText(startMs) + " " + label(who) + ": " + text);
}

void Captions::partial(Speaker who, int64_t startMs, const std::string& text) {
    if (!live_)
        return;
    std::string shown;
    if (!text.empty()) {
        const std::string head = clockText(startMs) + " " + label(who) + ": ";
        const int columns = width_ ? width_() : 80;
        // Never wrap: the erase below counts one screen line per partial.
        shown = head + lastColumns(text, columns - 1 - static_cast<int>(head.size()));
    }
    erasePartials();
    partials_[static_cast<int>(who)] = shown;
    drawPartials();
    out_.flush();
}

void Captions::clearPartials() {
    erasePartials();
    partials_ = {};
    out_.flush();
}

void Captions::line(const std::string& text) {
    erasePartials();
    out_ << text << '\n';
    drawPartials();
    out_.flush();
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
