// zorva's handling of helper lines: whatever a helper sends, zorva neither
// crashes nor lets a control byte of it reach the terminal.
#include "Captions.h"
#include "Host.h"
#include "Settings.h"

#include <asio/io_context.hpp>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

// A transcripts folder that cannot be made: nothing is written to disk.
std::string unwritableFolder() {
    char dir[] = "/tmp/zorva-host-fuzz-XXXXXX";
    if (!::mkdtemp(dir))
        std::abort();
    std::ofstream(std::string(dir) + "/file") << "x";
    return std::string(dir) + "/file/transcripts";
}

// Whether `shown` holds a control byte other than a newline and the
// captions' own codes.
bool leaksControls(std::string shown) {
    for (const char* own : {"\x1b[2m", "\x1b[0m", "\x1b[J"})
        for (std::size_t at; (at = shown.find(own)) != std::string::npos;)
            shown.erase(at, std::string(own).size());
    for (std::size_t at; (at = shown.find("\x1b[")) != std::string::npos;) {
        std::size_t end = at + 2;
        while (end < shown.size() && shown[end] >= '0' && shown[end] <= '9')
            ++end;
        if (end == shown.size() || shown[end] != 'F')
            return true;
        shown.erase(at, end + 1 - at);
    }
    for (unsigned char c : shown)
        if ((c < 0x20 && c != '\n') || c == 0x7F)
            return true;
    return shown.find("\xc2\x9b") != std::string::npos ||
           shown.find("\xe2\x80\xae") != std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string folder = unwritableFolder();
    asio::io_context io(1);
    std::ostringstream out;
    zorva::host::Captions captions(out, true, [] { return 60; });
    zorva::host::Settings settings;
    settings.apps = {{"Conf", {"org.example."}}};
    settings.outDir = folder;
    zorva::host::Host host(io, settings, captions, "/nonexistent/zorva-helper");
    // The corpus names the first session "zorva-1-1"; here it has our pid.
    std::string input(reinterpret_cast<const char*>(data), size);
    const std::string id = "zorva-" + std::to_string(::getpid()) + "-1";
    for (std::size_t at = 0; (at = input.find("zorva-1-1", at)) != std::string::npos;
         at += id.size())
        input.replace(at, 9, id);
    std::istringstream lines(input);
    for (std::string line; std::getline(lines, line);)
        host.receive(line);
    if (leaksControls(out.str()))
        std::abort();
    return 0;
}
