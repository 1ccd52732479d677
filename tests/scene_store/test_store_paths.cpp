// Scene store: path forms, replacement, aliases, deletion and locking, draw order,
// position words, auto-dispose, the time base and the easing tables.
#include "scene/actions_internal.h"
#include "scene/scene.h"
#include "scene/scene_commands.h"

#include "frame/engine.h"
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using namespace kestrune;
using namespace kestrune::scene;

namespace {

constexpr std::int32_t k_owner = 77;

class Store : public ::testing::Test {
protected:
    void SetUp() override {
        engine::init_process_state();
        engine::build_lock_table();
        engine::set_state(engine::k_state_running);
        ASSERT_TRUE(init_scene(false));
        ASSERT_TRUE(add_owner(k_owner));
    }
    void TearDown() override {
        remove_owner(k_owner);
        shutdown_scene();
    }

    // A plain object (no drawable) at `path`.
    SceneObject* make(const std::string& path) {
        engine::scene_lock();
        SceneObject* o = create_object(k_owner, path);
        engine::scene_unlock();
        return o;
    }
    // A w x h colour plane at (x, y) with a priority.
    SceneObject* plane(const std::string& path, std::int32_t priority, const std::string& x,
                       const std::string& y, std::int32_t w = 10, std::int32_t h = 10) {
        auto image = commands::colour_image(w, h, 0xFFFFFF, 255);
        CreateArgs a;
        a.owner_key = k_owner;
        a.path = path;
        a.priority = priority;
        a.x = x;
        a.y = y;
        engine::scene_lock();
        SceneObject* o = create_kind_object(a, create_drawable(image.get()), image, nullptr);
        engine::scene_unlock();
        return o;
    }
    std::set<std::string> names(const std::string& path) {
        std::set<std::string> out;
        engine::scene_lock();
        apply(
            k_owner, path,
            [&](SceneObject& o) {
                out.insert(o.name);
                return 1;
            },
            ApplyOptions{.no_children = true});
        engine::scene_unlock();
        return out;
    }
};

TEST_F(Store, PathFormsMatchAsDocumented) {
    for (const char* n : {"bg", "bg1", "bgx", "xbg"}) ASSERT_NE(make(n), nullptr);
    ASSERT_NE(make("bg/face"), nullptr);
    ASSERT_NE(make("bg/face/eye"), nullptr);
    ASSERT_EQ(set_alias(k_owner, "hero", "bg"), 1);
    struct Case {
        const char* path;
        std::set<std::string> expect;
    } cases[] = {
        {"bg", {"bg"}},
        {"bg*", {"bg", "bg1", "bgx"}},
        {"*", {"bg", "bg1", "bgx", "xbg"}},
        {"bg/face/eye", {"eye"}},
        {"bg/*", {"face"}},
        {"@hero", {"bg"}},
        {"@her*", {"bg"}},
        {"@hero/face", {"face"}},
        {"<@hero/face/eye", {"eye"}},
        {"<bg", {"bg"}},
        {"nothing", {}},
        {"@nobody", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(names(c.path), c.expect) << c.path;
}

TEST_F(Store, BadPathsCreateNothing) {
    const std::size_t before = object_count();
    for (const char* p : {"", "/a", "a/", "missing/child", "a*"}) EXPECT_EQ(make(p), nullptr) << p;
    engine::scene_lock();
    EXPECT_EQ(create_object(-1, "a"), nullptr);
    engine::scene_unlock();
    EXPECT_EQ(object_count(), before);
}

TEST_F(Store, ReplacingAPathDropsTheOldTreeAndDrawsTheNewOneLast) {
    SceneObject* a = plane("a", 5, "0", "0");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(make("a/child"), nullptr);
    ASSERT_NE(plane("b", 5, "0", "0"), nullptr);
    SceneObject* a2 = plane("a", 5, "0", "0");
    ASSERT_NE(a2, nullptr);
    EXPECT_TRUE(names("a/*").empty());
    engine::scene_lock();
    sort_list(current_list(), true);
    EXPECT_EQ(current_list().back(), a2);
    engine::scene_unlock();
    EXPECT_EQ(object_count(), 2u);
}

TEST_F(Store, ReplacingALockedObjectFailsAndKeepsIt) {
    SceneObject* a = make("a");
    ASSERT_EQ(request(k_owner, "a", "Lock"), 1);
    EXPECT_EQ(make("a"), nullptr);
    engine::scene_lock();
    EXPECT_EQ(find_object(k_owner, "a"), a);
    engine::scene_unlock();
}

TEST_F(Store, AliasMovesToTheNewHolder) {
    make("a");
    make("b");
    set_alias(k_owner, "who", "a");
    set_alias(k_owner, "who", "b");
    EXPECT_EQ(names("@who"), std::set<std::string>{"b"});
}

TEST_F(Store, DeleteRefusesLockedObjectsButOwnerRemovalTakesThem) {
    make("keep");
    make("go");
    request(k_owner, "keep", "Lock");
    delete_objects(k_owner, "*");
    EXPECT_EQ(names("*"), std::set<std::string>{"keep"});
    remove_owner(k_owner);
    EXPECT_EQ(object_count(), 0u);
    ASSERT_TRUE(add_owner(k_owner));
}

TEST_F(Store, DeletingAnObjectClearsFocusLinksToIt) {
    SceneObject* a = make("a");
    SceneObject* b = make("b");
    engine::scene_lock();
    a->focus[0] = b;
    engine::scene_unlock();
    delete_objects(k_owner, "b");
    engine::scene_lock();
    EXPECT_EQ(a->focus[0], nullptr);
    engine::scene_unlock();
}

TEST_F(Store, EqualPrioritiesDrawInCreationOrderUntilOneIsRaised) {
    SceneObject* first = plane("first", 10, "0", "0");
    SceneObject* second = plane("second", 10, "0", "0");
    engine::scene_lock();
    sort_list(current_list(), true);
    EXPECT_LT(std::find(current_list().begin(), current_list().end(), first),
              std::find(current_list().begin(), current_list().end(), second));
    first->priority = 11;
    note_priority_changed();
    sort_list(current_list());
    EXPECT_EQ(current_list().back(), first);
    engine::scene_unlock();
}

TEST_F(Store, PositionWords) {
    SceneObject* parent = plane("p", 0, "100", "40", 300, 200);
    ASSERT_NE(parent, nullptr);
    struct Case {
        const char* path;
        std::int32_t w;
        const char* x;
        const char* y;
        std::int32_t ex, ey;
    } cases[] = {
        {"c1", 200, "#50%", "#50%", 412, 283},
        {"c2", 200, "CENTER", "MIDDLE", 412, 283},
        {"p/c3", 50, "INRIGHT", "INBOTTOM", 350, 230},
        {"p/c4", 50, "OUTLEFT", "ONTOP", 50, 35},
        {"p/c5", 50, "10", "@5", 110, 45},
        {"c6", 50, "@10%", "7", 102, 7},
        {"c7", 50, "center\tx", "#100P", 487, 383},
    };
    for (const Case& c : cases) {
        SceneObject* o = plane(c.path, 0, c.x, c.y, c.w, 10);
        ASSERT_NE(o, nullptr) << c.path;
        EXPECT_EQ(o->x, c.ex) << c.path;
        EXPECT_EQ(o->y, c.ey) << c.path;
    }
    const std::size_t before = object_count();
    for (const char* bad : {"LEFTISH", "12abc", "#50", "@%"})
        EXPECT_EQ(plane("bad", 0, bad, "0"), nullptr) << bad;
    EXPECT_EQ(object_count(), before);
}

TEST_F(Store, DisusedObjectGoesOnceItsActionEnds) {
    SceneObject* o = plane("d", 0, "0", "0");
    engine::scene_lock();
    detail::begin_fade(*o, 0, 50, "");
    commit_draw_list();
    engine::scene_unlock();
    request(k_owner, "d", "Disused");
    run_cycle_for_tests();
    EXPECT_EQ(names("d").size(), 1u) << "still fading";
    const platform::Tick start = platform::tick_ms();
    while (!names("d").empty() && platform::tick_diff(platform::tick_ms(), start) < 2000) {
        platform::sleep_ms(10);
        run_cycle_for_tests();
    }
    EXPECT_TRUE(names("d").empty());
}

TEST(ActionTime, StepCountsAtEachIntervalSetting) {
    const std::int32_t fps[13] = {960, 480, 240, 120, 60, 50, 40, 30, 20, 10, 5, 4, 2};
    for (std::int32_t s = 0; s < 13; ++s) {
        EXPECT_EQ(step_count(1000, s), fps[s]) << s;
        EXPECT_EQ(step_count(0, s), 1) << s;
    }
    EXPECT_EQ(step_count(500, 4), 30);
}

TEST(ActionTime, TempoNamesAndCurves) {
    std::vector<double> linear, null_tempo, unknown, quad;
    fill_easing(linear, 100, 4, "");
    fill_easing(null_tempo, 100, 4, "null");
    fill_easing(unknown, 100, 4, "Wobbly");
    EXPECT_EQ(linear, null_tempo);
    EXPECT_EQ(linear, unknown);
    ASSERT_EQ(linear.size(), 5u);
    EXPECT_DOUBLE_EQ(linear[2], 50);
    // The key is the first byte plus the byte sum: "ajk" is 407 (x squared), and its
    // quoted form 475 selects the same curve.
    EXPECT_EQ(tempo_key("ajk"), 407);
    EXPECT_EQ(tempo_key("\"ajk\""), 475);
    fill_easing(quad, 100, 4, "ajk");
    EXPECT_DOUBLE_EQ(quad[2], 25);
    fill_easing(quad, 100, 4, "\"ajk\"");
    EXPECT_DOUBLE_EQ(quad[2], 25);
}

TEST(ActionTime, BezierPathHoldsEverySegment) {
    std::string pts = "(0,0)";
    for (int i = 0; i < 255; ++i) pts += "{1,1}{2,2}(" + std::to_string(i + 1) + ",0)";
    std::vector<std::array<std::int32_t, 3>> path;
    ASSERT_TRUE(detail::bezier_path(pts, {5, 5, 0}, path));
    EXPECT_EQ(path.size(), 255u * 1024u + 1u);
    EXPECT_EQ(path.back()[0], 255);
    const std::string too_many = pts + "{1,1}{2,2}(9,9)";
    EXPECT_FALSE(detail::bezier_path(too_many, {0, 0, 0}, path));
    EXPECT_FALSE(detail::bezier_path("(0,0){1,1}(2,2)", {0, 0, 0}, path));
    EXPECT_FALSE(detail::bezier_path("(0,0){1,1}{2,2}(3,3", {0, 0, 0}, path));
    ASSERT_TRUE(detail::bezier_path("(@10,@0){0,0}{0,0}(@20,0)", {100, 50, 0}, path));
    EXPECT_EQ(path.front()[0], 110);
    EXPECT_EQ(path.front()[1], 50);
    EXPECT_EQ(path.back()[0], 120);
}

} // namespace
