#include "frame/startup_hooks.h"

namespace kestrune::frame {

StartupHooks& startup_hooks() {
    static StartupHooks hooks;
    return hooks;
}

std::string start_script_name() {
    const auto& f = startup_hooks().start_script;
    std::string name = f ? f() : std::string();
    return name.empty() ? "start.txt" : name;
}

} // namespace kestrune::frame
