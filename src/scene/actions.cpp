// Actions: the time base, easing tables and the per-frame steps of Move, Fade, Zoom,
// Rotate and Shake, with the busy test of the waits.
#include "scene/actions_internal.h"

#include "frame/engine.h"
#include "platform/clock.h"

#include <algorithm>
#include <cmath>

namespace kestrune::scene {

using namespace detail;

// ---- time base and easing ----------------------------------------------------------------

std::int32_t step_count(std::int32_t time_ms, std::int32_t setting) {
    const std::int64_t steps = std::int64_t(time_ms) * frames_per_second(setting) / 1000;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(steps, 1, INT32_MAX));
}

std::int32_t tempo_key(std::string_view tempo) {
    if (tempo.empty()) return 0;
    std::int32_t key =
        static_cast<unsigned char>(tempo.size() > 1 && tempo[0] == '"' ? tempo[1] : tempo[0]);
    for (unsigned char c : tempo) key += c;
    return key;
}

namespace {

bool is_null_word(std::string_view t) {
    if (!t.empty() && t.front() == '"') t.remove_prefix(1);
    if (t.size() < 4) return false;
    for (int i = 0; i < 4; ++i)
        if (std::toupper(static_cast<unsigned char>(t[i])) != "NULL"[i]) return false;
    return true;
}

double curve(std::int32_t key, double x) {
    constexpr double pi = 3.14159265358979323846;
    switch (key) {
    case 407:
    case 475:
        return x * x;
    case 408:
    case 476:
        return x * x * x;
    case 409:
    case 477:
        return x * x * x * x;
    case 413:
    case 481:
        return 1 - (1 - x) * (1 - x);
    case 414:
    case 482:
        return 1 - (1 - x) * (1 - x) * (1 - x);
    case 415:
    case 483:
        return 1 - (1 - x) * (1 - x) * (1 - x) * (1 - x);
    case 654:
    case 722:
        return (1 - std::cos(pi * x)) / 2;
    case 657:
    case 725:
        return std::acos(std::clamp(1 - 2 * x, -1.0, 1.0)) / pi;
    case 767:
    case 835:
        return 1 - std::cos(pi * x / 2);
    case 773:
    case 841:
        return std::sin(pi * x / 2);
    default:
        return x;
    }
}

} // namespace

void fill_easing(std::vector<double>& table, double amplitude, std::int32_t steps,
                 std::string_view tempo) {
    const std::int32_t key = is_null_word(tempo) ? 0 : tempo_key(tempo);
    const std::int32_t made = std::min(steps, k_last_action_frame + 1);
    table.assign(static_cast<std::size_t>(made) + 1, 0.0);
    double x = 0;
    const double dx = 1.0 / steps;
    for (std::size_t i = 0; i < table.size(); ++i) {
        table[i] = amplitude * curve(key, x);
        x += dx;
    }
}

void advance(ActionCore& a, const SceneObject& o, std::uint32_t now) {
    const std::int32_t st = engine::state();
    if (st != engine::k_state_running && st != engine::k_state_system_script) return;
    const std::uint32_t delta = now - o.last_tick;
    const double scaled = std::trunc(delta * current_speed());
    const double add = scaled * 65536.0 / interval_ms(interval_setting());
    const double next = std::min<double>(a.progress + add, k_max_action_progress);
    a.progress = static_cast<std::uint32_t>(next);
    a.step++;
}

namespace detail {

std::int32_t line_point(std::int32_t from, std::int64_t d, std::int64_t s, std::int64_t n) {
    // A span and a step each reach 2^32, so their product needs more than 64 bits.
    return static_cast<std::int32_t>(from + (__int128{d} * s + (d >= 0 ? n / 2 : -n / 2)) / n);
}

std::uint32_t now_for_actions() {
    return cycle_time();
}

std::int32_t towards(std::int32_t start, std::int32_t target, double amount) {
    // The distance between two coordinates reaches 2^32, so the step is taken in 64 bits.
    const auto t = static_cast<std::int64_t>(std::clamp(amount, -0x1p40, 0x1p40));
    return saturate32(target >= start ? start + t : start - t);
}

void start_core(ActionCore& a, std::int32_t time_ms, std::string_view tempo) {
    a.tempo = std::string(tempo.substr(0, 16));
    a.time_ms = time_ms;
    a.progress = 0;
    a.step = 1;
    a.steps = step_count(time_ms, interval_setting());
    a.started = false;
}

} // namespace detail

