#include "System.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <random>
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

std::string makeUUID() {
    std::string text;
    std::ifstream in("/proc/sys/kernel/random/uuid");
    std::getline(in, text);
    if (text.size() != 36) {
        std::random_device rd;
        unsigned char b[16];
        for (auto& x : b)
            x = static_cast<unsigned char>(rd());
        b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40); // version 4
        b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80); // variant
        char buf[37];
        std::snprintf(buf, sizeof buf,
                      "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                      b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12],
                      b[13], b[14], b[15]);
        text = buf;
    }
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

} // namespace zorva
