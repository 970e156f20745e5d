#include "System.h"

#include <fstream>
#include <sys/utsname.h>

namespace zorva {

namespace {

// PRETTY_NAME from an os-release file, unquoted; empty when absent.
std::string prettyName(const char* path) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        constexpr std::string_view key = "PRETTY_NAME=";
        if (line.compare(0, key.size(), key) != 0)
            continue;
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return {};
}

} // namespace

std::string operatingSystemVersionString() {
    std::string name = prettyName("/etc/os-release");
    if (name.empty())
        name = prettyName("/usr/lib/os-release");
    utsname u{};
    std::string kernel;
    if (uname(&u) == 0)
        kernel = std::string(u.sysname) + " " + u.release;
    if (name.empty())
        return kernel.empty() ? "unknown" : kernel;
    return kernel.empty() ? name : name + "; " + kernel;
}

} // namespace zorva
