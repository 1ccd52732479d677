// Drawing the objects of one compose step.
//
// Consecutive objects that only blend their own image into the frame (the standard draw
// through the default render: no kind of their own, no afterimage trail, no image effect,
// no target surface) are drawn together, band by band: every one of them draws one band
// of rows before the next band begins. A band of the frame then stays in the processor's
// cache while all of them blend into it, instead of the whole frame going through memory
// once per object, and the bands are shared with the raster worker as one job instead of
// one per draw. Every pixel still receives the same draws in the same order, so the
// picture is the same. Any other object is drawn on its own, in its place in the order,
// over the whole area, as before.
#include "scene/frame_buffer.h"
#include "scene/scene_internal.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

namespace kestrune::scene::detail {

namespace {

constexpr std::int32_t k_band_rows = 16;

bool draws_by_bands(const SceneObject& o) {
    const Slot& s = o.slots[k_slot_draw];
    if (s.code != k_op_draw || s.fn != operation_for(k_op_draw)) return false;
    if (o.kind && o.kind->draw) return false;
    if (o.trail && o.trail->active) return false;
    if (o.render != default_render) return false;
    const Drawable* d = o.drawable.get();
    return d && d->image && !d->target;
}

struct Member {
    SceneObject* object;
    ClipRect bounds; // where it can draw within the area
    std::atomic<bool> drawn{false};
};

struct BandRun {
    FrameBuffer& frame;
    const ClipRect& area;
    bool clear;
    Member* members;
    std::size_t count;

    int operator()(const ClipRect& band) {
        if (clear) {
            const RasterTarget t = frame.acquire();
            for (std::int32_t y = band.top; y < band.bottom; ++y)
                std::memset(t.pixels + std::size_t(y) * std::size_t(t.stride) + band.left * 4, 0,
                            std::size_t(band.right - band.left) * 4);
        }
        int any = 0;
        for (std::size_t i = 0; i < count; ++i) {
            Member& m = members[i];
            if (m.bounds.bottom <= band.top || m.bounds.top >= band.bottom) continue;
            if (default_render(*m.object, frame, band)) {
                m.drawn.store(true, std::memory_order_relaxed);
                any = 1;
            }
        }
        return any;
    }
};

// Draws objects [first, last) of the order, all of which draw by bands, clearing the area
// first when asked.
void draw_run(SceneObject* const* first, SceneObject* const* last, const ClipRect& area,
              bool clear) {
    const std::size_t n = std::size_t(last - first);
    auto members = std::make_unique<Member[]>(n);
    std::size_t count = 0;
    std::int64_t work = clear ? std::int64_t(area.right - area.left) * (area.bottom - area.top) : 0;
    const bool erased = text_erased();
    for (SceneObject* const* it = first; it != last; ++it) {
        SceneObject& o = **it;
        // What the standard draw leaves alone: its drawn flag stays as it was.
        if (!o.shown || (o.hideable && erased)) continue;
        const ClipRect b = screen_bounds(*o.drawable);
        Member& m = members[count++];
        m.object = &o;
        m.bounds = {std::max(b.left, area.left), std::max(b.top, area.top),
                    std::min(b.right, area.right), std::min(b.bottom, area.bottom)};
        if (o.drawable->alpha != 0) work += draw_work(*o.drawable, area);
    }
    FrameBuffer& frame = frame_buffer();
    BandRun run{frame, area, clear, members.get(), count};
    run_in_bands(area, k_band_rows, work, run);
    for (std::size_t i = 0; i < count; ++i)
        members[i].object->drawn = members[i].drawn.load(std::memory_order_relaxed);
}

} // namespace

void draw_objects(const std::vector<SceneObject*>& order, const ClipRect& area, bool clear) {
    SceneObject* const* it = order.data();
    SceneObject* const* end = it + order.size();
    while (it != end) {
        if (!draws_by_bands(**it)) {
            if (clear) {
                BandRun run{frame_buffer(), area, true, nullptr, 0};
                run(area);
                clear = false;
            }
            (*it)->slots[k_slot_draw].fn(**it);
            ++it;
            continue;
        }
        SceneObject* const* run_end =
            std::find_if_not(it, end, [](SceneObject* o) { return draws_by_bands(*o); });
        draw_run(it, run_end, area, clear);
        clear = false;
        it = run_end;
    }
    if (clear) BandRun{frame_buffer(), area, true, nullptr, 0}(area);
}

} // namespace kestrune::scene::detail
