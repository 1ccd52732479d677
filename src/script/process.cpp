// Minimal start of the script `main` until the statement loop lands: loads the start
// script, checks that it has a chapter or scene named main, and runs its (empty) thread.
#include "script/script.h"

#include "frame/engine.h"

#include <atomic>
#include <fstream>
#include <regex>
#include <sstream>

namespace kestrune::script {

namespace {
std::atomic<int> g_thread{engine::k_no_thread};
void context_thread(void*) {}
} // namespace

bool start_main_script(const std::string& start_file, std::string& error) {
    std::ifstream in(start_file, std::ios::binary);
    if (!in) {
        error = "cannot open the start script \"" + start_file + "\"";
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    static const std::regex main_block(R"((^|\s)(chapter|scene)\s+main[\s{])");
    if (!std::regex_search(text.str(), main_block)) {
        error = start_file + ": no block named main (a chapter or scene)";
        return false;
    }
    g_thread = engine::create_thread(true, context_thread, nullptr);
    return g_thread != engine::k_no_thread;
}

void stop_all_processes() {
    const int t = g_thread.exchange(engine::k_no_thread);
    if (t != engine::k_no_thread) {
        engine::wait_thread(t, 10000);
        engine::release_thread(t);
    }
}

bool any_script_thread_alive() {
    const int t = g_thread.load();
    return t != engine::k_no_thread && engine::is_thread_running(t);
}

} // namespace kestrune::script
