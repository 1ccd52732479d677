#include "platform/probe.h"

#include "platform/encoding.h"
#include "platform/thread.h"

#include <SDL2/SDL.h>
#include <cstdio>
#include <fstream>
#include <sys/sysinfo.h>
#include <sys/utsname.h>

namespace kestrune::platform {

namespace {

constexpr std::size_t k_probe_bytes = 127;
constexpr std::size_t k_display_bytes = 511;

// The value of `key` in a "key: value" or key="value" line file; empty when absent.
std::string read_key(const char* path, std::string_view key, char separator) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t at = line.find(separator);
        if (at == std::string::npos) continue;
        std::string name = line.substr(0, at);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
        if (name != key) continue;
        std::string value = line.substr(at + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '"')) value.erase(0, 1);
        while (!value.empty() && (value.back() == '"' || value.back() == '\r')) value.pop_back();
        return value;
    }
    return {};
}

} // namespace

std::string probe_text(std::string_view utf8, std::size_t max_bytes) {
    const std::string gbk = utf8_to_gbk(utf8);
    std::string out;
    for (std::size_t i = 0; i < gbk.size();) {
        const unsigned char c = static_cast<unsigned char>(gbk[i]);
        const std::size_t n = is_lead_byte(c) && i + 1 < gbk.size() ? 2 : 1;
        if (out.size() + n > max_bytes) break;
        // '?' stands for a character GBK has not: leave it out.
        if (!(n == 1 && c == '?')) out.append(gbk, i, n);
        i += n;
    }
    return out;
}

ProbeStrings probe_system() {
    ProbeStrings p;
    std::string os = read_key("/etc/os-release", "PRETTY_NAME", '=');
    struct utsname u {};
    if (::uname(&u) == 0) {
        const std::string kernel = std::string(u.sysname) + " " + u.release + " " + u.machine;
        os = os.empty() ? kernel : os + " (" + kernel + ")";
    }
    p.os = probe_text(os, k_probe_bytes);
    std::string cpu = read_key("/proc/cpuinfo", "model name", ':');
    if (cpu.empty()) cpu = read_key("/proc/cpuinfo", "Model", ':');
    const unsigned count = processor_count();
    if (!cpu.empty()) cpu += " x " + std::to_string(count);
    p.cpu = probe_text(cpu, k_probe_bytes);
    struct sysinfo si {};
    if (::sysinfo(&si) == 0) {
        const unsigned long long mb =
            static_cast<unsigned long long>(si.totalram) * si.mem_unit / (1024ull * 1024ull);
        p.memory = std::to_string(mb) + "MB RAM";
    }
    const char* driver = SDL_GetCurrentVideoDriver();
    p.video =
        probe_text(driver ? std::string("SDL video: ") + driver : "no display", k_display_bytes);
    SDL_version v;
    SDL_GetVersion(&v);
    char graphics[64];
    std::snprintf(graphics, sizeof graphics, "SDL %d.%d.%d, software rendering", v.major, v.minor,
                  v.patch);
    p.graphics = graphics;
    return p;
}

} // namespace kestrune::platform
