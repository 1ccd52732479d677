// The script engine as the engine frame sees it: starting the start script's block `main`
// on its own thread, stopping every process, and asking whether any script thread is left.
//
// Threading contract: start_main_script() and stop_all_processes() are called by the main
// thread only (script start sequence and stop sequence); any_script_thread_alive() may be
// called from any thread.
#pragma once

#include <string>

namespace kestrune::script {

// Loads the start script `start_file` (a resource name) into the first context of the main
// set with block `main` and starts the context's thread. On failure returns false and puts
// a message naming the file (and line where there is one) into `error`.
bool start_main_script(const std::string& start_file, std::string& error);

// Stops the processes of the current set (both sets when the quit flag is set or the state
// is 1 or 514), waits for their threads and frees their contexts.
void stop_all_processes();

// True while a context or process thread of either set is still running.
bool any_script_thread_alive();

} // namespace kestrune::script
