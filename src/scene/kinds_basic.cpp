// Common creation of the graphic kinds: position words, attaching the drawable, the
// standard draw and the prepare operation.
#include "scene/scene_internal.h"

#include "frame/engine.h"
#include "platform/clock.h"
#include "script/variables.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

namespace kestrune::scene {

using namespace detail;

namespace detail {

bool text_erased() {
    return engine::text_window_hidden();
}

int default_render(SceneObject& o, FrameBuffer& frame, const ClipRect& clip) {
    if (!o.drawable || !o.drawable->image) return 0;
    MaskLayer layer;
    const MaskLayer* mask = nullptr;
    if (o.mask && o.mask->owner != &o) {
        layer = o.mask->view();
        mask = &layer;
    }
    RuleMap rule;
    const RuleMap* r = nullptr;
    if (o.transition && o.transition->started && !o.transition->map.empty()) {
        rule.map = o.transition->map.data();
        rule.table = o.transition->table.data();
        r = &rule;
    }
    return draw_drawable(frame, *o.drawable, clip, mask, r);
}

void call_layer_hook(SceneObject& o) {
    if (o.has_layer_hook) redraw_mask(o);
}

} // namespace detail

namespace {

int op_standard_draw(SceneObject& o) {
    return standard_draw(o);
}

int op_prepare(SceneObject& o) {
    set_slot(o, k_slot_draw, o.has_layer_hook ? k_op_idle : k_op_draw);
    if (o.slots[k_slot_kind_tick].code == k_op_hidden && operation_for(k_op_text_tick))
        set_slot(o, k_slot_kind_tick, k_op_text_tick);
    return 1;
}

struct Rect {
    std::int32_t x, y, w, h;
};

Rect reference_rect(const SceneObject& o) {
    const SceneObject* p = o.parent;
    if (p && p->drawable && p->drawable->image)
        return {p->x, p->y, p->drawable->image->width, p->drawable->image->height};
    if (p && p->surface) return {p->x, p->y, k_screen_width, k_screen_height};
    return {0, 0, k_screen_width, k_screen_height};
}

bool keyword(std::string_view word, std::string_view kw) {
    if (word.size() < kw.size()) return false;
    for (std::size_t i = 0; i < kw.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(word[i])) != kw[i]) return false;
    return word.size() == kw.size() || word[kw.size()] == ' ' || word[kw.size()] == '\t';
}

// A decimal number with an optional sign; `rest` receives what follows it.
bool number_prefix(std::string_view s, double& value, std::string_view& rest) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    const std::size_t begin = i;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
    const std::size_t digits = i;
    while (i < s.size() && (std::isdigit(static_cast<unsigned char>(s[i])) || s[i] == '.')) ++i;
    if (i == digits) return false;
    value = std::strtod(std::string(s.substr(begin, i - begin)).c_str(), nullptr);
    rest = s.substr(i);
    return true;
}

bool only_blank(std::string_view s) {
    for (char c : s)
        if (c != ' ' && c != '\t') return false;
    return true;
}

} // namespace

