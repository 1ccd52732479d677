// SoundStream: play, stop, pause, loops, the streaming thread and the sample path (pan,
// echo, the loudness estimate).
#include "sound/stream.h"

#include "frame/engine.h"
#include "platform/clock.h"
#include "sound/fade.h"
#include "sound/sound_internal.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <set>

namespace kestrune::sound {

namespace {

// Each queued buffer holds 40 ms; four of them keep 160 ms ahead of the output. The thread
// looks for played buffers once per buffer length: waking more often only costs CPU.
constexpr std::uint32_t k_buffer_ms = 40;
constexpr int k_queue_buffers = 4;
constexpr std::uint32_t k_poll_ms = 40;

std::size_t buffer_frames(std::uint32_t rate) {
    return std::max<std::size_t>(1, static_cast<std::size_t>(rate) * k_buffer_ms / 1000);
}

std::mutex g_streams_mutex;
std::set<SoundStream*> g_streams;

} // namespace

void for_each_stream(void (*fn)(SoundStream&)) {
    std::lock_guard guard(g_streams_mutex);
    for (SoundStream* s : g_streams) fn(*s);
}

platform::Event& voice_level_event() {
    static platform::Event event{true, false};
    return event;
}

bool parse_kind(std::string_view name, Kind& kind) {
    static const std::pair<std::string_view, Kind> k_words[] = {
        {"BGM", Kind::bgm}, {"SE", Kind::se}, {"VOICE", Kind::voice}, {"SILENT", Kind::silent}};
    for (auto [word, k] : k_words) {
        if (name.substr(0, word.size()) != word) continue;
        if (name.size() > word.size()) {
            const auto c = static_cast<unsigned char>(name[word.size()]);
            if (!std::isdigit(c)) continue;
        }
        kind = k;
        return true;
    }
    return false;
}

double volume_gain(double master, std::int32_t volume) {
    const double x = master * std::clamp(volume, 0, 1000) / 1000.0;
    if (x <= 0) return 0.0;
    const double level = std::max(-10000.0, 3322.0 * std::log10(x));
    if (level <= -10000.0) return 0.0;
    return std::pow(10.0, level / 2000.0);
}

void pan_gains(std::int32_t pan, float& left, float& right) {
    pan = std::clamp(pan, -10000, 10000);
    const float far =
        std::abs(pan) >= 10000 ? 0.0f : static_cast<float>(std::pow(10.0, -std::abs(pan) / 2000.0));
    left = pan > 0 ? far : 1.0f;
    right = pan < 0 ? far : 1.0f;
}

std::unique_ptr<SoundStream> SoundStream::create(Kind kind, const std::string& file,
                                                 std::string& error) {
    std::unique_ptr<SoundStream> s(new SoundStream());
    s->m_kind = kind;
    s->m_file = file;
    if (kind == Kind::silent) {
        s->m_format = {2, 44100};
    } else {
        // Name length is checked so that the name and an extension fit the name field.
        if (file.empty() || file.size() >= 256) {
            error = "sound file names must have 1 to 255 bytes";
            return nullptr;
        }
        std::unique_ptr<storage::ResourceFile> f;
        for (const char* ext : {"", ".wav", ".ogg"}) {
            auto candidate = std::make_unique<storage::ResourceFile>();
            if (candidate->create(file + ext) && candidate->open()) {
                f = std::move(candidate);
                break;
            }
        }
        if (!f) {
            error = "no such sound file (tried the name, .wav and .ogg)";
            return nullptr;
        }
        s->m_decoder = open_decoder(std::move(f), error);
        if (!s->m_decoder) return nullptr;
        s->m_format = s->m_decoder->format();
        s->m_total = s->m_decoder->total_frames();
    }
    s->m_master = kind == Kind::silent ? 1.0 : master_volume(kind);
    s->m_voice = std::make_unique<platform::AudioVoice>();
    for (std::size_t i = 0; i < s->m_fades.size(); ++i)
        s->m_fades[i] = std::make_unique<Fade>(*s, static_cast<int>(i));
    std::lock_guard guard(g_streams_mutex);
    g_streams.insert(s.get());
    return s;
}

SoundStream::~SoundStream() {
    {
        std::lock_guard guard(g_streams_mutex);
        g_streams.erase(this);
    }
    for (auto& f : m_fades)
        if (f) f->cancel();
    m_state = State::stopped;
    end_thread();
    m_voice.reset();
}

bool SoundStream::active() const {
    const State s = m_state.load();
    return s == State::playing || s == State::paused || s == State::held;
}

std::int32_t SoundStream::duration_ms() const {
    if (!m_format.rate) return 0;
    return static_cast<std::int32_t>(m_total * 1000 / m_format.rate);
}

std::int32_t SoundStream::remaining_ms() const {
    if (!m_format.rate) return 0;
    std::lock_guard guard(m_mutex);
    const std::uint64_t pos = std::min(m_pos, m_total);
    return static_cast<std::int32_t>((m_total - pos) * 1000 / m_format.rate);
}

std::int32_t SoundStream::frequency_hz() const {
    const std::int32_t hz = m_hz.load();
    return hz ? hz : static_cast<std::int32_t>(m_format.rate);
}

// Reads up to `frames` frames through the loop rules and turns them into stereo floats
// with the pan gains (and the echo). Sets m_data_ended when nothing remains to play.
std::size_t SoundStream::fill(std::vector<float>& out, std::size_t frames) {
    const std::uint32_t ch = m_format.channels;
    m_pcm.assign(frames * ch, 0);
    std::size_t got = 0;
    if (m_kind == Kind::silent) {
        got = frames;
    } else {
        const bool region = m_loop_end > m_loop_start;
        int empty_rounds = 0;
        while (got < frames) {
            const std::uint64_t end = region ? std::min(m_loop_end, m_total) : m_total;
            if (m_pos >= end) {
                const bool again = m_loop_count == -1 || m_plays < m_loop_count;
                if (!again || ++empty_rounds > 2) {
                    m_data_ended = true;
                    break;
                }
                m_pos = region ? m_loop_start : 0;
                m_decoder->seek(m_pos);
                if (m_loop_count != -1) ++m_plays;
                continue;
            }
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(frames - got, end - m_pos));
            const std::size_t n = m_decoder->read(m_pcm.data() + got * ch, want);
            if (n > 0) empty_rounds = 0;
            got += n;
            m_pos += n;
            // A short read means the data is damaged or cut from here: it ends there.
            if (n < want) m_total = m_pos;
        }
        // An echo rings on after the data: silence runs through it until its tail is out.
        if (m_data_ended && m_echo && m_echo_tail > 0) {
            const std::size_t pad =
                static_cast<std::size_t>(std::min<std::uint64_t>(frames - got, m_echo_tail));
            got += pad;
            m_echo_tail -= pad;
            m_data_ended = m_echo_tail == 0;
        }
    }
    out.resize(got * 2);
    float left = 1, right = 1;
    if (m_kind != Kind::voice) pan_gains(m_pan.load(), left, right);
    constexpr float k_scale = 1.0f / 32768.0f;
    for (std::size_t i = 0; i < got; ++i) {
        const float l = m_pcm[i * ch] * k_scale;
        const float r = ch == 2 ? m_pcm[i * ch + 1] * k_scale : l;
        out[i * 2] = l * left;
        out[i * 2 + 1] = r * right;
    }
    if (m_echo && got) process_echo(out.data(), got);
    // The loudness estimate: four frames spread over the block.
    std::int32_t level = 0;
    if (got >= 1) {
        const std::size_t idx[4] = {0, got / 4, got / 4 + got / 2, got - 1};
        std::int64_t sum = 0;
        for (std::size_t k : idx)
            for (std::uint32_t c = 0; c < ch; ++c) sum += std::abs(m_pcm[k * ch + c]);
        level = static_cast<std::int32_t>(sum / (4 * ch));
    }
    m_level = level;
    if (m_kind == Kind::voice && level > 99) voice_level_event().signal();
    return got;
}

