#include "Transcript.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace zorva::host {

namespace fs = std::filesystem;

namespace {

std::string formatLocal(std::chrono::system_clock::time_point t, const char* format) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[64];
    std::strftime(text, sizeof text, format, &local);
    return text;
}

// An app name as a safe piece of a file name.
std::string fileNamePart(const std::string& app) {
    std::string out;
    for (unsigned char c : app)
        out += std::isalnum(c) || c == '-' || c == '_' || c == '.' || c >= 0x80 ? char(c) : '-';
    while (!out.empty() && out.front() == '.')
        out.erase(0, 1);
    return out.empty() ? "call" : out;
}

std::string vttTime(int64_t ms) {
    if (ms < 0)
        ms = 0;
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%03lld",
                  static_cast<long long>(ms / 3'600'000), static_cast<long long>(ms / 60'000 % 60),
                  static_cast<long long>(ms / 1000 % 60), static_cast<long long>(ms % 1000));
    return text;
}

// Markdown would read "*", "_", "&", "~" and friends in speech text as
// formatting; a line break would end the line.
std::string markdownText(const std::string& text) {
    std::string out;
    for (char c : safeText(text, "")) {
        if (std::string_view("\\`*_[]<>#|&~").find(c) != std::string_view::npos)
            out += '\\';
        out += c;
    }
    return out;
}

// A cue's text ends at a blank line, "<" and "&" start markup, and "-->"
// would read as timing.
std::string cueText(const std::string& text) {
    std::string cue;
    for (char c : safeText(text, ""))
        cue += c == '&' ? "&amp;" : c == '<' ? "&lt;" : std::string(1, c);
    for (std::size_t at; (at = cue.find("-->")) != std::string::npos;)
        cue.replace(at, 3, "->");
    return cue;
}

// Creates `path` only if it does not exist yet, so two sessions in the same
// second never share a file, and never through a link someone put there.
// Meetings are private: 0600 whatever the umask.
int createNew(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0)
        (void)::fchmod(fd, 0600);
    return fd;
}

// Creates the folder and its missing parents 0700. A folder that was there is
// left as it is, but the user hears when others can look into it.
std::string privateFolder(const std::string& dir, std::error_code& ec) {
    std::vector<fs::path> missing;
    for (fs::path p = fs::path(dir); !p.empty() && !fs::exists(p, ec); p = p.parent_path()) {
        missing.push_back(p);
        if (p == p.parent_path())
            break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0700) == 0)
            (void)::chmod(it->c_str(), 0700);
        else if (errno != EEXIST)
            ec = std::error_code(errno, std::generic_category());
    }
    if (!missing.empty())
        return "";
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || (st.st_mode & 077) == 0)
        return "";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
    // Others who may write there could also swap a transcript for a link.
    const char* open = (st.st_mode & 022) != 0 ? "can be written to" : "can be read";
    return "the transcripts folder " + dir + " " + open + " by other users (mode " + mode +
           "); to keep transcripts private: chmod 700 '" + dir + "'";
}

} // namespace

std::string localTimeText(std::chrono::system_clock::time_point t) {
    return formatLocal(t, "%Y-%m-%d %H:%M:%S %z");
}

TranscriptFile::TranscriptFile(TranscriptFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), pending_(std::move(other.pending_)),
      failing_(other.failing_) {}

TranscriptFile& TranscriptFile::operator=(TranscriptFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        pending_ = std::move(other.pending_);
        failing_ = other.failing_;
    }
    return *this;
}

