// What a waiting `select` waits for (installed as the choices' wait_input hook).
#pragma once

#include <cstdint>

namespace kestrune::script {
struct ScriptBlock;
}

namespace kestrune::ui {

// Waits for the next input a select reacts to; returns its input code, or 0 for any other
// wake-up (quit, state change, attention, the block's event, a pointer movement).
std::int32_t wait_select_input(script::ScriptBlock& b);

} // namespace kestrune::ui
