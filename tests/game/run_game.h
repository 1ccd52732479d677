// Runs the built kestrune program as a child process and collects its exit code and output.
#pragma once

#include <string>
#include <vector>

namespace kestrune::testing {

struct RunResult {
    int exit_code = -1; // -1: did not end in time (killed) or could not start
    std::string output; // stdout and stderr together
};

RunResult run_kestrune(const std::vector<std::string>& args, int timeout_seconds = 60);

// A fresh empty folder under the build tree, removed and re-created on each call.
std::string scratch_dir(const std::string& name);
void write_text(const std::string& path, const std::string& text);
std::string read_text(const std::string& path);

} // namespace kestrune::testing