bool resolve_position(const SceneObject& o, std::string_view word, bool is_x, std::int32_t& out) {
    if (word.size() > 511) return false;
    const Rect p = reference_rect(o);
    std::int32_t w = 0, h = 0;
    if (o.drawable && o.drawable->image) {
        w = o.drawable->image->width;
        h = o.drawable->image->height;
    } else if (o.surface) {
        w = k_screen_width;
        h = k_screen_height;
    }
    const std::int32_t size = is_x ? w : h;
    const std::int32_t screen = is_x ? k_screen_width : k_screen_height;
    const std::int32_t current = is_x ? o.offset_x : o.offset_y;
    const std::int32_t px = is_x ? p.x : p.y, pw = is_x ? p.w : p.h;
    double n = 0;
    std::string_view rest;
    if (!word.empty() && (word.front() == '@' || word.front() == '#')) {
        const bool centred = word.front() == '#';
        if (!number_prefix(word.substr(1), n, rest)) return false;
        const char unit = rest.empty() ? 0 : static_cast<char>(std::toupper(rest.front()));
        if (unit && !only_blank(rest.substr(1))) return false;
        if (centred) {
            if (!o.drawable || unit == 0) return false;
            // A percentage centres the object on that point of the screen (50% centres it);
            // pixels count from the screen's centre.
            if (unit == '%')
                out = static_cast<std::int32_t>(std::trunc(n / 100.0 * screen)) - (size >> 1);
            else if (unit == 'P')
                out = static_cast<std::int32_t>(std::trunc(n)) - (size >> 1) + (screen >> 1);
            else
                return false;
            return true;
        }
        if (unit == 0) {
            if (!only_blank(rest)) return false;
            const SceneObject* parent = o.parent;
            out = (parent ? (is_x ? parent->x : parent->y) : 0) + static_cast<std::int32_t>(n);
            return true;
        }
        if (unit == '%')
            out = current + static_cast<std::int32_t>(n / 100.0 * screen);
        else if (unit == 'P')
            out = current + static_cast<std::int32_t>(n);
        else
            return false;
        return true;
    }
    if (number_prefix(word, n, rest)) {
        if (!only_blank(rest)) return false;
        out = current + static_cast<std::int32_t>(n);
        return true;
    }
    struct Kw {
        const char* x;
        const char* y;
        std::int32_t value;
    };
    const Kw table[] = {
        {"CENTER", "MIDDLE", (screen >> 1) - (size >> 1)},
        {"INLEFT", "INTOP", px},
        {"INRIGHT", "INBOTTOM", px + pw - size},
        {"INHERIT", "INHERIT", px + (pw >> 1) - (size >> 1)},
        {"OUTLEFT", "OUTTOP", px - size},
        {"OUTRIGHT", "OUTBOTTOM", px + pw},
        {"ONLEFT", "ONTOP", px - (size >> 1)},
        {"ONRIGHT", "ONBOTTOM", px + pw - (size >> 1)},
    };
    for (const Kw& k : table) {
        if (keyword(word, is_x ? k.x : k.y)) {
            out = k.value;
            return true;
        }
    }
    return false;
}

void mark_object(const SceneObject& o) {
    if (!o.drawable) return;
    if (o.drawable->target) {
        // Drawing into a surface: the surface's owner shows the change.
        mark_all_changed();
        return;
    }
    Drawable& d = *o.drawable;
    const std::uint8_t alpha = d.alpha;
    d.alpha = 255; // an invisible object still marks its area
    const ClipRect b = screen_bounds(d);
    d.alpha = alpha;
    if (!b.empty()) mark_changed(b.left, b.top, b.right - b.left, b.bottom - b.top);
    if (o.trail && o.trail->active)
        for (const Drawable& a : o.trail->images) {
            const ClipRect t = screen_bounds(a);
            if (!t.empty()) mark_changed(t.left, t.top, t.right - t.left, t.bottom - t.top);
        }
}

void reproject(SceneObject& o) {
    if (!o.drawable) {
        call_layer_hook(o);
        return;
    }
    mark_object(o);
    Drawable& d = *o.drawable;
    d.x = saturate32(std::int64_t{o.x} + (o.shake ? o.shake->dx : 0));
    d.y = saturate32(std::int64_t{o.y} + (o.shake ? o.shake->dy : 0));
    if (o.camera) {
        const CameraView v = o.camera->view();
        project(d, &v);
    } else {
        project(d);
    }
    call_layer_hook(o);
    mark_object(o);
}

int standard_draw(SceneObject& o) {
    if (!o.shown) return 0;
    if (o.hideable && text_erased()) return 0;
    FrameBuffer& frame = frame_buffer();
    const ClipRect& clip = compose_clip();
    int r = 0;
    if (o.kind && o.kind->draw)
        r = o.kind->draw(o, frame, clip);
    else if (o.trail && o.trail->active)
        r = draw_with_trail(o, frame, clip);
    else
        r = o.render(o, frame, clip);
    o.drawn = r != 0;
    return r;
}

CameraView CameraRecord::view() const {
    CameraView v;
    v.x = x;
    v.y = y;
    v.depth = 1000.0 + z;
    v.angle_x = angle_x;
    v.angle_y = angle_y;
    v.angle_z = angle_z;
    return v;
}