// ---- move ----------------------------------------------------------------------------------

namespace {

void set_position(SceneObject& o, std::int32_t x, std::int32_t y, std::int32_t z) {
    o.x = x;
    o.y = y;
    o.z = z;
    if (o.camera && o.camera->owner == &o) {
        o.camera->x = x;
        o.camera->y = y;
        o.camera->z = z;
        o.camera->changed = true;
    }
    if (o.cube && o.cube->owner == &o) {
        o.cube->position = {x, y, z};
        o.cube->changed = true;
    }
    reproject(o);
}

int op_move(SceneObject& o) {
    MoveState* m = o.move.get();
    if (!m) return -1;
    if (!m->started) return 1;
    const std::int32_t k = static_cast<std::int32_t>(m->progress >> 16);
    int r = 0;
    if (k < m->steps && !m->path.empty()) {
        const auto idx = static_cast<std::size_t>(std::clamp<double>(
            m->tables[0][static_cast<std::size_t>(k)], 0, double(m->path.size() - 1)));
        const auto& p = m->path[idx];
        if (p[0] != o.x || p[1] != o.y || p[2] != o.z) {
            set_position(o, p[0], p[1], p[2]);
            r = 1;
        }
        advance(*m, o, now_for_actions());
        trail_update(o, k_trail_move);
        return r;
    }
    if (m->target[0] != o.x || m->target[1] != o.y || m->target[2] != o.z)
        set_position(o, m->target[0], m->target[1], m->target[2]);
    if (trail_update(o, k_trail_move)) return 1; // afterimages still closing up
    o.move.reset();
    set_slot(o, k_slot_move, k_op_idle);
    trail_reset(o, k_trail_move);
    return 1;
}

// Integer 3-D line from start up to (not including) the target, then the target; thinned
// to at most 16000 points.
std::vector<std::array<std::int32_t, 3>> line_path(const std::array<std::int32_t, 3>& a,
                                                   const std::array<std::int32_t, 3>& b) {
    std::array<std::int64_t, 3> d{};
    std::int64_t n = 0;
    for (int i = 0; i < 3; ++i) {
        d[i] = std::int64_t(b[i]) - a[i];
        n = std::max<std::int64_t>(n, d[i] < 0 ? -d[i] : d[i]);
    }
    std::vector<std::array<std::int32_t, 3>> path;
    const std::int64_t stride = n / 16000 + 1;
    for (std::int64_t s = 0; s < n; s += stride) {
        std::array<std::int32_t, 3> p{};
        for (int i = 0; i < 3; ++i) p[i] = line_point(a[i], d[i], s, n);
        path.push_back(p);
    }
    path.push_back(b);
    return path;
}

} // namespace

namespace detail {

void begin_move(SceneObject& o, const std::array<std::int32_t, 3>& target, std::int32_t time_ms,
                std::string_view tempo, std::vector<std::array<std::int32_t, 3>> path,
                std::string bezier_points) {
    if (o.move) trail_reset(o, k_trail_move);
    o.move.reset();
    set_slot(o, k_slot_move, k_op_idle);
    if (time_ms <= 0) {
        set_position(o, target[0], target[1], target[2]);
        return;
    }
    auto m = std::make_unique<MoveState>();
    start_core(*m, time_ms, tempo);
    m->start = {o.x, o.y, o.z};
    m->target = target;
    m->path = path.empty() ? line_path(m->start, target) : std::move(path);
    m->bezier_points = std::move(bezier_points);
    fill_easing(m->tables[0], double(m->path.size()), m->steps, tempo);
    o.move = std::move(m);
    set_slot(o, k_slot_move, k_op_move);
}

} // namespace detail

// ---- fade ----------------------------------------------------------------------------------

