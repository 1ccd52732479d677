#include "frame/frame.h"

namespace kestrune::frame {

bool run_chain(const std::vector<Step>& steps, std::string& failed) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (steps[i].start()) continue;
        failed = steps[i].name;
        for (std::size_t j = i; j-- > 0;) steps[j].stop();
        return false;
    }
    return true;
}

} // namespace kestrune::frame
