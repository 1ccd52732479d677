// --check of the settings file "system/System.ini".
#pragma once

#include "script/context.h"

#include <vector>

namespace kestrune::frame {

// Unknown sections and keys (warnings) and values the engine cannot use (errors), with
// the file's line numbers. Empty when the game has no settings file.
std::vector<script::ScriptProblem> check_settings_file();

} // namespace kestrune::frame