namespace {

int op_fade(SceneObject& o) {
    FadeState* f = o.fade.get();
    if (!f || !o.drawable) return -1;
    if (!f->started) return 1;
    const std::int32_t k = static_cast<std::int32_t>(f->progress >> 16);
    Drawable& d = *o.drawable;
    const std::uint8_t before = d.alpha;
    if (k < f->steps) {
        d.alpha = static_cast<std::uint8_t>(std::clamp(
            towards(f->start, f->target, f->tables[0][static_cast<std::size_t>(k)]), 0, 255));
        advance(*f, o, now_for_actions());
    } else {
        d.alpha = f->target;
        o.fade.reset();
        set_slot(o, k_slot_fade, k_op_idle);
    }
    if (d.alpha == before) return o.fade ? 0 : 1;
    mark_object(o);
    return 1;
}

} // namespace

namespace detail {

void begin_fade(SceneObject& o, std::uint8_t target, std::int32_t time_ms, std::string_view tempo) {
    o.fade.reset();
    set_slot(o, k_slot_fade, k_op_idle);
    if (!o.drawable) return;
    if (time_ms <= 0) {
        o.drawable->alpha = target;
        mark_object(o);
        return;
    }
    auto f = std::make_unique<FadeState>();
    start_core(*f, time_ms, tempo);
    f->start = o.drawable->alpha;
    f->target = target;
    const double amplitude = std::abs(int(target) - int(f->start));
    fill_easing(f->tables[0], amplitude, f->steps, tempo);
    f->tables[0].back() = amplitude;
    o.fade = std::move(f);
    set_slot(o, k_slot_fade, k_op_fade);
}

} // namespace detail

// ---- zoom and rotate --------------------------------------------------------------------------

namespace {

void apply_scale(SceneObject& o, std::int32_t sx, std::int32_t sy) {
    if (o.cube && o.cube->owner == &o) {
        o.cube->scale[0] = sx;
        o.cube->scale[1] = sy;
        o.cube->changed = true;
    }
    if (o.drawable) {
        o.drawable->geometry.scale_x = sx;
        o.drawable->geometry.scale_y = sy;
    }
    reproject(o);
}

void apply_angles(SceneObject& o, const std::array<std::int32_t, 3>& a) {
    if (o.cube && o.cube->owner == &o) {
        o.cube->angles = a;
        o.cube->changed = true;
    }
    if (o.camera && o.camera->owner == &o) {
        o.camera->angle_x = a[0];
        o.camera->angle_y = a[1];
        o.camera->angle_z = a[2];
        o.camera->changed = true;
    }
    if (o.drawable) {
        o.drawable->geometry.rot_x = a[0];
        o.drawable->geometry.rot_y = a[1];
        o.drawable->geometry.rot_z = a[2];
    }
    reproject(o);
}

int op_zoom(SceneObject& o) {
    ZoomState* z = o.zoom.get();
    if (!z) return -1;
    if (!z->started) return 1;
    const std::int32_t k = static_cast<std::int32_t>(z->progress >> 16);
    if (k < z->steps) {
        const auto i = static_cast<std::size_t>(k);
        apply_scale(o, towards(z->start[0], z->target[0], z->tables[0][i]),
                    towards(z->start[1], z->target[1], z->tables[1][i]));
        advance(*z, o, now_for_actions());
        trail_update(o, k_trail_zoom);
        return 1;
    }
    apply_scale(o, z->target[0], z->target[1]);
    if (trail_update(o, k_trail_zoom)) return 1;
    o.zoom.reset();
    set_slot(o, k_slot_zoom, k_op_idle);
    trail_reset(o, k_trail_zoom);
    return 1;
}

int op_rotate(SceneObject& o) {
    RotateState* r = o.rotate.get();
    if (!r) return -1;
    if (!r->started) return 1;
    const std::int32_t k = static_cast<std::int32_t>(r->progress >> 16);
    if (k < r->steps) {
        const auto i = static_cast<std::size_t>(k);
        apply_angles(o, {towards(r->start[0], r->target[0], r->tables[0][i]),
                         towards(r->start[1], r->target[1], r->tables[1][i]),
                         towards(r->start[2], r->target[2], r->tables[2][i])});
        advance(*r, o, now_for_actions());
        trail_update(o, k_trail_rotate);
        return 1;
    }
    apply_angles(o, r->target);
    if (trail_update(o, k_trail_rotate)) return 1;
    o.rotate.reset();
    set_slot(o, k_slot_rotate, k_op_idle);
    trail_reset(o, k_trail_rotate);
    return 1;
}

} // namespace

