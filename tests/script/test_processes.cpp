// Process blocks on threads of their own (what CreateProcess will start), their request
// words, and the script gate that stops the main set while the engine state is another.
#include "flow_fixture.h"
#include "script/scanner.h"

#include <functional>

namespace kestrune::script::testing {
namespace {

using Processes = FlowTest;

bool wait_until(const std::function<bool()>& done, std::uint32_t ms = 5000) {
    const platform::Tick t0 = platform::tick_ms();
    while (!done()) {
        if (platform::tick_diff(platform::tick_ms(), t0) > static_cast<std::int32_t>(ms))
            return false;
        platform::sleep_ms(1);
    }
    return true;
}

// Starts `block` as a process the way CreateProcess does, and waits for its prologue.
bool start_process(ScriptBlock& block) {
    copy_field(block.object_prefix, sizeof block.object_prefix, std::string("proc"));
    block.callee = block.caller = nullptr;
    block.statement_start = block.start;
    block.run_state = k_run_created;
    block.event.reset();
    const int t = engine::create_thread(false, process_thread_routine, &block);
    if (t < 0) return false;
    block.thread = t;
    engine::resume_thread(t);
    return wait_until([&] {
        const auto rs = block.run_state.load();
        return rs == k_run_stopped || rs == k_run_at_begin || rs == k_run_ended;
    });
}

TEST_F(Processes, PrologueStartReplayStop) {
    write("start.txt", "chapter main\n{\n$m = 1;\n}\ncut proc\n{\n$pro = $pro + 1;\nbegin:\n"
                       "$body = $body + 1;\nhelper($body);\n}\nfunction helper($v)\n{\n$seen = "
                       "$v;\n}\n");
    ASSERT_TRUE(run());
    ScriptContext* ctx = contexts_of_set(0).at(0);
    ScriptBlock* proc = find_block(*ctx, "proc", k_kind_cut, -1);
    ASSERT_NE(proc, nullptr);

    // The prologue runs before the creating command returns; the body waits for Start.
    ASSERT_TRUE(start_process(*proc));
    EXPECT_EQ(proc->run_state.load(), k_run_at_begin);
    EXPECT_EQ(text("$pro"), "1");
    EXPECT_EQ(text("$body"), "");

    EXPECT_EQ(process_request(proc, "Start"), 1);
    ASSERT_TRUE(wait_until([&] { return proc->run_state.load() == k_run_ended; }))
        << proc->run_state.load() << " body=" << text("$body") << " seen=" << text("$seen")
        << " cur=" << std::string(proc->cursor, 10);
    EXPECT_EQ(text("$body"), "1");
    EXPECT_EQ(text("$seen"), "1"); // a function called by the process runs on its thread

    // Played again, it restarts just after `begin:`: the prologue does not run again.
    EXPECT_EQ(process_request(proc, "Start"), 1);
    ASSERT_TRUE(wait_until([&] { return text("$body") == "2"; }));
    ASSERT_TRUE(wait_until([&] { return proc->run_state.load() == k_run_ended; }));
    EXPECT_EQ(text("$pro"), "1");

    EXPECT_EQ(process_request(proc, "Open"), 1);
    ASSERT_TRUE(wait_until([&] { return proc->run_state.load() == k_run_at_begin; }));
    EXPECT_EQ(process_request(proc, "Jump"), -1);
    EXPECT_EQ(process_request(nullptr, "Start"), 0);

    EXPECT_TRUE(stop_process_block(*proc));
    EXPECT_EQ(proc->thread.load(), -1);
    EXPECT_EQ(proc->finished.load(), 1);
    EXPECT_FALSE(any_script_thread_alive());
}

TEST_F(Processes, RequestWordsFollowTheRunState) {
    ScriptBlock b;
    const struct {
        std::int32_t from;
        const char* word;
        int result;
        std::int32_t to;
    } cases[] = {
        {k_run_running, "Start", 0, k_run_running},   {k_run_calling, "Start", 0, k_run_calling},
        {k_run_paused, "Start", 1, k_run_resume},     {k_run_ended, "Start\tx", 1, k_run_play},
        {k_run_running, "Pause", 1, k_run_paused},    {k_run_ended, "Pause", 1, k_run_ended},
        {k_run_paused, "Resume", 1, k_run_resume},    {k_run_running, "Resume", 1, k_run_running},
        {k_run_at_begin, "Open", 1, k_run_at_begin},  {k_run_ended, "Open", 1, k_run_rewind},
        {k_run_running, "Stop", 1, k_run_ended},      {k_run_running, "start", -1, k_run_running},
        {k_run_running, "Starts", -1, k_run_running},
    };
    for (const auto& c : cases) {
        b.run_state = c.from;
        EXPECT_EQ(process_request(&b, c.word), c.result) << c.word << " from " << c.from;
        EXPECT_EQ(b.run_state.load(), c.to) << c.word << " from " << c.from;
    }
}

// A process still running when all processes stop is stopped before its blocks are freed.
TEST_F(Processes, StopAllEndsRunningProcess) {
    write("start.txt", "chapter main\n{\n$m = 1;\n}\ncut spin\n{\nbegin:\nwhile (1) { $n = $n + "
                       "1; }\n}\n");
    ASSERT_TRUE(run());
    ScriptContext* ctx = contexts_of_set(0).at(0);
    ScriptBlock* spin = find_block(*ctx, "spin", k_kind_cut, -1);
    ASSERT_TRUE(start_process(*spin));
    process_request(spin, "Start");
    ASSERT_TRUE(wait_until([&] { return var_number("$n") > 10; }));
    stop_all_processes();
    EXPECT_FALSE(any_script_thread_alive());
    EXPECT_TRUE(contexts_of_set(0).empty());
}

// While the engine state belongs to the other set, the main scripts stand still and then go
// on where they stood.
TEST_F(Processes, GateStopsMainSetOutsideItsState) {
    write("start.txt", "chapter main\n{\nwhile ($n < 1000000) { $n = $n + 1; }\n}\n");
    std::string error;
    ASSERT_TRUE(start_main_script("start.txt", error)) << error;
    engine::set_state(engine::k_state_running);
    ASSERT_TRUE(wait_until([] { return var_number("$n") > 10; }));
    engine::set_state(engine::k_state_system_script);
    platform::sleep_ms(30);
    const double held = var_number("$n");
    platform::sleep_ms(60);
    EXPECT_EQ(var_number("$n"), held);
    engine::set_state(engine::k_state_running);
    EXPECT_TRUE(wait_until([&] { return var_number("$n") > held + 10; }));
    engine::request_quit();
    stop_all_processes();
    EXPECT_FALSE(any_script_thread_alive());
}

} // namespace
} // namespace kestrune::script::testing

