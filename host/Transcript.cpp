#include "Transcript.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
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

// Markdown would read "*", "_" and friends in speech text as formatting.
std::string markdownText(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::string_view("\\`*_[]<>#|").find(c) != std::string_view::npos)
            out += '\\';
        out += c;
    }
    return out;
}

// Opens `path` only if it does not exist yet, so two sessions in the same
// second never share a file. Meetings are private: 0600 whatever the umask.
bool createNew(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    (void)::fchmod(fd, 0600);
    ::close(fd);
    return true;
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
    return "the transcripts folder " + dir + " can be read by other users (mode " + mode +
           "); to keep transcripts private: chmod 700 '" + dir + "'";
}

} // namespace

std::string localTimeText(std::chrono::system_clock::time_point t) {
    return formatLocal(t, "%Y-%m-%d %H:%M:%S %z");
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
        if (createNew(candidate + ".md") && (!vtt || createNew(candidate + ".vtt")))
            path_ = candidate + ".md";
    }
    if (path_.empty())
        throw std::runtime_error("cannot create a transcript in " + dir +
                                 (ec ? ": " + ec.message() : ""));
    md_.open(path_, std::ios::binary | std::ios::trunc);
    md_ << "# " << markdownText(app) << " call\n\n"
        << "- App: " << markdownText(app) << "\n"
        << "- Started: " << localTimeText(start) << "\n"
        << "- Locale: " << markdownText(locale) << "\n\n";
    md_.flush();
    if (vtt) {
        vtt_.open(path_.substr(0, path_.size() - 3) + ".vtt", std::ios::binary | std::ios::trunc);
        vtt_ << "WEBVTT\n";
        vtt_.flush();
    }
    if (!md_ || (vtt && !vtt_))
        throw std::runtime_error("cannot write " + path_);
}

void Transcript::add(Speaker who, int64_t startMs, int64_t endMs, const std::string& text) {
    if (closed_)
        return;
    md_ << "- " << clockText(startMs) << " **" << label(who) << ":** " << markdownText(text)
        << "\n";
    md_.flush();
    if (vtt_.is_open()) {
        // A cue's text ends at a blank line, "<" and "&" start markup, and
        // "-->" would read as timing.
        std::string cue;
        for (char c : text)
            cue += c == '\n' ? " " : c == '&' ? "&amp;" : c == '<' ? "&lt;" : std::string(1, c);
        for (std::size_t at; (at = cue.find("-->")) != std::string::npos;)
            cue.replace(at, 3, "->");
        vtt_ << "\n"
             << vttTime(startMs) << " --> " << vttTime(std::max(endMs, startMs)) << "\n<v "
             << label(who) << ">" << cue << "\n";
        vtt_.flush();
    }
}

void Transcript::close(const std::string& note) {
    if (closed_)
        return;
    closed_ = true;
    md_ << "\n_" << markdownText(note) << "_\n";
    md_.close();
    if (vtt_.is_open())
        vtt_.close();
}

} // namespace zorva::host
