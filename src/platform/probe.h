// The system probe: five descriptions of the machine that games show in their own
// settings or support screens (operating system, processor, memory, display, graphics
// layer), read from /etc/os-release, uname, /proc/cpuinfo, sysinfo and SDL.
#pragma once

#include <string>
#include <string_view>

namespace kestrune::platform {

struct ProbeStrings {
    std::string os, cpu, memory, video, graphics; // GBK bytes, as scripts hold text
};

// Fills the strings; a source that cannot be read leaves its string empty.
ProbeStrings probe_system();

// UTF-8 to GBK for a probe string: characters GBK cannot show are dropped, and the text
// is cut to at most max_bytes without splitting a double-byte character.
std::string probe_text(std::string_view utf8, std::size_t max_bytes);

} // namespace kestrune::platform
