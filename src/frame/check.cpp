// --check: load and check every script of a game, list the problems, run nothing.
#include "frame/check_settings.h"
#include "frame/frame.h"
#include "frame/startup_hooks.h"

#include "frame/engine.h"
#include "persist/settings.h"
#include "script/context.h"
#include "script/lint.h"
#include "storage/archive.h"
#include "storage/storage.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>

namespace kestrune::frame {

namespace {

bool is_script_file(const std::filesystem::path& p) {
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return ext == ".txt";
}

} // namespace

int run_check(const Options& options) {
    std::error_code ec;
    std::filesystem::current_path(options.game_dir, ec);
    if (ec) {
        std::fprintf(stderr, "kestrune: cannot enter the game folder \"%s\": %s\n",
                     options.game_dir.c_str(), ec.message().c_str());
        return 1;
    }
    engine::init_process_state();
    engine::build_lock_table();
    storage::scan_archives(".");
    persist::load_settings(read_resource, resource_exists,
                           options.save_dir.empty() ? std::string("./save") : options.save_dir);
    const persist::Settings& s = persist::settings();

    // The scripts the settings name, then every other .txt file of the game folder and of
    // its archives (names compared without regard to case, as the game finds them).
    std::vector<std::string> files;
    std::set<std::string> seen;
    auto add = [&](std::string name) {
        if (name.empty()) return;
        std::replace(name.begin(), name.end(), '\\', '/');
        std::string key = name;
        std::transform(key.begin(), key.end(), key.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        if (seen.insert(key).second) files.push_back(name);
    };
    add(s.script_start.empty() ? std::string("start.txt") : s.script_start);
    for (const std::string* n :
         {&s.script_menu, &s.script_save, &s.script_load, &s.script_config, &s.script_back,
          &s.script_close, &s.script_reset, &s.backlog_script})
        add(*n);
    for (auto it = std::filesystem::recursive_directory_iterator(".", ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file() || !is_script_file(it->path())) continue;
        const std::string rel = it->path().lexically_relative(".").generic_string();
        if (rel.rfind("system/", 0) == 0 || rel.rfind("save/", 0) == 0) continue;
        add(rel);
    }
    for (const auto& archive : storage::archive_list())
        for (const storage::ArchiveEntry& e : archive->entries)
            if (is_script_file(e.name)) add(e.name);

    int errors = 0, warnings = 0;
    std::vector<std::vector<script::ScriptProblem>> found;
    found.push_back(check_settings_file());
    for (const std::string& file : files) found.push_back(script::lint_script_file(file));
    for (const auto& list : found) {
        for (const script::ScriptProblem& p : list) {
            (p.fatal ? errors : warnings)++;
            if (!p.fatal && options.quiet) continue;
            std::string where = p.line > 0 ? p.file + ":" + std::to_string(p.line) : p.file;
            std::replace(where.begin(), where.end(), '\\', '/');
            std::fprintf(stderr, "%s: %s: %s\n", where.c_str(), p.fatal ? "error" : "warning",
                         p.message.c_str());
        }
    }
    std::fprintf(stderr, "kestrune: checked %zu script file%s: %d error%s, %d warning%s\n",
                 files.size(), files.size() == 1 ? "" : "s", errors, errors == 1 ? "" : "s",
                 warnings, warnings == 1 ? "" : "s");
    engine::request_quit();
    return errors ? 1 : 0;
}

} // namespace kestrune::frame
