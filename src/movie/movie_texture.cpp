// MovieTexture: the decoder thread, the frame queue and the play clock.
#include "movie/movie_texture.h"

#include "frame/engine.h"
#include "script/system_variables.h"
#include "storage/resource_file.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kestrune::movie {

namespace {

// Frames decoded ahead of the clock. A few are enough for the pictures; they also bound
// how far ahead the sound is queued (it comes interleaved with them).
constexpr std::size_t k_queue_frames = 6;
// The decoder thread looks at its sound voice this often while it has nothing to decode.
constexpr std::uint32_t k_voice_poll_ms = 20;
// A movie whose pictures end this much before the length its container gives was cut.
constexpr std::int64_t k_short_ms = 50;
// How long creation waits for the first frame.
constexpr std::uint32_t k_first_frame_ms = 1000;

// The movie's bytes through the file-access layer: loose files, archives and the cache.
class ResourceStream : public platform::ByteStream {
public:
    explicit ResourceStream(std::unique_ptr<storage::ResourceFile> f) : m_file(std::move(f)) {}
    ~ResourceStream() override { m_file->close(); }
    std::size_t read(void* dst, std::size_t bytes) override { return m_file->read(dst, 1, bytes); }
    bool seek(std::int64_t position) override { return m_file->seek(position, 0) == 0; }
    std::int64_t size() override { return m_file->size(); }

private:
    std::unique_ptr<storage::ResourceFile> m_file;
};

std::unique_ptr<storage::ResourceFile> open_resource(const std::string& name) {
    auto f = std::make_unique<storage::ResourceFile>();
    if (f->create(name) && f->open()) return f;
    return nullptr;
}

// Volume law of the sound device: 3322 x log10(volume / 1000) hundredths of a decibel,
// silent at -10000 and below.
float gain_of(double volume_fraction) {
    if (!(volume_fraction > 0)) return 0.0f;
    const double level = 3322.0 * std::log10(std::min(1.0, volume_fraction));
    if (level <= -10000.0) return 0.0f;
    return static_cast<float>(std::pow(10.0, level / 2000.0));
}

} // namespace

std::string movie_resource_name(const std::string& name) {
    if (name.rfind("file:", 0) == 0) return name.substr(5);
    return script::resource_path_prefix() + name;
}

std::unique_ptr<MovieTexture> MovieTexture::open(const std::string& name,
                                                 const MovieOptions& options, std::string& error) {
    if (name.empty()) {
        error = "no movie file was named";
        return nullptr;
    }
    const bool plain = name.rfind("file:", 0) == 0;
    std::unique_ptr<storage::ResourceFile> file = open_resource(movie_resource_name(name));
    if (!file && !plain && !script::resource_path_prefix().empty()) file = open_resource(name);
    if (!file) {
        error = "no such movie file";
        return nullptr;
    }
    auto decoder =
        platform::MovieDecoder::open(std::make_unique<ResourceStream>(std::move(file)), error);
    if (!decoder) return nullptr;

    std::unique_ptr<MovieTexture> m(new MovieTexture());
    m->m_name = name;
    m->m_options = options;
    m->m_loop = options.loop;
    m->m_volume = std::clamp(options.volume, 0, 1000);
    m->m_duration_ms = decoder->duration_ms();
    std::int32_t w = options.width > 0 ? options.width : decoder->width();
    std::int32_t h = options.height > 0
                         ? options.height
                         : (options.alpha ? decoder->height() / 2 : decoder->height());
    if (w <= 0 || h <= 0) {
        error = "its frames are too small to hold a mask half";
        return nullptr;
    }
    // The scaler may write a few bytes past a row's last pixel: rows are written top to
    // bottom, so only the last row needs room after it, and a spare row or two give it.
    auto image = std::make_shared<PixelImage>();
    const std::int32_t spare = static_cast<std::int32_t>(platform::k_row_slack / (w * 4u)) + 1;
    if (!image->allocate(w, h + spare)) {
        error = "its frames are too large";
        return nullptr;
    }
    image->height = image->display_height = h;
    image->rows.resize(static_cast<std::size_t>(h));
    image->kind = options.alpha ? k_kind_movie_alpha : k_kind_movie;
    m->m_image = image;
    if (decoder->has_audio() && platform::audio_available()) {
        m->m_voice = std::make_unique<platform::AudioVoice>();
        m->m_audio_rate = decoder->audio_rate();
        if (!m->m_voice->valid()) m->m_voice.reset();
    }
    m->m_decoder = std::move(decoder);
    m->apply_gain();
    m->m_anchor_tick = platform::tick_ms();
    MovieTexture* self = m.get();
    if (!m->m_thread.start([self] { self->decode_body(); })) {
        error = "its decoder thread could not be started";
        return nullptr;
    }
    // Wait for the first frame, then show it, so the object never appears empty.
    const platform::Tick began = platform::tick_ms();
    for (;;) {
        {
            std::lock_guard guard(m->m_mutex);
            if (!m->m_queue.empty() || m->m_end_known) break;
        }
        const std::int32_t left = static_cast<std::int32_t>(k_first_frame_ms) -
                                  platform::tick_diff(platform::tick_ms(), began);
        if (left <= 0 || engine::quit_requested()) break;
        platform::wait_any({&m->m_ready, &engine::quit_event()}, static_cast<std::uint32_t>(left));
    }
    m->pump(platform::tick_ms());
    return m;
}

