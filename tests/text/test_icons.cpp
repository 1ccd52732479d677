// The text icon: frame-list values (patterns are formatted by hand, never by printf), the
// loading of the frames with failures skipped, and the records drawn by real render cycles
// (show, hide, move, animate and the fixed position, each repainting the old area).
#include "text/icons.h"

#include "frame/engine.h"
#include "scene/scene.h"
#include "script/system_variables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

using namespace kestrune;
using namespace kestrune::text;

namespace {

TEST(IconPattern, AcceptedPatternsFormatTheirIndex) {
    const struct {
        const char* value;
        int count;
        const char* name5; // the name for index 5
    } cases[] = {{"sys/icon%02d.png#3", 3, "sys/icon05.png"},
                 {"a%d.png#12", 12, "a5.png"},
                 {"a%03u.png#1", 1, "a005.png"},
                 {"a%i#0", 0, "a5"},
                 {"a%3d.png#1", 1, "a  5.png"},
                 {"100%%_%d.png#2", 2, "100%_5.png"},
                 {"one#frame.png#1", 1, "one#frame.png"}, // the count follows the last "#"
                 {"single.png#1", 1, "single.png"}};      // no conversion: one name
    for (const auto& c : cases) {
        IconPattern p;
        std::string error;
        ASSERT_TRUE(parse_icon_pattern(c.value, p, error)) << c.value << ": " << error;
        EXPECT_EQ(p.count, c.count) << c.value;
        EXPECT_EQ(p.name(5), c.name5) << c.value;
    }
}

// Guards against handing a script's text to a formatter: every other conversion, a second
// conversion and a malformed count are refused with a reason.
TEST(IconPattern, UnsafeOrMalformedValuesAreRefused) {
    for (const char* value :
         {"a%s.png#2", "a%n.png#1", "a%d%d.png#2", "a%02x.png#1", "a%ld.png#1", "a%*d.png#1",
          "a%.2d.png#1", "a%123d.png#1", "a%-2d.png#1", "a%#1", "a%d.png", "a%d.png#", "a%d.png#x",
          "a%d.png#-1", "a%d.png#+1", "a%d.png#3abc", "#3", "a%d.png#99999", "a%d.png#1001"}) {
        IconPattern p;
        std::string error;
        EXPECT_FALSE(parse_icon_pattern(value, p, error)) << value;
        EXPECT_FALSE(error.empty()) << value;
    }
    IconPattern p;
    std::string error;
    EXPECT_FALSE(parse_icon_pattern(std::string(300, 'a') + "%d#1", p, error));
}

TEST(IconPattern, LoadingTriesIndicesUpToTheCountAndSkipsFailures) {
    const struct {
        int count;
        std::vector<int> missing;
        std::vector<int> tried;
        std::vector<int> loaded;
    } cases[] = {{3, {}, {0, 1, 2}, {0, 1, 2}},
                 {3, {1}, {0, 1, 2, 3}, {0, 2, 3}},
                 {2, {0}, {0, 1, 2}, {1, 2}}, // numbered from 1
                 {2, {0, 1, 2}, {0, 1, 2}, {}},
                 {0, {}, {}, {}}};
    for (const auto& c : cases) {
        IconPattern p;
        std::string error;
        ASSERT_TRUE(parse_icon_pattern("f%d#" + std::to_string(c.count), p, error));
        std::vector<int> tried;
        auto frames = load_icon_frames(p, [&](std::string_view name) {
            const int i = std::stoi(std::string(name.substr(1)));
            tried.push_back(i);
            std::shared_ptr<PixelImage> image;
            if (std::find(c.missing.begin(), c.missing.end(), i) != c.missing.end()) return image;
            image = std::make_shared<PixelImage>();
            image->allocate(1, 1);
            image->kind = i; // remembers its index
            return image;
        });
        EXPECT_EQ(tried, c.tried) << c.count;
        std::vector<int> loaded;
        for (auto& f : frames) loaded.push_back(f->kind);
        EXPECT_EQ(loaded, c.loaded) << c.count;
    }
}

// ---- records drawn by the render cycle -----------------------------------------------------

constexpr std::uint32_t k_colours[3] = {0xFF0000, 0x00FF00, 0x0000FF};

class IconRecords : public ::testing::Test {
protected:
    void SetUp() override {
        engine::init_process_state();
        engine::build_lock_table();
        engine::set_state(engine::k_state_running);
        engine::set_text_window_hidden(false);
        script::reset_system_settings_for_tests();
        reset_icons_for_tests();
        ASSERT_TRUE(scene::init_scene(false));
        scene::set_overlay_hooks({step_icon, draw_icon});
        // Page icon: three 8 x 6 frames in red, green and blue.
        ASSERT_TRUE(set_icon_frames(k_icon_page, "p%d.png#3", "test", loader()));
        scene::mark_all_changed();
        scene::run_cycle_for_tests();
    }
    void TearDown() override {
        scene::set_overlay_hooks({});
        engine::set_state(engine::k_state_running);
        engine::set_text_window_hidden(false);
        reset_icons_for_tests();
        scene::shutdown_scene();
        script::reset_system_settings_for_tests();
    }
    static IconImageLoader loader() {
        return [](std::string_view name) {
            auto image = std::make_shared<PixelImage>();
            const int i = name[1] - '0';
            image->allocate(8, 6);
            image->kind = k_kind_png_alpha;
            for (std::int32_t y = 0; y < 6; ++y)
                for (std::int32_t x = 0; x < 8; ++x)
                    image->row32(y)[x] = 0xFF000000u | k_colours[i % 3];
            return image;
        };
    }
    // Colour of a composed pixel (0 when cleared).
    static std::uint32_t pixel(std::int32_t x, std::int32_t y) {
        scene::RasterTarget t = scene::frame_buffer().acquire();
        const std::uint8_t* p = t.pixels + static_cast<std::size_t>(y) * t.stride + x * 4;
        return (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[1]) << 8) | p[0];
    }
    static void locked(const std::function<void()>& fn) {
        engine::scene_lock();
        fn();
        engine::scene_unlock();
    }
};

