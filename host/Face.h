// What the host shows: notes, captions and the state of the call. The
// terminal and the window are two faces on the same host; each method is
// called on the host's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace zorva::host {

enum class Speaker { you, them };

class Face {
public:
    virtual ~Face() = default;
    // Called once when the face can no longer show anything.
    virtual void onBroken(std::function<void()> broken) = 0;
    virtual void note(const std::string& text) = 0;
    virtual void partial(Speaker who, int64_t startMs, const std::string& text) = 0;
    virtual void final(Speaker who, int64_t startMs, const std::string& text) = 0;
    // Forgets the partials of a session that ended.
    virtual void clearPartials() = 0;
    // A session began capturing `app` (empty: no session any more).
    virtual void session(std::optional<std::string> app) { (void)app; }
    // Where the running session's transcript is written.
    virtual void transcript(const std::string& path) { (void)path; }
};

} // namespace zorva::host
