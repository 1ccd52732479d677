// Text settings read from the settings file, the base reveal interval, and the forbidden
// line-start and line-end characters.
#include "persist/settings.h"
#include "script/system_variables.h"
#include "script/variables.h"
#include "text/layout.h"
#include "text/layout_internal.h"

#include <atomic>
#include <mutex>

namespace kestrune::text {

namespace {

std::mutex g_mutex;
TextSettings g_settings;
bool g_read = false;
std::atomic<std::int32_t> g_base_interval{30};
VoiceLoader g_voice_loader = nullptr;

constexpr std::size_t k_forbidden_size = 256; // the settings keep 255 bytes and the NUL

bool contains_code(std::string_view set, std::uint32_t code) {
    if (is_paired_code(code)) return false;
    for (std::size_t i = 0; i < set.size();) {
        const std::size_t w = char_bytes(set, i);
        if (w == 0) break;
        if (code_at(set, i, w) == code) return true;
        i += w;
    }
    return false;
}

} // namespace

int read_text_settings() {
    {
        std::lock_guard lock(g_mutex);
        if (g_read) return 1;
        const persist::Settings& s = persist::settings();
        g_settings.margin_line = s.margin_line;
        g_settings.margin_row = s.margin_row;
        g_settings.bad_start = cut_text(s.bad_start, k_forbidden_size - 1);
        g_settings.bad_end = cut_text(s.bad_end, k_forbidden_size - 1);
        g_settings.ruby_rate = double(s.ruby_rate) / 100.0;
        g_read = true;
    }
    if (!script::var_exists("#SYSTEM_text_auto"))
        script::var_set_number("#SYSTEM_text_auto", 0, false);
    double interval = 30;
    if (!script::var_get_number("$SYSTEM_text_interval", interval)) interval = 30;
    g_base_interval = interval >= 0 && interval < 2147483647.0 ? std::int32_t(interval) : 30;
    return 1;
}

void set_text_settings(const TextSettings& settings) {
    std::lock_guard lock(g_mutex);
    g_settings = settings;
    g_settings.bad_start = cut_text(g_settings.bad_start, k_forbidden_size - 1);
    g_settings.bad_end = cut_text(g_settings.bad_end, k_forbidden_size - 1);
    g_read = true;
}

TextSettings text_settings() {
    std::lock_guard lock(g_mutex);
    return g_settings;
}

void reset_text_settings() {
    std::lock_guard lock(g_mutex);
    g_settings = TextSettings{};
    g_read = false;
    g_base_interval = 30;
}

std::int32_t base_interval() {
    return g_base_interval.load();
}

int set_base_interval(std::int32_t ms) {
    if (ms < 0) return 0;
    g_base_interval = ms;
    script::var_set_number("$SYSTEM_text_interval", ms);
    return 1;
}

void watch_text_interval() {
    static int watch = -1;
    if (watch >= 0) script::unwatch_setting(watch);
    watch = script::watch_setting("text_interval", [](std::string_view, std::string_view) {
        const double ms = script::setting_number("text_interval");
        if (ms >= 0 && ms < 2147483647.0) g_base_interval = std::int32_t(ms);
    });
}

std::int32_t ruby_height(std::int32_t font_height) {
    double rate;
    {
        std::lock_guard lock(g_mutex);
        rate = g_settings.ruby_rate;
    }
    if (rate == 0.0) return 10;
    return std::int32_t(rate * double(font_height));
}

int is_forbidden_at_line_start(std::uint32_t code) {
    std::lock_guard lock(g_mutex);
    return contains_code(g_settings.bad_start, code) ? 1 : 0;
}

int is_forbidden_at_line_end(std::uint32_t code) {
    std::lock_guard lock(g_mutex);
    return contains_code(g_settings.bad_end, code) ? 1 : 0;
}

void set_voice_loader(VoiceLoader loader) {
    std::lock_guard lock(g_mutex);
    g_voice_loader = loader;
}

std::shared_ptr<void> load_voice_sound(const std::string& src) {
    VoiceLoader loader;
    {
        std::lock_guard lock(g_mutex);
        loader = g_voice_loader;
    }
    return loader && !src.empty() ? loader(src) : nullptr;
}

} // namespace kestrune::text
