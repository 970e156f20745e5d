// One session's transcript: a Markdown file, and with `vtt` WebVTT captions
// beside it. Every line is written as it comes (a WebVTT cue once no earlier
// one can follow it), so a kill loses nothing already said.
#pragma once

#include "Captions.h"

#include <array>
#include <chrono>
#include <string>
#include <vector>

namespace zorva::host {

// One open file, written through its descriptor. What a failed write (a full
// disk, a quota) could not put down is kept and tried again with the next.
class TranscriptFile {
public:
    TranscriptFile() = default;
    explicit TranscriptFile(int fd) : fd_(fd) {}
    TranscriptFile(TranscriptFile&& other) noexcept;
    TranscriptFile& operator=(TranscriptFile&& other) noexcept;
    ~TranscriptFile();
    bool isOpen() const { return fd_ >= 0; }
    // The reason of a failure that starts with this write; empty otherwise.
    std::string write(const std::string& bytes);
    // Writes what is left, syncs and closes; whether everything is on disk.
    bool close(std::string& reason);

private:
    std::string flush(); // a reason when it fails
    int fd_ = -1;
    std::string pending_;
    bool failing_ = false;
};

class Transcript {
public:
    // Creates `dir` when needed (0700) and a file (0600) named by date, time
    // and app that does not exist yet, never through a link; throws
    // std::runtime_error when it cannot.
    Transcript(const std::string& dir, const std::string& app,
               std::chrono::system_clock::time_point start, const std::string& locale, bool vtt);
    const std::string& path() const { return path_; }
    // Says that the folder, which was there already, is open to other users.
    const std::string& warning() const { return warning_; }
    // The reason when writing starts to fail with this line (said once; the
    // line is kept and tried again with the next); empty otherwise.
    std::string add(Speaker who, int64_t startMs, int64_t endMs, const std::string& text);
    // Ends the transcript with `note` (why and when it ended). False, with
    // the reason, when some of it could not be written.
    bool close(const std::string& note, std::string& reason);

private:
    struct Cue {
        int64_t startMs, endMs;
        Speaker who;
        std::string text;
    };
    std::string writeCues(bool all);

    std::string path_, warning_;
    TranscriptFile md_, vtt_;
    std::vector<Cue> cues_;              // not yet written, by start
    std::array<int64_t, 2> lastStart_{}; // of each speaker's finals
    int64_t cuesWrittenTo_ = 0;          // start of the last cue written
    bool closed_ = false;
};

// "2026-12-09 10:15:03 +0100" in local time.
std::string localTimeText(std::chrono::system_clock::time_point t);

} // namespace zorva::host