MovieTexture::~MovieTexture() {
    m_quit = true;
    m_thread.request_stop();
    m_wake.signal();
    if (m_thread.valid()) m_thread.join_for(platform::k_infinite);
    if (m_voice) m_voice->stop();
    std::lock_guard guard(m_mutex);
    m_queue.clear();
}

void MovieTexture::report(const std::string& problem) {
    if (problem.empty() || m_reported.exchange(true)) return;
    std::fprintf(stderr, "kestrune: movie \"%s\": %s\n", m_name.c_str(), problem.c_str());
}

// ---- clock ---------------------------------------------------------------------------------

std::int64_t MovieTexture::clock_locked(platform::Tick now) const {
    if (m_state != MovieState::playing) return m_anchor_timeline;
    return m_anchor_timeline + std::max(0, platform::tick_diff(now, m_anchor_tick));
}

void MovieTexture::post_seek_locked(std::int64_t ms, platform::Tick now) {
    ++m_serial;
    m_seek_pending = true;
    m_seek_to = ms;
    m_queue.clear();
    m_end_known = false;
    m_anchor_timeline = ms;
    m_anchor_tick = now;
    m_wake.signal();
}

MovieState MovieTexture::state() const {
    std::lock_guard guard(m_mutex);
    return m_state;
}

std::int64_t MovieTexture::clock_ms() const {
    std::lock_guard guard(m_mutex);
    return clock_locked(platform::tick_ms());
}

bool MovieTexture::loop() const {
    std::lock_guard guard(m_mutex);
    return m_loop;
}

std::int64_t MovieTexture::loop_position() const {
    std::lock_guard guard(m_mutex);
    return m_loop_position;
}

std::int64_t MovieTexture::position_ms() const {
    std::lock_guard guard(m_mutex);
    return m_shown_pts;
}

void MovieTexture::play() {
    {
        std::lock_guard guard(m_mutex);
        post_seek_locked(0, platform::tick_ms());
        m_state = MovieState::playing;
        m_stopped.reset();
    }
    if (m_voice) {
        m_voice->stop();
        m_voice->play();
    }
}

void MovieTexture::stop() {
    {
        std::lock_guard guard(m_mutex);
        if (m_state == MovieState::stopped) return;
        const platform::Tick now = platform::tick_ms();
        post_seek_locked(0, now);
        m_state = MovieState::stopped;
    }
    if (m_voice) m_voice->stop();
    m_stopped.signal();
}

void MovieTexture::pause() {
    {
        std::lock_guard guard(m_mutex);
        if (m_state != MovieState::playing) return;
        const platform::Tick now = platform::tick_ms();
        m_anchor_timeline = clock_locked(now);
        m_anchor_tick = now;
        m_state = MovieState::paused;
    }
    if (m_voice) m_voice->pause();
}

