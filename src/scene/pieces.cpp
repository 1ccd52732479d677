// Distortions that cut the object's image into pieces, each a drawable of its own on the
// same image: the shattering splits (a grid of cells, two triangles each, falling and
// spinning towards the bottom of the screen) and the turn-over (32 x 32 tiles that turn
// about their right edge column by column).
#include "scene/effects.h"

#include "platform/clock.h"
#include "storage/save_bytes.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace kestrune::scene::effects {

namespace {

// Puts a piece's model corners at the image points of its texture corners, relative to
// an anchor at (ax, ay) in the image. A piece's right texture edge is one past its last
// texel column (sampling clamps to the image), so that an unturned piece steps exactly
// one texel per pixel and covers its own pixels when placed at the object's position.
void place_model(QuadGeometry& g, double ax, double ay, int corners) {
    g.anchor_x = ax;
    g.anchor_y = ay;
    for (std::size_t i = 0; i < std::size_t(corners); ++i)
        g.model[i] = {g.tex_u[i] - ax, ay - g.tex_v[i], 0};
}

ClipRect bounds_union(const ClipRect& a, const ClipRect& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    return {std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
            std::max(a.bottom, b.bottom)};
}

void mark_rect(const ClipRect& r) {
    if (!r.empty()) mark_changed(r.left, r.top, r.right - r.left, r.bottom - r.top);
}

struct Piece {
    std::unique_ptr<Drawable> drawable;
    std::int32_t spin = 1, direction = 1;
    std::int32_t dx = 0, dy = 0; // offset from the object's position
    std::int32_t angle = 0;      // turn-over: degrees about y
    std::int32_t scale = 1000;
};

struct PiecesRecord : EffectRecord {
    std::int32_t placed_x = INT32_MIN,
                 placed_y = INT32_MIN; // the object's place at the last placing
    std::vector<Piece> pieces;
    std::int32_t final_y = 0;
    std::int32_t columns = 0; // turn-over: the 32 groups and each piece's column
    std::vector<std::int32_t> column_of;
    std::vector<const Drawable*> drawables; // the pieces' drawables in drawing order
};

int pieces_render(SceneObject& o, FrameBuffer& frame, const ClipRect& clip) {
    auto* r = dynamic_cast<PiecesRecord*>(o.effect.get());
    if (!r || !o.drawable) return 0;
    if (r->drawables.size() != r->pieces.size()) {
        r->drawables.clear();
        for (const Piece& p : r->pieces) r->drawables.push_back(p.drawable.get());
    }
    for (Piece& p : r->pieces) {
        p.drawable->alpha = o.drawable->alpha;
        p.drawable->mode = o.drawable->mode;
    }
    if (o.drawable->alpha == 0) return 0;
    // Pieces always draw into the frame. Drawn as one run: many small pieces of one image
    // are drawn band by band of rows, which keeps each band in the cache and lets the raster
    // worker take half of the bands, where each piece alone would be too small to share.
    frame.note_drawn();
    const int drawn =
        draw_in_order(r->drawables.data(), r->drawables.size(), frame.acquire(), clip);
    frame.release();
    return drawn;
}

ClipRect place_pieces(SceneObject& o, PiecesRecord& r) {
    r.placed_x = o.x;
    r.placed_y = o.y;
    ClipRect all;
    for (Piece& p : r.pieces) {
        p.drawable->x = detail::saturate32(std::int64_t{o.x} + p.dx);
        p.drawable->y = detail::saturate32(std::int64_t{o.y} + p.dy);
        project(*p.drawable);
        all = bounds_union(all, screen_bounds(*p.drawable));
    }
    return all;
}

ClipRect pieces_bounds(const PiecesRecord& r) {
    ClipRect all;
    for (const Piece& p : r.pieces) all = bounds_union(all, screen_bounds(*p.drawable));
    return all;
}

void release_pieces(SceneObject& o, EffectRecord&) {
    o.render = detail::default_render;
    if (o.drawable) {
        o.drawable->y = o.y;
        reproject(o);
    }
}

// ---- splits --------------------------------------------------------------------------------

template <int grid>
std::unique_ptr<EffectRecord> construct_split(SceneObject& o, const EffectArgs& a) {
    auto r = std::make_unique<PiecesRecord>();
    PixelImage* img = o.drawable->image;
    const std::int32_t w = img->width, h = img->height, y0 = o.y;
    const double room = k_screen_height - y0;
    if (!start_strength(*r, a, y0 + room * a.from / 1000, y0 + room * a.to / 1000)) return nullptr;
    r->final_y = static_cast<std::int32_t>(r->to_unit);
    const std::int32_t cw = w / grid, ch = h / grid;
    std::mt19937 rng(platform::random_seed(0x53504C54));
    std::int32_t index = 0;
    for (std::int32_t row = 0; row < grid; ++row)
        for (std::int32_t col = 0; col < grid; ++col) {
            // The last row and column take what remains; empty cells make no pieces.
            const std::int32_t x0 = col * cw, x1 = col == grid - 1 ? w : x0 + cw;
            const std::int32_t y0c = row * ch, y1 = row == grid - 1 ? h : y0c + ch;
            if (x1 <= x0 || y1 <= y0c) continue;
            const std::array<std::array<std::int32_t, 3>, 2> us{
                std::array<std::int32_t, 3>{x0, x1, x1}, {x0, x1, x0}};
            const std::array<std::array<std::int32_t, 3>, 2> vs{
                std::array<std::int32_t, 3>{y0c, y0c, y1 - 1}, {y0c, y1 - 1, y1 - 1}};
            for (int t = 0; t < 2; ++t) {
                auto d = create_triangle_drawable(img, us[std::size_t(t)], vs[std::size_t(t)]);
                if (!d) return nullptr;
                place_model(d->geometry, (x0 + x1) / 2, (y0c + y1) / 2, 3);
                Piece p;
                p.drawable = std::move(d);
                p.spin = 1 + static_cast<std::int32_t>(rng() % 3);
                p.direction = index++ % 2 ? 1 : -1;
                r->pieces.push_back(std::move(p));
            }
        }
    if (r->pieces.empty()) return nullptr;
    o.render = pieces_render;
    mark_rect(place_pieces(o, *r));
    return r;
}

int split_step(SceneObject& o, EffectRecord& base) {
    auto& r = static_cast<PiecesRecord&>(base);
    if (r.finished) return r.final_y >= k_screen_height ? k_step_release : 0;
    const ClipRect before = pieces_bounds(r);
    advance_strength(o, r);
    o.y = static_cast<std::int32_t>(r.value);
    for (Piece& p : r.pieces) {
        QuadGeometry& g = p.drawable->geometry;
        g.rot_x = (g.rot_x + p.spin) % 360;
        g.rot_z = (g.rot_z + p.spin) % 360;
        p.dy += p.spin;
        p.dx += p.spin * p.direction;
    }
    mark_rect(bounds_union(before, place_pieces(o, r)));
    return 1;
}

// ---- turn-over -----------------------------------------------------------------------------

constexpr std::int32_t k_tiles = 32;

std::unique_ptr<EffectRecord> construct_turnover(SceneObject& o, const EffectArgs& a) {
    auto r = std::make_unique<PiecesRecord>();
    PixelImage* img = o.drawable->image;
    const std::int32_t w = img->width, h = img->height;
    if (!start_strength(*r, a, std::floor(a.from * 64.0 / 1000), std::floor(a.to * 64.0 / 1000)))
        return nullptr;
    r->columns = k_tiles;
    // Tile edges at floor(k * w / 32) and floor(k * h / 32): the tiles cover the image and
    // narrow images simply have empty tiles, which make no drawable.
    for (std::int32_t row = 0; row < k_tiles; ++row)
        for (std::int32_t col = 0; col < k_tiles; ++col) {
            const std::int32_t x0 = col * w / k_tiles, x1 = (col + 1) * w / k_tiles;
            const std::int32_t y0 = row * h / k_tiles, y1 = (row + 1) * h / k_tiles;
            if (x1 <= x0 || y1 <= y0) continue;
            auto d = create_drawable_with_corners(img, {x0, x1, x1, x0}, {y0, y0, y1 - 1, y1 - 1});
            if (!d) return nullptr;
            place_model(d->geometry, x1, (y0 + y1) / 2, 4);
            Piece p;
            p.drawable = std::move(d);
            r->pieces.push_back(std::move(p));
            r->column_of.push_back(col);
        }
    if (r->pieces.empty()) return nullptr;
    o.render = pieces_render;
    mark_rect(place_pieces(o, *r));
    return r;
}

int turnover_step(SceneObject& o, EffectRecord& base) {
    auto& r = static_cast<PiecesRecord&>(base);
    if (r.finished) return 0;
    advance_strength(o, r);
    if (r.value < 0) return 0;
    const auto moving = static_cast<std::int32_t>(r.value);
    // No column turns and the object stands where it stood: every piece is where it was.
    if (moving == 0 && o.x == r.placed_x && o.y == r.placed_y) return k_step_keep;
    const ClipRect before = pieces_bounds(r);
    // Each column moves once per time it is counted: a count above 32 moves the first
    // columns again in the same cycle.
    std::array<std::int32_t, k_tiles> turns{};
    for (std::int32_t g = 0; g < moving; ++g) turns[std::size_t(g % k_tiles)]++;
    for (std::size_t i = 0; i < r.pieces.size(); ++i) {
        Piece& p = r.pieces[i];
        for (std::int32_t n = turns[std::size_t(r.column_of[i])]; n > 0; --n) {
            p.dx += 4;
            p.angle = std::min(p.angle + 4, 180);
            p.scale += 4;
        }
        QuadGeometry& g = p.drawable->geometry;
        g.rot_y = p.angle;
        g.scale_x = g.scale_y = p.scale;
    }
    mark_rect(bounds_union(before, place_pieces(o, r)));
    return 1;
}

// ---- saved state ---------------------------------------------------------------------------

void write_pieces(const SceneObject&, const EffectRecord& base, storage::SaveWriter& w) {
    const auto& r = static_cast<const PiecesRecord&>(base);
    w.i32(r.final_y);
    w.u32(std::uint32_t(r.pieces.size()));
    for (const Piece& p : r.pieces) {
        const QuadGeometry& g = p.drawable->geometry;
        for (std::int32_t v : {p.dx, p.dy, p.angle, p.scale, g.rot_x, g.rot_y, g.rot_z, g.scale_x,
                               g.scale_y, p.spin, p.direction})
            w.i32(v);
    }
}

bool read_pieces(SceneObject& o, EffectRecord& base, storage::SaveReader& in) {
    auto& r = static_cast<PiecesRecord&>(base);
    const std::int32_t final_y = in.i32();
    const std::uint32_t count = in.count(k_tiles * k_tiles, "too many pieces");
    if (!in.ok()) return false;
    if (count != r.pieces.size()) return in.fail("the picture cuts into other pieces now");
    std::vector<std::array<std::int32_t, 11>> saved(count);
    for (auto& v : saved)
        for (std::int32_t& x : v) x = in.i32();
    if (!in.ok()) return false;
    for (const auto& v : saved) {
        // Offsets and scales grow a few units a cycle; angles stay within a turn.
        for (std::size_t i : {0u, 1u, 3u, 7u, 8u})
            if (std::abs(v[i]) > (1 << 24)) return in.fail("a piece out of range");
        for (std::size_t i : {2u, 4u, 5u, 6u})
            if (std::abs(v[i]) > 360) return in.fail("a piece angle out of range");
        if (v[9] < 0 || v[9] > 360 || (v[10] != 1 && v[10] != -1))
            return in.fail("a piece's spin out of range");
    }
    r.final_y = final_y;
    for (std::size_t k = 0; k < count; ++k) {
        Piece& p = r.pieces[k];
        const auto& v = saved[k];
        p.dx = v[0], p.dy = v[1], p.angle = v[2], p.scale = v[3], p.spin = v[9],
        p.direction = v[10];
        QuadGeometry& g = p.drawable->geometry;
        g.rot_x = v[4], g.rot_y = v[5], g.rot_z = v[6], g.scale_x = v[7], g.scale_y = v[8];
    }
    mark_rect(place_pieces(o, r));
    return true;
}

const EffectKind k_pieces[] = {
    {"SoftSplit", false, true, construct_split<4>, split_step, release_pieces, write_pieces,
     read_pieces},
    {"Split", false, true, construct_split<8>, split_step, release_pieces, write_pieces,
     read_pieces},
    {"HardSplit", false, true, construct_split<12>, split_step, release_pieces, write_pieces,
     read_pieces},
    {"TurnOver", false, true, construct_turnover, turnover_step, release_pieces, write_pieces,
     read_pieces},
    {nullptr, false, false, nullptr, nullptr, nullptr, nullptr, nullptr},
};

} // namespace

const EffectKind* piece_kinds() {
    return k_pieces;
}

} // namespace kestrune::scene::effects