namespace detail {

std::array<std::int32_t, 2> current_scale(const SceneObject& o) {
    if (o.cube && o.cube->owner == &o) return {o.cube->scale[0], o.cube->scale[1]};
    if (o.drawable) return {o.drawable->geometry.scale_x, o.drawable->geometry.scale_y};
    return {1000, 1000};
}

std::array<std::int32_t, 3> current_angles(const SceneObject& o) {
    if (o.cube && o.cube->owner == &o) return o.cube->angles;
    if (o.camera && o.camera->owner == &o)
        return {o.camera->angle_x, o.camera->angle_y, o.camera->angle_z};
    if (o.drawable)
        return {o.drawable->geometry.rot_x, o.drawable->geometry.rot_y, o.drawable->geometry.rot_z};
    return {0, 0, 0};
}

void begin_zoom(SceneObject& o, std::array<std::int32_t, 2> target, std::int32_t time_ms,
                std::string_view tempo) {
    if (o.zoom) trail_reset(o, k_trail_zoom);
    o.zoom.reset();
    set_slot(o, k_slot_zoom, k_op_idle);
    if (time_ms <= 0) {
        apply_scale(o, target[0], target[1]);
        return;
    }
    auto z = std::make_unique<ZoomState>();
    start_core(*z, time_ms, tempo);
    z->start = current_scale(o);
    z->target = target;
    for (int i = 0; i < 2; ++i) {
        const double amp = std::abs(double(target[i]) - z->start[i]);
        fill_easing(z->tables[i], amp, z->steps, tempo);
        z->tables[i].back() = amp;
    }
    o.zoom = std::move(z);
    set_slot(o, k_slot_zoom, k_op_zoom);
}

void begin_rotate(SceneObject& o, std::array<std::int32_t, 3> target, std::int32_t time_ms,
                  std::string_view tempo) {
    if (o.rotate) trail_reset(o, k_trail_rotate);
    o.rotate.reset();
    set_slot(o, k_slot_rotate, k_op_idle);
    if (time_ms <= 0) {
        apply_angles(o, target);
        return;
    }
    auto r = std::make_unique<RotateState>();
    start_core(*r, time_ms, tempo);
    r->start = current_angles(o);
    r->target = target;
    for (int i = 0; i < 3; ++i) {
        const double amp = std::abs(double(target[i]) - r->start[i]);
        fill_easing(r->tables[i], amp, r->steps, tempo);
        r->tables[i].back() = amp;
    }
    o.rotate = std::move(r);
    set_slot(o, k_slot_rotate, k_op_rotate);
}

} // namespace detail

// ---- shake ---------------------------------------------------------------------------------

namespace {

int op_shake(SceneObject& o) {
    ShakeState* s = o.shake.get();
    if (!s) return -1;
    if (!s->started) return 1;
    const std::int32_t k = static_cast<std::int32_t>(s->progress >> 16);
    if (k < s->steps) {
        const auto i = static_cast<std::size_t>(k);
        const std::int32_t ax = towards(s->start_x, s->end_x, s->tables[0][i]);
        const std::int32_t ay = towards(s->start_y, s->end_y, s->tables[1][i]);
        int r = 0;
        if (double(o.last_tick - s->last_jolt) > s->interval_ms) {
            s->dx = saturate32(std::int64_t{s->sign} * ax);
            s->dy = saturate32(std::int64_t{s->sign} * ay);
            s->sign = -s->sign;
            s->last_jolt = o.last_tick;
            reproject(o); // at the position plus the displacement; the position is kept
            r = 1;
        }
        advance(*s, o, now_for_actions());
        return r;
    }
    s->dx = s->dy = 0;
    reproject(o);
    o.shake.reset();
    set_slot(o, k_slot_shake, k_op_idle);
    return 1;
}

} // namespace

