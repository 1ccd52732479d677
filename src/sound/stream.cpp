// SoundStream: play, stop, pause, loops, the streaming thread and the sample path (pan,
// echo, the loudness estimate).
#include "sound/stream.h"

#include "frame/engine.h"
#include "platform/clock.h"
#include "sound/fade.h"
#include "sound/pump.h"
#include "sound/sound_internal.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <set>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrune::sound {

namespace {

// Each queued buffer holds 50 ms; eight of them keep 400 ms ahead of the output. The
// streaming thread (sound/pump.cpp) refills every 200 ms, four buffers at a time, so that
// 200 ms stay queued: fewer wake-ups, and a late refill on a busy machine is not heard. A
// change of pan makes the queue again (requeue_from_heard).
constexpr std::uint32_t k_buffer_ms = 50;
constexpr int k_queue_buffers = 8;

std::size_t buffer_frames(std::uint32_t rate) {
    return std::max<std::size_t>(1, static_cast<std::size_t>(rate) * k_buffer_ms / 1000);
}

// 16-bit samples to stereo floats with the pan gains, in one pass (four frames at a time
// with SSE2; the same products as the plain loop, so the output is the same to the bit).
void to_stereo_float(const std::int16_t* in, float* dst, std::size_t frames, std::uint32_t ch,
                     float gl, float gr) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128 gains = _mm_setr_ps(gl, gr, gl, gr);
    const __m128 mono_l = _mm_set1_ps(gl), mono_r = _mm_set1_ps(gr);
    for (; i + 4 <= frames; i += 4) {
        if (ch == 2) {
            // Eight samples: L R L R L R L R.
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i * 2));
            const __m128i lo = _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16);
            const __m128i hi = _mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16);
            _mm_storeu_ps(dst + i * 2, _mm_mul_ps(_mm_cvtepi32_ps(lo), gains));
            _mm_storeu_ps(dst + i * 2 + 4, _mm_mul_ps(_mm_cvtepi32_ps(hi), gains));
        } else {
            const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + i));
            const __m128 f = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16));
            const __m128 l = _mm_mul_ps(f, mono_l), r = _mm_mul_ps(f, mono_r);
            _mm_storeu_ps(dst + i * 2, _mm_unpacklo_ps(l, r));
            _mm_storeu_ps(dst + i * 2 + 4, _mm_unpackhi_ps(l, r));
        }
    }
#endif
    for (; i < frames; ++i) {
        const std::int16_t l = in[i * ch], r = in[i * ch + ch - 1];
        dst[i * 2] = l * gl;
        dst[i * 2 + 1] = r * gr;
    }
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
    pump_remove(this);
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
    if (m_pcm.size() < frames * ch) m_pcm.resize(frames * ch);
    m_fill_pieces.clear();
    std::size_t got = 0;
    if (m_kind == Kind::silent) {
        std::fill_n(m_pcm.begin(), frames * ch, std::int16_t(0));
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
            if (n > 0) {
                empty_rounds = 0;
                m_fill_pieces.push_back({static_cast<std::uint32_t>(got),
                                         static_cast<std::uint32_t>(n), m_pos, m_plays});
            }
            got += n;
            m_pos += n;
            // A short read means the data is damaged or cut from here: it ends there.
            if (n < want) m_total = m_pos;
        }
        // An echo rings on after the data: silence runs through it until its tail is out.
        if (m_data_ended && m_echo && m_echo_tail > 0) {
            const std::size_t pad =
                static_cast<std::size_t>(std::min<std::uint64_t>(frames - got, m_echo_tail));
            std::fill_n(m_pcm.begin() + static_cast<std::ptrdiff_t>(got * ch), pad * ch,
                        std::int16_t(0));
            got += pad;
            m_echo_tail -= pad;
            m_data_ended = m_echo_tail == 0;
        }
    }
    out.resize(got * 2);
    float left = 1, right = 1;
    if (m_kind != Kind::voice) pan_gains(m_pan.load(), left, right);
    constexpr float k_scale = 1.0f / 32768.0f;
    const std::int16_t* in = m_pcm.data();
    float* dst = out.data();
    to_stereo_float(in, dst, got, ch, left * k_scale, right * k_scale);
    if (m_echo && got) process_echo(out.data(), got);
    // The loudness estimate of the block written last: four frames spread over it (an
    // empty block leaves the estimate of the one before).
    if (got == 0) return 0;
    std::int32_t level = 0;
    {
        const std::size_t idx[4] = {0, got / 4, got / 4 + got / 2, got - 1};
        std::int64_t sum = 0;
        for (std::size_t k : idx)
            for (std::uint32_t c = 0; c < ch; ++c) sum += std::abs(m_pcm[k * ch + c]);
        level = static_cast<std::int32_t>(sum / (4 * ch));
    }
    m_level = level;
    // Signalling wakes every waiting thread: only when the event is not already set.
    if (m_kind == Kind::voice && level > 99 && !voice_level_event().is_signalled())
        voice_level_event().signal();
    return got;
}

