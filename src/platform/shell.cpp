#include "platform/shell.h"

#include <mutex>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace kestrune::platform {

namespace {
std::mutex g_mutex;
std::vector<std::string> g_opened;
} // namespace

bool shell_open(const std::string& target, bool record_only) {
    {
        std::lock_guard guard(g_mutex);
        g_opened.push_back(target);
    }
    if (record_only || target.empty()) return true;
    // The target goes to xdg-open as one argument, never through a shell, so that no
    // character of it can run a command.
    std::string program = "xdg-open";
    std::string arg = target;
    char* argv[] = {program.data(), arg.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ) != 0) return false;
    // xdg-open returns quickly after handing over; reap it so no zombie remains.
    int status = 0;
    waitpid(pid, &status, 0);
    return true;
}

std::vector<std::string> shell_opened() {
    std::lock_guard guard(g_mutex);
    return g_opened;
}

} // namespace kestrune::platform
