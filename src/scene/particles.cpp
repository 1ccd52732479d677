// Particle effects made by CreateEffect on a canvas of the object's size: falling rain
// streaks ("Rain"), falling, swinging, turning particles of an image ("Drop"), one turning
// streak ("LookupRain") and rising bubbles ("FloatBubble"). They take no strengths and run
// until the object goes.
#include "scene/effects.h"

#include "platform/clock.h"
#include "script/variables.h"
#include "storage/save_bytes.h"
#include "storage/storage.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <sstream>

namespace kestrune::scene::effects {

namespace {

// Particles are redrawn at most this often.
constexpr std::uint32_t k_particle_ms = 42;
constexpr std::size_t k_max_path = 4000;

using Point = std::array<std::int32_t, 2>;

// A random integer in lo..hi (lo when the range is empty, never a division by zero).
std::int32_t random_in(std::mt19937& rng, std::int32_t lo, std::int32_t hi) {
    if (hi <= lo) return lo;
    return lo + static_cast<std::int32_t>(rng() % std::uint32_t(std::int64_t(hi) - lo + 1));
}

// The integer line from a to b, the end included; thinned to at most 4000 points.
std::vector<Point> line_path(Point a, Point b) {
    const std::int64_t dx = std::int64_t(b[0]) - a[0], dy = std::int64_t(b[1]) - a[1];
    const std::int64_t n = std::max(std::abs(dx), std::abs(dy));
    std::vector<Point> path;
    if (n == 0) return {a};
    const std::int64_t stride = n / std::int64_t(k_max_path - 1) + 1;
    for (std::int64_t s = 0; s < n; s += stride)
        path.push_back({detail::line_point(a[0], dx, s, n), detail::line_point(a[1], dy, s, n)});
    path.push_back(b);
    return path;
}

// The cubic Bézier curve through the four points, sampled at n points (at most 4000).
std::vector<Point> bezier_path(const std::array<Point, 4>& p, std::int64_t n) {
    n = std::clamp<std::int64_t>(n, 2, k_max_path);
    std::vector<Point> path;
    path.reserve(std::size_t(n));
    for (std::int64_t i = 0; i < n; ++i) {
        const double t = double(i) / double(n - 1), u = 1 - t;
        const double w0 = u * u * u, w1 = 3 * u * u * t, w2 = 3 * u * t * t, w3 = t * t * t;
        path.push_back(
            {static_cast<std::int32_t>(w0 * p[0][0] + w1 * p[1][0] + w2 * p[2][0] + w3 * p[3][0]),
             static_cast<std::int32_t>(w0 * p[0][1] + w1 * p[1][1] + w2 * p[2][1] + w3 * p[3][1])});
    }
    return path;
}

struct Particle {
    std::vector<Point> path;
    // How the path was made (a save keeps these, not the points): a line from the first
    // point to the last when `samples` is 0, else the curve through all four at that many
    // samples.
    std::array<Point, 4> recipe{};
    std::int32_t samples = 0;
    double position = 0; // index into the path
    double drawn = 0;    // the index the canvas shows
    std::int32_t speed = 1;
    void make_line(Point a, Point b) {
        recipe = {a, a, b, b};
        samples = 0;
        path = line_path(a, b);
    }
    void make_curve(const std::array<Point, 4>& p, std::int64_t n) {
        recipe = p;
        samples = static_cast<std::int32_t>(std::clamp<std::int64_t>(n, 2, k_max_path));
        path = bezier_path(p, samples);
    }
    // The point now reached; a particle that runs past its path's end starts again.
    const Point& point() const { return path[std::size_t(position)]; }
    void advance(double frames) {
        position += speed * frames;
        if (!(position < double(path.size())) || position < 0) position = 0;
    }
};

struct ParticleRecord : EffectRecord {
    std::vector<Particle> particles;
    std::int32_t count = 0;
    std::uint32_t last_update = 0;
    bool updated_once = false;
    // After a load: the time from the last update to the object's last cycle, applied at
    // the first step (when the object's clock has been set again).
    std::int64_t pending_since = -1;
    bool update_due(const SceneObject& o, std::uint32_t interval = k_particle_ms) {
        if (pending_since >= 0) {
            last_update = o.last_tick - std::uint32_t(pending_since);
            pending_since = -1;
        }
        if (!o.drawable || o.drawable->alpha == 0) return false;
        const std::uint32_t now = detail::now_for_actions();
        if (updated_once && now - last_update < interval && !every_step_due()) return false;
        updated_once = true;
        last_update = now;
        return true;
    }
};

PixelImage* canvas_of(SceneObject& o) {
    return o.drawable && o.drawable->owns_image() ? o.drawable->image : nullptr;
}

void clear(PixelImage& canvas) {
    std::memset(canvas.pixels.data(), 0, canvas.pixels.size());
}

// ---- rain ------------------------------------------------------------------------------------

constexpr std::int32_t k_rain_drops = 128;
constexpr std::int32_t k_streak = 196;

std::unique_ptr<EffectRecord> construct_rain(SceneObject& o, const EffectArgs&) {
    PixelImage* canvas = canvas_of(o);
    if (!canvas) return nullptr;
    auto r = std::make_unique<ParticleRecord>();
    const std::int32_t w = canvas->width, h = canvas->height;
    const double density = number_or("$SYSTEM_effect_rain_dencity", k_rain_drops);
    r->count = static_cast<std::int32_t>(
        std::clamp(std::isfinite(density) ? density : 0.0, 0.0, double(k_rain_drops)));
    std::array<std::int32_t, 12> speeds{};
    double base = 0;
    const bool custom = script::var_get_number("$SYSTEM_effect_rain_speed", base);
    for (int k = 0; k < 12; ++k)
        speeds[std::size_t(k)] =
            custom ? std::max<std::int32_t>(
                         static_cast<std::int32_t>(std::clamp(base, -1e6, 1e6)) - 8 * k, 1)
                   : 152 - 8 * k;
    std::mt19937 rng(platform::random_seed(0x5241494E));
    r->particles.resize(k_rain_drops);
    for (Particle& p : r->particles) {
        const Point start{random_in(rng, 0, w - 1), -random_in(rng, 0, h / 2 + 127)};
        const std::int32_t drift = random_in(rng, 0, 63);
        const std::int32_t end_x = std::clamp(start[0] + ((rng() & 1) ? drift : -drift), 0, w);
        p.make_line(start, {end_x, h});
        p.speed = speeds[std::size_t(random_in(rng, 0, 11))];
    }
    return r;
}

// Draws every streak at the point its particle had when it was last drawn.
void draw_rain(PixelImage& canvas, const ParticleRecord& r) {
    const std::int32_t w = canvas.width, h = canvas.height;
    const auto& ramp = rain_ramp();
    clear(canvas);
    for (std::int32_t i = 0; i < r.count; ++i) {
        const Particle& p = r.particles[std::size_t(i)];
        const auto [x, y] = p.path[std::size_t(p.drawn)];
        if (x >= 0 && x < w && y >= -k_streak && y <= h + k_streak) {
            const std::int32_t bottom = std::min(y + k_streak, h);
            for (std::int32_t row = std::max(y, 0); row < bottom; ++row)
                canvas.row32(row)[x] = ramp[std::size_t(row - y)];
        }
    }
}

int rain_step(SceneObject& o, EffectRecord& base) {
    auto& r = static_cast<ParticleRecord&>(base);
    PixelImage* canvas = canvas_of(o);
    if (!canvas || !r.update_due(o)) return k_step_keep;
    const double frames = frames_since_last_cycle(o);
    for (std::int32_t i = 0; i < r.count; ++i) {
        Particle& p = r.particles[std::size_t(i)];
        p.drawn = p.position;
        p.advance(frames);
    }
    draw_rain(*canvas, r);
    mark_object(o);
    return 1;
}

// ---- drop ------------------------------------------------------------------------------------

constexpr std::int32_t k_drop_particles = 256;

struct DropRecord : ParticleRecord {
    std::shared_ptr<PixelImage> image; // the particle image all drawables share
    std::vector<std::unique_ptr<Drawable>> drawables;
    std::vector<std::array<std::int32_t, 3>> turn; // rotation steps in degrees
    std::vector<std::int32_t> scale;               // thousandths
    std::vector<Point> placed;                     // where each was last projected
    std::int32_t swing = 0;
};

std::shared_ptr<PixelImage> drop_image() {
    const std::string name = script::var_text("$SYSTEM_effect_drop_image");
    if (!name.empty())
        if (auto image = storage::load_image(name)) return image;
    auto blank = std::make_shared<PixelImage>();
    if (!blank->allocate(64, 64)) return nullptr;
    blank->kind = k_kind_png_alpha;
    return blank;
}

std::int32_t rounded_setting(std::string_view name, double fallback) {
    const double v = number_or(name, fallback);
    return std::isfinite(v) ? static_cast<std::int32_t>(std::clamp(std::round(v), -1e6, 1e6)) : 0;
}

std::unique_ptr<EffectRecord> construct_drop(SceneObject& o, const EffectArgs&) {
    PixelImage* canvas = canvas_of(o);
    if (!canvas) return nullptr;
    auto r = std::make_unique<DropRecord>();
    r->image = drop_image();
    if (!r->image) return nullptr;
    const std::int32_t w = canvas->width, h = canvas->height;
    r->count = std::clamp(rounded_setting("$SYSTEM_effect_drop_dencity", k_drop_particles), 0,
                          k_drop_particles);
    static constexpr std::int32_t k_base[4][3] = {{4, 3, 4}, {3, 2, 3}, {1, 2, 2}, {1, 1, 2}};
    static constexpr double k_factor[4][3] = {
        {1.0, 0.75, 1.0}, {0.75, 0.5, 0.75}, {0.3, 0.5, 0.5}, {0.3, 0.3, 0.5}};
    static constexpr std::int32_t k_scale[4] = {1000, 400, 800, 200};
    const double speed_setting = std::clamp(number_or("$SYSTEM_effect_drop_speed", 0), -1e6, 1e6);
    const double swing = std::clamp(number_or("$SYSTEM_effect_drop_swing", 0), -1e6, 1e6);
    r->swing = std::isfinite(swing) ? static_cast<std::int32_t>(swing) : 0;
    const std::array<std::int32_t, 3> rate{rounded_setting("$SYSTEM_effect_drop_rotate_x", 0),
                                           rounded_setting("$SYSTEM_effect_drop_rotate_y", 0),
                                           rounded_setting("$SYSTEM_effect_drop_rotate_z", 0)};
    const std::int32_t fall = h + 2 * r->image->height;
    std::mt19937 rng(platform::random_seed(0x44524F50));
    r->particles.resize(k_drop_particles);
    for (std::int32_t i = 0; i < k_drop_particles; ++i) {
        Particle& p = r->particles[std::size_t(i)];
        const std::int32_t size = random_in(rng, 0, 3);
        std::array<std::int32_t, 3> turn{};
        for (std::size_t a = 0; a < 3; ++a) turn[a] = rate[a] ? i % rate[a] + 1 : 0;
        r->turn.push_back(turn);
        r->scale.push_back(k_scale[size]);
        const Point start{random_in(rng, 0, w - 1), -random_in(rng, 0, h / 2 - 1)};
        const bool right = (i & 1) != 0;
        const std::int32_t drift = random_in(rng, 0, 127);
        const Point end{start[0] + (right ? drift : -drift), fall};
        if (r->swing == 0) {
            p.make_line(start, end);
        } else {
            const std::int32_t hi = std::max(start[0], end[0]) + r->swing;
            const std::int32_t lo = std::min(start[0], end[0]) - r->swing;
            const Point c1{right ? hi : lo, fall / 2 - fall / 4};
            const Point c2{right ? lo : hi, fall / 2 + fall / 4};
            p.make_curve({start, c1, c2, end}, std::int64_t(fall) - start[1]);
        }
        const std::int32_t column = random_in(rng, 0, 2);
        const double speed =
            k_base[size][column] + std::round(k_factor[size][column] * speed_setting);
        p.speed = static_cast<std::int32_t>(std::clamp(speed, 1.0, 4000.0));
        auto d = create_drawable(r->image.get());
        if (!d) return nullptr;
        set_anchor(d->geometry, "center", "middle");
        r->drawables.push_back(std::move(d));
        r->placed.push_back({INT32_MIN, INT32_MIN});
    }
    return r;
}

void draw_drops(PixelImage& canvas, const DropRecord& r) {
    clear(canvas);
    const RasterTarget target = target_of(canvas);
    const ClipRect all{0, 0, canvas.width, canvas.height};
    for (std::int32_t i = 0; i < r.count; ++i) {
        const Drawable& d = *r.drawables[std::size_t(i)];
        // A particle wholly outside the canvas is not drawn at all.
        const ClipRect b = screen_bounds(d);
        if (b.empty() || b.right <= 0 || b.bottom <= 0 || b.left >= all.right ||
            b.top >= all.bottom)
            continue;
        draw(d, target, all);
    }
}

int drop_step(SceneObject& o, EffectRecord& base) {
    auto& r = static_cast<DropRecord&>(base);
    PixelImage* canvas = canvas_of(o);
    if (!canvas || !r.update_due(o)) return k_step_keep;
    const double frames = frames_since_last_cycle(o);
    bool changed = false;
    for (std::int32_t i = 0; i < r.count; ++i) {
        const std::size_t k = std::size_t(i);
        Particle& p = r.particles[k];
        Drawable& d = *r.drawables[k];
        const Point at = p.point();
        if (at != r.placed[k] || r.turn[k] != std::array<std::int32_t, 3>{}) {
            QuadGeometry& g = d.geometry;
            d.x = at[0];
            d.y = at[1];
            g.scale_x = g.scale_y = r.scale[k];
            g.rot_x = (g.rot_x + r.turn[k][0]) % 360;
            g.rot_y = (g.rot_y + r.turn[k][1]) % 360;
            g.rot_z = (g.rot_z + r.turn[k][2]) % 360;
            project(d);
            r.placed[k] = at;
            changed = true;
        }
        p.advance(frames);
    }
    if (!changed) return k_step_keep;
    draw_drops(*canvas, r);
    mark_object(o);
    return 1;
}

// ---- lookup rain -----------------------------------------------------------------------------

// One white streak at the canvas's centre, turned to a new random angle at each redraw.
struct StreakRecord : ParticleRecord {
    std::unique_ptr<PixelImage> streak;
    std::unique_ptr<Drawable> drawable;
    std::mt19937 rng;
};

std::unique_ptr<EffectRecord> construct_lookup_rain(SceneObject& o, const EffectArgs&) {
    if (!canvas_of(o)) return nullptr;
    auto r = std::make_unique<StreakRecord>();
    r->streak = std::make_unique<PixelImage>();
    if (!r->streak->allocate(1, 16)) return nullptr;
    for (std::int32_t y = 0; y < 16; ++y) r->streak->row32(y)[0] = 0xFFFFFFFFu;
    r->drawable = create_drawable(r->streak.get());
    if (!r->drawable) return nullptr;
    // One texel wide: the model's right edge lies one past it, or the streak has no width.
    QuadGeometry& g = r->drawable->geometry;
    g.model[1][0] = g.model[2][0] = 1;
    g.tex_u = {0, 1, 1, 0};
    r->rng.seed(platform::random_seed(0x4C4B5550));
    return r;
}

int lookup_rain_step(SceneObject& o, EffectRecord& base) {
    auto& r = static_cast<StreakRecord&>(base);
    PixelImage* canvas = canvas_of(o);
    if (!canvas || !r.update_due(o, 32)) return k_step_keep;
    clear(*canvas);
    Drawable& d = *r.drawable;
    d.x = canvas->width / 2;
    d.y = canvas->height / 2 - 8;
    d.geometry.rot_z = static_cast<std::int32_t>(r.rng() % 360);
    project(d);
    draw(d, target_of(*canvas), ClipRect{0, 0, canvas->width, canvas->height});
    mark_object(o);
    return 1;
}

// ---- float bubble ----------------------------------------------------------------------------

// Sixteen bubbles of the particle image "data/particle.png" (softened by eight passes of
// the 3 x 3 average) rise from below the canvas to above it, each swaying on its own path.
constexpr std::int32_t k_bubbles = 16;

std::unique_ptr<EffectRecord> construct_float_bubble(SceneObject& o, const EffectArgs&) {
    PixelImage* canvas = canvas_of(o);
    if (!canvas) return nullptr;
    auto r = std::make_unique<DropRecord>();
    auto loaded = storage::load_image("data/particle.png");
    r->image = std::make_shared<PixelImage>();
    if (loaded) {
        *r->image = *loaded; // a private copy: the cached image stays as it was read
        r->image->rows.clear();
        for (std::int32_t y = 0; y < r->image->height; ++y)
            r->image->rows.push_back(r->image->pixels.data() +
                                     std::size_t(y) * r->image->width * 4);
    } else if (r->image->allocate(32, 32)) {
        // No particle image: a white disc, which the softening turns into a soft bubble.
        for (std::int32_t y = 0; y < 32; ++y)
            for (std::int32_t x = 0; x < 32; ++x)
                if ((x - 16) * (x - 16) + (y - 16) * (y - 16) < 150)
                    r->image->row32(y)[x] = 0xC0FFFFFFu;
    }
    if (r->image->empty()) return nullptr;
    r->image->kind = k_kind_png_alpha;
    for (int pass = 0; pass < 8; ++pass) detail::box_pass(*r->image);
    detail::copy_border(*r->image);
    const std::int32_t w = canvas->width, h = canvas->height, ih = r->image->height;
    std::mt19937 rng(platform::random_seed(0x42554242));
    r->count = k_bubbles;
    r->particles.resize(k_bubbles);
    for (std::int32_t i = 0; i < k_bubbles; ++i) {
        Particle& p = r->particles[std::size_t(i)];
        const std::int32_t x = random_in(rng, 0, w - 1), sway = random_in(rng, 8, 48);
        const Point start{x, h + ih + random_in(rng, 0, h / 2)}, end{x, -ih};
        p.make_curve({start, Point{x + sway, start[1] / 2}, Point{x - sway, start[1] / 4}, end},
                     std::int64_t(start[1]) - end[1]);
        p.speed = random_in(rng, 1, 3);
        auto d = create_drawable(r->image.get());
        if (!d) return nullptr;
        r->drawables.push_back(std::move(d));
        r->turn.push_back({});
        r->scale.push_back(random_in(rng, 300, 1000));
        r->placed.push_back({INT32_MIN, INT32_MIN});
    }
    return r;
}

int float_bubble_step(SceneObject& o, EffectRecord& base) {
    const int r = drop_step(o, base);
    mark_object(o); // the bubbles' surface is marked every cycle while they run
    return r;
}

void release_particles(SceneObject&, EffectRecord&) {}

// ---- saved state -----------------------------------------------------------------------------

// Path points never lie further out than this (paths run from the canvas to a little past it).
constexpr std::int32_t k_max_coordinate = 1 << 20;

void write_particles(const SceneObject& o, const ParticleRecord& r, storage::SaveWriter& w) {
    w.i32(r.count);
    w.u32(r.updated_once);
    w.u32(o.last_tick - r.last_update);
    w.u32(std::uint32_t(r.particles.size()));
    for (const Particle& p : r.particles) {
        for (const Point& q : p.recipe) w.i32(q[0]), w.i32(q[1]);
        w.i32(p.samples);
        w.f64(p.position);
        w.f64(p.drawn);
        w.i32(p.speed);
    }
}

// Reads the particles into `out` without touching the record; the saved count comes back
// clamped to the particles the effect has.
bool read_particles(const ParticleRecord& r, storage::SaveReader& in, std::vector<Particle>& out,
                    std::int32_t& count, std::int64_t& since) {
    count = in.i32();
    const bool updated = in.u32() != 0;
    const std::uint32_t since_update = in.u32();
    const std::uint32_t n = in.count(4096, "too many particles");
    if (!in.ok()) return false;
    if (n != r.particles.size()) return in.fail("a different number of particles");
    if (since_update > 60000) return in.fail("an effect clock beyond a minute");
    count = std::clamp<std::int32_t>(count, 0, std::int32_t(n));
    since = updated ? std::int64_t(since_update) : -1;
    out.assign(n, Particle{});
    for (Particle& p : out) {
        for (Point& q : p.recipe) q[0] = in.i32(), q[1] = in.i32();
        p.samples = in.i32();
        p.position = in.f64();
        p.drawn = in.f64();
        p.speed = in.i32();
        if (!in.ok()) return false;
        for (const Point& q : p.recipe)
            if (std::abs(q[0]) > k_max_coordinate || std::abs(q[1]) > k_max_coordinate)
                return in.fail("a particle path out of range");
        if (p.samples < 0 || p.samples > std::int32_t(k_max_path) || p.speed < 1 ||
            p.speed > 1000000)
            return in.fail("a particle out of range");
        if (p.samples == 0)
            p.make_line(p.recipe[0], p.recipe[3]);
        else
            p.make_curve(p.recipe, p.samples);
        // Positions index the path: they stay within its real length.
        const double end = double(p.path.size());
        if (!(p.position >= 0 && p.position < end) || !(p.drawn >= 0 && p.drawn < end))
            return in.fail("a particle beyond its path");
    }
    return true;
}

void apply_particles(ParticleRecord& r, std::vector<Particle>& saved, std::int32_t count,
                     std::int64_t since) {
    r.particles = std::move(saved);
    r.count = count;
    r.updated_once = since >= 0;
    r.pending_since = since;
}

void write_rain(const SceneObject& o, const EffectRecord& base, storage::SaveWriter& w) {
    write_particles(o, static_cast<const ParticleRecord&>(base), w);
}

bool read_rain(SceneObject& o, EffectRecord& base, storage::SaveReader& in) {
    auto& r = static_cast<ParticleRecord&>(base);
    std::vector<Particle> saved;
    std::int32_t count = 0;
    std::int64_t since = -1;
    if (!read_particles(r, in, saved, count, since)) return false;
    apply_particles(r, saved, count, since);
    if (PixelImage* canvas = canvas_of(o)) draw_rain(*canvas, r);
    return true;
}

void write_drop(const SceneObject& o, const EffectRecord& base, storage::SaveWriter& w) {
    const auto& r = static_cast<const DropRecord&>(base);
    write_particles(o, r, w);
    for (std::size_t k = 0; k < r.particles.size(); ++k) {
        const QuadGeometry& g = r.drawables[k]->geometry;
        for (std::int32_t v : {r.turn[k][0], r.turn[k][1], r.turn[k][2], r.scale[k], g.rot_x,
                               g.rot_y, g.rot_z, r.placed[k][0], r.placed[k][1]})
            w.i32(v);
    }
}

bool read_drop(SceneObject& o, EffectRecord& base, storage::SaveReader& in) {
    auto& r = static_cast<DropRecord&>(base);
    std::vector<Particle> saved;
    std::int32_t count = 0;
    std::int64_t since = -1;
    if (!read_particles(r, in, saved, count, since)) return false;
    std::vector<std::array<std::int32_t, 9>> state(saved.size());
    for (auto& v : state)
        for (std::int32_t& x : v) x = in.i32();
    if (!in.ok()) return false;
    for (const auto& v : state) {
        for (std::size_t i = 0; i < 3; ++i)
            if (std::abs(v[i]) > 1000000 || std::abs(v[i + 4]) >= 360)
                return in.fail("a particle angle out of range");
        if (v[3] < 0 || v[3] > 1000000) return in.fail("a particle scale out of range");
        const bool unplaced = v[7] == INT32_MIN && v[8] == INT32_MIN;
        if (!unplaced && (std::abs(v[7]) > k_max_coordinate || std::abs(v[8]) > k_max_coordinate))
            return in.fail("a particle out of range");
    }
    apply_particles(r, saved, count, since);
    for (std::size_t k = 0; k < state.size(); ++k) {
        const auto& v = state[k];
        r.turn[k] = {v[0], v[1], v[2]};
        r.scale[k] = v[3];
        r.placed[k] = {v[7], v[8]};
        Drawable& d = *r.drawables[k];
        QuadGeometry& g = d.geometry;
        g.rot_x = v[4], g.rot_y = v[5], g.rot_z = v[6];
        if (r.placed[k][0] != INT32_MIN) {
            d.x = v[7];
            d.y = v[8];
            g.scale_x = g.scale_y = v[3];
            project(d);
        }
    }
    if (PixelImage* canvas = canvas_of(o)) draw_drops(*canvas, r);
    return true;
}

void write_streak(const SceneObject& o, const EffectRecord& base, storage::SaveWriter& w) {
    const auto& r = static_cast<const StreakRecord&>(base);
    write_particles(o, r, w);
    w.i32(r.drawable->geometry.rot_z);
    std::ostringstream rng;
    rng << r.rng;
    w.text(rng.str());
}

bool read_streak(SceneObject& o, EffectRecord& base, storage::SaveReader& in) {
    auto& r = static_cast<StreakRecord&>(base);
    std::vector<Particle> saved;
    std::int32_t count = 0;
    std::int64_t since = -1;
    if (!read_particles(r, in, saved, count, since)) return false;
    const std::int32_t angle = in.i32();
    const std::string text = in.text(16384);
    if (!in.ok()) return false;
    std::mt19937 rng;
    std::istringstream rng_in(text);
    if (!(rng_in >> rng) || angle < 0 || angle >= 360) return in.fail("a streak out of range");
    apply_particles(r, saved, count, since);
    r.rng = rng;
    PixelImage* canvas = canvas_of(o);
    if (canvas && r.updated_once) {
        clear(*canvas);
        Drawable& d = *r.drawable;
        d.x = canvas->width / 2;
        d.y = canvas->height / 2 - 8;
        d.geometry.rot_z = angle;
        project(d);
        draw(d, target_of(*canvas), ClipRect{0, 0, canvas->width, canvas->height});
    }
    return true;
}

const EffectKind k_particles[] = {
    {"Rain", true, false, construct_rain, rain_step, release_particles, write_rain, read_rain},
    {"Drop", true, false, construct_drop, drop_step, release_particles, write_drop, read_drop},
    {"LookupRain", true, false, construct_lookup_rain, lookup_rain_step, release_particles,
     write_streak, read_streak},
    {"FloatBubble", true, false, construct_float_bubble, float_bubble_step, release_particles,
     write_drop, read_drop},
    {nullptr, false, false, nullptr, nullptr, nullptr, nullptr, nullptr},
};

} // namespace

const EffectKind* particle_kinds() {
    return k_particles;
}

} // namespace kestrune::scene::effects
