// Transitions through a rule image, afterimage trails and the Bézier paths of BezierMove.
#include "scene/actions_internal.h"

#include "platform/clock.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace kestrune::scene {

using namespace detail;

namespace {

// ---- transition ----------------------------------------------------------------------------

void fill_table(TransitionState& t, std::int32_t step) {
    auto& tab = t.table;
    const std::int32_t c = t.from, d = t.to;
    tab.fill(0);
    if (c < d) {
        // Rising: rule values up to c + step are shown, the next ones fade out softly.
        const std::int32_t edge = std::min(c + step, 255);
        for (std::int32_t v = 0; v <= edge; ++v) tab[static_cast<std::size_t>(v)] = 255;
        const double f = 255.0 / (step + c + 1) * t.softness;
        double a = 255.0 - f;
        for (std::int32_t v = edge + 1; v < 256 && a > 0; ++v, a -= f)
            tab[static_cast<std::size_t>(v)] = static_cast<std::uint8_t>(a);
    } else {
        // Falling: rule values from c - step upward are hidden, the ones below fade in.
        const std::int32_t edge = c - step; // first hidden value
        const std::int32_t div = c - step - 1;
        const double f = div == 0 ? 1.0 : 255.0 / std::abs(div) * t.softness;
        double a = f;
        for (std::int32_t v = std::min(edge - 1, 255); v >= 0; --v, a += f)
            tab[static_cast<std::size_t>(v)] = static_cast<std::uint8_t>(std::min(a, 255.0));
    }
}

int op_transition(SceneObject& o) {
    TransitionState* t = o.transition.get();
    if (!t) return -1;
    if (!t->started || t->finished) return t->finished ? 0 : 1;
    const std::int32_t k = static_cast<std::int32_t>(t->progress >> 16);
    if (k < t->steps) {
        fill_table(*t, static_cast<std::int32_t>(t->tables[0][static_cast<std::size_t>(k)]));
        advance(*t, o, now_for_actions());
        mark_object(o);
        return 1;
    }
    mark_object(o);
    if (t->to == 255) {
        cancel_transition(o); // fully shown: back to the plain draw
        return 1;
    }
    fill_table(*t, std::abs(t->to - t->from));
    if (t->to == 0) t->table.fill(0);
    t->finished = true;
    return 1;
}

// ---- trail ---------------------------------------------------------------------------------

Drawable clone(const Drawable& d) {
    Drawable c;
    c.x = d.x;
    c.y = d.y;
    c.alpha = d.alpha;
    c.surface_clip = d.surface_clip;
    c.geometry = d.geometry;
    c.image = d.image;
    c.target = d.target;
    c.mode = d.mode;
    return c;
}

struct TrailValue {
    std::int32_t v[3];
};

TrailValue current_value(const SceneObject& o, TrailAction a) {
    const QuadGeometry& g = o.drawable->geometry;
    switch (a) {
    case k_trail_move:
        return {{o.x, o.y, o.z}};
    case k_trail_rotate:
        return {{g.rot_x, g.rot_y, g.rot_z}};
    default:
        return {{g.scale_x, g.scale_y, 0}};
    }
}

TrailValue image_value(const Drawable& d, TrailAction a) {
    switch (a) {
    case k_trail_move:
        return {{d.x, d.y, 0}};
    case k_trail_rotate:
        return {{d.geometry.rot_x, d.geometry.rot_y, d.geometry.rot_z}};
    default:
        return {{d.geometry.scale_x, d.geometry.scale_y, 0}};
    }
}

bool set_image_value(Drawable& d, TrailAction a, const TrailValue& v) {
    const TrailValue old = image_value(d, a);
    switch (a) {
    case k_trail_move:
        d.x = v.v[0];
        d.y = v.v[1];
        break;
    case k_trail_rotate:
        d.geometry.rot_x = v.v[0];
        d.geometry.rot_y = v.v[1];
        d.geometry.rot_z = v.v[2];
        break;
    default:
        d.geometry.scale_x = v.v[0];
        d.geometry.scale_y = v.v[1];
        break;
    }
    return old.v[0] != v.v[0] || old.v[1] != v.v[1] || old.v[2] != v.v[2];
}

// Value of action a at frame k.
bool value_at(const SceneObject& o, TrailAction a, std::int32_t k, TrailValue& out) {
    if (k < 0) return false;
    const auto i = static_cast<std::size_t>(k);
    if (a == k_trail_move && o.move) {
        const MoveState& m = *o.move;
        if (m.path.empty() || i >= m.tables[0].size()) return false;
        const auto idx = static_cast<std::size_t>(
            std::clamp<double>(m.tables[0][i], 0, double(m.path.size() - 1)));
        out = {{m.path[idx][0], m.path[idx][1], m.path[idx][2]}};
        return true;
    }
    if (a == k_trail_rotate && o.rotate) {
        const RotateState& r = *o.rotate;
        if (i >= r.tables[0].size()) return false;
        for (int j = 0; j < 3; ++j)
            out.v[j] =
                towards(r.start[static_cast<std::size_t>(j)], r.target[static_cast<std::size_t>(j)],
                        r.tables[static_cast<std::size_t>(j)][i]);
        return true;
    }
    if (a == k_trail_zoom && o.zoom) {
        const ZoomState& z = *o.zoom;
        if (i >= z.tables[0].size()) return false;
        out = {{towards(z.start[0], z.target[0], z.tables[0][i]),
                towards(z.start[1], z.target[1], z.tables[1][i]), 0}};
        return true;
    }
    return false;
}

const ActionCore* action_of(const SceneObject& o, TrailAction a) {
    if (a == k_trail_move) return o.move.get();
    if (a == k_trail_rotate) return o.rotate.get();
    return o.zoom.get();
}

void reproject_images(SceneObject& o) {
    for (Drawable& d : o.trail->images) {
        const ClipRect before = screen_bounds(d);
        if (!before.empty())
            mark_changed(before.left, before.top, before.right - before.left,
                         before.bottom - before.top);
        project(d);
        const ClipRect after = screen_bounds(d);
        if (!after.empty())
            mark_changed(after.left, after.top, after.right - after.left, after.bottom - after.top);
    }
}

} // namespace

