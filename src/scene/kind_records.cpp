// The saved state of the scene's own kinds beyond what the creating statement makes again:
// a camera's position and angles, a cube's field of view and pose, an afterimage trail, a
// scroll bar's thumb, a choice's state and state groups, the picture of a surface and the
// surface an object draws into.
#include "scene/records.h"

#include "scene/actions_internal.h"

#include "platform/clock.h"

#include <cmath>
#include <map>

namespace kestrune::scene {

namespace {

using storage::SaveReader;
using storage::SaveWriter;

// ---- camera ----------------------------------------------------------------------------------

bool has_camera(const SceneObject& o) {
    return o.camera && o.camera->owner == &o;
}

bool write_camera(const SceneObject& o, const RecordWriting&, SaveWriter& w, std::string&) {
    const CameraRecord& c = *o.camera;
    for (std::int32_t v :
         {c.start_x, c.start_y, c.start_z, c.x, c.y, c.z, c.angle_x, c.angle_y, c.angle_z})
        w.i32(v);
    return true;
}

bool read_camera(SceneObject& o, SaveReader& r) {
    std::int32_t v[9];
    for (auto& x : v) x = r.i32();
    if (!r.ok()) return false;
    if (!has_camera(o)) return r.fail("the object has no camera");
    CameraRecord& c = *o.camera;
    c.start_x = v[0];
    c.start_y = v[1];
    c.start_z = v[2];
    c.x = v[3];
    c.y = v[4];
    c.z = v[5];
    c.angle_x = v[6];
    c.angle_y = v[7];
    c.angle_z = v[8];
    c.changed = true;
    return true;
}

// ---- cube ------------------------------------------------------------------------------------

bool has_cube(const SceneObject& o) {
    return o.cube && o.cube->owner == &o;
}

bool write_cube(const SceneObject& o, const RecordWriting&, SaveWriter& w, std::string&) {
    const CubeRecord& c = *o.cube;
    w.f64(c.fov);
    for (const auto* a : {&c.position, &c.angles, &c.scale})
        for (std::int32_t v : *a) w.i32(v);
    return true;
}

bool read_cube(SceneObject& o, SaveReader& r) {
    const double fov = r.f64();
    std::array<std::array<std::int32_t, 3>, 3> v{};
    for (auto& a : v)
        for (auto& x : a) x = r.i32();
    if (!r.ok()) return false;
    if (!has_cube(o)) return r.fail("the object has no cube");
    if (!std::isfinite(fov) || fov <= 0 || fov >= 180)
        return r.fail("a field of view out of range");
    CubeRecord& c = *o.cube;
    c.fov = fov;
    c.position = v[0];
    c.angles = v[1];
    c.scale = v[2];
    c.changed = true;
    mark_object(o);
    return true;
}

// ---- trail -----------------------------------------------------------------------------------

// Restored trails: how long before the object's last step each axis was last updated.
std::map<const SceneObject*, std::array<std::uint32_t, 3>> g_trail_since;

void restart_trail(SceneObject& o) {
    auto it = g_trail_since.find(&o);
    if (it == g_trail_since.end()) return;
    if (o.trail)
        for (std::size_t i = 0; i < 3; ++i) o.trail->last_update[i] = o.last_tick - it->second[i];
    g_trail_since.erase(it);
}

bool has_trail(const SceneObject& o) {
    return o.trail && o.trail->active && o.drawable;
}

bool write_trail(const SceneObject& o, const RecordWriting&, SaveWriter& w, std::string&) {
    const TrailState& t = *o.trail;
    w.u32(t.draw_before);
    w.i32(t.count);
    w.i32(t.weight);
    w.i32(t.interval_ms);
    // The last updates as times before the object's last step, which the restart sets
    // back to the same distance from the load.
    for (std::size_t i = 0; i < 3; ++i) {
        w.f64(t.intervals[i]);
        w.u32(std::min<std::uint32_t>(o.last_tick - t.last_update[i], 60000));
        w.u32(t.tracking[i]);
    }
    w.u32(std::uint32_t(t.images.size()));
    for (const Drawable& d : t.images) {
        const QuadGeometry& g = d.geometry;
        for (std::int32_t v : {d.x, d.y, g.rot_x, g.rot_y, g.rot_z, g.scale_x, g.scale_y}) w.i32(v);
    }
    return true;
}

bool read_trail(SceneObject& o, SaveReader& r) {
    const bool before = r.u32() != 0;
    const std::int32_t count = r.i32(), weight = r.i32(), interval = r.i32();
    std::array<double, 3> intervals{};
    std::array<std::uint32_t, 3> since{};
    std::array<bool, 3> tracking{};
    for (std::size_t i = 0; i < 3; ++i) {
        intervals[i] = r.f64();
        since[i] = r.u32();
        tracking[i] = r.u32() != 0;
    }
    const std::uint32_t images = r.count(k_max_afterimages, "too many afterimages");
    std::vector<std::array<std::int32_t, 7>> values(images);
    for (auto& v : values)
        for (auto& x : v) x = r.i32();
    if (!r.ok()) return false;
    if (std::int32_t(images) != count) return r.fail("the afterimages do not match their count");
    for (double d : intervals)
        if (!std::isfinite(d) || d < 0 || d > 1e9) return r.fail("a trail interval out of range");
    for (std::uint32_t s : since)
        if (s > 60000) return r.fail("a clock offset beyond a minute");
    if (!detail::begin_trail(o, count, weight, interval, before))
        return r.fail("the trail could not be set up again");
    TrailState& t = *o.trail;
    t.interval_ms = interval;
    for (std::size_t i = 0; i < 3; ++i) {
        t.intervals[i] = intervals[i];
        t.tracking[i] = tracking[i];
    }
    g_trail_since[&o] = since;
    for (std::size_t n = 0; n < values.size(); ++n) {
        Drawable& d = t.images[n];
        const auto& v = values[n];
        d.x = v[0];
        d.y = v[1];
        d.geometry.rot_x = v[2];
        d.geometry.rot_y = v[3];
        d.geometry.rot_z = v[4];
        d.geometry.scale_x = v[5];
        d.geometry.scale_y = v[6];
        project(d);
    }
    mark_object(o);
    return true;
}

// ---- scroll bar ------------------------------------------------------------------------------

bool has_scrollbar(const SceneObject& o) {
    return o.scrollbar != nullptr;
}

bool write_scrollbar(const SceneObject& o, const RecordWriting&, SaveWriter& w, std::string&) {
    const ScrollBar& b = *o.scrollbar;
    w.u32(b.active);
    w.i32(b.index);
    w.i32(b.step);
    return true;
}

bool read_scrollbar(SceneObject& o, SaveReader& r) {
    const bool active = r.u32() != 0;
    const std::int32_t index = r.i32(), step = r.i32();
    if (!r.ok()) return false;
    if (!o.scrollbar) return r.fail("the object is no scroll bar");
    ScrollBar& b = *o.scrollbar;
    if (index < 0 || index > b.last_index || step < 1) return r.fail("a scroll bar out of range");
    b.active = active;
    b.step = step;
    // The position came back with the object; the thumb's index goes with it.
    const std::int32_t x = o.x, y = o.y;
    place_thumb(o, index);
    if (o.x != x || o.y != y) detail::restore_position(o, x, y, o.z);
    return true;
}

// ---- choice ----------------------------------------------------------------------------------

constexpr const char* k_group_names[4] = {"MouseUsual", "MouseOver", "MouseLeave", "MouseClick"};

SceneObject* state_group(const SceneObject& c, const char* name) {
    for (const auto& child : c.children)
        if (child->name == name) return child.get();
    return nullptr;
}

bool is_choice(const SceneObject& o) {
    return o.choice;
}

bool write_choice(const SceneObject& o, const RecordWriting&, SaveWriter& w, std::string&) {
    w.i32(o.choice_state);
    for (const char* name : k_group_names) {
        const SceneObject* g = state_group(o, name);
        w.u32(g != nullptr);
        w.u32(g ? g->slots[k_slot_draw].code : k_op_none);
    }
    return true;
}

bool read_choice(SceneObject& o, SaveReader& r) {
    const std::int32_t state = r.i32();
    std::array<bool, 4> exists{};
    std::array<std::uint32_t, 4> codes{};
    for (std::size_t i = 0; i < 4; ++i) {
        exists[i] = r.u32() != 0;
        codes[i] = r.u32();
    }
    if (!r.ok()) return false;
    if (!o.choice) return r.fail("the object is no choice");
    for (std::uint32_t c : codes)
        if (c > 0xFFFF || (c != k_op_none && !operation_for(std::uint16_t(c))))
            return r.fail("an unknown operation code");
    // The statement made all four groups again: those the script had deleted go, and the
    // others take their saved display state.
    for (std::size_t i = 0; i < 4; ++i) {
        SceneObject* g = state_group(o, k_group_names[i]);
        if (!g) continue;
        if (!exists[i])
            detail::delete_one(*g);
        else if (codes[i] != k_op_none)
            set_slot(*g, k_slot_draw, std::uint16_t(codes[i]));
    }
    o.choice_state = state;
    return true;
}

// ---- the picture of a surface ------------------------------------------------------------------

// What was drawn into a surface stays there from frame to frame: its pixels go with the
// record, as runs of equal pixels (a surface is mostly empty or plain).
bool owns_surface(const SceneObject& o) {
    return o.surface && !o.surface->empty();
}

bool write_surface(const SceneObject& o, const RecordWriting&, SaveWriter& w, std::string&) {
    const PixelImage& img = *o.surface;
    w.i32(img.width);
    w.i32(img.height);
    const std::size_t count_at = w.size();
    w.u32(0);
    std::uint32_t runs = 0;
    for (std::int32_t y = 0; y < img.height; ++y) {
        const std::uint32_t* row = img.row32(y);
        for (std::int32_t x = 0; x < img.width;) {
            std::int32_t n = 1;
            while (x + n < img.width && row[x + n] == row[x]) ++n;
            w.u32(std::uint32_t(n));
            w.u32(row[x]);
            ++runs;
            x += n;
        }
    }
    w.patch_u32(count_at, runs);
    return true;
}

bool read_surface(SceneObject& o, SaveReader& r) {
    const std::int32_t width = r.i32(), height = r.i32();
    const std::uint32_t runs = r.u32();
    if (!r.ok()) return false;
    if (!owns_surface(o) || width != o.surface->width || height != o.surface->height)
        return r.fail("the surface has another size now");
    if (std::uint64_t(runs) * 8 > r.left()) return r.fail("cut short");
    // Decoded into a copy first: a bad run leaves the surface as it was made.
    std::vector<std::uint32_t> pixels(std::size_t(width) * std::size_t(height));
    std::size_t at = 0;
    for (std::uint32_t i = 0; i < runs; ++i) {
        const std::uint32_t n = r.u32(), value = r.u32();
        const std::size_t row_left = std::size_t(width) - at % std::size_t(width);
        if (n == 0 || n > row_left) return r.fail("a run of pixels out of its row");
        std::fill_n(pixels.begin() + std::ptrdiff_t(at), n, value);
        at += n;
    }
    if (!r.ok() || at != pixels.size()) return r.fail("the surface's pixels do not fill it");
    PixelImage& img = *o.surface;
    for (std::int32_t y = 0; y < height; ++y)
        std::copy_n(pixels.begin() + std::ptrdiff_t(y) * width, width, img.row32(y));
    mark_object(o);
    return true;
}

// ---- the surface an object draws into ----------------------------------------------------------

// Objects whose target surface is linked again at the restart, by the surface object's
// saved identity (only compared: an object that went is never reached through it).
std::map<const SceneObject*, std::uint32_t> g_targets;

const SceneObject* surface_owner(const PixelImage* surface) {
    for (const SceneObject* s : main_list())
        if (s->surface.get() == surface) return s;
    return nullptr;
}

bool draws_into_surface(const SceneObject& o) {
    return o.drawable && o.drawable->target && o.target_ref;
}

bool write_target(const SceneObject& o, const RecordWriting& ctx, SaveWriter& w, std::string&) {
    w.u32(ctx.identity_of(surface_owner(o.drawable->target)));
    return true;
}

bool read_target(SceneObject& o, SaveReader& r) {
    const std::uint32_t identity = r.u32();
    if (!r.ok()) return false;
    if (identity) g_targets[&o] = identity;
    return true;
}

void restart_target(SceneObject& o) {
    auto it = g_targets.find(&o);
    if (it == g_targets.end()) return;
    const SceneObject* s = restored_object(it->second);
    g_targets.erase(it);
    if (!s || !s->surface || !o.drawable || s == &o) return;
    o.drawable->target = s->surface.get();
    o.target_ref = s->surface;
}

// An object freed before the restart reached it (refused, or deleted by a later record)
// leaves no entry behind for another object made at its address.
void forget_target(SceneObject& o) {
    g_targets.erase(&o);
    g_trail_since.erase(&o);
}

} // namespace

namespace commands {
void register_picture_sections();
}

void register_kind_sections() {
    add_free_listener(forget_target);
    register_record_section({record_tag("CAMR"), has_camera, write_camera, read_camera});
    register_record_section({record_tag("CUBE"), has_cube, write_cube, read_cube});
    register_record_section(
        {record_tag("TRAL"), has_trail, write_trail, read_trail, nullptr, restart_trail});
    register_record_section({record_tag("SCRL"), has_scrollbar, write_scrollbar, read_scrollbar});
    register_record_section({record_tag("CHOI"), is_choice, write_choice, read_choice});
    register_record_section({record_tag("SPIX"), owns_surface, write_surface, read_surface});
    register_record_section({record_tag("SURF"), draws_into_surface, write_target, read_target,
                             nullptr, restart_target});
    commands::register_picture_sections();
}

} // namespace kestrune::scene
