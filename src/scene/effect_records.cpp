// The section of a saved scene object that carries its image effect: the kind's name and
// the arguments it was made with, the easing's progress and strength, then whatever the
// kind keeps of its own (particle paths and positions, a ripple's phase, ...).
//
// A load makes the object again by its creating statement. CreateEffect has then made the
// effect afresh (with new random particles), and DrawEffect effects are not made at all:
// the section makes the effect again from its arguments where it is missing, then pours
// the saved running state over it.
#include "scene/effects.h"

#include "scene/records.h"
#include "storage/save_bytes.h"

#include <algorithm>
#include <cmath>

namespace kestrune::scene {

namespace {

using storage::SaveReader;
using storage::SaveWriter;
using namespace effects;

constexpr std::size_t k_max_effect_name = 63;
constexpr std::size_t k_max_effect_tempo = 64;

bool has_effect(const SceneObject& o) {
    auto* r = dynamic_cast<const EffectRecord*>(o.effect.get());
    return r && r->kind;
}

bool write_effect(const SceneObject& o, const RecordWriting&, SaveWriter& w, std::string&) {
    const auto& r = static_cast<const EffectRecord&>(*o.effect);
    w.text(r.kind->name);
    for (std::int32_t v : {r.args.width, r.args.height, r.args.time_ms, r.args.from, r.args.to})
        w.i32(v);
    w.text(std::string_view(r.args.tempo).substr(0, k_max_effect_tempo));
    w.u32(r.core.progress);
    w.i32(r.core.step);
    w.u32(r.core.started);
    w.f64(r.from_unit);
    w.f64(r.to_unit);
    w.f64(r.value);
    w.u32(r.finished);
    w.u32(r.capture);
    if (r.kind->write_state) r.kind->write_state(o, r, w);
    return true;
}

bool read_effect(SceneObject& o, SaveReader& in) {
    const std::string name = in.text(k_max_effect_name);
    EffectArgs a;
    a.width = in.i32();
    a.height = in.i32();
    a.time_ms = in.i32();
    a.from = in.i32();
    a.to = in.i32();
    a.tempo = in.text(k_max_effect_tempo);
    const std::uint32_t progress = in.u32();
    const std::int32_t step = in.i32();
    const bool started = in.u32() != 0;
    const double from_unit = in.f64(), to_unit = in.f64(), value = in.f64();
    const bool finished = in.u32() != 0, capture = in.u32() != 0;
    if (!in.ok()) return false;
    const EffectKind* kind = find_kind(name);
    if (!kind || name != kind->name) return in.fail("an unknown effect");
    if (a.from < 0 || a.from > 1000 || a.to < 0 || a.to > 1000 || a.time_ms < 0)
        return in.fail("effect arguments out of range");
    for (double v : {from_unit, to_unit, value})
        if (!std::isfinite(v) || std::abs(v) > 1e7)
            return in.fail("an effect strength out of range");
    auto* r = dynamic_cast<EffectRecord*>(o.effect.get());
    if (!r || r->kind != kind) {
        if (!o.drawable || !o.drawable->image || !construct_effect(o, name, a))
            return in.fail("the effect could not be made again");
        r = static_cast<EffectRecord*>(o.effect.get());
    }
    // The strengths as they were worked out when the effect began (a split's start depends on
    // where the object then stood), and the easing over them.
    if (!r->core.tables[0].empty() && (r->from_unit != from_unit || r->to_unit != to_unit)) {
        const double amplitude = std::abs(to_unit - from_unit);
        fill_easing(r->core.tables[0], amplitude, r->core.steps, r->core.tempo);
        r->core.tables[0].back() = amplitude;
    }
    r->from_unit = from_unit;
    r->to_unit = to_unit;
    r->value = value;
    r->finished = finished;
    r->capture = capture;
    r->core.progress = std::min(progress, k_max_action_progress);
    r->core.step = step;
    r->core.started = started;
    if (r->kind->read_state && !r->kind->read_state(o, *r, in)) return false;
    mark_object(o);
    return true;
}

} // namespace

namespace detail {

void register_effect_records() {
    register_record_section({record_tag("EFCT"), has_effect, write_effect, read_effect});
}

} // namespace detail

} // namespace kestrune::scene
