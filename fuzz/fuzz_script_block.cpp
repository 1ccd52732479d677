// The input is the content of a slot's script file (its container already removed).
#include "script/snapshot_format.h"

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<script::saved::Context> contexts;
    std::string error;
    if (script::saved::parse_script_block({data, size}, contexts, error)) {
        // Every position must lie inside its file's text, and that text inside the input.
        for (const auto& c : contexts) {
            for (const auto& f : c.files)
                if (!f.text.empty() &&
                    (f.text.data() < data || f.text.data() + f.text.size() > data + size))
                    __builtin_trap();
            for (const auto& b : c.blocks)
                if (b.loop_depth > 8 || b.select_depth > 8) __builtin_trap();
        }
    }
    return 0;
}
