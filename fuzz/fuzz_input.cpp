// The input is a timed-input file as given to --input.
#include "ui/input_file.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<ui::TimedInput> events;
    std::string error;
    const bool ok = ui::parse_input_text(
        std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.in", events, error);
    // A refused file leaves nothing; an accepted one is ordered by time.
    if (!ok && !events.empty()) __builtin_trap();
    for (std::size_t i = 1; i < events.size(); ++i)
        if (events[i].ms < events[i - 1].ms) __builtin_trap();
    return 0;
}
