// The input is the saved sections of one scene object, applied to a live object as a load
// applies them. A small sandbox: the scene store without its render thread, one script
// context, and for each run a fresh set of objects made by their creating statements.
//
//   byte 0      which sandbox (the table below: a colour with actions, a camera, a cube,
//               a choice, a scroll bar, a surface, an effect, a text, a sound, a movie, ...)
//   then        sections, each a four-letter tag, a u16 length (little-endian) and that
//               many bytes (the last one may be cut short)
//
// Sections go through the scene's public section reader, so a field a kind adds to its
// record is fuzzed as soon as its reader reads it.
//
// With KESTRUNE_RECORD_SEEDS=dir the target writes one input per sandbox into dir (the
// sections the save writers give for the sandbox's object) and exits: the seeds of
// fuzz/seeds/records come from there.
#include "frame/engine.h"
#include "movie/movie.h"
#include "platform/audio.h"
#include "platform/font_face.h"
#include "scene/records.h"
#include "scene/scene.h"
#include "script/commands.h"
#include "script/context.h"
#include "sound/sound.h"
#include "storage/file_cache.h"
#include "text/fonts.h"
#include "text/layout.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

using namespace kestrune;

namespace {

constexpr std::int32_t k_owner = 0x5EED;
constexpr std::size_t k_max_sections = 16;

struct Sandbox {
    const char* name;
    std::vector<const char*> statements; // run in order; "o" is the object fuzzed
    const char* target = "o";
};

const std::vector<Sandbox>& sandboxes() {
    static const std::vector<Sandbox> list = {
        {"actions",
         {R"(CreateColor("o", 1, 10, 20, 64, 48, "#FF0000");)",
          R"(Fade("o", 1000, 500, NULL, FALSE);)", R"(Move("o", 1000, 300, 200, NULL, FALSE);)",
          R"(Zoom("o", 1000, 700, 900, NULL, FALSE);)", R"(Rotate("o", 1000, 0, 0, 90);)",
          R"(Shake("o", 1000, 10, 10, 0, 0, 500, NULL, FALSE);)"}},
        {"trail",
         {R"(CreateColor("o", 1, 0, 300, 16, 16, "#FFFFFF");)",
          R"(SetBlur("o", TRUE, 8, 600, 40, FALSE);)", R"(Move("o", 1000, 800, 200, 0);)"}},
        {"camera",
         {R"(CreateCamera("o", 0, 0, 0);)",
          R"(CreateColor("o/a", 1, 300, 200, 32, 24, "#FF4040");)",
          R"(Move("o", 1000, 100, 50, 0);)"}},
        {"cube",
         {R"(CreateColor("f1", 0, 2000, 0, 16, 16, "#FF0000");)",
          R"(CreateColor("f2", 0, 2000, 0, 16, 16, "#00FF00");)",
          R"(CreateColor("f3", 0, 2000, 0, 16, 16, "#0000FF");)",
          R"(CreateColor("f4", 0, 2000, 0, 16, 16, "#FFFF00");)",
          R"(CreateColor("f5", 0, 2000, 0, 16, 16, "#FF00FF");)",
          R"(CreateColor("f6", 0, 2000, 0, 16, 16, "#00FFFF");)",
          R"(CreateCube("o", 1, "f1", "f2", "f3", "f4", "f5", "f6");)",
          R"(Rotate("o", 1000, 60, 120, 10);)"}},
        {"choice",
         {R"(CreateChoice("o");)",
          R"(CreateColor("o/MouseUsual/a", 1, 100, 100, 40, 12, "#808080");)",
          R"(CreateColor("o/MouseOver/a", 1, 100, 100, 40, 12, "#FFFFFF");)",
          R"(CreateColor("o/MouseClick/a", 1, 100, 100, 40, 12, "#FF0000");)"}},
        {"scrollbar",
         {R"(CreateColor("thumb", 0, 2000, 0, 24, 40, "#C0C0FF");)",
          R"(CreateScrollbar("o", 1, 980, 50, 980, 500, 0, "VERTICAL", "thumb");)"}},
        {"surface",
         {R"(CreateSurface("o", 1, 0, 0, TRUE);)",
          R"(CreateColor("x", 2, 10, 10, 20, 20, "#FF8000");)", R"(SetSurface("x", "o");)"}},
        {"into surface",
         {R"(CreateSurface("s", 1, 0, 0, TRUE);)",
          R"(CreateColor("o", 2, 10, 10, 20, 20, "#FF8000");)", R"(SetSurface("o", "s");)"}},
        {"image effect",
         {R"(CreateColor("o", 1, 300, 200, 40, 20, "#E0C040");)",
          R"(DrawEffect("o", 1000, "Ripple", 200, 800, NULL);)"}},
        {"effect object", {R"(CreateEffect("o", 5, 0, 0, 96, 64, "Rain");)"}},
        {"transition",
         {R"(CreateColor("o", 1, 100, 100, 80, 40, "#E0C040");)",
          R"(DrawTransition("o", 1000, 0, 1000, "rule.bmp", 60);)"}},
        {"text", {R"(CreateText("o", 10, 100, 100, AUTO, AUTO, "ab<BR>c<R>d</R>");)"}},
        {"sound", {R"(CreateSound("o", "SE", "se/tone.wav");)"}},
        {"movie", {R"(CreateMovie("o", 1, 100, 100, FALSE, FALSE, "clip.mkv", 0);)"}},
        {"window",
         {R"(CreateWindow("o", 1, 100, 100, 60, 40, TRUE);)",
          R"(CreateColor("o/a", 1, 0, 0, 120, 80, "#4080C0");)"}},
    };
    return list;
}

script::ScriptContext* g_context = nullptr;

// Resources the creating statements name, served from the file cache.
void hold_fixture(const char* name, const char* fixture) {
    const std::filesystem::path path =
        std::filesystem::path(KESTRUNE_SOURCE_DIR) / "tests/fixtures/storage" / fixture;
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty() || !storage::cache_put(name, bytes.data(), bytes.size()))
        std::fprintf(stderr, "fuzz_records: fixture %s missing\n", fixture);
}

bool set_up() {
    engine::build_lock_table();
    engine::set_state(engine::k_state_running);
    scene::register_with_frame();
    text::register_layout_with_frame();
    sound::register_with_frame();
    movie::register_with_frame();
    script::install_command_table();
    if (!scene::init_scene(false)) return false;
    platform::AudioOptions audio;
    audio.loopback = true;
    // Closed before the sound library's own exit handler runs, which fails on an open device.
    if (platform::open_audio(audio)) std::atexit(platform::close_audio);
    if (platform::add_font_file("/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc"))
        text::set_default_font("WenQuanYi Zen Hei", 24, 0xFFFFFF, 0x000000, 400, 0);
    text::set_text_settings(text::TextSettings{});
    hold_fixture("rule.bmp", "rgb24.bmp");
    hold_fixture("se/tone.wav", "tone.wav");
    hold_fixture("clip.mkv", "tiny.mkv");
    static script::ScriptContext context;
    context.owner_key = k_owner;
    g_context = &context;
    return true;
}

void run_statement(const char* statement) {
    script::ScriptBlock block;
    block.context = g_context;
    std::memcpy(block.name, "(fuzz)", 7);
    const std::size_t n = std::strlen(statement);
    platform::BlockPtr text = platform::make_block(n);
    std::memcpy(text.get(), statement, n);
    char* pos = reinterpret_cast<char*>(text.get());
    block.start = block.begin = block.cursor = block.statement_start = pos;
    block.end = pos + n;
    char* next = pos;
    script::dispatch_command(*g_context, block, pos, next);
}

// A fresh tree for the owner, with the sandbox's objects made again.
scene::SceneObject* build(const Sandbox& box) {
    scene::remove_owner(k_owner);
    scene::add_owner(k_owner);
    for (const char* statement : box.statements) run_statement(statement);
    return scene::find_object(k_owner, box.target);
}

void write_seeds(const char* dir) {
    std::filesystem::create_directories(dir);
    const auto& list = sandboxes();
    for (std::size_t i = 0; i < list.size(); ++i) {
        engine::scene_lock();
        scene::SceneObject* o = build(list[i]);
        scene::RecordSections sections;
        std::string error;
        if (!o || !scene::write_object_sections(*o, sections, error)) {
            engine::scene_unlock();
            std::fprintf(stderr, "fuzz_records: no seed for %s %s\n", list[i].name, error.c_str());
            continue;
        }
        engine::scene_unlock();
        std::string bytes(1, char(i));
        for (const auto& [tag, body] : sections) {
            for (int b = 0; b < 4; ++b) bytes.push_back(char(tag >> (8 * b)));
            bytes.push_back(char(body.size() & 0xFF));
            bytes.push_back(char(body.size() >> 8 & 0xFF));
            bytes.append(body.begin(), body.end());
        }
        std::string name = std::string(dir) + "/" + list[i].name;
        for (char& c : name)
            if (c == ' ') c = '-';
        std::ofstream(name, std::ios::binary) << bytes;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!set_up()) {
        std::fprintf(stderr, "fuzz_records: the scene store did not start\n");
        std::exit(1);
    }
    if (const char* dir = std::getenv("KESTRUNE_RECORD_SEEDS")) {
        write_seeds(dir);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const auto& list = sandboxes();
    const Sandbox& box = list[data[0] % list.size()];
    engine::scene_lock();
    scene::SceneObject* o = build(box);
    std::size_t at = 1;
    for (std::size_t n = 0; o && n < k_max_sections && at + 6 <= size; ++n) {
        const std::uint32_t tag = std::uint32_t(data[at]) | std::uint32_t(data[at + 1]) << 8 |
                                  std::uint32_t(data[at + 2]) << 16 |
                                  std::uint32_t(data[at + 3]) << 24;
        const std::size_t length =
            std::min<std::size_t>(data[at + 4] | data[at + 5] << 8, size - at - 6);
        std::string why;
        scene::read_object_section(*o, tag, std::span(data + at + 6, length), why);
        at += 6 + length;
    }
    // The objects go with the input, so that it ends with as many blocks as it began with
    // (else every input costs a leak scan).
    scene::remove_owner(k_owner);
    engine::scene_unlock();
    return 0;
}