namespace detail {

bool begin_transition(SceneObject& o, std::int32_t from, std::int32_t to, const PixelImage* rule,
                      std::string_view rule_name, std::int32_t softness, std::int32_t time_ms,
                      std::string_view tempo) {
    cancel_transition(o);
    if (!rule || rule->empty() || !o.drawable) return false;
    auto t = std::make_unique<TransitionState>();
    start_core(*t, std::max(time_ms, 1), tempo);
    t->from = static_cast<std::int32_t>(std::trunc(std::clamp(from, 0, 1000) * 0.255));
    t->to = static_cast<std::int32_t>(std::trunc(std::clamp(to, 0, 1000) * 0.255));
    if (t->from == t->to) t->from = 0;
    t->softness = 255.0 / std::max(softness, 1);
    t->rule_name = std::string(rule_name);
    // The rule image stretched over the screen; its green channel is the rule value.
    t->map.resize(static_cast<std::size_t>(k_screen_width) * k_screen_height);
    for (std::int32_t y = 0; y < k_screen_height; ++y) {
        const std::uint8_t* src =
            rule->row(static_cast<std::int32_t>(std::int64_t(y) * rule->height / k_screen_height));
        for (std::int32_t x = 0; x < k_screen_width; ++x) {
            const auto sx =
                static_cast<std::int32_t>(std::int64_t(x) * rule->width / k_screen_width);
            t->map[static_cast<std::size_t>(y) * k_screen_width + x] = src[sx * 4 + 1];
        }
    }
    fill_easing(t->tables[0], std::abs(t->to - t->from), t->steps, tempo);
    fill_table(*t, 0);
    o.transition = std::move(t);
    set_slot(o, k_slot_transition, k_op_transition);
    mark_object(o);
    return true;
}

void cancel_transition(SceneObject& o) {
    if (o.transition) mark_object(o);
    o.transition.reset();
    set_slot(o, k_slot_transition, k_op_idle);
}

void register_transition_operation() {
    register_operation(k_op_transition, op_transition);
}

bool begin_trail(SceneObject& o, std::int32_t count, std::int32_t weight, std::int32_t interval_ms,
                 bool draw_before) {
    if (!o.drawable || count < 1 || count > k_max_afterimages || weight < 1 || weight > 1000)
        return false;
    stop_trail(o);
    auto t = std::make_unique<TrailState>();
    t->active = true;
    t->draw_before = draw_before;
    t->count = count;
    t->weight = weight;
    t->interval_ms = std::max(interval_ms, 0);
    t->intervals = {double(t->interval_ms), double(t->interval_ms), double(t->interval_ms)};
    const std::uint32_t now = now_for_actions();
    t->last_update = {now, now, now};
    for (std::int32_t i = 0; i < count; ++i) t->images.push_back(clone(*o.drawable));
    o.trail = std::move(t);
    return true;
}

void stop_trail(SceneObject& o) {
    if (!o.trail) return;
    mark_object(o);
    o.trail.reset();
}

void trail_reset(SceneObject& o, TrailAction a) {
    if (!o.trail || !o.drawable) return;
    TrailState& t = *o.trail;
    const auto ai = static_cast<std::size_t>(a);
    t.intervals[ai] = t.interval_ms;
    t.tracking[ai] = false;
    const TrailValue v = current_value(o, a);
    for (Drawable& d : t.images) set_image_value(d, a, v);
    reproject_images(o);
}

bool trail_update(SceneObject& o, TrailAction a) {
    if (!o.trail || !o.trail->active || !o.drawable) return false;
    TrailState& t = *o.trail;
    const ActionCore* act = action_of(o, a);
    if (!act) return false;
    const auto ai = static_cast<std::size_t>(a);
    const std::uint32_t now = now_for_actions();
    const std::int32_t k = static_cast<std::int32_t>(act->progress >> 16);
    bool changed = false;
    auto delay = [&](std::int32_t n) {
        return static_cast<std::int32_t>(n * t.intervals[ai] * current_speed() /
                                         interval_ms(interval_setting()));
    };
    if (k < act->steps) {
        for (std::int32_t n = 1; n <= t.count; ++n) {
            TrailValue v;
            if (value_at(o, a, k - delay(n), v))
                changed |= set_image_value(t.images[static_cast<std::size_t>(n - 1)], a, v);
        }
        if (!changed && !t.tracking[ai]) {
            TrailValue start;
            if (value_at(o, a, 0, start))
                for (Drawable& d : t.images) set_image_value(d, a, start);
            changed = true;
        }
        t.tracking[ai] = true;
    } else if (t.tracking[ai]) {
        const TrailValue target = current_value(o, a);
        for (std::int32_t n = 1; n <= t.count; ++n) {
            TrailValue v;
            Drawable& d = t.images[static_cast<std::size_t>(n - 1)];
            if (value_at(o, a, act->steps - delay(n), v)) set_image_value(d, a, v);
            const TrailValue now_v = image_value(d, a);
            if (now_v.v[0] != target.v[0] || now_v.v[1] != target.v[1] || now_v.v[2] != target.v[2])
                changed = true;
        }
        const double elapsed = double(now - t.last_update[ai]);
        t.intervals[ai] = std::max(0.0, t.intervals[ai] - elapsed);
        if (!changed) {
            mark_object(o);
            t.tracking[ai] = false;
        }
    }
    t.last_update[ai] = now;
    if (changed) reproject_images(o);
    return t.tracking[ai];
}

int draw_with_trail(SceneObject& o, FrameBuffer& frame, const ClipRect& clip) {
    TrailState& t = *o.trail;
    const bool tracking = t.tracking[0] || t.tracking[1] || t.tracking[2];
    auto images = [&] {
        if (!tracking || !o.drawable) return;
        for (auto it = t.images.rbegin(); it != t.images.rend(); ++it) {
            it->alpha = static_cast<std::uint8_t>(o.drawable->alpha * t.weight / 1000);
            it->image = o.drawable->image;
            draw_drawable(frame, *it, clip);
        }
    };
    if (t.draw_before) images();
    const int r = o.render(o, frame, clip);
    if (!t.draw_before) images();
    return r;
}

// ---- Bézier paths ----------------------------------------------------------------------------

namespace {

bool coordinate(std::string_view s, std::int32_t from, std::int32_t& out) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    bool relative = false;
    if (!s.empty() && s.front() == '@') {
        relative = true;
        s.remove_prefix(1);
    }
    if (s.empty()) return false;
    char* end = nullptr;
    const std::string text(s);
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str()) return false;
    out = static_cast<std::int32_t>(v) + (relative ? from : 0);
    return true;
}

