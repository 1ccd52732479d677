// Script interpreter speed beside Lua 5.4 doing the same work in the same run.
//
//  - Increment: one million `$i++` statements, walked the way the statement loop walks a
//    block (white space skipped, each statement collected and evaluated in place), against
//    a Lua loop doing `i = i + 1` on a global; and the same statements run by the engine's
//    statement loop on a context thread (start script, `while` loop, command dispatch).
//  - Concatenation: `$s = $s + "x"` (reset every 100 steps, texts stay short), against
//    `s = s .. "x"`.
//  - Lookup: `$r = $v7777 + 1` in a store of 10000 variables, against the same statement
//    on 10000 Lua globals; and the store's own lookup API cycling through all 10000 names.
//
// Each benchmark reports ns_per_statement (time per statement, not per iteration).
#include "frame/engine.h"
#include "script/expressions.h"
#include "script/scanner.h"
#include "script/script.h"
#include "script/variables.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#ifdef KESTRUNE_HAVE_LUA
extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}
#endif

using namespace kestrune::script;

namespace {

constexpr int k_statements = 1000000;

std::string repeat(const std::string& statement, int n) {
    std::string out;
    out.reserve(statement.size() * static_cast<std::size_t>(n));
    for (int i = 0; i < n; i++) out += statement;
    return out;
}

// Runs every statement of the text once, as the statement loop steps through a block.
void run_text(const std::string& text) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        p = skip_space(p, end);
        if (p >= end) break;
        p = run_expression_statement(p, end, nullptr);
    }
}

