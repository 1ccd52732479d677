// The image effect framework: the kinds table, construction and release, the per-cycle
// step, the "Passive" request and the commands CreateEffect and DrawEffect.
#include "scene/effects.h"

#include "frame/engine.h"
#include "scene/scene_commands.h"
#include "script/arguments.h"
#include "script/variables.h"

#include <algorithm>
#include <atomic>
#include <cmath>

namespace kestrune::scene {

using namespace detail;

namespace effects {

namespace {

// An effect name matches a kind when the kind's name is followed by the end of the text,
// a tab or a blank.
bool names_kind(std::string_view text, std::string_view name) {
    if (text.substr(0, name.size()) != name) return false;
    return text.size() == name.size() || text[name.size()] == ' ' || text[name.size()] == '\t';
}

std::atomic<bool> g_every_step_due{false};

bool construct(SceneObject& o, const EffectKind& kind, const EffectArgs& a) {
    release_effect(o);
    std::unique_ptr<EffectRecord> r = kind.construct(o, a);
    if (!r) return false;
    r->kind = &kind;
    r->args = a;
    o.effect_name = std::string(kind.name).substr(0, 63);
    o.effect = std::move(r);
    mark_object(o);
    return true;
}

} // namespace

const EffectKind* find_kind(std::string_view text) {
    for (const EffectKind* table :
         {filter_kinds(), distortion_kinds(), piece_kinds(), particle_kinds()})
        for (const EffectKind* k = table; k->name; ++k)
            if (names_kind(text, k->name)) return k;
    return nullptr;
}

bool construct_effect(SceneObject& o, std::string_view name, const EffectArgs& a) {
    const EffectKind* kind = find_kind(name);
    return kind && construct(o, *kind, a);
}

void set_every_step_due(bool on) {
    g_every_step_due.store(on);
}

bool every_step_due() {
    return g_every_step_due.load();
}

bool start_strength(EffectRecord& r, const EffectArgs& a, double from_unit, double to_unit) {
    if (a.from < 0 || a.to < 0 || a.from > 1000 || a.to > 1000) return false;
    r.from = a.from;
    r.to = a.to;
    r.from_unit = from_unit;
    r.to_unit = to_unit;
    r.value = from_unit;
    start_core(r.core, std::max(a.time_ms, 0), a.tempo);
    r.core.started = true;
    const double amplitude = std::abs(to_unit - from_unit);
    fill_easing(r.core.tables[0], amplitude, r.core.steps, a.tempo);
    r.core.tables[0].back() = amplitude;
    if (a.time_ms <= 0) {
        r.value = to_unit;
        r.finished = true;
    }
    return true;
}

bool advance_strength(SceneObject& o, EffectRecord& r) {
    if (r.finished) return false;
    const double before = r.value;
    const auto k = static_cast<std::int32_t>(r.core.progress >> 16);
    if (k < r.core.steps) {
        const double eased = r.core.tables[0][static_cast<std::size_t>(k)];
        r.value = r.to_unit >= r.from_unit ? r.from_unit + eased : r.from_unit - eased;
        advance(r.core, o, detail::now_for_actions());
    } else {
        r.value = r.to_unit;
        r.finished = true;
    }
    return r.value != before;
}

double number_or(std::string_view variable, double fallback) {
    double v = 0;
    return script::var_get_number(variable, v) ? v : fallback;
}

bool attach_canvas(SceneObject& o, std::int32_t w, std::int32_t h) {
    auto image = std::make_unique<PixelImage>();
    if (!image->allocate(w, h)) return false;
    image->kind = 6 | k_kind_alpha_bit; // translucent: never hides what lies beneath
    auto d = create_drawable(std::move(image));
    if (!d) return false;
    d->owner = &o;
    d->x = o.x;
    d->y = o.y;
    o.drawable = std::move(d);
    reproject(o);
    return true;
}

double frames_since_last_cycle(const SceneObject& o) {
    const std::uint32_t delta = detail::now_for_actions() - o.last_tick;
    return std::trunc(delta * current_speed()) / interval_ms(interval_setting());
}

} // namespace effects

using namespace effects;

namespace detail {

int step_effect(SceneObject& o) {
    auto* r = static_cast<EffectRecord*>(o.effect.get());
    if (!r || !r->kind->step) return 0;
    const int result = r->kind->step(o, *r);
    if (result == k_step_release) {
        release_effect(o);
        return 0;
    }
    return result;
}

void effect_after_update(SceneObject& o) {
    // The lens shows what lies beneath it magnified from up to 128 pixels away: any change
    // of the frame may show in it.
    if (o.effect && o.effect_name.rfind("Lens", 0) == 0 && !region_empty()) mark_all_changed();
}

void release_effect(SceneObject& o) {
    auto* r = static_cast<EffectRecord*>(o.effect.get());
    if (!r) return;
    mark_object(o);
    if (r->kind->release) r->kind->release(o, *r);
    o.effect.reset();
    o.effect_name.clear();
    o.render = default_render;
    mark_object(o);
}

int passive_request(SceneObject& o) {
    if (!o.effect) return 0;
    commit_draw_list();
    // Only Plain heeds the flag: the tone filters capture every time.
    static_cast<EffectRecord*>(o.effect.get())->capture = false;
    mark_all_changed();
    return 1;
}

} // namespace detail

namespace {

using script::CommandCall;

bool cmd_create_effect(CommandCall& call) {
    if (call.path.empty()) return true;
    const std::int64_t w = script::argument_int(call.arg(4));
    const std::int64_t h = script::argument_int(call.arg(5));
    if (!commands::size_ok(call, w, h, "CreateEffect")) return true;
    const std::string name = call.arg(6);
    const EffectKind* kind = find_kind(name);
    if (!kind) {
        commands::problem(call, "effect \"" + name +
                                    "\" is not known; the object is created "
                                    "without an effect");
    } else if (!kind->own_canvas) {
        commands::problem(call, "effect \"" + name +
                                    "\" works on an object's own image and is "
                                    "started by DrawEffect; the object is "
                                    "created without an effect");
        kind = nullptr;
    }
    commands::hold_for_group(call);
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    SceneObject* o =
        create_kind_object(commands::create_args(call, 1, 2), nullptr, nullptr, nullptr);
    if (o) {
        EffectArgs a;
        a.width = static_cast<std::int32_t>(w);
        a.height = static_cast<std::int32_t>(h);
        if (attach_canvas(*o, a.width, a.height) && kind) construct(*o, *kind, a);
        mark_object(*o);
    }
    return true;
}

bool cmd_draw_effect(CommandCall& call) {
    if (call.path.empty()) return true;
    const std::string name = call.arg(2);
    const EffectKind* kind = find_kind(name);
    if (!kind || !kind->by_draw) {
        commands::problem(
            call, "effect \"" + name + "\" " +
                      (kind ? "makes its own canvas and is made by CreateEffect" : "is not known") +
                      "; nothing was done");
        return true;
    }
    EffectArgs a;
    a.time_ms = commands::int_arg(call, 1);
    a.from = commands::int_arg(call, 3);
    a.to = commands::int_arg(call, 4);
    a.tempo = call.arg(5);
    if (a.from < 0 || a.to < 0 || a.from > 1000 || a.to > 1000) {
        commands::problem(call, "effect strengths " + std::to_string(a.from) + " and " +
                                    std::to_string(a.to) +
                                    " must lie in 0 to 1000; nothing "
                                    "was done");
        return true;
    }
    commands::for_each_object(
        call,
        [&](SceneObject& o) {
            if (!o.drawable || !o.drawable->image) return 0;
            return construct(o, *kind, a) ? 1 : 0;
        },
        ApplyOptions{.no_children = true});
    return true;
}

} // namespace

namespace detail {

void register_effect_commands() {
    script::register_command("CreateEffect", cmd_create_effect);
    script::register_command("DrawEffect", cmd_draw_effect);
    register_effect_records();
}

} // namespace detail

} // namespace kestrune::scene