SceneObject* create_kind_object(const CreateArgs& args, std::unique_ptr<Drawable> drawable,
                                std::shared_ptr<PixelImage> image_ref, const KindOps* kind) {
    SceneObject* o = create_object(args.owner_key, args.path);
    if (!o) return nullptr;
    o->creator = args.prefix;
    o->creating_command = args.command;
    o->kind = kind;
    o->image_ref = std::move(image_ref);
    o->drawable = std::move(drawable);
    if (o->drawable) o->drawable->owner = o;
    o->priority = args.priority;
    const SceneObject* parent = o->parent;
    const bool relative = parent && parent->parent && (parent->inherit || parent->window_clip);
    o->offset_x = relative ? parent->x : 0;
    o->offset_y = relative ? parent->y : 0;
    o->offset_z = relative ? parent->z : 0;
    std::int32_t x = 0, y = 0;
    const bool x_ok = resolve_position(*o, args.x, true, x);
    if (!x_ok || !resolve_position(*o, args.y, false, y)) {
        free_object(*o);
        if (args.report)
            args.report("position \"" + (x_ok ? args.y : args.x) + "\" is not " +
                        (x_ok ? "a y" : "an x") + " position; the object was not created");
        return nullptr;
    }
    o->x = x;
    o->y = y;
    if (o->drawable && o->drawable->image && o->drawable->image->kind == k_image_frame) {
        o->x -= 8;
        o->y -= 8;
    }
    if (o->camera && o->drawable) {
        o->drawable->geometry.depth = o->priority;
        o->priority += o->camera->start_z;
    }
    for (SlotIndex s : {k_slot_fade, k_slot_zoom, k_slot_move, k_slot_rotate, k_slot_shake,
                        k_slot_transition, k_slot_kind_update, k_slot_kind_tick})
        set_slot(*o, s, k_op_idle);
    set_slot(*o, k_slot_draw, k_op_draw);
    set_slot(*o, k_slot_prepare, k_op_prepare);
    if (o->drawable) {
        // Inside a window the object is clipped to the window's rectangle.
        for (const SceneObject* a = o->parent; a; a = a->parent)
            if (a->window_clip) {
                o->drawable->surface_clip = a->window_clip.get();
                break;
            }
        o->drawable->x = o->x;
        o->drawable->y = o->y;
        reproject(*o);
    }
    o->slots[k_slot_prepare].fn(*o);
    note_priority_changed();
    if (render_paused()) mark_all_changed();
    return o;
}

int graphic_request(SceneObject& o, std::string_view word) {
    if (!o.drawable) return -1;
    Drawable& d = *o.drawable;
    struct ModeWord {
        std::string_view word;
        std::uint16_t mode;
    };
    static constexpr ModeWord k_modes[] = {
        {"NormalRender", k_blend_normal}, {"AddRender", k_blend_add},
        {"SubRender", k_blend_sub},       {"OverlayRender", k_blend_overlay},
        {"MulRender", k_blend_mul},       {"Smoothing", k_blend_normal | k_blend_smoothing},
    };
    for (const ModeWord& m : k_modes) {
        if (!is_request_word(word, m.word)) continue;
        if (!set_blend_mode(d, m.mode)) return 0;
        mark_object(o);
        return 1;
    }
    if (is_request_word(word, "UnSmoothing")) {
        set_blend_mode(d, d.mode & ~k_blend_smoothing);
        mark_object(o);
        return 1;
    }
    if (is_request_word(word, "Erase")) {
        set_slot(o, k_slot_draw, k_op_hidden);
        if (o.slots[k_slot_kind_tick].code == k_op_text_tick)
            set_slot(o, k_slot_kind_tick, k_op_hidden);
        mark_object(o);
        return 1;
    }
    if (is_request_word(word, "Enter")) {
        // Prepare puts the standard draw (and a parked text tick) back.
        if (o.slots[k_slot_prepare].fn) o.slots[k_slot_prepare].fn(o);
        mark_object(o);
        return 1;
    }
    return -1;
}

namespace detail {

void register_kind_operations() {
    register_operation(k_op_draw, op_standard_draw);
    register_operation(k_op_prepare, op_prepare);
}

} // namespace detail

} // namespace kestrune::scene
