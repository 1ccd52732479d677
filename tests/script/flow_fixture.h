// Shared set-up for the tests of contexts, pre-scan, control flow and processes: a scratch
// game folder as working directory (scripts are loose files relative to it) and an engine
// frame in its running state, without window, scene or sound.
#pragma once

#include "frame/engine.h"
#include "platform/clock.h"
#include "script/context.h"
#include "script/script.h"
#include "script/variables.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace kestrune::script::testing {

class FlowTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_old_cwd = std::filesystem::current_path();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_dir = std::filesystem::path(KESTRUNE_BINARY_DIR) / "flow_scratch" /
                (std::string(info->test_suite_name()) + "_" + info->name());
        std::filesystem::remove_all(m_dir);
        std::filesystem::create_directories(m_dir);
        std::filesystem::current_path(m_dir);
        engine::reset_process_state_for_tests();
        engine::build_lock_table();
        var_clear_locals();
        var_clear_globals();
        set_scene_hooks({});
        set_choice_hooks({});
    }
    void TearDown() override {
        stop_all_processes();
        std::filesystem::current_path(m_old_cwd);
    }

    void write(const std::string& name, const std::string& text) {
        std::filesystem::create_directories((m_dir / name).parent_path());
        std::ofstream(m_dir / name, std::ios::binary) << text;
    }

    // Runs `file` as the start script until no script thread is left (or 10 s pass).
    bool run(const std::string& file = "start.txt", std::string* error = nullptr) {
        std::string err;
        if (!start_main_script(file, err)) {
            if (error) *error = err;
            return false;
        }
        engine::set_state(engine::k_state_running);
        const platform::Tick start = platform::tick_ms();
        while (any_script_thread_alive()) {
            if (platform::tick_diff(platform::tick_ms(), start) > 10000) {
                ADD_FAILURE() << "the script did not end within 10 s";
                engine::request_quit();
                break;
            }
            platform::sleep_ms(2);
        }
        return true;
    }

    double num(const std::string& name) { return var_number(name); }
    std::string text(const std::string& name) { return var_text(name); }

    std::filesystem::path m_dir;
    std::filesystem::path m_old_cwd;
};

} // namespace kestrune::script::testing
