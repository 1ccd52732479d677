// Scroll bars: CreateScrollbar (a thumb image that moves along the points of a straight
// track), SetScrollbar, SetScrollSpeed, the bar's requests, its seven default operations
// and the ScrollbarValue built-in.
//
// Threading: every operation runs under the scene lock (script threads through `case` and
// the commands, the main thread through the keyboard focus moves).
#include "scene/scene_commands.h"

#include "frame/engine.h"
#include "script/arguments.h"
#include "script/context.h"
#include "script/expressions.h"
#include "script/scanner.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace kestrune::scene {

namespace {

// The pixels from (x1, y1) towards (x2, y2), the second end left out, stepping along the
// longer axis; at most k_max_track_points.
std::vector<std::array<std::int32_t, 2>> track_points(std::int32_t x1, std::int32_t y1,
                                                      std::int32_t x2, std::int32_t y2) {
    std::vector<std::array<std::int32_t, 2>> pts;
    const std::int64_t dx = std::llabs(std::int64_t{x2} - x1),
                       dy = std::llabs(std::int64_t{y2} - y1);
    const std::int32_t sx = x2 >= x1 ? 1 : -1, sy = y2 >= y1 ? 1 : -1;
    const std::int64_t n = std::max(dx, dy);
    std::int64_t err = 0;
    std::int64_t x = x1, y = y1;
    for (std::int64_t i = 0; i < n && pts.size() < k_max_track_points; ++i) {
        pts.push_back({static_cast<std::int32_t>(x), static_cast<std::int32_t>(y)});
        if (dx >= dy) {
            x += sx;
            err += dy;
            if (2 * err >= dx) {
                y += sy;
                err -= dx;
            }
        } else {
            y += sy;
            err += dx;
            if (2 * err >= dy) {
                x += sx;
                err -= dy;
            }
        }
    }
    if (pts.empty()) pts.push_back({x1, y1});
    return pts;
}

bool pointer_on(const ClipRect& r, std::int32_t x, std::int32_t y) {
    return x >= r.left && x < r.right && y >= r.top && y < r.bottom;
}

// After a page the pointer may have come to rest on the thumb.
void hover_if_under_pointer(SceneObject& o) {
    std::int32_t px = 0, py = 0;
    engine::pointer_position(px, py);
    if (o.scrollbar->hover == 0 && pointer_on(thumb_rect(o), px, py)) set_bar_hover(o, true);
}

int move_to(SceneObject& o, std::int64_t index) {
    ScrollBar& b = *o.scrollbar;
    if (!b.active) return 0;
    const auto target = static_cast<std::int32_t>(std::clamp<std::int64_t>(index, 0, b.last_index));
    if (target == b.index) return 0;
    place_thumb(o, target);
    return 1;
}

std::int32_t page_size(const ScrollBar& b) {
    return std::max(1, b.last_index * 5 / 100);
}

int step_back(SceneObject& o) {
    return move_to(o, std::int64_t{o.scrollbar->index} - o.scrollbar->step);
}
int step_forward(SceneObject& o) {
    return move_to(o, std::int64_t{o.scrollbar->index} + o.scrollbar->step);
}
int page_back(SceneObject& o) {
    const int r = move_to(o, std::int64_t{o.scrollbar->index} - page_size(*o.scrollbar));
    hover_if_under_pointer(o);
    return r;
}
int page_forward(SceneObject& o) {
    const int r = move_to(o, std::int64_t{o.scrollbar->index} + page_size(*o.scrollbar));
    hover_if_under_pointer(o);
    return r;
}
int to_last(SceneObject& o) {
    return move_to(o, o.scrollbar->last_index);
}
int to_first(SceneObject& o) {
    return move_to(o, 0);
}

// Whether the track runs mostly across x (its longer axis); a flat or single-point track
// counts as horizontal and has length 0.
bool along_x(const ScrollBar& b) {
    return b.box_right - b.box_left >= b.box_bottom - b.box_top;
}

// The track point nearest the pointer along the track's longer axis.
std::int32_t index_at(const ScrollBar& b, std::int32_t px, std::int32_t py) {
    if (b.last_index <= 0) return 0;
    const bool x_axis = along_x(b);
    const std::int32_t p = x_axis ? px : py;
    const std::int32_t start = x_axis ? b.points.front()[0] : b.points.front()[1];
    const std::int32_t lo = x_axis ? b.box_left : b.box_top;
    const std::int32_t hi = x_axis ? b.box_right : b.box_bottom;
    if (hi == lo) return 0;
    const bool rising = start == lo;
    const double t = rising ? double(p - lo) / (hi - lo) : double(hi - p) / (hi - lo);
    return static_cast<std::int32_t>(std::clamp(t, 0.0, 1.0) * b.last_index);
}

int pointer(SceneObject& o, bool held, std::int32_t px, std::int32_t py) {
    ScrollBar& b = *o.scrollbar;
    const ClipRect thumb = thumb_rect(o);
    const bool over = pointer_on(thumb, px, py);
    if (!held) {
        set_bar_hover(o, over);
        b.dragging = false;
        return 0;
    }
    // Only a move is reported: a select that loops over the bar would otherwise take its
    // case again and again while the button stays down.
    if (over || b.dragging) {
        set_bar_hover(o, true);
        b.dragging = true;
        const std::int32_t i = index_at(b, px, py);
        if (i == b.index) return 0;
        place_thumb(o, i);
        return 1;
    }
    const bool x_axis = along_x(b);
    const bool across =
        x_axis ? (py >= thumb.top && py < thumb.bottom) : (px >= thumb.left && px < thumb.right);
    if (!across) return 0;
    const std::int32_t p = x_axis ? px : py;
    const std::int32_t lo = x_axis ? thumb.left : thumb.top;
    const std::int32_t hi = x_axis ? thumb.right : thumb.bottom;
    const std::int32_t start = x_axis ? b.points.front()[0] : b.points.front()[1];
    const std::int32_t box_lo = x_axis ? b.box_left : b.box_top;
    const bool rising = start == box_lo;
    // Page towards the pointer: back when it lies on the start's side of the thumb.
    const bool before = rising ? p < lo : p >= hi;
    // One page per press (or pointer movement), and no case taken: a select looping over the
    // bar would page on without end, the thumb jumping back and forth over the pointer.
    before ? b.ops.page_back(o) : b.ops.page_forward(o);
    if (pointer_on(thumb_rect(o), px, py)) b.dragging = true;
    return 0;
}

int scrollbar_request(SceneObject& o, std::string_view word) {
    if (!o.scrollbar) return -1;
    ScrollBar& b = *o.scrollbar;
    int (*op)(SceneObject&) = nullptr;
    if (is_request_word(word, "Increment"))
        op = b.ops.step_forward;
    else if (is_request_word(word, "Decrement"))
        op = b.ops.step_back;
    else if (is_request_word(word, "Next"))
        op = b.ops.page_forward;
    else if (is_request_word(word, "Prev"))
        op = b.ops.page_back;
    else
        return -1;
    b.active = true;
    if (op) op(o);
    return 1;
}

const KindOps k_scrollbar_kind{"scrollbar", scrollbar_request, nullptr, nullptr, nullptr, nullptr};

bool cmd_create_scrollbar(script::CommandCall& call) {
    if (call.path.empty()) return true;
    auto image = commands::source_image(call, call.arg(8));
    if (!image) return true;
    auto d = commands::drawable_for(image);
    if (!d) return true;
    const std::int32_t x1 = commands::int_arg(call, 2), y1 = commands::int_arg(call, 3);
    const std::int32_t x2 = commands::int_arg(call, 4), y2 = commands::int_arg(call, 5);
    auto bar = std::make_unique<ScrollBar>();
    const std::string orientation = call.arg(7);
    bar->horizontal = orientation.size() > 6 && orientation.compare(0, 7, "HORIZON") == 0;
    bar->points = track_points(x1, y1, x2, y2);
    bar->last_index = static_cast<std::int32_t>(bar->points.size()) - 1;
    bar->box_left = std::min(x1, x2);
    bar->box_right = std::max(x1, x2);
    bar->box_top = std::min(y1, y2);
    bar->box_bottom = std::max(y1, y2);
    bar->ops =
        ScrollOps{step_back, step_forward, page_back, page_forward, to_last, to_first, pointer};
    const double initial = std::clamp(script::argument_int(call.arg(6)) / 1000.0, 0.0, 1.0);
    const auto index = static_cast<std::int32_t>(initial * bar->last_index);
    commands::hold_for_group(call);
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    SceneObject* o = create_kind_object(commands::create_args(call, 1, -1), std::move(d), image,
                                        &k_scrollbar_kind);
    if (o) {
        o->scrollbar = std::move(bar);
        const auto& pt = o->scrollbar->points[static_cast<std::size_t>(index)];
        o->x = pt[0];
        o->y = pt[1];
        o->scrollbar->index = index;
        reproject(*o);
    }
    return true;
}

bool cmd_set_scrollbar(script::CommandCall& call) {
    const std::string target_name = call.arg(1);
    if (call.path.empty() || target_name.empty()) return true;
    const std::string target_path = script::form_object_path(target_name, call.block.object_prefix);
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    SceneObject* target = find_object(call.context.owner_key, target_path);
    if (target) {
        apply(
            call.context.owner_key, call.path,
            [&](SceneObject& bar) {
                if (!bar.scrollbar) return 0;
                if (target->kind && target->kind->attach_scrollbar) {
                    if (!target->kind->attach_scrollbar(*target, bar)) return 0;
                } else if (target != &bar) {
                    return 0;
                }
                bar.scrollbar->active = true;
                return 1;
            },
            ApplyOptions{.no_children = true});
    }
    return true;
}

bool cmd_set_scroll_speed(script::CommandCall& call) {
    const std::int32_t step = commands::int_arg(call, 1);
    if (step < 1) {
        commands::problem(call, "SetScrollSpeed: the step must be at least 1");
        return true;
    }
    commands::for_each_object(
        call,
        [&](SceneObject& o) {
            if (!o.scrollbar) return 0;
            o.scrollbar->step = step;
            return 1;
        },
        ApplyOptions{.no_children = true});
    return true;
}

script::Value scrollbar_value(const script::BuiltinCall& c) {
    if (c.args.empty()) return script::Value::of_number(0);
    const std::string name = script::join_object_name(c.ctx, script::value_text(c.args[0]));
    double value = 0;
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    for (auto& owner : detail::store().owners) {
        SceneObject* o = find_object(owner->key, name);
        if (o && o->scrollbar) {
            const ScrollBar& b = *o->scrollbar;
            value = b.last_index > 0 ? double(b.index) / b.last_index : 0.0;
            break;
        }
    }
    scene_guard.unlock();
    return script::Value::of_number(value);
}

} // namespace