namespace detail {

void begin_shake(SceneObject& o, std::int32_t sx, std::int32_t sy, std::int32_t ex, std::int32_t ey,
                 std::int32_t rate, std::int32_t time_ms, std::string_view tempo) {
    if (o.shake) {
        o.shake->dx = o.shake->dy = 0;
        o.shake.reset();
        reproject(o);
    }
    set_slot(o, k_slot_shake, k_op_idle);
    if (time_ms <= 0 || rate <= 0) return;
    auto s = std::make_unique<ShakeState>();
    start_core(*s, time_ms, tempo);
    s->start_x = sx;
    s->start_y = sy;
    s->end_x = ex;
    s->end_y = ey;
    s->rate = rate;
    s->interval_ms = 1000.0 / (rate / 1000.0 * frames_per_second(interval_setting()));
    s->last_jolt = o.last_tick;
    fill_easing(s->tables[0], std::abs(double(ex) - sx), s->steps, tempo);
    fill_easing(s->tables[1], std::abs(double(ey) - sy), s->steps, tempo);
    o.shake = std::move(s);
    set_slot(o, k_slot_shake, k_op_shake);
}

} // namespace detail

// A restored object gets its saved position, scale and angles as the actions set them.
namespace detail {

void restore_position(SceneObject& o, std::int32_t x, std::int32_t y, std::int32_t z) {
    set_position(o, x, y, z);
}
void restore_scale(SceneObject& o, std::int32_t sx, std::int32_t sy) {
    apply_scale(o, sx, sy);
}
void restore_angles(SceneObject& o, const std::array<std::int32_t, 3>& a) {
    apply_angles(o, a);
}

} // namespace detail

// ---- busy test and release ---------------------------------------------------------------------

bool object_busy(const SceneObject& o, std::uint16_t code) {
    auto holds = [&](SlotIndex i, std::uint16_t c) {
        return o.slots[static_cast<std::size_t>(i)].code == c;
    };
    switch (code) {
    case k_op_move:
        return holds(k_slot_move, k_op_move);
    case k_op_fade:
        return holds(k_slot_fade, k_op_fade);
    case k_op_zoom:
        return holds(k_slot_zoom, k_op_zoom);
    case k_op_rotate:
        return holds(k_slot_rotate, k_op_rotate);
    case k_op_shake:
        return holds(k_slot_shake, k_op_shake);
    case k_op_transition:
        return holds(k_slot_transition, k_op_transition) && o.transition && !o.transition->finished;
    case k_op_text_tick:
        return holds(k_slot_kind_tick, k_op_text_tick);
    default:
        break;
    }
    for (SlotIndex i : {k_slot_fade, k_slot_zoom, k_slot_move, k_slot_rotate, k_slot_shake}) {
        const Slot& s = o.slots[static_cast<std::size_t>(i)];
        if (s.code != k_op_idle && s.code != k_op_hidden) return true;
    }
    if (holds(k_slot_transition, k_op_transition) && o.transition && !o.transition->finished)
        return true;
    const Slot& t = o.slots[k_slot_kind_tick];
    if (!t.parked()) return true;
    if (o.kind && o.kind->busy && o.kind->busy(o)) return true;
    return false;
}

void release_actions(SceneObject& o) {
    o.move.reset();
    o.fade.reset();
    o.zoom.reset();
    o.rotate.reset();
    o.shake.reset();
    o.transition.reset();
    o.trail.reset();
    for (SlotIndex i :
         {k_slot_fade, k_slot_zoom, k_slot_move, k_slot_rotate, k_slot_shake, k_slot_transition})
        set_slot(o, i, k_op_idle);
}

namespace detail {

void register_action_operations() {
    register_operation(k_op_move, op_move);
    register_operation(k_op_fade, op_fade);
    register_operation(k_op_zoom, op_zoom);
    register_operation(k_op_rotate, op_rotate);
    register_operation(k_op_shake, op_shake);
    register_transition_operation();
}

} // namespace detail

} // namespace kestrune::scene