TEST_F(IconRecords, ShowAnimatesMovesAndHidesRepaintingTheOldArea) {
    locked([] {
        place_icon(100, 50);
        show_icon(k_icon_page);
    });
    EXPECT_EQ(shown_icon_kind(), k_icon_page);
    scene::run_cycle_for_tests();
    EXPECT_EQ(pixel(103, 52), 0xFF0000u);
    EXPECT_EQ(pixel(108, 52), 0u); // right of the 8-pixel frame
    // A quarter frame per cycle: the fourth cycle after showing reaches the second frame,
    // and only the icon's own marking makes the cycle repaint it.
    scene::run_cycle_for_tests();
    scene::run_cycle_for_tests();
    EXPECT_EQ(pixel(103, 52), 0xFF0000u);
    scene::run_cycle_for_tests();
    EXPECT_EQ(pixel(103, 52), 0x00FF00u);
    for (int i = 0; i < 8; ++i) scene::run_cycle_for_tests();
    EXPECT_EQ(pixel(103, 52), 0xFF0000u) << "wraps after the third frame";

    locked([] { place_icon(300, 200); });
    scene::run_cycle_for_tests();
    EXPECT_EQ(pixel(103, 52), 0u);
    EXPECT_EQ(pixel(303, 202), 0xFF0000u);

    // Showing again starts from the first frame at the current position.
    for (int i = 0; i < 4; ++i) scene::run_cycle_for_tests();
    EXPECT_EQ(pixel(303, 202), 0x00FF00u);
    locked([] { show_icon(k_icon_page); });
    scene::run_cycle_for_tests();
    EXPECT_EQ(pixel(303, 202), 0xFF0000u);

    locked([] { show_icon(k_icon_none); });
    EXPECT_EQ(shown_icon_kind(), k_icon_none);
    scene::run_cycle_for_tests();
    EXPECT_EQ(pixel(303, 202), 0u);

    // A kind without frames shows nothing; 255 is the auto icon.
    locked([] { show_icon(255); });
    EXPECT_EQ(shown_icon_kind(), k_icon_auto);
    scene::run_cycle_for_tests();
    EXPECT_EQ(pixel(303, 202), 0u);
}

