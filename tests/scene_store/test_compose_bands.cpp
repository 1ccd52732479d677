// Compose step: runs of plain objects drawn band by band, alone or shared with the raster
// worker, give the picture that drawing every object over the whole area in turn gives.
#include "scene/frame_buffer.h"
#include "scene/scene.h"
#include "scene/scene_commands.h"

#include "frame/engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

using namespace kestrune;
using namespace kestrune::scene;

namespace {

constexpr std::int32_t k_owner = 78;

std::shared_ptr<PixelImage> pattern(std::int32_t w, std::int32_t h, std::uint32_t seed) {
    auto img = std::make_shared<PixelImage>();
    img->allocate(w, h);
    img->kind = 1;
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x) {
            std::uint32_t v = (std::uint32_t(x) * 2654435761u) ^ (std::uint32_t(y) * 40503u) ^ seed;
            v ^= v >> 13;
            // Opaque, transparent and translucent areas, so every blend path is reached.
            const std::uint32_t a = (x + y) % 97 < 30 ? 255u : (x * 3 + y) % 89 < 20 ? 0u : v >> 24;
            img->row32(y)[x] = (v & 0xFFFFFFu) | a << 24;
        }
    return img;
}

// Inverts the colour of the pixels under the object: an object drawn by its own render
// function, which must see everything drawn before it and nothing drawn after.
void invert(const RasterTarget& t, const ClipRect& r) {
    for (std::int32_t y = r.top; y < r.bottom; ++y)
        for (std::int32_t x = r.left; x < r.right; ++x)
            reinterpret_cast<std::uint32_t*>(t.pixels + std::size_t(y) * t.stride)[x] ^= 0xFFFFFFu;
}
int invert_render(SceneObject& o, FrameBuffer& frame, const ClipRect& clip) {
    ClipRect r = screen_bounds(*o.drawable);
    r = {std::max(r.left, clip.left), std::max(r.top, clip.top), std::min(r.right, clip.right),
         std::min(r.bottom, clip.bottom)};
    invert(frame.acquire(), r);
    return 1;
}

struct Piece {
    const char* name;
    std::int32_t priority, x, y, w, h;
    std::function<void(SceneObject&)> setup;
};

class Compose : public ::testing::Test {
protected:
    void SetUp() override {
        engine::init_process_state();
        engine::build_lock_table();
        engine::set_state(engine::k_state_running);
        ASSERT_TRUE(init_scene(false));
        ASSERT_TRUE(add_owner(k_owner));
        start_raster_workers();
    }
    void TearDown() override {
        set_raster_split_all_for_tests(false);
        set_raster_worker_count_for_tests(2);
        engine::set_text_window_hidden(false);
        stop_raster_workers();
        remove_owner(k_owner);
        shutdown_scene();
    }

    SceneObject* add(const Piece& p) {
        auto image = pattern(p.w, p.h, std::uint32_t(p.priority) * 977u);
        CreateArgs a;
        a.owner_key = k_owner;
        a.path = p.name;
        a.priority = p.priority;
        a.x = std::to_string(p.x);
        a.y = std::to_string(p.y);
        engine::scene_lock();
        SceneObject* o = create_kind_object(a, create_drawable(image.get()), image, nullptr);
        engine::scene_unlock();
        return o;
    }

    // The frame after one compose of the whole screen.
    std::vector<std::uint8_t> compose() {
        mark_all_changed();
        run_cycle_for_tests();
        const RasterTarget t = frame_buffer().acquire();
        return {t.pixels, t.pixels + std::size_t(t.stride) * k_screen_height};
    }
};

// Catches: a run that crosses an object with its own render function, a band drawn twice
// or missed, the clear skipped or done after drawing, a hidden object drawn, and any
// difference between the calling thread alone and a band shared with the worker.
TEST_F(Compose, BandsGiveTheSamePictureAsWholeDraws) {
    const auto rotated = [](SceneObject& o) {
        set_blend_mode(*o.drawable, k_blend_normal | k_blend_smoothing);
        o.drawable->geometry.rot_z = 17;
        o.drawable->geometry.scale_x = 1300;
        project(*o.drawable);
    };
    const std::vector<Piece> pieces = {
        {"a", 10, -30, 20, 500, 300, nullptr},
        {"b", 11, 300, 100, 400, 420, rotated},
        {"add", 12, 600, -40, 300, 300,
         [](SceneObject& o) { set_blend_mode(*o.drawable, k_blend_add); }},
        {"inv", 13, 100, 150, 700, 200, [](SceneObject& o) { o.render = invert_render; }},
        {"half", 14, 0, 380, 1024, 196, [](SceneObject& o) { o.drawable->alpha = 128; }},
        {"mul", 15, 800, 207, 300, 300,
         [](SceneObject& o) { set_blend_mode(*o.drawable, k_blend_mul); }},
        {"gone", 16, 0, 0, 1024, 576, [](SceneObject& o) { o.drawable->alpha = 0; }},
        {"hideable", 17, 50, 50, 200, 200, [](SceneObject& o) { o.hideable = true; }},
    };
    std::vector<SceneObject*> objects;
    for (const Piece& p : pieces) {
        SceneObject* o = add(p);
        ASSERT_NE(o, nullptr) << p.name;
        engine::scene_lock();
        if (p.setup) p.setup(*o);
        engine::scene_unlock();
        objects.push_back(o);
    }
    engine::scene_lock();
    commit_draw_list();
    engine::scene_unlock();
    // Made after the commit: not shown yet, so not drawn.
    ASSERT_NE(add({"late", 20, 0, 0, 600, 600, nullptr}), nullptr);
    engine::set_text_window_hidden(true);

    // Every object over the whole screen in turn, on a cleared frame (nothing covers it).
    std::vector<std::uint8_t> expect(std::size_t(k_screen_width) * 4 * (k_screen_height + 2), 0);
    const RasterTarget t{expect.data(), k_screen_width, k_screen_height, k_screen_width * 4};
    const ClipRect all{0, 0, k_screen_width, k_screen_height};
    set_raster_worker_count_for_tests(1);
    for (SceneObject* o : objects) {
        if (o->hideable) continue;
        if (o->render == invert_render) {
            invert(t, screen_bounds(*o->drawable));
            continue;
        }
        draw(*o->drawable, t, all);
    }
    expect.resize(std::size_t(t.stride) * k_screen_height);

    for (const int threads : {1, 2}) {
        SCOPED_TRACE(threads == 1 ? "calling thread" : "shared with the worker");
        set_raster_worker_count_for_tests(threads);
        set_raster_split_all_for_tests(threads == 2);
        // Something left in the frame must be cleared first.
        std::memset(frame_buffer().acquire().pixels, 0x5A, std::size_t(k_screen_width) * 4 * 10);
        const std::vector<std::uint8_t> got = compose();
        ASSERT_EQ(got.size(), expect.size());
        EXPECT_TRUE(got == expect);
        EXPECT_TRUE(objects[0]->drawn);
        EXPECT_FALSE(objects[6]->drawn) << "alpha 0 draws nothing";
    }
}

} // namespace
