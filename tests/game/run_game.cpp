#include "run_game.h"

#include "storage/container.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
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

std::string read_save_block(const std::string& path) {
    const std::string raw = read_text(path);
    kestrune::platform::BlockPtr block;
    std::size_t size = 0;
    const std::string name = std::filesystem::path(path).filename().string();
    if (raw.empty() || !kestrune::storage::vksf_decode(
                           reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size(),
                           kestrune::storage::container_key(name), block, size))
        return {};
    return std::string(reinterpret_cast<const char*>(block.get()), size);
}

bool write_save_block(const std::string& path, const std::string& content) {
    kestrune::platform::BlockPtr out;
    std::size_t size = 0;
    const std::string name = std::filesystem::path(path).filename().string();
    if (!kestrune::storage::vksf_encode(reinterpret_cast<const std::uint8_t*>(content.data()),
                                        content.size(), kestrune::storage::container_key(name), out,
                                        size))
        return false;
    write_text(path, std::string(reinterpret_cast<const char*>(out.get()), size));
    return true;
}

void expect_frames_match_after_load(const std::string& game) {
    for (const char* name : {"at", "mid", "end"}) {
        SCOPED_TRACE(name);
        const std::string plain = read_text(game + "/" + name + "0.vkf");
        const std::string loaded = read_text(game + "/" + name + "1.vkf");
        ASSERT_FALSE(plain.empty());
        EXPECT_TRUE(plain == loaded) << "the frame after the load differs";
    }
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

std::string bitmap24(int w, int h,
                     const std::function<std::array<std::uint8_t, 3>(int x, int y)>& pixel) {
    const int stride = (w * 3 + 3) / 4 * 4;
    const std::uint32_t size = 54 + std::uint32_t(stride * h);
    std::string b(size, '\0');
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + std::size_t(i)] = char((v >> (8 * i)) & 255);
    };
    b[0] = 'B';
    b[1] = 'M';
    put32(2, size);
    put32(10, 54);
    put32(14, 40);
    put32(18, std::uint32_t(w));
    put32(22, std::uint32_t(h));
    b[26] = 1;  // planes
    b[28] = 24; // bits per pixel
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const std::array<std::uint8_t, 3> bgr = pixel(x, y);
            for (int c = 0; c < 3; ++c)
                b[54 + std::size_t(y * stride + x * 3 + c)] = char(bgr[std::size_t(c)]);
        }
    return b;
}

pid_t spawn_shell(const std::string& command) {
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

bool wait_for_exit(pid_t pid, int seconds, int& status) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (waitpid(pid, &status, WNOHANG) == pid) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return false;
}

XServer start_xvfb(const std::string& screen) {
    XServer x;
    if (std::system("command -v Xvfb >/dev/null 2>&1") != 0) return x;
    char name[] = "/tmp/kestrune-xvfb-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) return x;
    close(fd);
    // Xvfb writes the display number it took to the -displayfd descriptor once it accepts
    // connections.
    const pid_t pid = spawn_shell(std::string("exec Xvfb -displayfd 3 -nolisten tcp -screen 0 ") +
                                  screen + " 3>" + name + " 2>/dev/null");
    for (int i = 0; i < 500; ++i) {
        const std::string said = read_text(name);
        if (!said.empty() && said.back() == '\n') {
            x.pid = pid;
            x.display = ":" + said.substr(0, said.size() - 1);
            break;
        }
        if (waitpid(pid, nullptr, WNOHANG) != 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::remove(name);
    if (x.pid < 0) stop_child(pid);
    return x;
}

void stop_child(pid_t pid) {
    if (pid <= 0) return;
    int status = 0;
    kill(pid, SIGTERM);
    wait_for_exit(pid, 3, status);
}

} // namespace kestrune::testing
