// Backlog screen benchmarks: opening the screen over 2,000 pages of stored text (17 rows of
// up to 32 GBK characters each) and turning its pages. "Open" is the usual opening: a line
// was added since the last one, so the store's row split is brought up to date at its end,
// and the newest page is drawn. "OpenAfterLoad" splits the whole store first, as the first
// opening after a restored save does. A page turn finds its page among the split rows and
// draws it. The goal is under 2 ms for the opening and for each page turn.
#include "text_page.h"

#include "scene/frame_buffer.h"
#include "scene/scene.h"
#include "text/backlog_internal.h"
#include "text/backlog_screen.h"
#include "text/fonts.h"
#include "text/layout.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

using namespace kestrune;

namespace {

constexpr int k_pages = 2000;
constexpr int k_rows_per_page = 17;

struct Fixture {
    scene::SceneObject window, bar;
    scene::FrameBuffer frame;
    bool ok = false;

    Fixture() {
        if (!bench::add_page_font()) return;
        text::set_text_settings(text::TextSettings{});
        text::set_default_font(bench::k_face, bench::k_height, 0xFFFFFF, 0x000000, 400,
                               text::k_outline_around);
        text::set_backlog_width(32);
        text::backlog_clear();
        const std::string codes = bench::page_text(); // 200 characters, 400 bytes
        for (int i = 0; i < k_pages * k_rows_per_page; ++i) {
            const std::size_t from = static_cast<std::size_t>(i % 170) * 2;
            text::backlog_set(codes.substr(from, 60), "NULL", "");
        }
        bar.scrollbar = std::make_unique<scene::ScrollBar>();
        bar.scrollbar->points.assign(400, {1000, 100});
        bar.scrollbar->last_index = 399;
        bar.scrollbar->active = true;
        ok = text::backlog_row_count() == k_pages * k_rows_per_page;
    }

    void open() {
        text::detail::open_window(window);
        text::detail::screen().bar = &bar;
        draw();
    }
    void draw() { text::detail::draw_backlog(window, frame, scene::ClipRect{0, 0, 1024, 576}); }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_Backlog_Open(benchmark::State& state) {
    Fixture& f = fixture();
    if (!f.ok) return state.SkipWithError("fonts-wqy-zenhei missing or the store was not filled");
    f.open(); // the glyphs of the newest page are rasterised once
    for (auto _ : state) {
        // A line of new text arrived since the last opening.
        state.PauseTiming();
        text::backlog_set(bench::page_text().substr(0, 60), "NULL", "");
        state.ResumeTiming();
        f.open();
    }
}
BENCHMARK(BM_Backlog_Open)->Unit(benchmark::kMicrosecond);

void BM_Backlog_OpenAfterLoad(benchmark::State& state) {
    Fixture& f = fixture();
    if (!f.ok) return state.SkipWithError("fonts-wqy-zenhei missing or the store was not filled");
    f.open();
    for (auto _ : state) {
        {
            text::detail::BacklogStore& s = text::detail::backlog_store();
            std::lock_guard guard(s.mutex);
            s.dirty_from = 0; // as after a restore: nothing of the split can be kept
            ++s.generation;
        }
        f.open();
    }
}
BENCHMARK(BM_Backlog_OpenAfterLoad)->Unit(benchmark::kMicrosecond);

void BM_Backlog_PageTurn(benchmark::State& state) {
    Fixture& f = fixture();
    if (!f.ok) return state.SkipWithError("fonts-wqy-zenhei missing or the store was not filled");
    f.open();
    const scene::ScrollOps& ops = text::detail::backlog_scroll_ops();
    // Walk back through 40 pages (their glyphs rasterised once), then time the turns.
    for (int i = 0; i < 40; ++i) {
        ops.page_back(f.bar);
        f.draw();
    }
    ops.to_first(f.bar);
    bool back = true;
    int turns = 0;
    for (auto _ : state) {
        if (back ? !ops.page_back(f.bar) : !ops.page_forward(f.bar)) back = !back;
        if (++turns % 40 == 0) back = !back;
        f.draw();
    }
}
BENCHMARK(BM_Backlog_PageTurn)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