void set_per_statement(benchmark::State& state, double statements_per_iteration) {
    state.counters["ns_per_statement"] = benchmark::Counter(
        statements_per_iteration * 1e-9,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Script_Increment(benchmark::State& state) {
    var_clear_locals();
    const std::string text = repeat("$i++;\n", 1000);
    for (auto _ : state) {
        for (int i = 0; i < k_statements / 1000; i++) run_text(text);
    }
    benchmark::DoNotOptimize(var_number("$i"));
    set_per_statement(state, k_statements);
}
BENCHMARK(BM_Script_Increment)->Unit(benchmark::kMillisecond);

// The same million statements run by the engine's own statement loop on a context thread:
// a start script whose block `main` runs 1000 passes of a `while` body holding 1000 `$i++`
// lines (plus the loop's own counter and condition).
void BM_Script_StatementLoop(benchmark::State& state) {
    namespace fs = std::filesystem;
    fs::path old_cwd = fs::current_path();
    fs::path dir = fs::temp_directory_path() /
                   ("kestrune_script_bench_" +
                    std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(dir);
    {
        std::ofstream out(dir / "start.txt", std::ios::binary);
        out << "scene main {\r\n$n = 1;\r\nwhile ($n <= 1000) {\r\n"
            << repeat("$i++;\r\n", 1000) << "$n++;\r\n}\r\n}\r\n";
    }
    fs::current_path(dir);
    kestrune::engine::reset_process_state_for_tests();
    kestrune::engine::build_lock_table();
    for (auto _ : state) {
        var_clear_locals();
        std::string error;
        if (!start_main_script("start.txt", error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        kestrune::engine::set_state(kestrune::engine::k_state_running);
        while (any_script_thread_alive())
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (var_number("$i") != k_statements) {
            state.SkipWithError("the script did not run every statement");
            break;
        }
        stop_all_processes();
    }
    fs::current_path(old_cwd);
    fs::remove_all(dir);
    set_per_statement(state, k_statements);
}
BENCHMARK(BM_Script_StatementLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Script_Concatenate(benchmark::State& state) {
    var_clear_locals();
    const std::string text = "$s=\"\";\n" + repeat("$s=$s+\"x\";\n", 99);
    constexpr int k_rounds = 1000;
    for (auto _ : state) {
        for (int i = 0; i < k_rounds; i++) run_text(text);
    }
    benchmark::DoNotOptimize(var_text("$s"));
    set_per_statement(state, k_rounds * 100);
}
BENCHMARK(BM_Script_Concatenate)->Unit(benchmark::kMillisecond);

void fill_store() {
    var_clear_locals();
    for (int i = 0; i < 10000; i++) var_set_number("$v" + std::to_string(i), i);
}

void BM_Script_LookupStatement(benchmark::State& state) {
    fill_store();
    const std::string text = repeat("$r=$v7777+1;\n", 1000);
    constexpr int k_rounds = 100;
    for (auto _ : state) {
        for (int i = 0; i < k_rounds; i++) run_text(text);
    }
    benchmark::DoNotOptimize(var_number("$r"));
    set_per_statement(state, k_rounds * 1000);
}
BENCHMARK(BM_Script_LookupStatement)->Unit(benchmark::kMillisecond);

void BM_Script_LookupApi(benchmark::State& state) {
    fill_store();
    std::vector<std::string> names;
    for (int i = 0; i < 10000; i++) names.push_back("$v" + std::to_string(i));
    for (auto _ : state) {
        double sum = 0;
        for (const std::string& n : names) sum += var_number(n);
        benchmark::DoNotOptimize(sum);
    }
    set_per_statement(state, 10000);
}
BENCHMARK(BM_Script_LookupApi)->Unit(benchmark::kMillisecond);

#ifdef KESTRUNE_HAVE_LUA

lua_State* new_lua() {
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    return L;
}

void run_lua(benchmark::State& state, const char* setup, const char* chunk, double statements) {
    lua_State* L = new_lua();
    if (setup && luaL_dostring(L, setup) != LUA_OK) {
        state.SkipWithError(lua_tostring(L, -1));
        lua_close(L);
        return;
    }
    if (luaL_loadstring(L, chunk) != LUA_OK) {
        state.SkipWithError(lua_tostring(L, -1));
        lua_close(L);
        return;
    }
    int fn = luaL_ref(L, LUA_REGISTRYINDEX);
    for (auto _ : state) {
        lua_rawgeti(L, LUA_REGISTRYINDEX, fn);
        if (lua_pcall(L, 0, 0, 0) != LUA_OK) {
            state.SkipWithError(lua_tostring(L, -1));
            break;
        }
    }
    lua_close(L);
    set_per_statement(state, statements);
}

void BM_Lua_Increment(benchmark::State& state) {
    run_lua(state, "i = 0", "for n = 1, 1000000 do i = i + 1 end", k_statements);
}
BENCHMARK(BM_Lua_Increment)->Unit(benchmark::kMillisecond);

void BM_Lua_Concatenate(benchmark::State& state) {
    run_lua(state, "s = ''", "for r = 1, 1000 do s = '' for n = 1, 99 do s = s .. 'x' end end",
            1000 * 100);
}
BENCHMARK(BM_Lua_Concatenate)->Unit(benchmark::kMillisecond);

void BM_Lua_LookupStatement(benchmark::State& state) {
    run_lua(state, "for i = 0, 9999 do _G['v' .. i] = i end r = 0",
            "for n = 1, 100000 do r = v7777 + 1 end", 100000);
}
BENCHMARK(BM_Lua_LookupStatement)->Unit(benchmark::kMillisecond);

void BM_Lua_LookupApi(benchmark::State& state) {
    lua_State* L = new_lua();
    luaL_dostring(L, "for i = 0, 9999 do _G['v' .. i] = i end");
    std::vector<std::string> names;
    for (int i = 0; i < 10000; i++) names.push_back("v" + std::to_string(i));
    for (auto _ : state) {
        double sum = 0;
        for (const std::string& n : names) {
            lua_getglobal(L, n.c_str());
            sum += lua_tonumber(L, -1);
            lua_pop(L, 1);
        }
        benchmark::DoNotOptimize(sum);
    }
    lua_close(L);
    set_per_statement(state, 10000);
}
BENCHMARK(BM_Lua_LookupApi)->Unit(benchmark::kMillisecond);

#endif

} // namespace

BENCHMARK_MAIN();