void place_thumb(SceneObject& o, std::int32_t index) {
    if (!o.scrollbar) return;
    ScrollBar& b = *o.scrollbar;
    b.index = std::clamp(index, 0, b.last_index);
    const auto& pt = b.points[static_cast<std::size_t>(b.index)];
    if (b.horizontal)
        o.x = pt[0];
    else
        o.y = pt[1];
    reproject(o);
}

ClipRect thumb_rect(const SceneObject& o) {
    return o.drawable ? screen_bounds(*o.drawable) : ClipRect{};
}

void set_bar_hover(SceneObject& o, bool over) {
    ScrollBar& b = *o.scrollbar;
    if (over) {
        if (b.hover == 0) set_cursor_hand(true);
        b.hover = k_choice_over;
        set_hovered_choice(&o);
    } else if (b.hover != 0) {
        b.hover = 0;
        if (hovered_choice() == &o) {
            set_cursor_hand(false);
            set_hovered_choice(nullptr);
        }
    }
}

namespace commands {

void register_scrollbar_commands() {
    script::register_command("CreateScrollbar", cmd_create_scrollbar);
    script::register_command("SetScrollbar", cmd_set_scrollbar);
    script::register_command("SetScrollSpeed", cmd_set_scroll_speed);
    script::register_builtin("ScrollbarValue", scrollbar_value);
}

} // namespace commands

} // namespace kestrune::scene