void SoundStream::process_echo(float* frames, std::size_t count) {
    const float dry = 1.0f - m_echo_mix, wet = m_echo_mix;
    const bool undo = !m_echo_undo.empty();
    for (std::size_t i = 0; i < count; ++i) {
        float& l = frames[i * 2];
        float& r = frames[i * 2 + 1];
        const float dl = m_echo_left[m_echo_pos_l], dr = m_echo_right[m_echo_pos_r];
        if (undo) {
            m_echo_undo[2 * m_echo_undo_head] = dl;
            m_echo_undo[2 * m_echo_undo_head + 1] = dr;
            if (++m_echo_undo_head * 2 == m_echo_undo.size()) m_echo_undo_head = 0;
        }
        m_echo_left[m_echo_pos_l] = l + m_echo_feedback * dl;
        m_echo_right[m_echo_pos_r] = r + m_echo_feedback * dr;
        l = dry * l + wet * dl;
        r = dry * r + wet * dr;
        if (++m_echo_pos_l == m_echo_left.size()) m_echo_pos_l = 0;
        if (++m_echo_pos_r == m_echo_right.size()) m_echo_pos_r = 0;
    }
    m_echo_undo_count = std::min(m_echo_undo_count + count, m_echo_undo.size() / 2);
}

bool SoundStream::rewind_echo(std::int64_t offset) {
    std::uint64_t queued = 0, data_after = 0;
    std::uint64_t left = offset < 0 ? ~std::uint64_t{0} : static_cast<std::uint64_t>(offset);
    for (std::size_t i = 0; i < m_ring_count; ++i) {
        const QueuedBuffer& b = m_ring[(m_ring_head + i) % k_ring];
        queued += b.frames;
        const std::uint64_t from = std::min<std::uint64_t>(left, b.frames);
        // The data frames of this buffer at or after the one being heard; the others ran
        // silence through the echo after the data's end.
        for (const Piece& p : b.pieces)
            if (std::uint64_t(p.at) + p.count > from)
                data_after += std::uint64_t(p.at) + p.count - std::max<std::uint64_t>(p.at, from);
        left -= from;
    }
    const std::uint64_t unheard = offset < 0 ? 0 : queued - std::min<std::uint64_t>(queued, offset);
    if (unheard > m_echo_undo_count) return false;
    const std::size_t ring = m_echo_undo.size() / 2;
    for (std::uint64_t k = 0; k < unheard; ++k) {
        m_echo_undo_head = (m_echo_undo_head == 0 ? ring : m_echo_undo_head) - 1;
        m_echo_pos_l = (m_echo_pos_l == 0 ? m_echo_left.size() : m_echo_pos_l) - 1;
        m_echo_pos_r = (m_echo_pos_r == 0 ? m_echo_right.size() : m_echo_pos_r) - 1;
        m_echo_left[m_echo_pos_l] = m_echo_undo[2 * m_echo_undo_head];
        m_echo_right[m_echo_pos_r] = m_echo_undo[2 * m_echo_undo_head + 1];
    }
    m_echo_undo_count -= unheard;
    m_echo_tail += unheard - std::min(unheard, data_after);
    return true;
}