void SoundStream::process_echo(float* frames, std::size_t count) {
    const float dry = 1.0f - m_echo_mix, wet = m_echo_mix;
    for (std::size_t i = 0; i < count; ++i) {
        float& l = frames[i * 2];
        float& r = frames[i * 2 + 1];
        const float dl = m_echo_left[m_echo_pos_l], dr = m_echo_right[m_echo_pos_r];
        m_echo_left[m_echo_pos_l] = l + m_echo_feedback * dl;
        m_echo_right[m_echo_pos_r] = r + m_echo_feedback * dr;
        l = dry * l + wet * dl;
        r = dry * r + wet * dr;
        if (++m_echo_pos_l == m_echo_left.size()) m_echo_pos_l = 0;
        if (++m_echo_pos_r == m_echo_right.size()) m_echo_pos_r = 0;
    }
}

void SoundStream::set_echo(std::int32_t left_ms, std::int32_t right_ms, std::int32_t feedback,
                           std::int32_t mix) {
    std::lock_guard guard(m_mutex);
    m_echo = true;
    m_echo_left.assign(std::max<std::size_t>(1, std::size_t(left_ms) * m_format.rate / 1000), 0.0f);
    m_echo_right.assign(std::max<std::size_t>(1, std::size_t(right_ms) * m_format.rate / 1000),
                        0.0f);
    m_echo_pos_l = m_echo_pos_r = 0;
    m_echo_feedback = static_cast<float>(feedback) / 100.0f;
    m_echo_mix = static_cast<float>(mix) / 100.0f;
}

