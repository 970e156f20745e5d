// Facts about the running system that the helper reports to the host.
#pragma once

#include <string>

namespace zorva {

// Human-readable operating-system version, e.g.
// "Debian GNU/Linux 12 (bookworm); Linux 6.1.0-18-amd64".
std::string operatingSystemVersionString();

// A new random UUID in its standard text form, upper-case (8-4-4-4-12).
std::string makeUUID();

} // namespace zorva
