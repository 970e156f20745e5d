// Live captions and notes on standard output. On a terminal (and without
// NO_COLOR) the current partial of each stream stays below the finished lines
// and is replaced in place; otherwise only whole plain lines are written.
#pragma once

#include "Face.h"

#include <array>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

namespace zorva::host {

const char* label(Speaker s);

// "[01:02]", or "[1:01:02]" past an hour.
std::string clockText(int64_t ms);

// Text from outside (the helper, an app's name, the config file) made safe
// to show or write: bytes that are not UTF-8 become U+FFFD, CR, LF and tab
// a space, and every other control (C0, DEL, C1) and the bidi overrides
// `control`. Nothing of it can move a terminal's cursor or hide text.
std::string safeText(std::string_view text, std::string_view control = "\uFFFD");

class Captions final : public Face {
public:
    // `width` gives the terminal's columns when `live`. All text shown goes
    // through safeText; only the captions' own cursor codes are written raw.
    Captions(std::ostream& out, bool live, std::function<int()> width = {});
    // Called once when the output fails (closed pipe, gone terminal).
    void onBroken(std::function<void()> broken) override { broken_ = std::move(broken); }
    void note(const std::string& text) override;
    void partial(Speaker who, int64_t startMs, const std::string& text) override;
    void final(Speaker who, int64_t startMs, const std::string& text) override;
    void clearPartials() override;

private:
    void erasePartials();
    void drawPartials();
    void line(const std::string& text);
    void flush();

    std::ostream& out_;
    bool live_;
    std::function<int()> width_;
    std::function<void()> broken_;
    std::array<std::string, 2> partials_; // drawn form, empty when none
    int drawn_ = 0;                       // partial lines on screen
};

} // namespace zorva::host
