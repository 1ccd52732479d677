// The sound commands, the requests of sound objects, the SoundAmplitude built-in, the
// sound settings and the device start-up.
#include "sound/sound.h"

#include "frame/engine.h"
#include "frame/startup_hooks.h"
#include "platform/audio.h"
#include "scene/scene.h"
#include "script/commands.h"
#include "script/context.h"
#include "script/expressions.h"
#include "script/system_variables.h"
#include "script/variables.h"
#include "sound/effects.h"
#include "sound/sound_internal.h"
#include "sound/stream.h"
#include "sound/voices.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

namespace kestrune::sound {

namespace {

using script::CommandCall;

// ---- master volumes -------------------------------------------------

std::array<std::atomic<double>, 3> g_master{1.0, 1.0, 1.0};

// ---- sound objects
// -------------------------------------------------------------------------------

struct SoundData : scene::KindData {
    explicit SoundData(std::unique_ptr<SoundStream> s) : stream(std::move(s)) {}
    std::unique_ptr<SoundStream> stream;
};

int sound_request(scene::SceneObject& o, std::string_view word) {
    SoundStream* s = stream_of(o);
    if (!s) return -1;
    using scene::is_request_word;
    if (is_request_word(word, "Play")) return s->play() ? 1 : 0;
    if (is_request_word(word, "Stop")) {
        s->stop();
        return 1;
    }
    if (is_request_word(word, "Pause")) {
        s->pause();
        return 1;
    }
    if (is_request_word(word, "Resume")) {
        s->resume();
        return 1;
    }
    if (is_request_word(word, "CompulsorySuspend")) {
        s->set_suspend_mark(true);
        return 1;
    }
    if (is_request_word(word, "EntrustSuspend")) {
        s->set_suspend_mark(false);
        return 1;
    }
    return -1;
}

bool sound_busy(const scene::SceneObject& o) {
    auto* d = dynamic_cast<const SoundData*>(o.kind_data.get());
    return d && d->stream && d->stream->is_playing();
}

const scene::KindOps k_sound_kind{"sound", sound_request, nullptr, sound_busy, nullptr};

void problem(CommandCall& call, const std::string& message) {
    script::report_problem(call.context, call.statement, message);
}

// Runs fn on every sound object the command's path names (scene lock held meanwhile).
template <typename Fn> int for_each_sound(CommandCall& call, Fn fn) {
    if (call.path.empty()) return 0;
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    const int n = scene::apply(
        call.context.owner_key, call.path,
        [&](scene::SceneObject& o) {
            SoundStream* s = stream_of(o);
            if (!s) return 0;
            fn(*s);
            return 1;
        },
        scene::ApplyOptions{.no_children = true});
    return n;
}

bool cmd_create_sound(CommandCall& call) {
    if (call.path.empty()) return true;
    Kind kind;
    const std::string kind_name = call.arg(1), file = call.arg(2);
    if (!parse_kind(kind_name, kind)) {
        problem(call, "CreateSound: \"" + kind_name +
                          "\" is no sound kind (BGM, SE, VOICE or SILENT, a digit may follow)");
        return true;
    }
    std::string error;
    auto stream = SoundStream::create(kind, file, error);
    if (!stream) {
        problem(call, "CreateSound: \"" + file + "\": " + error);
        return true;
    }
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    scene::SceneObject* o = scene::create_object(call.context.owner_key, call.path);
    if (o) {
        o->creator = call.block.object_prefix;
        o->creating_command = call.canonical;
        o->no_actions = true;
        o->drawn = true;
        scene::set_slot(*o, scene::k_slot_draw, scene::k_op_idle);
        o->kind = &k_sound_kind;
        o->kind_data = std::make_unique<SoundData>(std::move(stream));
    }
    return true;
}

std::int32_t duration_arg(const CommandCall& call, std::size_t i) {
    return std::max(0, script::argument_int(call.arg(i)));
}

bool cmd_set_volume(CommandCall& call) {
    const std::string value = call.arg(1), easing = call.arg(3);
    const std::int32_t ms = duration_arg(call, 2);
    for_each_sound(call, [&](SoundStream& s) { s.set_volume(value, ms, easing); });
    return true;
}

bool cmd_set_pan(CommandCall& call) {
    const std::string value = call.arg(1), easing = call.arg(3);
    const std::int32_t ms = duration_arg(call, 2);
    for_each_sound(call, [&](SoundStream& s) { s.set_pan(value, ms, easing); });
    return true;
}

bool cmd_set_frequency(CommandCall& call) {
    const std::string value = call.arg(1), easing = call.arg(3);
    const std::int32_t ms = duration_arg(call, 2);
    for_each_sound(call, [&](SoundStream& s) { s.set_frequency(value, ms, easing); });
    return true;
}

bool cmd_set_loop(CommandCall& call) {
    const std::string value = call.arg(1);
    for_each_sound(call, [&](SoundStream& s) { s.set_loop(value); });
    return true;
}

bool cmd_set_loop_point(CommandCall& call) {
    const std::int64_t start = script::argument_int(call.arg(1));
    const std::int64_t end = script::argument_int(call.arg(2));
    for_each_sound(call, [&](SoundStream& s) { s.set_loop_point(start, end); });
    return true;
}

// SetStream(name, ms): the sound goes on from that time of its data.
bool cmd_set_stream(CommandCall& call) {
    const std::int64_t ms = script::argument_int(call.arg(1));
    for_each_sound(call, [ms](SoundStream& s) { s.seek(ms); });
    return true;
}

// SoundEffect(name, effect, mix, feedback, left delay, right delay, depth, delay).
bool cmd_sound_effect(CommandCall& call) {
    EffectParams p;
    p.name = call.arg(1);
    p.mix = script::argument_int(call.arg(2));
    p.feedback = script::argument_int(call.arg(3));
    p.left_delay = script::argument_int(call.arg(4));
    p.right_delay = script::argument_int(call.arg(5));
    p.depth = script::argument_int(call.arg(6));
    p.delay = script::argument_int(call.arg(7));
    std::string refused;
    for_each_sound(call, [&](SoundStream& s) {
        std::string why;
        if (!apply_sound_effect(s, p, why)) refused = why;
    });
    if (!refused.empty()) problem(call, "SoundEffect: " + refused);
    return true;
}

// SoundAmplitude(object [, part of the file name]).
script::Value sound_amplitude_fn(const script::BuiltinCall& call) {
    if (call.args.empty()) return script::Value::of_number(0);
    std::int32_t owner = -1;
    if (call.ctx && call.ctx->context)
        owner = static_cast<script::ScriptContext*>(call.ctx->context)->owner_key;
    const std::string path = script::join_object_name(call.ctx, call.args[0].text);
    const bool filtered = call.args.size() > 1 && call.args[1].text != "NULL";
    const std::string part = filtered ? call.args[1].text : std::string();
    std::int32_t level = 0;
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    if (scene::SceneObject* o = scene::find_object(owner, path)) {
        if (SoundStream* s = stream_of(*o)) {
            if (!filtered || s->file_name().find(part) != std::string::npos)
                level = s->is_playing() ? s->level() : 0;
        }
    }
    scene_guard.unlock();
    if (level == 0 && filtered) {
        voice_level_event().reset();
        platform::wait_any({&engine::quit_event(), &engine::state_changed_event(),
                            &engine::attention_event(), &engine::skip_event(),
                            call.ctx ? call.ctx->block_event : nullptr, &voice_level_event()},
                           3000);
    }
    return script::Value::of_number(level);
}

// The global pause of a system script (backlog, shortcut scripts): effects and voices
// (and streams marked by CompulsorySuspend) hold while it runs.
void on_state_changed() {
    static std::atomic<std::int32_t> last{0};
    const std::int32_t s = engine::state();
    const std::int32_t before = last.exchange(s);
    if (s == engine::k_state_system_script && before != s)
        for_each_stream([](SoundStream& st) { st.global_pause(); });
    else if (before == engine::k_state_system_script && s != before)
        for_each_stream([](SoundStream& st) { st.global_resume(); });
}

} // namespace

SoundStream* stream_of(scene::SceneObject& o) {
    auto* d = dynamic_cast<SoundData*>(o.kind_data.get());
    return d ? d->stream.get() : nullptr;
}

double master_volume(Kind kind) {
    if (kind == Kind::silent) return 1.0;
    // Express skipping hushes every sound to 1 % while it runs.
    if (engine::skip_mode() && script::setting_number("skip_express") != 0) return 0.01;
    return g_master[static_cast<std::size_t>(kind)].load();
}

void refresh_master_volumes() {
    static const char* const k_switch[] = {"sound_bgm", "sound_se", "sound_voice"};
    static const char* const k_volume[] = {"sound_volume_bgm", "sound_volume_se",
                                           "sound_volume_voice"};
    for (std::size_t i = 0; i < 3; ++i) {
        const bool on = script::setting_number(k_switch[i]) != 0;
        const double v = std::clamp(script::setting_number(k_volume[i]), 0.0, 1000.0);
        g_master[i] = on ? v / 1000.0 : 0.0;
    }
    for_each_stream([](SoundStream& s) { s.apply_master(); });
}

double variable_number(const std::string& name, bool* found) {
    double v = 0;
    const bool ok = script::var_get_number(name, v);
    if (found) *found = ok;
    return ok ? v : 0;
}

std::int32_t parse_int(const std::string& text) {
    return script::argument_int(text);
}

void register_with_frame() {
    script::register_command("CreateSound", cmd_create_sound);
    script::register_command("SetVolume", cmd_set_volume);
    script::register_command("SetPan", cmd_set_pan);
    script::register_command("SetFrequency", cmd_set_frequency);
    script::register_command("SetLoop", cmd_set_loop);
    script::register_command("SetLoopPoint", cmd_set_loop_point);
    script::register_command("SoundEffect", cmd_sound_effect);
    script::register_command("SetStream", cmd_set_stream);
    script::register_builtin("SoundAmplitude", sound_amplitude_fn);
    register_voice_hooks();
    register_sound_records();

    static bool once = false;
    if (once) return;
    once = true;
    frame::StartupHooks& h = frame::startup_hooks();
    h.start_sound.push_back([] {
        // The device is opened once for the run; a restart of the scripts reuses it.
        platform::AudioOptions options;
        const platform::Window* w = frame::main_window();
        options.loopback = !w || w->headless();
        options.wav_output = frame::current_options().audio_out;
        static bool told = false;
        if (!options.loopback && !options.wav_output.empty() && !told) {
            told = true;
            std::fprintf(stderr, "kestrune: --audio-out is written by headless runs only; "
                                 "with a window the sound goes to the sound device\n");
        }
        platform::open_audio(options);
        refresh_master_volumes();
        static std::vector<int> watches;
        for (int id : watches) script::unwatch_setting(id);
        watches.clear();
        for (const char* name : {"sound_bgm", "sound_se", "sound_voice", "sound_volume_bgm",
                                 "sound_volume_se", "sound_volume_voice"})
            watches.push_back(script::watch_setting(
                name, [](std::string_view, std::string_view) { refresh_master_volumes(); }));
        return true;
    });
    h.release_sound.push_back([] { stop_text_voice(); });
    // A load replaces the pages on the screen: the voice of the page before it ends (a
    // voice the save kept starts again with its page). First, before the load itself.
    h.load_sequence.insert(h.load_sequence.begin(), [] {
        stop_text_voice();
        return false;
    });
    h.exit_callbacks.push_back([] { platform::close_audio(); });
    h.main_loop_pass.push_back(on_state_changed);
}

} // namespace kestrune::sound