namespace kestrune::script::testing {
namespace {

bool render_running() {
    return true;
}
bool render_not_held() {
    return false;
}

// A system script runs on the second set in state 400 while the main script stands still;
// at its end the state returns to 256 and the main script goes on.
TEST_F(Processes, SystemScriptInterruptsAndHandsBack) {
    engine::RenderHooks render;
    render.is_running = render_running;
    render.is_held = render_not_held;
    engine::set_render_hooks(render);
    write("start.txt", "chapter main\n{\nwhile ($go < 1) { $n = $n + 1; }\n$main_done = 1;\n}\n");
    write("sys.txt", "scene main\n{\n$seen_n = $n;\n$sys = $sys + 1;\n$go = 1;\n}\n");
    std::string error;
    ASSERT_TRUE(start_main_script("start.txt", error)) << error;
    engine::set_state(engine::k_state_running);
    ASSERT_TRUE(wait_until([] { return var_number("$n") > 10; }));

    EXPECT_FALSE(start_system_script(""));
    ASSERT_TRUE(start_system_script("sys.txt"));
    EXPECT_FALSE(start_system_script("sys.txt")); // within 300 ms of the last start
    ASSERT_TRUE(wait_until([] { return var_number("$main_done") == 1; }));
    EXPECT_EQ(engine::state(), engine::k_state_running);
    EXPECT_EQ(var_number("$SYSTEM_intrude"), 0);
    EXPECT_EQ(var_number("$sys"), 1);
    EXPECT_TRUE(contexts_of_set(1).empty());
    ASSERT_TRUE(wait_until([] { return !any_script_thread_alive(); }));
}

} // namespace
} // namespace kestrune::script::testing

#include "script/flow_internal.h"

namespace kestrune::script::testing {
namespace {

std::string g_seen_text;
std::string g_seen_prefix;
bool record_command(ScriptContext&, ScriptBlock& b, char* pos, char*& next) {
    g_seen_text.assign(pos, static_cast<std::size_t>(flow::text_end(*b.context, b) - pos));
    g_seen_prefix = b.object_prefix;
    next = pos;
    return g_seen_text.rfind("Create", 0) == 0;
}

// A saved object's creating command runs again outside any file, under the given prefix.
TEST_F(Processes, CommandTextRunsOnAScratchBlock) {
    const DispatchCommand previous = flow::command_dispatcher();
    set_command_dispatcher(record_command);
    ScriptContext ctx;
    EXPECT_TRUE(run_command_text(ctx, "scene/a", "  CreateName(\"x\");"));
    EXPECT_EQ(g_seen_text, "CreateName(\"x\");");
    EXPECT_EQ(g_seen_prefix, "scene/a");
    EXPECT_FALSE(run_command_text(ctx, "", "Nothing;"));
    set_command_dispatcher(previous);
}

} // namespace
} // namespace kestrune::script::testing
