// Opening files and web addresses with the desktop's handler (xdg-open). Headless runs and
// tests record the request instead of starting anything.
#pragma once

#include <string>
#include <vector>

namespace kestrune::platform {

// Opens `target` (a URL, or an absolute file path) with the desktop. With `record_only`
// the target is only recorded. False when the handler could not be started.
bool shell_open(const std::string& target, bool record_only);
// Targets recorded (or opened) so far, oldest first.
std::vector<std::string> shell_opened();

} // namespace kestrune::platform
