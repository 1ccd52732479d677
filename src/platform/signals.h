// Ending the program on SIGTERM, SIGINT and SIGHUP the way a quit from the game ends it:
// the threads stop, the global variables and the read-text map are written, the files
// close. The handler only records the signal; the main loop sees it within a pass. If the
// orderly end takes longer than its limit, or a second signal comes, the process ends at
// once (the save files are written by rename, so none is left half-written).
#pragma once

namespace kestrune::platform {

// Installs the handlers. `limit_seconds` bounds the orderly end after the first signal.
void install_termination_handlers(unsigned limit_seconds);
// The signal that asked the program to end, or 0.
int termination_signal();

} // namespace kestrune::platform