void MovieTexture::hold() {
    {
        std::lock_guard guard(m_mutex);
        if (m_state != MovieState::playing) return;
        const platform::Tick now = platform::tick_ms();
        m_anchor_timeline = clock_locked(now);
        m_anchor_tick = now;
        m_state = MovieState::held;
    }
    if (m_voice) m_voice->pause();
}

void MovieTexture::resume() {
    {
        std::lock_guard guard(m_mutex);
        if (m_state != MovieState::paused && m_state != MovieState::held) return;
        m_anchor_tick = platform::tick_ms();
        m_state = MovieState::playing;
    }
    if (m_voice) m_voice->play();
    m_wake.signal();
}

void MovieTexture::seek(std::int64_t ms) {
    ms = std::max<std::int64_t>(0, ms);
    if (m_duration_ms > 0) ms = std::min(ms, m_duration_ms);
    {
        std::lock_guard guard(m_mutex);
        post_seek_locked(ms, platform::tick_ms());
    }
    if (m_voice) {
        // The queued sound belongs to the old position.
        const bool playing = state() == MovieState::playing;
        m_voice->stop();
        if (playing) m_voice->play();
    }
}

void MovieTexture::set_loop(bool loop) {
    std::lock_guard guard(m_mutex);
    m_loop = loop;
    m_wake.signal();
}

void MovieTexture::set_loop_position(std::int64_t ms) {
    std::lock_guard guard(m_mutex);
    m_loop_position = std::max<std::int64_t>(0, ms);
}

void MovieTexture::set_volume(std::int32_t volume) {
    m_volume = std::clamp(volume, 0, 1000);
    apply_gain();
}

void MovieTexture::set_master(double master) {
    m_master = std::clamp(master, 0.0, 1.0);
    apply_gain();
}

void MovieTexture::apply_gain() {
    if (m_voice) m_voice->set_gain(gain_of(m_master.load() * m_volume.load() / 1000.0));
}

// ---- render side -----------------------------------------------------------------------------

bool MovieTexture::convert(const platform::VideoFrame& frame) {
    PixelImage& img = *m_image;
    return m_converter.convert(frame, img.pixels.data(), img.width * 4, img.width, img.height,
                               m_options.alpha);
}

bool MovieTexture::pump(platform::Tick now) {
    std::unique_lock lock(m_mutex);
    if (m_state == MovieState::stopped) return false;
    const bool stepped = platform::stepped_clock();
    const platform::Tick began = platform::tick_ms();
    std::int64_t t = clock_locked(now);
    for (;;) {
        bool popped = false;
        while (m_queue.size() >= 2 && m_queue[1].timeline <= t) {
            m_queue.pop_front();
            popped = true;
        }
        if (popped) m_wake.signal();
        // Which frame is due is known once a frame after the clock is decoded, or the end.
        const bool known = m_end_known || m_queue.size() >= 2 ||
                           (!m_queue.empty() && m_queue.front().timeline > t);
        if (known || !stepped || m_quit.load() || engine::quit_requested()) break;
        // Stepped time stands still while the decoder catches up.
        if (platform::tick_diff(platform::tick_ms(), began) >= 1000) break;
        lock.unlock();
        platform::wait_any({&m_ready, &engine::quit_event()}, 1000);
        lock.lock();
        if (m_state == MovieState::stopped) return false;
        t = clock_locked(now);
    }
    std::unique_ptr<platform::VideoFrame> due;
    if (!m_queue.empty() && m_queue.front().timeline <= t) {
        due = std::move(m_queue.front().frame);
        m_shown_pts = m_queue.front().pts;
        m_queue.pop_front();
        m_wake.signal();
    }
    bool ended = false;
    if (m_end_known && m_queue.empty() && !due && t >= m_end_timeline &&
        m_state == MovieState::playing) {
        m_state = MovieState::stopped;
        m_anchor_timeline = t;
        ended = true;
    }
    lock.unlock();
    if (ended) {
        if (m_voice) m_voice->stop();
        m_stopped.signal();
    }
    // The frame is ours now: convert it outside the hand-off lock.
    return due && convert(*due);
}

// ---- decoder thread --------------------------------------------------------------------------

