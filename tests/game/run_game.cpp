#include "run_game.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kestrune::testing {

RunResult run_kestrune(const std::vector<std::string>& args, int timeout_seconds, Clock clock) {
    std::vector<std::string> copy = args;
    const auto has = [&copy](const char* flag) {
        return std::find(copy.begin(), copy.end(), flag) != copy.end();
    };
    if (clock == Clock::stepped && has("--headless") && !has("--stepped"))
        copy.insert(copy.begin(), "--stepped");
    return run_program(KESTRUNE_BIN, copy, timeout_seconds);
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      int timeout_seconds) {
    RunResult result;
    const std::string out_path = scratch_dir("run_output") + "/out.txt";
    const pid_t pid = fork();
    if (pid < 0) return result;
    if (pid == 0) {
        FILE* out = std::fopen(out_path.c_str(), "w");
        if (out) {
            dup2(fileno(out), 1);
            dup2(fileno(out), 2);
        }
        std::vector<char*> argv;
        std::string bin = program;
        argv.push_back(bin.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.output = read_text(out_path);
            return result;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.output = read_text(out_path);
    return result;
}

std::string scratch_dir(const std::string& name) {
    const auto dir = std::filesystem::path(KESTRUNE_BINARY_DIR) / "test-scratch" /
                     (name + "-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir.string();
}

void write_text(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string copy_folder(const std::string& from, const std::string& scratch_name) {
    const std::string copy = scratch_dir(scratch_name);
    std::filesystem::copy(from, copy,
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::overwrite_existing);
    return copy;
}

std::string copy_game(const std::string& folder, const std::string& scratch_name) {
    return copy_folder(std::string(KESTRUNE_SOURCE_DIR) + "/tests/game/" + folder, scratch_name);
}

} // namespace kestrune::testing
