// Text voices: a VOICE tag loads its file as a VOICE stream when the page is laid out; the
// display starts it at its character when the voice settings allow the speaking character.
//
// A save keeps the voice a text object started while it still sounds, in the object's
// record. Section "TVOI": i32 slot of the VOICE tag, its SRC (u32 length and bytes, at most
// 255), u8 state (17 playing, 19 paused, 20 held), i32 volume, u64 frame heard (two u32,
// low first), i32 the voice sync interval in ms. The load lays the page out again, which
// loads the voice anew; once every object is back, the voice of that slot goes on from the
// saved frame, and the page's waits and pacing follow it as before the save.
#include "sound/voices.h"

#include "persist/settings.h"
#include "scene/records.h"
#include "script/system_variables.h"
#include "sound/stream.h"
#include "text/display.h"
#include "text/layout.h"

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

namespace kestrune::sound {

namespace {

std::mutex g_voice_mutex;
std::shared_ptr<SoundStream> g_current; // the text voice started last

std::shared_ptr<void> load_voice(const std::string& src) {
    std::string error;
    std::shared_ptr<SoundStream> s = SoundStream::create(Kind::voice, src, error);
    if (!s) {
        std::fprintf(stderr, "kestrune: voice \"%s\": %s\n", src.c_str(), error.c_str());
        return nullptr;
    }
    return s;
}

// A character's voice plays when its name is one of the switchable characters and is in the
// enable list, or when it is not switchable and voices of other characters are on. Names
// match as parts of the texts.
bool voice_allowed(const std::string& character) {
    const std::string& all = persist::settings().voice_all_name;
    if (!character.empty() && all.find(character) != std::string::npos)
        return script::setting_text("voice_enable_list").find(character) != std::string::npos;
    return script::setting_number("voice_enable_another") != 0;
}

bool start_voice(text::VoiceRecord& voice) {
    auto s = std::static_pointer_cast<SoundStream>(voice.sound);
    if (!s || !voice.enabled || !voice_allowed(voice.class_name)) return false;
    {
        std::lock_guard guard(g_voice_mutex);
        g_current = s;
    }
    s->stop();
    return s->play();
}

std::int32_t voice_length_ms(const text::VoiceRecord& voice) {
    auto s = std::static_pointer_cast<SoundStream>(voice.sound);
    return s ? s->duration_ms() : 0;
}

bool voice_playing() {
    std::lock_guard guard(g_voice_mutex);
    return g_current && g_current->is_playing();
}

bool replay_voice(const std::shared_ptr<void>& sound) {
    auto s = std::static_pointer_cast<SoundStream>(sound);
    if (!s) return false;
    s->stop();
    return s->play();
}

// ---- saves ---------------------------------------------------------------------------------

using storage::SaveReader;
using storage::SaveWriter;

constexpr std::size_t k_max_src = 255;
constexpr std::int32_t k_max_sync_ms = 3600 * 1000;

// A checked voice section waiting for the restart of the scene, when every section of
// every object has been read (a later section may still refuse the object).
struct PendingVoice {
    std::uint32_t identity = 0;
    std::int32_t slot = 0;
    std::shared_ptr<void> sound; // the slot's voice as the page was laid out again
    SoundSnapshot saved;
    std::int32_t sync_ms = 0;
};
std::map<const scene::SceneObject*, PendingVoice> g_pending; // main thread, scene lock

std::shared_ptr<SoundStream> saved_voice(const scene::SceneObject& o) {
    const text::TextLayout* p = text::text_layout_of(const_cast<scene::SceneObject&>(o));
    if (!p || !p->voice_started || !p->started_voice || p->started_voice_slot < 0) return nullptr;
    auto s = std::static_pointer_cast<SoundStream>(p->started_voice->sound);
    std::lock_guard guard(g_voice_mutex);
    return s && s == g_current && s->active() ? s : nullptr;
}

bool has_voice(const scene::SceneObject& o) {
    return saved_voice(o) != nullptr;
}

bool write_voice(const scene::SceneObject& o, const scene::RecordWriting&, SaveWriter& w,
                 std::string&) {
    const text::TextLayout& p = *text::text_layout_of(const_cast<scene::SceneObject&>(o));
    const SoundSnapshot s = saved_voice(o)->snapshot();
    w.i32(p.started_voice_slot);
    w.text(std::string_view(p.started_voice->src).substr(0, k_max_src));
    w.u8(static_cast<std::uint8_t>(s.state));
    w.i32(s.volume);
    w.u32(static_cast<std::uint32_t>(s.position));
    w.u32(static_cast<std::uint32_t>(s.position >> 32));
    w.i32(p.voice_sync_interval);
    return true;
}

bool read_voice(scene::SceneObject& o, SaveReader& r) {
    PendingVoice v;
    v.slot = r.i32();
    const std::string src = r.text(k_max_src);
    const std::uint8_t state = r.u8();
    v.saved.volume = r.i32();
    const std::uint64_t lo = r.u32();
    v.saved.position = lo | std::uint64_t(r.u32()) << 32;
    v.sync_ms = r.i32();
    if (!r.ok()) return false;
    if (r.left() != 0) return r.fail("more bytes than a voice section holds");
    if (state != static_cast<std::uint8_t>(State::playing) &&
        state != static_cast<std::uint8_t>(State::paused) &&
        state != static_cast<std::uint8_t>(State::held))
        return r.fail("a voice state out of range");
    if (v.saved.volume < 0 || v.saved.volume > 1000 || v.sync_ms < 0 || v.sync_ms > k_max_sync_ms)
        return r.fail("a voice setting out of range");
    text::TextLayout* p = text::text_layout_of(o);
    if (!p) return r.fail("a voice on an object without text");
    const std::int32_t count =
        std::min<std::int32_t>(p->slot_count, static_cast<std::int32_t>(p->slots.size()));
    if (v.slot < 0 || v.slot >= count) return r.fail("a voice slot out of range");
    const text::CharSlot& slot = p->slots[static_cast<std::size_t>(v.slot)];
    if (!slot.voice || slot.voice->src != src)
        return r.fail("the page's voice is not the saved one");
    if (!slot.voice->sound) {
        // The file is missing or damaged now: the page comes back without its voice.
        std::fprintf(stderr, "kestrune: voice \"%s\" cannot go on after the load\n", src.c_str());
        return true;
    }
    v.saved.state = static_cast<State>(state);
    v.identity = o.saved_identity;
    v.sound = slot.voice->sound;
    g_pending[&o] = std::move(v);
    return true;
}

// Once every object is back: the voice goes on from its frame, as the voice the page
// started (auto mode waits for it, voice sync paces the rest of the page by it).
void restart_voice(scene::SceneObject& o) {
    auto it = g_pending.find(&o);
    if (it == g_pending.end()) return;
    PendingVoice v = std::move(it->second);
    g_pending.erase(it);
    text::TextLayout* p = text::text_layout_of(o);
    if (!p || v.identity != o.saved_identity ||
        v.slot >= static_cast<std::int32_t>(p->slots.size()))
        return;
    text::CharSlot& slot = p->slots[static_cast<std::size_t>(v.slot)];
    if (!slot.voice || slot.voice->sound != v.sound) return;
    auto s = std::static_pointer_cast<SoundStream>(v.sound);
    // The slot's voice is used: the reveal does not start it again.
    p->started_voice = std::move(slot.voice);
    p->started_voice_slot = v.slot;
    p->current_voice = p->started_voice->class_name.substr(0, text::k_voice_class_size - 1);
    p->voice_sync_interval = v.sync_ms;
    v.saved.position = std::min(v.saved.position, s->total_frames());
    stop_text_voice();
    {
        std::lock_guard guard(g_voice_mutex);
        g_current = s;
    }
    s->restore(v.saved);
    p->voice_started = true;
}

} // namespace

void stop_text_voice() {
    std::shared_ptr<SoundStream> s;
    {
        std::lock_guard guard(g_voice_mutex);
        s = std::move(g_current);
    }
    if (s) s->stop();
}

void register_voice_hooks() {
    text::set_voice_loader(load_voice);
    text::DisplayHooks& h = text::display_hooks();
    h.start_voice = start_voice;
    h.voice_length_ms = voice_length_ms;
    h.voice_playing = voice_playing;
    h.stop_voice = stop_text_voice;
    h.replay_voice = replay_voice;
    scene::RecordSection voices{scene::record_tag("TVOI"), has_voice, write_voice, read_voice};
    voices.restart = restart_voice;
    scene::register_record_section(voices);
}

} // namespace kestrune::sound