bool SoundStream::set_effect(const platform::AudioEffect& effect) {
    {
        std::lock_guard guard(m_mutex);
        m_echo = false;
    }
    return m_voice->set_effect(effect);
}

void SoundStream::apply_gain() {
    m_voice->set_gain(static_cast<float>(volume_gain(m_master.load(), m_volume.load())));
}

void SoundStream::apply_pitch() {
    if (m_kind == Kind::voice || !m_format.rate) return;
    m_voice->set_pitch(static_cast<float>(frequency_hz()) / static_cast<float>(m_format.rate));
}

void SoundStream::apply_master() {
    if (m_kind == Kind::silent) return;
    m_master = master_volume(m_kind);
    apply_gain();
}

void SoundStream::apply_volume(std::int32_t volume) {
    m_volume = std::clamp(volume, 0, 1000);
    apply_gain();
}

void SoundStream::apply_pan(std::int32_t pan) {
    if (m_kind == Kind::voice) return;
    m_pan = std::clamp(pan, -10000, 10000);
}

void SoundStream::apply_frequency(std::int32_t hz) {
    if (m_kind == Kind::voice) return;
    m_hz = hz == 0 ? 0 : std::clamp(hz, 100, 200000);
    apply_pitch();
}

void SoundStream::end_thread() {
    m_end_requested = true;
    m_wake.signal();
    if (m_thread.valid()) {
        m_thread.join_for(platform::k_infinite);
        m_thread = platform::Thread();
    }
    m_wake.reset();
    m_end_requested = false;
}

bool SoundStream::play() {
    const State s = m_state.load();
    if (s != State::ready && s != State::stopped) return false;
    end_thread();
    const std::uint64_t generation = ++m_generation;
    {
        std::lock_guard guard(m_mutex);
        // Start position: a position inside the loop region goes back to its start,
        // any other to the start of the data.
        const bool region = m_loop_end > m_loop_start;
        m_pos = region && m_pos >= m_loop_start && m_pos > 0 ? m_loop_start : 0;
        if (m_decoder) m_decoder->seek(m_pos);
        m_plays = 1;
        m_data_ended = false;
        m_echo_tail = 0;
        if (m_echo) {
            // Each pass round the feedback loop adds the longer delay again.
            const std::uint64_t longest = std::max(m_echo_left.size(), m_echo_right.size());
            const auto passes = static_cast<std::uint64_t>(1 + 8 * m_echo_feedback);
            m_echo_tail = std::min<std::uint64_t>(longest * passes, 20ull * m_format.rate);
            std::fill(m_echo_left.begin(), m_echo_left.end(), 0.0f);
            std::fill(m_echo_right.begin(), m_echo_right.end(), 0.0f);
        }
        m_voice->stop();
        std::vector<float> block;
        for (int i = 0; i < k_queue_buffers && !m_data_ended && m_voice->valid(); ++i) {
            if (fill(block, buffer_frames(m_format.rate)) == 0) break;
            m_voice->queue(block, m_format.rate);
        }
    }
    apply_gain();
    apply_pitch();
    m_state = State::playing;
    m_voice->play();
    m_thread.start([this, generation] { stream_body(generation); });
    return true;
}

