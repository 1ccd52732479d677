// The saved state of a sound object. A load makes the object again by its CreateSound
// statement (the file opened anew) and then puts back what the script changed since: the
// state, the frame the listener had reached, volume, pan, frequency, loops, fades in
// progress and the effect. A playing sound goes on from its saved frame.
//
// Section "SOND": u8 state (0, 2, 17, 19 or 20); i32 volume, pan, frequency in Hz (0: the
// file's rate), loop count, play counter, suspend mark; u64 position, loop start and loop
// end in frames (each as two u32, low first); for the volume, pan and frequency fades a u8
// presence and, when 1, i32 start, target and duration in ms, f64 progress in steps and the
// easing name; a u8 effect presence and, when 1, the effect name and i32 mix, feedback,
// left delay, right delay, depth and delay.
#include "scene/records.h"
#include "sound/sound_internal.h"
#include "sound/stream.h"

#include <cmath>

namespace kestrune::sound {

namespace {

using storage::SaveReader;
using storage::SaveWriter;

constexpr std::size_t k_max_name = 64;

void u64(SaveWriter& w, std::uint64_t v) {
    w.u32(static_cast<std::uint32_t>(v));
    w.u32(static_cast<std::uint32_t>(v >> 32));
}

std::uint64_t u64(SaveReader& r) {
    const std::uint64_t lo = r.u32();
    return lo | std::uint64_t(r.u32()) << 32;
}

bool has_sound(const scene::SceneObject& o) {
    return stream_of(const_cast<scene::SceneObject&>(o)) != nullptr;
}

bool write_sound(const scene::SceneObject& o, const scene::RecordWriting&, SaveWriter& w,
                 std::string&) {
    const SoundSnapshot s = stream_of(const_cast<scene::SceneObject&>(o))->snapshot();
    w.u8(static_cast<std::uint8_t>(s.state));
    for (std::int32_t v : {s.volume, s.pan, s.hz, s.loop_count, s.plays, s.suspend_mark ? 1 : 0})
        w.i32(v);
    for (std::uint64_t v : {s.position, s.loop_start, s.loop_end}) u64(w, v);
    for (const auto& f : s.fades) {
        w.u8(f ? 1 : 0);
        if (!f) continue;
        w.i32(f->from);
        w.i32(f->to);
        w.i32(f->duration_ms);
        w.f64(f->position);
        w.text(std::string_view(f->easing).substr(0, k_max_name));
    }
    w.u8(s.effect ? 1 : 0);
    if (s.effect) {
        const EffectParams& e = *s.effect;
        w.text(std::string_view(e.name).substr(0, k_max_name));
        for (std::int32_t v : {e.mix, e.feedback, e.left_delay, e.right_delay, e.depth, e.delay})
            w.i32(v);
    }
    return true;
}

bool valid_state(std::uint8_t v) {
    for (State s : {State::stopped, State::ready, State::playing, State::paused, State::held})
        if (v == static_cast<std::uint8_t>(s)) return true;
    return false;
}

bool in(std::int64_t v, std::int64_t lo, std::int64_t hi) {
    return v >= lo && v <= hi;
}

bool valid_hz(std::int64_t hz) {
    return hz == 0 || in(hz, 100, 200000);
}

// Reads the whole section and checks every value against its range before anything of
// the stream changes.
bool read_sound(scene::SceneObject& o, SaveReader& r) {
    SoundStream* stream = stream_of(o);
    if (!stream) return r.fail("the object has no sound");
    SoundSnapshot s;
    const std::uint8_t state = r.u8();
    s.volume = r.i32();
    s.pan = r.i32();
    s.hz = r.i32();
    s.loop_count = r.i32();
    s.plays = r.i32();
    const std::int32_t mark = r.i32();
    s.position = u64(r);
    s.loop_start = u64(r);
    s.loop_end = u64(r);
    if (!r.ok()) return false;
    if (!valid_state(state)) return r.fail("a sound state out of range");
    if (!in(s.volume, 0, 1000) || !in(s.pan, -10000, 10000) || !valid_hz(s.hz) ||
        s.loop_count < -1 || s.plays < 1 || !in(mark, 0, 1))
        return r.fail("a sound setting out of range");
    if (s.loop_start > s.loop_end) return r.fail("a loop region that ends before it starts");
    s.state = static_cast<State>(state);
    s.suspend_mark = mark == 1;
    for (std::size_t i = 0; i < s.fades.size(); ++i) {
        const std::uint8_t present = r.u8();
        if (present > 1) return r.fail("a fade presence out of range");
        if (!present) continue;
        Fade::Snapshot f;
        f.from = r.i32();
        f.to = r.i32();
        f.duration_ms = r.i32();
        f.position = r.f64();
        f.easing = r.text(k_max_name);
        if (!r.ok()) return false;
        const bool values = i == Fade::volume ? in(f.from, 0, 1000) && in(f.to, 0, 1000)
                            : i == Fade::pan  ? in(f.from, -10000, 10000) && in(f.to, -10000, 10000)
                                              : valid_hz(f.from) && valid_hz(f.to);
        if (!values || f.duration_ms <= 0 || !std::isfinite(f.position) || f.position < 0 ||
            f.position > 1e9)
            return r.fail("a sound fade out of range");
        s.fades[i] = f;
    }
    const std::uint8_t effect = r.u8();
    if (effect > 1) return r.fail("an effect presence out of range");
    if (effect) {
        EffectParams e;
        e.name = r.text(k_max_name);
        e.mix = r.i32();
        e.feedback = r.i32();
        e.left_delay = r.i32();
        e.right_delay = r.i32();
        e.depth = r.i32();
        e.delay = r.i32();
        s.effect = e;
    }
    if (!r.ok()) return false;
    if (r.left() != 0) return r.fail("more bytes than a sound section holds");
    // A sound file that became shorter since the save plays from its end.
    s.position = std::min(s.position, stream->total_frames());
    stream->restore(s);
    return true;
}

} // namespace

void register_sound_records() {
    scene::register_record_section({scene::record_tag("SOND"), has_sound, write_sound, read_sound});
}

} // namespace kestrune::sound
