// The input is a game's settings file (System.ini: Shift-JIS section names, key=value).
#include "persist/settings.h"

#include <cstdint>
#include <string_view>

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // Icons and fonts the file names are probed: none exists. The save folder is given, so
    // nothing is created.
    persist::Settings s = persist::parse_settings(
        text, [](const std::string&) { return false; }, "/nonexistent/fuzz-saves");
    volatile std::size_t keep = s.window_title.size() + s.bad_start.size();
    (void)keep;
    return 0;
}