void SoundStream::set_echo(std::int32_t left_ms, std::int32_t right_ms, std::int32_t feedback,
                           std::int32_t mix) {
    std::lock_guard guard(m_mutex);
    m_echo = true;
    m_echo_left.assign(std::max<std::size_t>(1, std::size_t(left_ms) * m_format.rate / 1000), 0.0f);
    m_echo_right.assign(std::max<std::size_t>(1, std::size_t(right_ms) * m_format.rate / 1000),
                        0.0f);
    m_echo_pos_l = m_echo_pos_r = 0;
    m_echo_undo.assign(2 * (k_queue_buffers + 1) * buffer_frames(m_format.rate), 0.0f);
    m_echo_undo_head = m_echo_undo_count = 0;
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
    const std::int32_t p = std::clamp(pan, -10000, 10000);
    if (m_pan.exchange(p) != p) requeue_from_heard();
}

// The pan is in the queued samples: a change is heard at once when the queue is made
// again from the frame being heard. With an echo, the delay lines are wound back to that
// frame first, so that the echo goes on as if the change had come before the queueing.
void SoundStream::requeue_from_heard() {
    const State s = m_state.load();
    if (s != State::playing && s != State::paused && s != State::held) return;
    std::lock_guard guard(m_mutex);
    if (!m_decoder || !m_voice->valid()) return;
    const std::int64_t offset = m_voice->queue_offset();
    if (m_echo && !rewind_echo(offset)) return;
    std::int32_t plays = m_plays;
    const std::uint64_t pos = heard_position_at(offset, plays);
    m_voice->stop();
    forget_queue();
    m_pos = std::min(pos, m_total);
    m_plays = plays;
    m_decoder->seek(m_pos);
    m_data_ended = false;
    queue_first_buffers();
    if (s == State::playing) m_voice->play();
}

void SoundStream::apply_frequency(std::int32_t hz) {
    if (m_kind == Kind::voice) return;
    m_hz = hz == 0 ? 0 : std::clamp(hz, 100, 200000);
    apply_pitch();
}

bool SoundStream::play() {
    const State s = m_state.load();
    if (s != State::ready && s != State::stopped) return false;
    std::uint64_t pos = 0;
    {
        std::lock_guard guard(m_mutex);
        // Start position: a position inside the loop region goes back to its start,
        // any other to the start of the data.
        const bool region = m_loop_end > m_loop_start;
        pos = region && m_pos >= m_loop_start && m_pos > 0 ? m_loop_start : 0;
        if (m_seek_frame) pos = *m_seek_frame;
        m_seek_frame.reset();
    }
    start_at(pos, 1, false);
    return true;
}

void SoundStream::start_at(std::uint64_t pos, std::int32_t plays, bool paused) {
    pump_remove(this);
    {
        std::lock_guard guard(m_mutex);
        m_pos = std::min(pos, m_total);
        m_plays = plays;
        if (m_decoder) m_decoder->seek(m_pos);
        m_data_ended = false;
        m_echo_tail = 0;
        if (m_echo) {
            // Each pass round the feedback loop adds the longer delay again.
            const std::uint64_t longest = std::max(m_echo_left.size(), m_echo_right.size());
            const auto passes = static_cast<std::uint64_t>(1 + 8 * m_echo_feedback);
            m_echo_tail = std::min<std::uint64_t>(longest * passes, 20ull * m_format.rate);
            std::fill(m_echo_left.begin(), m_echo_left.end(), 0.0f);
            std::fill(m_echo_right.begin(), m_echo_right.end(), 0.0f);
            m_echo_undo_head = m_echo_undo_count = 0;
        }
        m_voice->stop();
        forget_queue();
        queue_first_buffers();
    }
    apply_gain();
    apply_pitch();
    m_state = paused ? State::paused : State::playing;
    m_silent_clock = platform::tick_ms();
    if (!paused) m_voice->play();
    pump_add(this);
}

