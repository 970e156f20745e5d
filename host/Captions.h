// Live captions and notes on standard output. On a terminal (and without
// NO_COLOR) the current partial of each stream stays below the finished lines
// and is replaced in place; otherwise only whole plain lines are written.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

namespace zorva::host {

enum class Speaker { you, them };
const char* label(Speaker s);

// "[01:02]", or "[1:01:02]" past an hour.
std::string clockText(int64_t ms);

class Captions {
public:
    // `width` gives the terminal's columns when `live`.
    Captions(std::ostream& out, bool live, std::function<int()> width = {});
    void note(const std::string& text);
    void partial(Speaker who, int64_t startMs, const std::string& text);
    void final(Speaker who, int64_t startMs, const std::string& text);
    // Forgets the partials of a session that ended.
    void clearPartials();

private:
    void erasePartials();
    void drawPartials();
    void line(const std::string& text);

    std::ostream& out_;
    bool live_;
    std::function<int()> width_;
    std::array<std::string, 2> partials_; // drawn form, empty when none
    int drawn_ = 0;                       // partial lines on screen
};

} // namespace zorva::host
