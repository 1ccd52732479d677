#include "platform/instance_lock.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <unistd.h>

namespace kestrune::platform {

namespace {

int g_fd = -1;

// Product names are GBK or Shift-JIS bytes: the file name keeps their plain ASCII and a
// hash of all of them, so that two games never share a name.
std::string lock_file_name(const std::string& brand, const std::string& name,
                           const std::string& version) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    std::string readable;
    for (const std::string* part : {&brand, &name, &version}) {
        for (unsigned char c : *part) {
            h = (h ^ c) * 0x100000001b3ull;
            if (std::isalnum(c) || c == '.' || c == '-') readable += static_cast<char>(c);
        }
        h = (h ^ 0xFF) * 0x100000001b3ull;
        readable += '_';
    }
    char hash[20];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(h));
    return "kestrune-" + readable.substr(0, 80) + hash + ".lock";
}

} // namespace

std::string instance_lock_folder(const std::string& fallback) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/') return runtime;
    return fallback;
}

bool take_instance_lock(const std::string& folder, const std::string& brand,
                        const std::string& name, const std::string& version, std::string& error) {
    release_instance_lock();
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    const std::string path = folder + "/" + lock_file_name(brand, name, version);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot make the lock file " + path + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        ::close(fd);
        error = e == EWOULDBLOCK ? "this game is already running (" + path + " is locked)"
                                 : "cannot lock " + path + ": " + std::strerror(e);
        return false;
    }
    g_fd = fd;
    return true;
}

void release_instance_lock() {
    if (g_fd < 0) return;
    ::flock(g_fd, LOCK_UN);
    ::close(g_fd);
    g_fd = -1;
}

} // namespace kestrune::platform
