// One session's transcript: a Markdown file, and with `vtt` WebVTT captions
// beside it. Every line is flushed as it is written, so a kill loses nothing
// already said.
#pragma once

#include "Captions.h"

#include <chrono>
#include <fstream>
#include <string>

namespace zorva::host {

class Transcript {
public:
    // Creates `dir` when needed (0700) and a file (0600) named by date, time
    // and app that does not exist yet; throws std::runtime_error when it
    // cannot.
    Transcript(const std::string& dir, const std::string& app,
               std::chrono::system_clock::time_point start, const std::string& locale, bool vtt);
    const std::string& path() const { return path_; }
    // Says that the folder, which was there already, is open to other users.
    const std::string& warning() const { return warning_; }
    void add(Speaker who, int64_t startMs, int64_t endMs, const std::string& text);
    // Ends the transcript with `note` (why and when it ended).
    void close(const std::string& note);

private:
    std::string path_, warning_;
    std::ofstream md_, vtt_;
    bool closed_ = false;
};

// "2026-12-09 10:15:03 +0100" in local time.
std::string localTimeText(std::chrono::system_clock::time_point t);

} // namespace zorva::host