TranscriptFile::~TranscriptFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::string TranscriptFile::flush() {
    while (!pending_.empty()) {
        const ssize_t n = ::write(fd_, pending_.data(), pending_.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::strerror(n < 0 ? errno : ENOSPC);
        pending_.erase(0, std::size_t(n));
    }
    return "";
}

std::string TranscriptFile::write(const std::string& bytes) {
    if (fd_ < 0)
        return "";
    pending_ += bytes;
    std::string reason = flush();
    if (reason.empty()) {
        failing_ = false;
        return "";
    }
    return std::exchange(failing_, true) ? "" : reason;
}

bool TranscriptFile::close(std::string& reason) {
    if (fd_ < 0)
        return true;
    std::string failed = flush();
    if (failed.empty() && ::fsync(fd_) != 0)
        failed = std::strerror(errno);
    if (::close(std::exchange(fd_, -1)) != 0 && failed.empty())
        failed = std::strerror(errno);
    if (!failed.empty() && reason.empty())
        reason = failed;
    return failed.empty();
}

Transcript::Transcript(const std::string& dir, const std::string& app,
                       std::chrono::system_clock::time_point start, const std::string& locale,
                       bool vtt) {
    std::error_code ec;
    warning_ = privateFolder(dir, ec);
    const std::string stem =
        (fs::path(dir) / (formatLocal(start, "%Y-%m-%d_%H-%M-%S_") + fileNamePart(app))).string();
    for (int n = 1; n < 100 && path_.empty(); ++n) {
        std::string candidate = stem;
        if (n > 1) // appended, not "-" + n: GCC 12 warns falsely on that in a release build
            candidate += '-' + std::to_string(n);
        TranscriptFile md(createNew(candidate + ".md"));
        if (!md.isOpen()) {
            if (errno != EEXIST)
                ec = std::error_code(errno, std::generic_category());
            continue;
        }
        if (vtt) {
            TranscriptFile captions(createNew(candidate + ".vtt"));
            if (!captions.isOpen()) {
                // No half pair left behind.
                ::unlink((candidate + ".md").c_str());
                continue;
            }
            vtt_ = std::move(captions);
        }
        md_ = std::move(md);
        path_ = candidate + ".md";
    }
    if (path_.empty())
        throw std::runtime_error("cannot create a transcript in " + dir +
                                 (ec ? ": " + ec.message() : ""));
    std::string failed = md_.write(
        "# " + markdownText(app) + " call\n\n- App: " + markdownText(app) +
        "\n- Started: " + localTimeText(start) + "\n- Locale: " + markdownText(locale) + "\n\n");
    if (failed.empty())
        failed = vtt_.write("WEBVTT\n");
    if (!failed.empty()) {
        ::unlink(path_.c_str());
        if (vtt)
            ::unlink((path_.substr(0, path_.size() - 3) + ".vtt").c_str());
        throw std::runtime_error("cannot write " + path_ + ": " + failed);
    }
}

std::string Transcript::add(Speaker who, int64_t startMs, int64_t endMs, const std::string& text) {
    if (closed_)
        return "";
    std::string failed = md_.write("- " + clockText(startMs) + " **" + label(who) + ":** " +
                                   markdownText(text) + "\n");
    if (vtt_.isOpen()) {
        Cue cue{startMs, std::max(endMs, startMs), who, cueText(text)};
        cues_.insert(
            std::upper_bound(cues_.begin(), cues_.end(), cue,
                             [](const Cue& a, const Cue& b) { return a.startMs < b.startMs; }),
            std::move(cue));
        auto& last = lastStart_[static_cast<int>(who)];
        last = std::max(last, startMs);
        const std::string vttFailed = writeCues(false);
        if (failed.empty())
            failed = vttFailed;
    }
    return failed;
}

// Cues go out in start order, as WebVTT requires, though the two speakers'
// finals come in the order they settle: a cue waits until the other speaker
// has settled past its start, or 30 s, whichever comes first.
std::string Transcript::writeCues(bool all) {
    constexpr int64_t kLongestWait = 30'000;
    const int64_t settled = std::min(lastStart_[0], lastStart_[1]);
    const int64_t newest = std::max(lastStart_[0], lastStart_[1]);
    std::string out;
    auto it = cues_.begin();
    for (; it != cues_.end(); ++it) {
        if (!all && it->startMs > settled && it->startMs > newest - kLongestWait)
            break;
        // A final later than that still never goes back in time.
        const int64_t start = std::max(it->startMs, cuesWrittenTo_);
        cuesWrittenTo_ = start;
        // Appended piece by piece: "\n" + a string trips GCC 12's -Wrestrict.
        out += '\n';
        out += vttTime(start);
        out += " --> ";
        out += vttTime(std::max(it->endMs, start));
        out += "\n<v ";
        out += label(it->who);
        out += '>';
        out += it->text;
        out += '\n';
    }
    cues_.erase(cues_.begin(), it);
    return out.empty() ? "" : vtt_.write(out);
}

bool Transcript::close(const std::string& note, std::string& reason) {
    if (closed_)
        return true;
    closed_ = true;
    (void)md_.write("\n_" + markdownText(note) + "_\n");
    if (vtt_.isOpen())
        (void)writeCues(true);
    bool complete = md_.close(reason);
    complete = vtt_.close(reason) && complete;
    return complete;
}

} // namespace zorva::host
