// Text voices: a VOICE tag loads its file as a VOICE stream when the page is laid out; the
// display starts it at its character when the voice settings allow the speaking character.
#include "sound/voices.h"

#include "persist/settings.h"
#include "script/system_variables.h"
#include "sound/stream.h"
#include "text/display.h"
#include "text/layout.h"

#include <cstdio>
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
}

} // namespace kestrune::sound
