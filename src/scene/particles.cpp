// Particle effects made by CreateEffect on a canvas of the object's size: falling rain
// streaks ("Rain"), falling, swinging, turning particles of an image ("Drop"), one turning
// streak ("LookupRain") and rising bubbles ("FloatBubble"). They take no strengths and run
// until the object goes.
#include "scene/effects.h"

#include "platform/clock.h"
#include "script/variables.h"
#include "storage/storage.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

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
        path.push_back(
            {static_cast<std::int32_t>(a[0] + (dx * s + (dx >= 0 ? n / 2 : -n / 2)) / n),
             static_cast<std::int32_t>(a[1] + (dy * s + (dy >= 0 ? n / 2 : -n / 2)) / n)});
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
    double position = 0; // index into the path
    std::int32_t speed = 1;
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
    bool update_due(const SceneObject& o, std::uint32_t interval = k_particle_ms) {
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
        p.path = line_path(start, {end_x, h});
        p.speed = speeds[std::size_t(random_in(rng, 0, 11))];
    }
    return r;
}

int rain_step(SceneObject& o, EffectRecord& base) {
    auto& r = static_cast<ParticleRecord&>(base);
    PixelImage* canvas = canvas_of(o);
    if (!canvas || !r.update_due(o)) return k_step_keep;
    const std::int32_t w = canvas->width, h = canvas->height;
    const auto& ramp = rain_ramp();
    const double frames = frames_since_last_cycle(o);
    clear(*canvas);
    for (std::int32_t i = 0; i < r.count; ++i) {
        Particle& p = r.particles[std::size_t(i)];
        const auto [x, y] = p.point();
        if (x >= 0 && x < w && y >= -k_streak && y <= h + k_streak) {
            const std::int32_t bottom = std::min(y + k_streak, h);
            for (std::int32_t row = std::max(y, 0); row < bottom; ++row)
                canvas->row32(row)[x] = ramp[std::size_t(row - y)];
        }
        p.advance(frames);
    }
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
            p.path = line_path(start, end);
        } else {
            const std::int32_t hi = std::max(start[0], end[0]) + r->swing;
            const std::int32_t lo = std::min(start[0], end[0]) - r->swing;
            const Point c1{right ? hi : lo, fall / 2 - fall / 4};
            const Point c2{right ? lo : hi, fall / 2 + fall / 4};
            p.path = bezier_path({start, c1, c2, end}, std::int64_t(fall) - start[1]);
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
    clear(*canvas);
    const RasterTarget target = target_of(*canvas);
    const ClipRect all{0, 0, canvas->width, canvas->height};
    for (std::int32_t i = 0; i < r.count; ++i) {
        const Drawable& d = *r.drawables[std::size_t(i)];
        // A particle wholly outside the canvas is not drawn at all.
        const ClipRect b = screen_bounds(d);
        if (b.empty() || b.right <= 0 || b.bottom <= 0 || b.left >= all.right ||
            b.top >= all.bottom)
            continue;
        draw(d, target, all);
    }
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
        p.path =
            bezier_path({start, Point{x + sway, start[1] / 2}, Point{x - sway, start[1] / 4}, end},
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

const EffectKind k_particles[] = {
    {"Rain", true, false, construct_rain, rain_step, release_particles},
    {"Drop", true, false, construct_drop, drop_step, release_particles},
    {"LookupRain", true, false, construct_lookup_rain, lookup_rain_step, release_particles},
    {"FloatBubble", true, false, construct_float_bubble, float_bubble_step, release_particles},
    {nullptr, false, false, nullptr, nullptr, nullptr},
};

} // namespace

const EffectKind* particle_kinds() {
    return k_particles;
}

} // namespace kestrune::scene::effects
