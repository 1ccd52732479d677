#include "scene/records.h"

#include "scene/record_format.h"

#include "frame/engine.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "scene/actions_internal.h"
#include "script/arguments.h"
#include "script/commands.h"
#include "script/context.h"
#include "storage/image_loader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace kestrune::scene {

using storage::SaveReader;
using storage::SaveWriter;

// The sections of the scene's own kinds (kind_records.cpp).
void register_kind_sections();

namespace {

constexpr std::size_t k_max_tempo = 64;

std::mutex g_sections_mutex;
std::vector<RecordSection>& sections() {
    static std::vector<RecordSection> list;
    return list;
}
std::vector<RecordSection> sections_copy() {
    std::lock_guard guard(g_sections_mutex);
    return sections();
}

// Snapshot state for the writers' questions; only one snapshot runs at a time (saves run
// under the command lock).
std::map<const SceneObject*, std::uint32_t> g_identities;
std::vector<std::string> g_resume_words;

// Restore: the time since each restored object's last step, applied once the clocks
// restart (restore and restart run on the main thread, one after the other).
std::map<const SceneObject*, std::uint32_t> g_since_step;
std::map<const SceneObject*, std::uint32_t> g_since_jolt;

std::uint32_t identity_of(const SceneObject* o) {
    auto it = g_identities.find(o);
    return it == g_identities.end() ? 0 : it->second;
}
bool resumes_in(std::string_view command) {
    for (const std::string& w : g_resume_words)
        if (w == command) return true;
    return false;
}

// The command word a statement begins with (blanks skipped), or "".
std::string leading_word(const char* p, const char* end) {
    while (p && p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')) ++p;
    std::string w;
    while (p && p < end && ((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z'))) w += *p++;
    return w;
}

// ---- the scene's own sections ----------------------------------------------------------------

bool always(const SceneObject&) {
    return true;
}

bool write_core(const SceneObject& o, const RecordWriting& ctx, SaveWriter& w, std::string&) {
    w.u32(o.locked);
    w.u32(o.disused);
    w.u32(o.hideable);
    w.u32(o.clickable);
    w.i32(o.priority);
    w.u32(o.inherit);
    for (std::int32_t v : {o.x, o.y, o.z, o.offset_x, o.offset_y, o.offset_z}) w.i32(v);
    for (const SceneObject* f : o.focus) w.u32(ctx.identity_of(f));
    w.u32(o.shown);
    // The time since the object's last step: the first step after a load covers it, as the
    // next step would have, so the frames after the load fall as they would have.
    w.u32(platform::tick_ms() - o.last_tick);
    // The per-frame operations the object runs besides its actions (a text object that was
    // entered reveals, one not yet entered waits; an erased object is hidden).
    for (SlotIndex i : {k_slot_kind_update, k_slot_kind_tick, k_slot_draw, k_slot_prepare})
        w.u32(o.slots[i].code);
    return true;
}

bool read_core(SceneObject& o, SaveReader& r) {
    const bool locked = r.u32(), disused = r.u32(), hideable = r.u32(), clickable = r.u32();
    const std::int32_t priority = r.i32();
    const bool inherit = r.u32();
    std::int32_t v[6];
    for (auto& x : v) x = r.i32();
    std::array<std::uint32_t, 4> focus{};
    for (auto& f : focus) f = r.u32();
    const bool shown = r.u32() != 0;
    const std::uint32_t since_step = r.u32();
    std::array<std::uint32_t, 4> codes{};
    for (auto& c : codes) c = r.u32();
    if (!r.ok()) return false;
    for (std::uint32_t c : codes)
        if (c > 0xFFFF || (c != k_op_none && !operation_for(std::uint16_t(c))))
            return r.fail("an unknown operation code");
    if (since_step > 60000) return r.fail("a clock offset beyond a minute");
    o.locked = locked;
    o.disused = disused;
    o.hideable = hideable;
    o.clickable = clickable;
    if (o.priority != priority) note_priority_changed();
    o.priority = priority;
    o.inherit = inherit;
    o.offset_x = v[3];
    o.offset_y = v[4];
    o.offset_z = v[5];
    detail::restore_position(o, v[0], v[1], v[2]);
    o.saved_focus = focus;
    o.shown = shown;
    g_since_step[&o] = since_step;
    const SlotIndex slots[] = {k_slot_kind_update, k_slot_kind_tick, k_slot_draw, k_slot_prepare};
    for (std::size_t i = 0; i < 4; ++i)
        if (codes[i] != k_op_none) set_slot(o, slots[i], std::uint16_t(codes[i]));
    return true;
}

bool has_drawable(const SceneObject& o) {
    return o.drawable != nullptr;
}

bool write_drawable(const SceneObject& o, const RecordWriting&, SaveWriter& w, std::string&) {
    const Drawable& d = *o.drawable;
    const QuadGeometry& g = d.geometry;
    w.u32(d.alpha);
    w.u32(d.mode);
    for (std::int32_t v : {g.scale_x, g.scale_y, g.scale_z, g.rot_x, g.rot_y, g.rot_z}) w.i32(v);
    w.f64(g.anchor_x);
    w.f64(g.anchor_y);
    return true;
}

bool read_drawable(SceneObject& o, SaveReader& r) {
    const std::uint32_t alpha = r.u32(), mode = r.u32();
    std::int32_t v[6];
    for (auto& x : v) x = r.i32();
    const double ax = r.f64(), ay = r.f64();
    if (!r.ok()) return false;
    if (!o.drawable || alpha > 255 || mode > 0xFFFF) return r.fail("drawable state out of range");
    o.drawable->alpha = std::uint8_t(alpha);
    o.drawable->mode = std::uint16_t(mode);
    o.drawable->geometry.scale_z = v[2];
    o.drawable->geometry.anchor_x = ax;
    o.drawable->geometry.anchor_y = ay;
    detail::restore_scale(o, v[0], v[1]);
    detail::restore_angles(o, {v[3], v[4], v[5]});
    return true;
}

// Every action: its own values, then the common progress words and the tempo.
void write_action_core(const ActionCore& a, bool skip, SaveWriter& w) {
    w.i32(a.time_ms);
    w.u32(a.progress);
    w.i32(a.step);
    w.u32(a.started);
    w.u32(skip);
    w.text(a.tempo);
}

struct SavedCore {
    std::int32_t time_ms = 0;
    std::uint32_t progress = 0;
    std::int32_t step = 0;
    bool started = false, skip = false;
    std::string tempo;
};

bool read_action_core(SaveReader& r, SavedCore& c) {
    c.time_ms = r.i32();
    c.progress = r.u32();
    c.step = r.i32();
    c.started = r.u32() != 0;
    c.skip = r.u32() != 0;
    c.tempo = r.text(k_max_tempo);
    if (!r.ok()) return false;
    if (c.time_ms <= 0) return r.fail("an action without time");
    return true;
}

// Puts the saved progress back into an action just set up again from its saved values.
void resume_core(ActionCore& a, const SavedCore& c) {
    a.progress = std::min(c.progress, k_max_action_progress); // as far as a run goes
    a.step = c.step;
    a.started = c.started;
    a.skip_next = c.skip;
}

bool write_fade(const SceneObject& o, const RecordWriting& ctx, SaveWriter& w, std::string&) {
    w.u32(o.fade->start);
    w.u32(o.fade->target);
    write_action_core(*o.fade, ctx.resumes_in("Fade"), w);
    return true;
}

bool read_fade(SceneObject& o, SaveReader& r) {
    const std::uint32_t start = r.u32(), target = r.u32();
    SavedCore c;
    if (!read_action_core(r, c)) return false;
    if (start > 255 || target > 255 || !o.drawable) return r.fail("fade out of range");
    // Set up from the saved start, so the easing covers the same distance, then the
    // current opacity back: the targets are kept exactly (no opacity rounding).
    const std::uint8_t now = o.drawable->alpha;
    o.drawable->alpha = std::uint8_t(start);
    detail::begin_fade(o, std::uint8_t(target), c.time_ms, c.tempo);
    o.drawable->alpha = now;
    if (!o.fade) return r.fail("the fade could not be set up again");
    resume_core(*o.fade, c);
    return true;
}

bool write_move(const SceneObject& o, const RecordWriting& ctx, SaveWriter& w, std::string&) {
    const MoveState& m = *o.move;
    for (std::int32_t v : m.start) w.i32(v);
    for (std::int32_t v : m.target) w.i32(v);
    w.text(m.bezier_points);
    write_action_core(m, ctx.resumes_in(m.bezier_points.empty() ? "Move" : "BezierMove"), w);
    return true;
}

bool read_move(SceneObject& o, SaveReader& r) {
    std::array<std::int32_t, 3> start{}, target{};
    for (auto& v : start) v = r.i32();
    for (auto& v : target) v = r.i32();
    const std::string points = r.text(2047);
    SavedCore c;
    if (!read_action_core(r, c)) return false;
    std::vector<std::array<std::int32_t, 3>> path;
    if (!points.empty() && !detail::bezier_path(points, start, path))
        return r.fail("a bezier path that does not read");
    const std::array<std::int32_t, 3> now{o.x, o.y, o.z};
    o.x = start[0];
    o.y = start[1];
    o.z = start[2];
    // The saved target is passed as it is: no frame-image correction a second time.
    detail::begin_move(o, target, c.time_ms, c.tempo, std::move(path), points);
    o.x = now[0];
    o.y = now[1];
    o.z = now[2];
    if (!o.move) return r.fail("the move could not be set up again");
    resume_core(*o.move, c);
    return true;
}

bool write_zoom(const SceneObject& o, const RecordWriting& ctx, SaveWriter& w, std::string&) {
    for (std::int32_t v : o.zoom->start) w.i32(v);
    for (std::int32_t v : o.zoom->target) w.i32(v);
    write_action_core(*o.zoom, ctx.resumes_in("Zoom"), w);
    return true;
}

bool read_zoom(SceneObject& o, SaveReader& r) {
    std::array<std::int32_t, 2> start{}, target{};
    for (auto& v : start) v = r.i32();
    for (auto& v : target) v = r.i32();
    SavedCore c;
    if (!read_action_core(r, c)) return false;
    const auto now = detail::current_scale(o);
    detail::restore_scale(o, start[0], start[1]);
    detail::begin_zoom(o, target, c.time_ms, c.tempo);
    detail::restore_scale(o, now[0], now[1]);
    if (!o.zoom) return r.fail("the zoom could not be set up again");
    resume_core(*o.zoom, c);
    return true;
}

bool write_rotate(const SceneObject& o, const RecordWriting& ctx, SaveWriter& w, std::string&) {
    for (std::int32_t v : o.rotate->start) w.i32(v);
    for (std::int32_t v : o.rotate->target) w.i32(v);
    write_action_core(*o.rotate, ctx.resumes_in("Rotate"), w);
    return true;
}

bool read_rotate(SceneObject& o, SaveReader& r) {
    std::array<std::int32_t, 3> start{}, target{};
    for (auto& v : start) v = r.i32();
    for (auto& v : target) v = r.i32();
    SavedCore c;
    if (!read_action_core(r, c)) return false;
    const auto now = detail::current_angles(o);
    detail::restore_angles(o, start);
    detail::begin_rotate(o, target, c.time_ms, c.tempo);
    detail::restore_angles(o, now);
    if (!o.rotate) return r.fail("the rotation could not be set up again");
    resume_core(*o.rotate, c);
    return true;
}

bool write_shake(const SceneObject& o, const RecordWriting& ctx, SaveWriter& w, std::string&) {
    const ShakeState& s = *o.shake;
    for (std::int32_t v : {s.start_x, s.start_y, s.end_x, s.end_y, s.rate, s.sign, s.dx, s.dy})
        w.i32(v);
    w.u32(o.last_tick - s.last_jolt); // jolts keep their rhythm across the load
    write_action_core(s, ctx.resumes_in("Shake"), w);
    return true;
}

bool read_shake(SceneObject& o, SaveReader& r) {
    std::int32_t v[8];
    for (auto& x : v) x = r.i32();
    const std::uint32_t since_jolt = r.u32();
    SavedCore c;
    if (!read_action_core(r, c)) return false;
    if (v[4] <= 0) return r.fail("a shake without rate");
    detail::begin_shake(o, v[0], v[1], v[2], v[3], v[4], c.time_ms, c.tempo);
    if (!o.shake) return r.fail("the shake could not be set up again");
    resume_core(*o.shake, c);
    o.shake->sign = v[5] < 0 ? -1 : 1;
    o.shake->dx = v[6];
    o.shake->dy = v[7];
    g_since_jolt[&o] = since_jolt;
    reproject(o);
    return true;
}

bool write_transition(const SceneObject& o, const RecordWriting& ctx, SaveWriter& w, std::string&) {
    const TransitionState& t = *o.transition;
    w.i32(t.from);
    w.i32(t.to);
    w.f64(t.softness);
    w.u32(t.finished);
    w.bytes(t.table.data(), t.table.size());
    w.text(t.rule_name);
    write_action_core(t, ctx.resumes_in("DrawTransition"), w);
    return true;
}

// The rule image of a transition: an object's image by the name the statement gave (formed
// with the object's creator prefix), else the image file.
std::shared_ptr<PixelImage> rule_image(const SceneObject& o, const std::string& name) {
    const std::string path = script::form_object_path(name, o.creator);
    if (!path.empty())
        if (auto image = find_image(path, o.owner_key)) return image;
    if (name.empty() || name.front() == '@') return nullptr;
    return storage::load_image(name);
}

// The thousandths a command gives for a threshold that the transition keeps as 0..255.
std::int32_t threshold_thousandths(std::int32_t v) {
    for (std::int32_t f = std::max(0, v * 1000 / 255 - 2); f <= 1000; ++f)
        if (static_cast<std::int32_t>(std::trunc(std::clamp(f, 0, 1000) * 0.255)) >= v) return f;
    return 1000;
}

bool read_transition(SceneObject& o, SaveReader& r) {
    const std::int32_t from = r.i32(), to = r.i32();
    const double softness = r.f64();
    const bool finished = r.u32() != 0;
    const auto table = r.bytes(256);
    const std::string rule_name = r.text(k_max_saved_name);
    SavedCore c;
    if (!read_action_core(r, c)) return false;
    if (from < 0 || from > 255 || to < 0 || to > 255 || !std::isfinite(softness) || softness <= 0 ||
        softness > 255)
        return r.fail("transition out of range");
    if (!o.drawable) return r.fail("a transition on an object that draws nothing");
    const auto rule = rule_image(o, rule_name);
    if (!rule || rule->empty()) {
        // The rule is gone (its object deleted since): the transition ends as it would.
        std::fprintf(stderr,
                     "kestrune: saved object '%s': rule image '%s' is gone; its "
                     "transition ends at once\n",
                     o.name.c_str(), rule_name.c_str());
        detail::cancel_transition(o);
        if (to == 0) detail::begin_fade(o, 0, 0, "");
        return true;
    }
    const auto soft = static_cast<std::int32_t>(std::lround(255.0 / softness));
    if (!detail::begin_transition(o, threshold_thousandths(from), threshold_thousandths(to),
                                  rule.get(), rule_name, soft, c.time_ms, c.tempo))
        return r.fail("the transition could not be set up again");
    TransitionState& t = *o.transition;
    t.from = from;
    t.to = to;
    t.softness = softness;
    t.finished = finished;
    std::copy(table.begin(), table.end(), t.table.begin());
    fill_easing(t.tables[0], std::abs(t.to - t.from), t.steps, t.tempo);
    resume_core(t, c);
    return true;
}

void register_scene_sections() {
    static bool done = false;
    if (done) return;
    done = true;
    register_record_section({record_tag("CORE"), always, write_core, read_core});
    register_record_section({record_tag("DRAW"), has_drawable, write_drawable, read_drawable});
    register_record_section({record_tag("FADE"),
                             [](const SceneObject& o) { return o.fade != nullptr; }, write_fade,
                             read_fade});
    register_record_section({record_tag("MOVE"),
                             [](const SceneObject& o) { return o.move != nullptr; }, write_move,
                             read_move});
    register_record_section({record_tag("ZOOM"),
                             [](const SceneObject& o) { return o.zoom != nullptr; }, write_zoom,
                             read_zoom});
    register_record_section({record_tag("ROTA"),
                             [](const SceneObject& o) { return o.rotate != nullptr; }, write_rotate,
                             read_rotate});
    register_record_section({record_tag("SHAK"),
                             [](const SceneObject& o) { return o.shake != nullptr; }, write_shake,
                             read_shake});
    register_record_section({record_tag("TRAN"),
                             [](const SceneObject& o) { return o.transition != nullptr; },
                             write_transition, read_transition});
    // An object freed before the restart reached it (refused, or deleted by a later record)
    // leaves no clock behind for another object made at its address.
    add_free_listener([](SceneObject& o) {
        g_since_step.erase(&o);
        g_since_jolt.erase(&o);
    });
    register_kind_sections();
}

// Objects of the main set's owners in tree order: a parent before its children. An
// excluded object (a choice's state group, made again by the choice's own statement) is
// not written, but what the script put under it is.
void collect(SceneObject& o, std::vector<SceneObject*>& out) {
    for (auto& c : o.children) {
        if (!c->restorable) continue;
        if (!c->excluded) out.push_back(c.get());
        collect(*c, out);
    }
}

std::string parent_path(const SceneObject& o) {
    std::string path;
    for (const SceneObject* p = o.parent; p && p->parent; p = p->parent)
        path = path.empty() ? p->name : p->name + "/" + path;
    return path;
}

} // namespace

void register_record_section(const RecordSection& section) {
    register_scene_sections(); // the scene's own sections come first
    std::lock_guard guard(g_sections_mutex);
    for (RecordSection& s : sections())
        if (s.tag == section.tag) {
            s = section;
            return;
        }
    sections().push_back(section);
}

bool snapshot_scene(const script::ScriptBlock* saving, std::vector<std::uint8_t>& out,
                    std::string& error) {
    register_scene_sections();
    const std::vector<RecordSection> list = sections_copy();
    std::vector<std::int32_t> owners;
    g_resume_words.clear();
    for (script::ScriptContext* c : script::contexts_of_set(0)) {
        owners.push_back(c->owner_key);
        std::lock_guard guard(c->m_blocks_mutex);
        for (const auto& b : c->blocks)
            if (b.get() != saving && b->statement_start && b->run_state.load() != 0)
                g_resume_words.push_back(leading_word(b->statement_start, b->end));
    }
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    std::vector<SceneObject*> objects;
    for (std::int32_t key : owners)
        if (detail::SceneOwner* owner = detail::find_owner(key)) collect(owner->root, objects);
    g_identities.clear();
    for (std::size_t i = 0; i < objects.size(); ++i)
        g_identities[objects[i]] = std::uint32_t(i + 1);
    const RecordWriting ctx{identity_of, resumes_in};

    SaveWriter w;
    w.bytes("VKSD", 4);
    w.u32(storage::k_save_block_tag);
    w.u32(0);
    w.u32(std::uint32_t(objects.size()));
    bool ok = true;
    for (SceneObject* o : objects) {
        const std::size_t size_at = w.size();
        w.u32(0);
        w.i32(o->owner_key);
        w.u32(identity_of(o));
        w.text(std::string_view(o->creating_command).substr(0, k_max_saved_statement));
        std::string prefix = o->creator;
        for (const RecordSection& s : list)
            if (s.creating_prefix && s.present && s.present(*o) && s.creating_prefix(*o, prefix))
                break;
        w.text(std::string_view(prefix).substr(0, k_max_saved_name));
        w.text(std::string_view(o->name).substr(0, k_max_saved_name));
        w.text(parent_path(*o));
        w.text(std::string_view(o->alias).substr(0, k_max_saved_name));
        const std::size_t count_at = w.size();
        w.u32(0);
        std::uint32_t count = 0;
        for (const RecordSection& s : list) {
            if (!s.present || !s.write || !s.present(*o)) continue;
            w.u32(s.tag);
            const std::size_t len_at = w.size();
            w.u32(0);
            if (!s.write(*o, ctx, w, error)) {
                ok = false;
                break;
            }
            w.patch_u32(len_at, std::uint32_t(w.size() - len_at - 4));
            ++count;
        }
        if (!ok) break;
        w.patch_u32(count_at, count);
        w.patch_u32(size_at, std::uint32_t(w.size() - size_at - 4));
    }
    g_identities.clear();
    scene_guard.unlock();
    if (!ok) return false;
    w.patch_u32(8, std::uint32_t(w.size()));
    out = std::move(w.data());
    return true;
}

// ---- staging and restoring -------------------------------------------------------------------

using StagedRecord = SavedRecord;

struct StagedScene {
    std::vector<std::uint8_t> bytes; // the block the sections point into
    std::vector<StagedRecord> records;
};

void StagedSceneDeleter::operator()(StagedScene* s) const {
    delete s;
}

StagedScenePtr stage_scene(std::span<const std::uint8_t> block, std::string& error) {
    StagedScenePtr staged(new StagedScene);
    staged->bytes.assign(block.begin(), block.end());
    if (!parse_scene_block(staged->bytes, staged->records, error)) return StagedScenePtr();
    return staged;
}

namespace {

// Runs a creating statement in the owner's context, in a fresh block whose object prefix
// is the saved creator prefix. The command lock is free in the restoring state, but a
// locked command that finds it taken is tried again a few times.
bool run_creating(const StagedRecord& s, std::string& why) {
    script::ScriptContext* ctx = script::find_context_by_owner(s.owner_key);
    if (!ctx) {
        why = "its owner names no restored script";
        return false;
    }
    auto block = std::make_unique<script::ScriptBlock>();
    block->context = ctx;
    std::memcpy(block->object_prefix, s.creator.data(),
                std::min(s.creator.size(), script::k_block_name_size - 1));
    std::memcpy(block->name, "(restore)", 10);
    platform::BlockPtr text = platform::make_block(s.statement.size());
    if (!text) {
        why = "out of memory";
        return false;
    }
    std::memcpy(text.get(), s.statement.data(), s.statement.size());
    char* pos = reinterpret_cast<char*>(text.get());
    block->start = block->begin = block->cursor = block->statement_start = pos;
    block->end = pos + s.statement.size();
    for (int tries = 0; tries < 2000; ++tries) {
        char* next = pos;
        if (!script::dispatch_command(*ctx, *block, pos, next)) {
            why = "its creating statement names no command";
            return false;
        }
        if (next != pos) return true;
        platform::sleep_ms(1);
    }
    why = "its creating statement could not run";
    return false;
}

} // namespace

std::size_t restore_scene(StagedScene& staged) {
    register_scene_sections();
    g_since_step.clear();
    g_since_jolt.clear();
    const std::vector<RecordSection> list = sections_copy();
    std::size_t restored = 0;
    for (const StagedRecord& s : staged.records) {
        std::string why;
        bool prepared = true;
        for (const RecordSection& sec : list)
            for (const auto& [tag, body] : s.sections) {
                if (tag != sec.tag || !sec.before_create || !prepared) continue;
                SaveReader r(body);
                if (!sec.before_create(r)) {
                    why = std::string("section refused: ") + r.why();
                    prepared = false;
                }
            }
        if (!prepared || !run_creating(s, why)) {
            std::fprintf(stderr, "kestrune: saved object '%s' skipped: %s\n", s.name.c_str(),
                         why.c_str());
            continue;
        }
        engine::ScopedLock scene_guard(engine::k_lock_scene);
        SceneObject* o = nullptr;
        std::vector<SceneObject*>& objects = current_list();
        for (auto it = objects.rbegin(); it != objects.rend() && !o; ++it)
            if (!(*it)->excluded) o = *it;
        // A statement that made some other object (or none) leaves that as it is.
        if (!o || o->name != s.name || s.name.empty()) {
            scene_guard.unlock();
            continue;
        }
        o->alias = s.alias;
        o->saved_identity = s.identity;
        bool ok = true;
        for (const RecordSection& sec : list) {
            for (const auto& [tag, body] : s.sections) {
                if (tag != sec.tag || !sec.read) continue;
                SaveReader r(body);
                if (!sec.read(*o, r)) {
                    std::fprintf(stderr, "kestrune: saved object '%s': section refused: %s\n",
                                 s.name.c_str(), r.why());
                    ok = false;
                }
            }
            if (!ok) break;
        }
        if (!ok) {
            // A half-applied object is not shown: it goes, the rest of the scene stays.
            detail::delete_one(*o);
        } else {
            reproject(*o);
            ++restored;
        }
    }
    return restored;
}

namespace {
std::map<std::uint32_t, SceneObject*> g_by_identity;
}

SceneObject* restored_object(std::uint32_t identity) {
    auto it = g_by_identity.find(identity);
    return identity == 0 || it == g_by_identity.end() ? nullptr : it->second;
}

void restart_scene_after_restore() {
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    std::map<std::uint32_t, SceneObject*>& by_identity = g_by_identity;
    by_identity.clear();
    for (SceneObject* o : current_list())
        if (o->saved_identity) by_identity[o->saved_identity] = o;
    for (SceneObject* o : current_list()) {
        for (std::size_t i = 0; i < o->focus.size(); ++i) {
            auto it = by_identity.find(o->saved_focus[i]);
            o->focus[i] = it == by_identity.end() ? nullptr : it->second;
        }
        o->saved_focus = {};
        if (o->drawable) reproject(*o);
    }
    reset_object_clocks();
    for (SceneObject* o : current_list()) {
        auto it = g_since_step.find(o);
        if (it != g_since_step.end()) o->last_tick -= it->second;
        auto jolt = g_since_jolt.find(o);
        if (jolt != g_since_jolt.end() && o->shake)
            o->shake->last_jolt = o->last_tick - jolt->second;
    }
    g_since_step.clear();
    g_since_jolt.clear();
    // The kinds' own links and clocks, once every object and its clocks are in place.
    for (const RecordSection& s : sections_copy())
        if (s.restart)
            for (SceneObject* o : current_list()) s.restart(*o);
    for (SceneObject* o : current_list()) o->saved_identity = 0;
    by_identity.clear();
    mark_all_changed();
    scene_guard.unlock();
    // The picture of the save, at once (the scripts go on with rendering held, as they did
    // after the Save); and all of it again at the next cycle, so that the window, which
    // takes changed areas only, gets the whole picture too.
    draw_now();
    mark_all_changed();
}

bool write_object_sections(const SceneObject& o, RecordSections& out, std::string& error) {
    register_scene_sections();
    const RecordWriting ctx{[](const SceneObject*) { return std::uint32_t(0); },
                            [](std::string_view) { return false; }};
    out.clear();
    for (const RecordSection& s : sections_copy()) {
        if (!s.present || !s.write || !s.present(o)) continue;
        SaveWriter w;
        if (!s.write(o, ctx, w, error)) return false;
        out.emplace_back(s.tag, std::move(w.data()));
    }
    return true;
}

bool read_object_section(SceneObject& o, std::uint32_t tag, std::span<const std::uint8_t> body,
                         std::string& why) {
    register_scene_sections();
    for (const RecordSection& s : sections_copy()) {
        if (s.tag != tag || !s.read) continue;
        SaveReader r(body);
        if (s.read(o, r)) return true;
        why = r.why() ? r.why() : "refused";
        return false;
    }
    why = "no reader knows the section";
    return false;
}

} // namespace kestrune::scene