TEST_F(IconRecords, FixedPositionWinsOnlyWhenBothAreSet) {
    const struct {
        const char* x;
        const char* y;
        std::int32_t ex, ey;
    } cases[] = {{"500", "400", 500, 400},    {"500", "none", 10, 20},
                 {"NONE", "400", 10, 20},     {"", "", 10, 20},
                 {"abc", "400", 10, 20},      {"-4", "0", -4, 0},
                 {" 600 ", "100.7", 600, 100}};
    for (const auto& c : cases) {
        script::set_setting_default_text("position_x_text_icon", c.x);
        script::set_setting_default_text("position_y_text_icon", c.y);
        std::int32_t x = -1, y = -1;
        locked([&] {
            place_icon(10, 20);
            icon_position(x, y);
        });
        EXPECT_EQ(x, c.ex) << c.x << "," << c.y;
        EXPECT_EQ(y, c.ey) << c.x << "," << c.y;
    }
}

TEST_F(IconRecords, HiddenWindowNeitherStepsNorDrawsAndStatesKeepOwnRecords) {
    locked([] {
        place_icon(100, 50);
        show_icon(k_icon_page);
    });
    scene::run_cycle_for_tests();
    EXPECT_EQ(pixel(103, 52), 0xFF0000u);
    engine::set_text_window_hidden(true);
    for (int i = 0; i < 6; ++i) scene::run_cycle_for_tests();
    EXPECT_EQ(pixel(103, 52), 0u) << "hiding the window repaints the icon's area";
    engine::set_text_window_hidden(false);
    scene::run_cycle_for_tests();
    EXPECT_EQ(pixel(103, 52), 0xFF0000u) << "the animation stood still while hidden";

    // The system-script state has a record of its own: nothing shown there yet.
    engine::set_state(engine::k_state_system_script);
    EXPECT_EQ(shown_icon_kind(), k_icon_none);
    scene::mark_all_changed();
    scene::run_cycle_for_tests();
    EXPECT_EQ(pixel(103, 52), 0u);
    engine::set_state(engine::k_state_running);
    EXPECT_EQ(shown_icon_kind(), k_icon_page);
}

TEST_F(IconRecords, ReplacingAListRestartsTheIconAndARefusedValueKeepsIt) {
    locked([] {
        place_icon(100, 50);
        show_icon(k_icon_page);
    });
    for (int i = 0; i < 4; ++i) scene::run_cycle_for_tests();
    EXPECT_EQ(pixel(103, 52), 0x00FF00u);
    EXPECT_FALSE(set_icon_frames(k_icon_page, "p%s.png#3", "$SYSTEM_text_icon_page", loader()));
    EXPECT_EQ(icon_frame_count(k_icon_page), 3u);
    // Two frames, starting with blue: the shown icon switches at once.
    ASSERT_TRUE(set_icon_frames(k_icon_page, "p%d.png#2", "test", [](std::string_view name) {
        return loader()(std::string("p") + char(name[1] + 2));
    }));
    EXPECT_EQ(icon_frame_count(k_icon_page), 2u);
    scene::run_cycle_for_tests();
    EXPECT_EQ(pixel(103, 52), 0x0000FFu);
    ASSERT_TRUE(set_icon_frames(k_icon_page, "", "test"));
    EXPECT_EQ(icon_frame_count(k_icon_page), 0u);
    scene::run_cycle_for_tests();
    EXPECT_EQ(pixel(103, 52), 0u);
}

} // namespace