void SoundStream::queue_first_buffers() {
    for (int i = 0; i < k_queue_buffers && !m_data_ended && m_voice->valid(); ++i) {
        if (fill(m_block, buffer_frames(m_format.rate)) == 0) break;
        queue_block(m_block);
    }
}

bool SoundStream::queue_block(const std::vector<float>& block) {
    if (!m_voice->queue(block, m_format.rate)) return false;
    if (m_ring_count == k_ring) { // cannot happen with k_queue_buffers < k_ring
        m_ring_head = (m_ring_head + 1) % k_ring;
        --m_ring_count;
    }
    QueuedBuffer& b = m_ring[(m_ring_head + m_ring_count) % k_ring];
    b.frames = block.size() / 2;
    b.pieces.assign(m_fill_pieces.begin(), m_fill_pieces.end());
    ++m_ring_count;
    return true;
}

void SoundStream::reclaim_buffers() {
    for (int n = m_voice->reclaim(); n > 0 && m_ring_count > 0; --n) {
        m_ring_head = (m_ring_head + 1) % k_ring;
        --m_ring_count;
    }
}

void SoundStream::forget_queue() {
    m_ring_head = m_ring_count = 0;
}

std::uint64_t SoundStream::heard_position(std::int32_t& plays) const {
    if (!m_voice->valid()) {
        plays = m_plays;
        return m_pos;
    }
    return heard_position_at(m_voice->queue_offset(), plays);
}

std::uint64_t SoundStream::heard_position_at(std::int64_t offset, std::int32_t& plays) const {
    plays = m_plays;
    if (offset < 0) return m_pos; // everything queued has been heard
    auto left = static_cast<std::uint64_t>(offset);
    for (std::size_t i = 0; i < m_ring_count; ++i) {
        const QueuedBuffer& b = m_ring[(m_ring_head + i) % k_ring];
        if (left >= b.frames) {
            left -= b.frames;
            continue;
        }
        for (const Piece& p : b.pieces) {
            if (left < p.at) break; // inside an echo's tail: no data is heard
            if (left < std::uint64_t(p.at) + p.count) {
                plays = p.plays;
                return p.frame + (left - p.at);
            }
        }
        return m_total;
    }
    return m_pos;
}

SoundSnapshot SoundStream::snapshot() const {
    SoundSnapshot s;
    s.state = m_state.load();
    s.volume = m_volume.load();
    s.pan = m_pan.load();
    s.hz = m_hz.load();
    s.suspend_mark = m_suspend_mark.load();
    for (std::size_t i = 0; i < m_fades.size(); ++i) {
        Fade::Snapshot f;
        if (m_fades[i]->snapshot(f)) s.fades[i] = f;
    }
    s.effect = m_effect;
    std::lock_guard guard(m_mutex);
    s.loop_count = m_loop_count;
    s.loop_start = m_loop_start;
    s.loop_end = m_loop_end;
    s.position = active() ? heard_position(s.plays) : 0;
    if (!active()) s.plays = 1;
    return s;
}