bool read_pair(std::string_view body, const std::array<std::int32_t, 3>& from,
               std::array<std::int32_t, 2>& p) {
    const std::size_t comma = body.find(',');
    if (comma == std::string_view::npos) return false;
    return coordinate(body.substr(0, comma), from[0], p[0]) &&
           coordinate(body.substr(comma + 1), from[1], p[1]);
}

} // namespace

bool bezier_path(std::string_view points, const std::array<std::int32_t, 3>& from,
                 std::vector<std::array<std::int32_t, 3>>& path) {
    std::vector<std::array<std::int32_t, 2>> anchors, controls;
    std::vector<char> order;
    std::size_t i = 0;
    while (i < points.size()) {
        const char open = points[i];
        if (open == ' ' || open == '\t') {
            ++i;
            continue;
        }
        const char close = open == '(' ? ')' : open == '{' ? '}' : 0;
        if (!close) return false;
        const std::size_t end = points.find(close, i + 1);
        if (end == std::string_view::npos) return false;
        std::array<std::int32_t, 2> p{};
        if (!read_pair(points.substr(i + 1, end - i - 1), from, p)) return false;
        (open == '(' ? anchors : controls).push_back(p);
        order.push_back(open);
        i = end + 1;
    }
    const std::size_t segments = anchors.empty() ? 0 : anchors.size() - 1;
    if (segments < 1 || segments > 255 || controls.size() != segments * 2) return false;
    // Shape: anchor, control, control, anchor, ...
    for (std::size_t j = 0; j < order.size(); ++j)
        if ((order[j] == '(') != (j % 3 == 0)) return false;
    path.clear();
    path.reserve(segments * 1024 + 1); // every segment's points, not just the first
    for (std::size_t s = 0; s < segments; ++s) {
        const auto& p0 = anchors[s];
        const auto& p1 = controls[2 * s];
        const auto& p2 = controls[2 * s + 1];
        const auto& p3 = anchors[s + 1];
        for (int j = 0; j < 1024; ++j) {
            const double u = j / 1024.0, v = 1 - u;
            const double a = v * v * v, b = 3 * u * v * v, c = 3 * u * u * v, d = u * u * u;
            path.push_back(
                {static_cast<std::int32_t>(a * p0[0] + b * p1[0] + c * p2[0] + d * p3[0]),
                 static_cast<std::int32_t>(a * p0[1] + b * p1[1] + c * p2[1] + d * p3[1]),
                 from[2]});
        }
    }
    path.push_back({anchors.back()[0], anchors.back()[1], from[2]});
    return true;
}

} // namespace detail

} // namespace kestrune::scene
