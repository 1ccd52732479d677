// The express-skip animation: while skip mode runs, a sequence of full-screen images takes
// the place of the scene, so that the reader sees a steady animation instead of pages
// flashing past. The scene itself is still stepped; only its composition is left out.
#include "scene/scene_internal.h"

#include "frame/engine.h"
#include "platform/clock.h"
#include "scene/raster.h"
#include "script/system_variables.h"

#include <algorithm>

namespace kestrune::scene {

namespace {

struct ExpressSkip {
    std::vector<std::shared_ptr<PixelImage>> images;
    std::vector<std::unique_ptr<Drawable>> drawables;
    std::size_t frame = 0;
    std::uint32_t last_step = 0;
    bool ending = false;
    std::uint32_t end_at = 0;
    // The frame the frame buffer shows, or -1: a frame is composed again only when it
    // changed, however often skip mode marks the screen.
    std::int64_t shown = -1;
};

ExpressSkip& express() {
    static ExpressSkip e;
    return e;
}

// Milliseconds per frame: from "express_skip_animation_fps" (frames per second) when it is
// set, else two frame intervals, the pace of half a frame per render cycle at the
// configured frame rate. The step is timed by the clock, not by render cycles, because
// skip mode drops the render thread's pacing.
std::uint32_t frame_time() {
    const double fps = script::setting_number("express_skip_animation_fps");
    if (fps > 0) return static_cast<std::uint32_t>(std::max(1.0, 1000.0 / fps));
    return static_cast<std::uint32_t>(2 * interval_ms(interval_setting()));
}

void clear_locked() {
    ExpressSkip& e = express();
    const bool was = !e.images.empty();
    e = ExpressSkip{};
    if (was) mark_all_changed();
}

} // namespace

void start_express_skip(std::vector<std::shared_ptr<PixelImage>> images) {
    std::vector<std::unique_ptr<Drawable>> drawables;
    std::vector<std::shared_ptr<PixelImage>> kept;
    for (auto& image : images) {
        if (kept.size() >= k_express_skip_slots) break;
        if (!image || image->empty()) continue;
        auto d = create_drawable(image.get());
        if (!d) continue;
        d->x = 0;
        d->y = 0;
        project(*d);
        drawables.push_back(std::move(d));
        kept.push_back(std::move(image));
    }
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    clear_locked();
    ExpressSkip& e = express();
    e.images = std::move(kept);
    e.drawables = std::move(drawables);
    e.last_step = platform::tick_ms();
    if (!e.images.empty()) mark_all_changed();
}

void end_express_skip_at(std::uint32_t tick) {
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    ExpressSkip& e = express();
    if (!e.images.empty()) {
        if (platform::tick_diff(tick, platform::tick_ms()) <= 0) {
            clear_locked();
        } else {
            e.ending = true;
            e.end_at = tick;
        }
    }
}

bool express_skip_running() {
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    const bool running = !express().images.empty();
    return running;
}

namespace detail {

bool express_skip_shown() {
    return !express().images.empty();
}

void step_express_skip(std::uint32_t now) {
    ExpressSkip& e = express();
    if (e.images.empty()) return;
    if (e.ending && platform::tick_diff(now, e.end_at) >= 0) {
        clear_locked();
        return;
    }
    const std::uint32_t ft = frame_time();
    const std::int32_t since = platform::tick_diff(now, e.last_step);
    if (since >= static_cast<std::int32_t>(ft)) {
        e.frame = (e.frame + 1) % e.images.size();
        // A late cycle does not make the animation race to catch up.
        e.last_step = since >= static_cast<std::int32_t>(2 * ft) ? now : e.last_step + ft;
    }
    if (static_cast<std::int64_t>(e.frame) != e.shown) mark_all_changed();
}

bool express_frame_pending() {
    const ExpressSkip& e = express();
    return static_cast<std::int64_t>(e.frame) != e.shown;
}

void draw_express_skip(FrameBuffer& frame) {
    ExpressSkip& e = express();
    if (e.drawables.empty()) return;
    frame.clear();
    const ClipRect all{0, 0, k_screen_width, k_screen_height};
    draw_drawable(frame, *e.drawables[e.frame], all);
    frame.note_drawn();
    e.shown = static_cast<std::int64_t>(e.frame);
}

void release_express_skip() {
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    express() = ExpressSkip{};
}

} // namespace detail

} // namespace kestrune::scene