void SoundStream::restore(const SoundSnapshot& saved) {
    if (saved.effect) {
        std::string why;
        if (!apply_sound_effect(*this, *saved.effect, why)) remember_effect(std::nullopt);
    }
    m_suspend_mark = saved.suspend_mark;
    apply_volume(saved.volume);
    apply_pan(saved.pan);
    apply_frequency(saved.hz);
    {
        std::lock_guard guard(m_mutex);
        m_loop_count = saved.loop_count < 0 ? -1 : saved.loop_count;
        m_loop_end = std::min(saved.loop_end, m_total);
        m_loop_start = std::min(saved.loop_start, m_loop_end);
    }
    const State st = saved.state;
    if (st == State::playing || st == State::paused || st == State::held) {
        // A stream held by a system script that ran at the save plays on after the load.
        start_at(saved.position, std::max(1, saved.plays), st == State::paused);
    } else {
        stop();
        m_state = st == State::ready ? State::ready : State::stopped;
    }
    for (std::size_t i = 0; i < m_fades.size(); ++i) {
        if (!saved.fades[i]) continue;
        // Voices keep their own pan and rate.
        if (m_kind == Kind::voice && i != Fade::volume) continue;
        const Fade::Snapshot& f = *saved.fades[i];
        m_fades[i]->start(f.from, f.to, f.duration_ms, f.easing, f.position);
    }
}

bool SoundStream::service(bool& data_ended) {
    const State s = m_state.load();
    if (s == State::paused || s == State::held) {
        std::lock_guard guard(m_mutex);
        m_silent_clock = platform::tick_ms(); // a pause consumes nothing
        data_ended = m_data_ended;
        return true;
    }
    if (s != State::playing) return false;
    // The master volume follows the settings and express skipping.
    if (m_kind != Kind::silent && master_volume(m_kind) != m_master) apply_master();
    std::lock_guard guard(m_mutex);
    bool ended = false;
    if (!m_voice->valid()) {
        // No sound device: the data is consumed at its pace, unheard, so that waits on the
        // sound last as long as it would be heard.
        const platform::Tick now = platform::tick_ms();
        const double pitch = double(frequency_hz()) / std::max(1u, m_format.rate);
        const auto frames = static_cast<std::size_t>(
            std::max(0, platform::tick_diff(now, m_silent_clock)) * m_format.rate * pitch / 1000);
        m_silent_clock = now;
        if (frames) fill(m_block, frames);
        ended = m_data_ended;
    } else {
        reclaim_buffers();
        while (!m_data_ended && m_voice->queued() < k_queue_buffers) {
            if (fill(m_block, buffer_frames(m_format.rate)) == 0) break;
            queue_block(m_block);
        }
        // The voice stopped: at the end of the data it has played out; otherwise it ran dry
        // and goes on.
        if (!m_voice->playing()) {
            if (m_data_ended || m_voice->queued() == 0)
                ended = true;
            else
                m_voice->play();
        }
    }
    data_ended = m_data_ended;
    if (!ended) return true;
    m_state = State::stopped;
    m_pos = 0;
    m_level = 0;
    m_voice->stop();
    forget_queue();
    return false;
}

void SoundStream::stop() {
    const State s = m_state.load();
    if (s == State::stopped) return;
    m_state = State::stopped;
    pump_remove(this);
    std::lock_guard guard(m_mutex);
    m_voice->stop();
    forget_queue();
    m_pos = 0;
    m_level = 0;
}

void SoundStream::seek(std::int64_t ms) {
    if (m_kind == Kind::silent) return;
    std::lock_guard guard(m_mutex);
    const std::uint64_t frame = std::min<std::uint64_t>(
        static_cast<std::uint64_t>(std::max<std::int64_t>(0, ms)) * m_format.rate / 1000, m_total);
    const State s = m_state.load();
    if (s != State::playing && s != State::paused && s != State::held) {
        // A stream that does not play starts there when it next plays.
        m_seek_frame = frame;
        return;
    }
    m_voice->stop();
    forget_queue();
    m_pos = frame;
    m_decoder->seek(m_pos);
    m_data_ended = false;
    queue_first_buffers();
    if (s == State::playing) m_voice->play();
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
    pump_wake(); // the queue ran down while paused: refill it now
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
    pump_wake(); // the queue ran down while held: refill it now
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
