// Fades and the value texts of SetVolume, SetPan and SetFrequency.
#include "sound/fade.h"

#include "frame/engine.h"
#include "platform/clock.h"
#include "scene/scene.h"
#include "sound/sound_internal.h"
#include "sound/stream.h"

#include <algorithm>
#include <cmath>

namespace kestrune::sound {

namespace {

constexpr std::uint32_t k_fade_step_ms = 50;
constexpr std::int64_t k_max_steps = 4096;

// A value text: "@" and a number or variable adds to the current value; anything else is
// an absolute integer. False when a relative variable does not exist.
bool value_of(const std::string& text, std::int64_t current, std::int64_t scale,
              std::int64_t& out) {
    if (!text.empty() && text[0] == '@') {
        const std::string rest = text.substr(1);
        double delta = 0;
        if (!rest.empty() && (rest[0] == '#' || rest[0] == '$')) {
            bool found = false;
            delta = variable_number(rest, &found);
            if (!found) return false;
        } else {
            delta = parse_int(rest);
        }
        out = current + static_cast<std::int64_t>(delta) * scale;
        return true;
    }
    out = static_cast<std::int64_t>(parse_int(text)) * scale;
    return true;
}

} // namespace

void Fade::start(std::int32_t from, std::int32_t to, std::int32_t duration_ms,
                 const std::string& easing, double position) {
    cancel();
    m_from = from;
    m_to = to;
    m_duration_ms = duration_ms;
    m_easing = easing;
    // Steps of the animation clock, but never more than k_max_steps: a long fade takes
    // coarser steps instead of a table as long as the script asked for.
    const double fps = scene::frames_per_second(scene::interval_setting());
    const std::int64_t steps = std::int64_t(duration_ms) * std::int64_t(fps) / 1000;
    m_steps = static_cast<std::int32_t>(std::clamp<std::int64_t>(steps, 1, k_max_steps));
    m_steps_per_ms = steps > k_max_steps ? double(k_max_steps) / duration_ms : fps / 1000.0;
    scene::fill_easing(m_table, std::abs(double(to) - double(from)), m_steps, easing);
    m_position = std::max(0.0, position);
    m_last_tick = platform::tick_ms();
    m_cancelled = false;
    m_cancel.reset();
    m_thread.start([this] { body(); });
}

bool Fade::snapshot(Snapshot& out) const {
    if (!running() || m_cancelled) return false;
    out.from = m_from;
    out.to = m_to;
    out.duration_ms = m_duration_ms;
    out.easing = m_easing;
    double position = m_position.load();
    const State s = m_stream.state();
    if (s != State::paused && s != State::held)
        position += std::max(0, platform::tick_diff(platform::tick_ms(), m_last_tick.load())) *
                    m_steps_per_ms;
    out.position = position;
    return true;
}

void Fade::cancel() {
    m_cancelled = true;
    m_cancel.signal();
    if (m_thread.valid()) {
        m_thread.join_for(platform::k_infinite);
        m_thread = platform::Thread();
    }
}

void Fade::apply(std::int32_t value) {
    switch (m_quantity) {
    case volume:
        m_stream.apply_volume(value);
        break;
    case pan:
        m_stream.apply_pan(value);
        break;
    default:
        m_stream.apply_frequency(value);
        break;
    }
}

void Fade::body() {
    while (!m_cancelled && !engine::quit_requested()) {
        const auto index = static_cast<std::int32_t>(m_position.load());
        if (index >= m_steps) break;
        const double d = m_table[static_cast<std::size_t>(index)];
        apply(static_cast<std::int32_t>(m_to >= m_from ? m_from + d : m_from - d));
        if (m_cancel.wait(k_fade_step_ms)) break;
        const platform::Tick now = platform::tick_ms();
        // A paused stream holds its fade.
        const State s = m_stream.state();
        if (s != State::paused && s != State::held)
            m_position =
                m_position.load() + platform::tick_diff(now, m_last_tick.load()) * m_steps_per_ms;
        m_last_tick = now;
    }
    if (m_cancelled) return;
    apply(m_to);
    if (m_quantity == volume && m_to == 0 && m_stream.active()) m_stream.stop();
}

void SoundStream::set_volume(const std::string& value, std::int32_t duration_ms,
                             const std::string& easing) {
    m_fades[Fade::volume]->cancel();
    std::int64_t v = 0;
    if (!value_of(value, m_volume.load(), 1, v)) return;
    const auto target = static_cast<std::int32_t>(std::clamp<std::int64_t>(v, 0, 1000));
    if (duration_ms > 0 && target != m_volume.load()) {
        m_fades[Fade::volume]->start(m_volume.load(), target, duration_ms, easing);
        return;
    }
    apply_volume(target);
    if (target == 0 && active()) stop();
}

void SoundStream::set_pan(const std::string& value, std::int32_t duration_ms,
                          const std::string& easing) {
    if (m_kind == Kind::voice) return;
    m_fades[Fade::pan]->cancel();
    std::int64_t v = 0;
    if (!value_of(value, m_pan.load(), 10, v)) return;
    const auto target = static_cast<std::int32_t>(std::clamp<std::int64_t>(v, -10000, 10000));
    if (duration_ms > 0 && target != m_pan.load()) {
        m_fades[Fade::pan]->start(m_pan.load(), target, duration_ms, easing);
        return;
    }
    apply_pan(target);
}

void SoundStream::set_frequency(const std::string& value, std::int32_t duration_ms,
                                const std::string& easing) {
    if (m_kind == Kind::voice) return;
    m_fades[Fade::frequency]->cancel();
    // Thousandths of the file's rate; "@" adds that many Hz to the frequency now.
    const std::int64_t rate = m_format.rate;
    std::int64_t v = 0;
    const std::string scaled = value;
    if (!scaled.empty() && scaled[0] == '@') {
        std::int64_t delta = 0;
        if (!value_of(scaled, 0, 1, delta)) return;
        v = frequency_hz() + delta * rate / 1000;
    } else {
        v = std::int64_t(parse_int(value)) * rate / 1000;
    }
    if (duration_ms > 0 && v != frequency_hz()) {
        const auto target = static_cast<std::int32_t>(std::clamp<std::int64_t>(v, 100, 200000));
        m_fades[Fade::frequency]->start(frequency_hz(), target, duration_ms, easing);
        return;
    }
    apply_frequency(v <= 0 ? 0 : static_cast<std::int32_t>(std::min<std::int64_t>(v, 200000)));
}

} // namespace kestrune::sound
