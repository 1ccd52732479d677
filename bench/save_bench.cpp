// Save and load of the demo in the middle of its first scene: the demo's script loaded into
// the main context, its first scene built in the scene store (background, both characters,
// message window and name plate, one character still fading in), some local variables.
//   BM_Save_DemoMidScene    everything the Save command does: the script, scene, backlog,
//                           variable blocks and the common data (global variables and
//                           read-text map) built, all written and synced with one sync, the
//                           slot folders swapped and the common files renamed over theirs
//                           (goal: under 20 ms)
//   BM_Save_CommonData      the common data alone (Save 0, Reset, Exit): the global
//                           variables and the read-text map, each replacing its file
//   BM_Load_DemoCheckSlot   the first half of a load: every file of the slot read, its
//                           container removed, every block parsed and checked and the script
//                           texts pre-scanned again into staged contexts. The teardown and
//                           the re-creation of the objects are not part of it.
//   BM_Load_DemoToFirstFrame the whole scene side of a load: the slot read and checked as
//                           above, the running scene torn down, every object made again by
//                           its creating statement with its saved state poured over it, and
//                           the first frame composed (goal: under 50 ms). The script threads
//                           are not stopped and started (the bench runs none).
// The files go to a scratch folder under the system's temporary folder.
#include "frame/engine.h"
#include "frame/startup_hooks.h"
#include "persist/save_data.h"
#include "persist/settings.h"
#include "scene/records.h"
#include "scene/scene.h"
#include "script/context.h"
#include "script/variables.h"
#include "storage/storage.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

using namespace kestrune;

namespace {

bool g_ready = false;
const char* g_fault = "the demo could not be set up";

void add_texture(std::int32_t owner, const char* name, const char* file, std::int32_t priority,
                 std::int32_t x, std::int32_t y) {
    auto image = storage::load_image(file);
    if (!image) return;
    scene::CreateArgs a;
    a.owner_key = owner;
    a.path = name;
    a.priority = priority;
    a.x = std::to_string(x);
    a.y = std::to_string(y);
    a.command = std::string("CreateTexture(\"") + name + "\",\"" + std::to_string(priority) +
                "\",\"" + a.x + "\",\"" + a.y + "\",\"" + file + "\");";
    engine::scene_lock();
    scene::create_kind_object(a, scene::create_drawable(image.get()), image, nullptr);
    engine::scene_unlock();
}

bool set_up() {
    if (g_ready) return true;
    namespace fs = std::filesystem;
    // The demo beside this file's source tree: __FILE__ may be relative to the build folder,
    // and the program may run in that folder or in bench/ under it.
    fs::path demo;
    for (const fs::path& root : {fs::path(__FILE__).parent_path().parent_path(), fs::path("../.."),
                                 fs::path(".."), fs::path("."), fs::path("../../..")})
        if (demo.empty() && fs::exists(root / "games" / "demo" / "script" / "main.txt"))
            demo = fs::absolute(root / "games" / "demo");
    const fs::path saves = fs::temp_directory_path() / "kestrune_save_bench";
    std::error_code ec;
    fs::remove_all(saves, ec);
    fs::create_directories(saves, ec);
    fs::current_path(demo, ec);
    g_fault = "the demo folder is missing";
    if (ec) return false;
    engine::init_process_state();
    g_fault = "no lock table";
    if (!engine::build_lock_table()) return false;
    persist::load_settings(frame::read_resource, frame::resource_exists, saves.string());
    if (!scene::init_scene(false)) return false;
    script::ScriptContext* ctx =
        script::load_into_new_context("script/main.txt", "main", nullptr, 0);
    if (!ctx) return false;
    scene::add_owner(ctx->owner_key);
    add_texture(ctx->owner_key, "bg", "cg/bg01.png", 0, 0, 0);
    add_texture(ctx->owner_key, "left", "cg/chara_a.png", 100, 160, 80);
    add_texture(ctx->owner_key, "right", "cg/chara_b.png", 110, 560, 80);
    add_texture(ctx->owner_key, "msg", "cg/window.png", 500, 32, 412);
    add_texture(ctx->owner_key, "plate", "cg/nameplate.png", 500, 48, 368);
    for (int i = 0; i < 50; ++i)
        script::var_set_text("$bench/" + std::to_string(i), "a local text of the story");
    persist::read_common_globals(); // the common data counts as read: a Save writes it
    g_ready = true;
    return true;
}

void BM_Save_DemoMidScene(benchmark::State& state) {
    if (!set_up()) return state.SkipWithError(g_fault);
    std::string error;
    for (auto _ : state)
        if (!persist::save_slot(1, nullptr, nullptr, error))
            return state.SkipWithError(error.c_str());
}
BENCHMARK(BM_Save_DemoMidScene)->Unit(benchmark::kMillisecond);

void BM_Save_CommonData(benchmark::State& state) {
    if (!set_up()) return state.SkipWithError(g_fault);
    for (auto _ : state)
        if (!persist::write_common_data())
            return state.SkipWithError("the common data could not be written");
}
BENCHMARK(BM_Save_CommonData)->Unit(benchmark::kMillisecond);

void BM_Load_DemoCheckSlot(benchmark::State& state) {
    if (!set_up()) return state.SkipWithError(g_fault);
    std::string error;
    if (!persist::save_slot(2, nullptr, nullptr, error)) return state.SkipWithError(error.c_str());
    for (auto _ : state)
        if (!persist::check_slot(2, error)) return state.SkipWithError(error.c_str());
}
BENCHMARK(BM_Load_DemoCheckSlot)->Unit(benchmark::kMillisecond);

void BM_Load_DemoToFirstFrame(benchmark::State& state) {
    if (!set_up()) return state.SkipWithError(g_fault);
    scene::register_with_frame(); // the creating commands
    std::string error;
    if (!persist::save_slot(3, nullptr, nullptr, error)) return state.SkipWithError(error.c_str());
    const std::int32_t owner = script::contexts_of_set(0).front()->owner_key;
    for (auto _ : state) {
        if (!persist::check_slot(3, error)) return state.SkipWithError(error.c_str());
        storage::FileBytes bytes;
        if (!storage::read_whole_file(persist::settings().save_folder + "/0003/frames.vkf", bytes))
            return state.SkipWithError("no scene block");
        auto staged = scene::stage_scene({bytes.data.get(), bytes.size}, error);
        if (!staged) return state.SkipWithError(error.c_str());
        scene::remove_owner(owner);
        scene::add_owner(owner);
        if (scene::restore_scene(*staged) != 5) return state.SkipWithError("objects missing");
        scene::restart_scene_after_restore();
    }
}
BENCHMARK(BM_Load_DemoToFirstFrame)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