void MovieTexture::tend_voice() {
    if (!m_voice) return;
    m_voice->reclaim();
    // A voice that ran dry while the movie plays starts again once it has sound.
    if (state() == MovieState::playing && !m_voice->playing() && m_voice->queued() > 0)
        m_voice->play();
}

void MovieTexture::feed_audio(platform::DecodedItem& item, std::int64_t skip_until) {
    if (!m_voice || item.samples.empty() || !m_audio_rate) return;
    if (item.pts_ms >= 0 && item.pts_ms + 1 < skip_until) return;
    if (state() == MovieState::stopped) return;
    m_voice->queue(item.samples, m_audio_rate);
    tend_voice();
}

void MovieTexture::decode_body() {
    platform::MovieDecoder& d = *m_decoder;
    std::uint64_t serial = 0;
    // The play clock of this pass: pass_base + (pts - pass_start). A pass begins at the
    // start, at a seek, or where a loop went back to.
    std::int64_t pass_base = 0, pass_start = 0, pass_end = 0, skip_until = 0;
    bool had_frame = false, at_end = false;
    auto end_of_pass = [&] { return pass_base + std::max<std::int64_t>(0, pass_end - pass_start); };
    while (!m_quit.load() && !platform::stop_requested() && !engine::quit_requested()) {
        bool do_seek = false, loop = false, room = false;
        std::int64_t target = 0, loop_position = 0;
        {
            std::lock_guard guard(m_mutex);
            if (m_seek_pending) {
                m_seek_pending = false;
                serial = m_serial;
                target = m_seek_to;
                do_seek = true;
            }
            loop = m_loop;
            loop_position = m_loop_position;
            room = m_queue.size() < k_queue_frames;
        }
        if (do_seek) {
            d.seek(target);
            pass_base = pass_start = skip_until = target;
            pass_end = target;
            had_frame = at_end = false;
            continue;
        }
        if (at_end) {
            if (loop && had_frame) {
                pass_base = end_of_pass();
                pass_start = skip_until = pass_end = loop_position;
                d.seek(loop_position);
                had_frame = at_end = false;
                std::lock_guard guard(m_mutex);
                if (serial == m_serial) m_end_known = false;
                continue;
            }
            tend_voice();
            m_wake.wait(k_voice_poll_ms * 10);
            continue;
        }
        if (!room) {
            tend_voice();
            m_wake.wait(k_voice_poll_ms);
            continue;
        }
        platform::DecodedItem item = d.next();
        switch (item.kind) {
        case platform::DecodedItem::Kind::video: {
            platform::VideoFrame& f = *item.frame;
            // After a seek the frames before its target only lead up to it.
            if (f.pts_ms + f.duration_ms <= skip_until && f.pts_ms < skip_until) break;
            QueuedFrame q;
            q.pts = std::max(f.pts_ms, pass_start);
            q.timeline = pass_base + (q.pts - pass_start);
            pass_end = std::max(pass_end, f.pts_ms + f.duration_ms);
            had_frame = true;
            q.frame = std::move(item.frame);
            {
                std::lock_guard guard(m_mutex);
                if (serial != m_serial) break; // a seek came meanwhile
                q.serial = serial;
                m_queue.push_back(std::move(q));
            }
            m_ready.signal();
            break;
        }
        case platform::DecodedItem::Kind::audio:
            feed_audio(item, skip_until);
            break;
        case platform::DecodedItem::Kind::end:
        case platform::DecodedItem::Kind::failed: {
            if (!d.problem().empty())
                report(d.problem());
            else if (m_duration_ms > 0 && had_frame && pass_end + k_short_ms < m_duration_ms)
                report("it ends at " + std::to_string(pass_end) + " ms of its " +
                       std::to_string(m_duration_ms) + " ms: the file is cut short");
            at_end = true;
            if (loop && had_frame) break; // goes round at the top
            std::lock_guard guard(m_mutex);
            if (serial == m_serial) {
                m_end_known = true;
                m_end_timeline = end_of_pass();
            }
            m_ready.signal();
            break;
        }
        }
    }
}

} // namespace kestrune::movie