void SoundStream::stream_body(std::uint64_t generation) {
    std::vector<float> block;
    bool ended = false;
    platform::Tick silent_clock = platform::tick_ms();
    while (!ended) {
        m_wake.wait(k_poll_ms);
        if (m_end_requested || m_generation.load() != generation || platform::stop_requested() ||
            engine::quit_requested())
            break;
        const State s = m_state.load();
        if (s == State::paused || s == State::held) continue;
        if (s != State::playing) break;
        // The master volume follows the settings and express skipping.
        if (m_kind != Kind::silent && master_volume(m_kind) != m_master) apply_master();
        std::lock_guard guard(m_mutex);
        if (!m_voice->valid()) {
            // No sound device: the data is consumed at its pace, unheard, so that waits on
            // the sound last as long as it would be heard.
            const platform::Tick now = platform::tick_ms();
            const double pitch = double(frequency_hz()) / std::max(1u, m_format.rate);
            const auto frames = static_cast<std::size_t>(
                std::max(0, platform::tick_diff(now, silent_clock)) * m_format.rate * pitch / 1000);
            silent_clock = now;
            if (frames) fill(block, frames);
            ended = m_data_ended;
            continue;
        }
        m_voice->reclaim();
        while (!m_data_ended && m_voice->queued() < k_queue_buffers) {
            if (fill(block, buffer_frames(m_format.rate)) == 0) break;
            m_voice->queue(block, m_format.rate);
        }
        if (m_voice->playing()) continue;
        // The voice stopped: at the end of the data it has played out; otherwise it ran
        // dry and goes on.
        if (m_data_ended || m_voice->queued() == 0) {
            ended = true;
        } else {
            m_voice->play();
        }
    }
    if (ended && m_generation.load() == generation) {
        std::lock_guard guard(m_mutex);
        m_state = State::stopped;
        m_pos = 0;
        m_level = 0;
        m_voice->stop();
    }
}

void SoundStream::stop() {
    const State s = m_state.load();
    if (s == State::stopped) return;
    m_state = State::stopped;
    end_thread();
    std::lock_guard guard(m_mutex);
    m_voice->stop();
    m_pos = 0;
    m_level = 0;
}

void SoundStream::pause() {
    if (m_state.load() != State::playing) return;
    m_state = State::paused;
    m_voice->pause();
}

void SoundStream::resume() {
    const State s = m_state.load();
    if (s != State::paused && s != State::held) return;
    m_state = State::playing;
    m_voice->play();
}

void SoundStream::global_pause() {
    if (m_state.load() != State::playing) return;
    if (m_kind != Kind::se && m_kind != Kind::voice && !m_suspend_mark) return;
    m_state = State::held;
    m_voice->pause();
}

void SoundStream::global_resume() {
    if (m_state.load() != State::held) return;
    m_state = State::playing;
    m_voice->play();
}

void SoundStream::set_loop(const std::string& value) {
    std::int32_t n = 0;
    std::string upper = value;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper == "TRUE") {
        n = -1;
    } else if (upper == "FALSE") {
        n = 0;
    } else if (!value.empty() && (value[0] == '#' || value[0] == '$')) {
        n = static_cast<std::int32_t>(variable_number(value));
    } else {
        n = parse_int(value);
    }
    std::lock_guard guard(m_mutex);
    m_loop_count = n < 0 ? -1 : n;
}

void SoundStream::set_loop_point(std::int64_t start_ms, std::int64_t end_ms) {
    std::lock_guard guard(m_mutex);
    const std::uint64_t rate = m_format.rate;
    auto frames = [rate](std::int64_t ms) {
        return static_cast<std::uint64_t>(std::max<std::int64_t>(0, ms)) * rate / 1000;
    };
    std::uint64_t start = frames(start_ms), end = frames(end_ms);
    if (start > m_total) start = 0;
    // An end within one millisecond of the end of the data (or past it) is the end.
    if (end != m_total && (end > m_total || m_total - end < rate / 1000)) end = m_total;
    if (end <= start) start = end = 0;
    m_loop_start = start;
    m_loop_end = end;
}

} // namespace kestrune::sound
