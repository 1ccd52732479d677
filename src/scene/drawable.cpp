// Drawables: creation, quad geometry, anchors, projection and the per-row spans.
#include "scene/raster.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace kestrune::scene {

namespace {

// A corner nearer than this to the eye (or behind it) would need a division by a tiny or
// negative depth; such a drawable is culled instead.
constexpr double k_min_depth = 1.0;
constexpr double k_deg_to_rad = 3.14159265358979323846 / 180.0;

std::int16_t saturate16(double v) {
    if (!(v > -32768.0)) return -32768; // also catches NaN
    if (v > 32767.0) return 32767;
    return static_cast<std::int16_t>(v);
}

// Row-vector rotation for angles in degrees, as rows of a 3x3 matrix.
using Mat3 = std::array<std::array<double, 3>, 3>;
Mat3 rotation(double ax, double ay, double az) {
    const double cx = std::cos(ax * k_deg_to_rad), sx = std::sin(ax * k_deg_to_rad);
    const double cy = std::cos(ay * k_deg_to_rad), sy = std::sin(ay * k_deg_to_rad);
    const double cz = std::cos(az * k_deg_to_rad), sz = std::sin(az * k_deg_to_rad);
    Mat3 r;
    r[0] = {cz * cy, -cy * sz, sy};
    r[1] = {sy * sx * cz + cx * sz, cx * cz - sy * sx * sz, -cy * sx};
    r[2] = {sx * sz - sy * cx * cz, sx * cz + sy * cx * sz, cy * cx};
    return r;
}

// (x, y, z) x S x R.
std::array<double, 3> transform(const QuadGeometry& g, const Mat3& r, int corner) {
    const double x = g.model[corner][0] * (g.scale_x / 1000.0);
    const double y = g.model[corner][1] * (g.scale_y / 1000.0);
    const double z = g.model[corner][2] * (g.scale_z / 1000.0);
    return {x * r[0][0] + y * r[1][0] + z * r[2][0], x * r[0][1] + y * r[1][1] + z * r[2][1],
            x * r[0][2] + y * r[1][2] + z * r[2][2]};
}

// floor(n / d) for d > 0.
std::int64_t floor_div(std::int64_t n, std::int64_t d) {
    const std::int64_t q = n / d;
    return (n % d != 0 && n < 0) ? q - 1 : q;
}

// floor((a * s + b) / c) for c > 0 and s = s0, s0 + 1, ...: a quotient and a remainder
// stepped by additions, the same integers as dividing anew for every s.
struct FloorStepper {
    std::int64_t q, r, dq, dr, c;
    FloorStepper(std::int64_t a, std::int64_t b, std::int64_t c_, std::int64_t s0) : c(c_) {
        const std::int64_t n = a * s0 + b;
        q = floor_div(n, c);
        r = n - q * c;
        dq = floor_div(a, c);
        dr = a - dq * c;
    }
    void step() {
        q += dq;
        r += dr;
        if (r >= c) {
            r -= c;
            ++q;
        }
    }
};

struct EdgeExtent {
    std::int32_t lu, lv, ru, rv; // 16.16 texture position at the left and right ends
};

void record(QuadGeometry& g, std::array<EdgeExtent, k_screen_height>& ext, std::int32_t y,
            std::int32_t x, std::int32_t u, std::int32_t v) {
    SpanRow& s = g.spans[static_cast<std::size_t>(y)];
    EdgeExtent& e = ext[static_cast<std::size_t>(y)];
    if (x < s.left) {
        s.left = x;
        e.lu = u;
        e.lv = v;
    }
    if (x > s.right) {
        s.right = x;
        e.ru = u;
        e.rv = v;
    }
}

// Walks one edge row by row; rows outside the screen are never touched. Row y lies
// s = |y - y0| rows along an edge of height D = |y1 - y0|: its x is x0 + dx * s / D rounded
// to nearest (halves upwards), its texture position u0 + du * s / D truncated towards zero
// (likewise v). The quotients are stepped, not divided anew for every row.
void walk_edge(QuadGeometry& g, std::array<EdgeExtent, k_screen_height>& ext, int a, int b) {
    const std::int32_t x0 = g.screen_x[a], y0 = g.screen_y[a];
    const std::int32_t x1 = g.screen_x[b], y1 = g.screen_y[b];
    const std::int64_t u0 = std::int64_t(g.tex_u[a]) << 16, v0 = std::int64_t(g.tex_v[a]) << 16;
    const std::int64_t u1 = std::int64_t(g.tex_u[b]) << 16, v1 = std::int64_t(g.tex_v[b]) << 16;
    if (y0 == y1) {
        if (y0 < 0 || y0 >= k_screen_height) return;
        record(g, ext, y0, x0, std::int32_t(u0), std::int32_t(v0));
        record(g, ext, y0, x1, std::int32_t(u1), std::int32_t(v1));
        return;
    }
    const std::int32_t first = std::max(std::min(y0, y1), 0);
    const std::int32_t last = std::min(std::max(y0, y1), k_screen_height - 1);
    if (first > last) return;
    const std::int32_t sgn = y1 < y0 ? -1 : 1;
    const std::int64_t rows = std::int64_t(y1 - y0) * sgn;
    const std::int64_t dx = x1 - x0, du = u1 - u0, dv = v1 - v0;
    const std::int64_t s_first = sgn > 0 ? first - y0 : y0 - last;
    const std::int64_t s_last = sgn > 0 ? last - y0 : y0 - first;
    FloorStepper xs(2 * dx, rows, 2 * rows, s_first);
    // Truncation of a negative quotient is the negated floor of its magnitude.
    FloorStepper us(du < 0 ? -du : du, 0, rows, s_first);
    FloorStepper vs(dv < 0 ? -dv : dv, 0, rows, s_first);
    for (std::int64_t s = s_first; s <= s_last; ++s) {
        const auto y = std::int32_t(y0 + sgn * s);
        record(g, ext, y, std::int32_t(x0 + xs.q), std::int32_t(u0 + (du < 0 ? -us.q : us.q)),
               std::int32_t(v0 + (dv < 0 ? -vs.q : vs.q)));
        xs.step();
        us.step();
        vs.step();
    }
}

void build_spans(QuadGeometry& g) {
    for (std::int32_t y = g.span_top; y < g.span_bottom; ++y)
        g.spans[static_cast<std::size_t>(y)] = SpanRow{};
    g.span_top = g.span_bottom = 0;
    if (g.culled) return;
    const int n = g.corner_count == 3 ? 3 : 4;
    if (g.image_height > 1) {
        bool one_row = true;
        for (int i = 1; i < n; ++i) one_row = one_row && g.screen_y[i] == g.screen_y[0];
        if (one_row) return;
    }
    std::int32_t top = g.screen_y[0], bottom = top;
    for (int i = 1; i < n; ++i) {
        top = std::min<std::int32_t>(top, g.screen_y[i]);
        bottom = std::max<std::int32_t>(bottom, g.screen_y[i]);
    }
    top = std::max(top, 0);
    bottom = std::min(bottom + 1, k_screen_height);
    if (top >= bottom) return;
    // Left unset: a row's extents are read only once both of its ends were recorded.
    std::array<EdgeExtent, k_screen_height> ext;
    for (int i = 0; i < n; ++i) walk_edge(g, ext, i, (i + 1) % n);
    g.span_top = top;
    g.span_bottom = bottom;
    const std::int32_t w = g.image_width;
    for (std::int32_t y = top; y < bottom; ++y) {
        SpanRow& s = g.spans[static_cast<std::size_t>(y)];
        if (s.left >= s.right) continue;
        const EdgeExtent& e = ext[static_cast<std::size_t>(y)];
        s.width = s.right - s.left;
        s.u = e.lu;
        s.v = e.lv;
        s.du = std::int32_t((std::int64_t(e.ru) - e.lu) / s.width);
        s.dv = std::int32_t((std::int64_t(e.rv) - e.lv) / s.width);
        // An unscaled row spans the image width (or one less) in both spaces; copy it
        // texel for texel instead of resampling it with a step just short of one.
        const std::int64_t texels = (std::int64_t(e.ru) - e.lu) >> 16;
        if (s.du != 0x10000 && (s.width == w || s.width == w - 1) &&
            (texels == w || texels == w - 1))
            s.du = 0x10000;
    }
}

void default_texture_corners(QuadGeometry& g) {
    const std::int32_t w = g.image_width, h = g.image_height;
    g.tex_u = {0, w - 1, w - 1, 0};
    g.tex_v = {0, 0, h - 1, h - 1};
}

std::unique_ptr<Drawable> make_drawable(PixelImage* image) {
    if (!image || image->empty()) {
        std::fprintf(stderr, "drawable: cannot draw an empty image\n");
        return nullptr;
    }
    auto d = std::make_unique<Drawable>();
    d->image = image;
    init_geometry(d->geometry, image->height, image->width);
    return d;
}

// Parses a whole decimal word; false for anything else.
bool parse_number(std::string_view word, std::int64_t& out) {
    if (word.empty()) return false;
    const char* end = word.data() + word.size();
    auto [p, ec] = std::from_chars(word.data(), end, out);
    return ec == std::errc() && p == end;
}

void set_x_range(QuadGeometry& g, double anchor, double from, double to) {
    g.anchor_x = anchor;
    g.model[0][0] = g.model[3][0] = from;
    g.model[1][0] = g.model[2][0] = to;
}

void set_y_range(QuadGeometry& g, double anchor, double top, double bottom) {
    g.anchor_y = anchor;
    g.model[0][1] = g.model[1][1] = top;
    g.model[2][1] = g.model[3][1] = bottom;
}

} // namespace

void init_geometry(QuadGeometry& g, std::int32_t height, std::int32_t width) {
    const RowClip* row_clip = g.row_clip;
    g = QuadGeometry{};
    g.row_clip = row_clip;
    g.corner_count = 4;
    g.image_width = width;
    g.image_height = height;
    default_texture_corners(g);
    g.anchor_x = width >> 1;
    g.anchor_y = height >> 1;
    const double hw = width >> 1, hh = height >> 1;
    // The bottom edge sits one unit higher for even heights so that the rows from top to
    // bottom corner, both inclusive, number exactly `height`.
    const double e = (height % 2 == 0) ? 1 - hh : -hh;
    // Rows of a span end before its right corner, so the right edge sits `width` units from
    // the left one: an odd width keeps its last column and a one-pixel image is drawn.
    const double right = double(width) - hw;
    g.model[0] = {-hw, hh, 0};
    g.model[1] = {right, hh, 0};
    g.model[2] = {right, e, 0};
    g.model[3] = {-hw, e, 0};
}

bool set_anchor(QuadGeometry& g, std::string_view xw, std::string_view yw) {
    if (xw.size() > 15 || yw.size() > 15) {
        std::fprintf(stderr, "drawable: anchor word longer than 15 characters\n");
        return false;
    }
    const double a = g.image_width, b = g.image_height;
    const std::int32_t ha = g.image_width >> 1, hb = g.image_height >> 1;
    std::int64_t n = 0;
    if (xw == "left")
        set_x_range(g, 0, 0, a);
    else if (xw == "right")
        set_x_range(g, a, -a, 0);
    else if (xw == "center")
        set_x_range(g, ha, -ha, a - ha);
    else if (parse_number(xw, n) && n >= 0 && n <= g.image_width)
        set_x_range(g, double(n), -double(n), a - double(n));

    if (yw == "top")
        set_y_range(g, 0, 0, -b);
    else if (yw == "bottom")
        set_y_range(g, b, b, 0);
    else if (yw == "middle")
        set_y_range(g, hb, hb, -hb);
    else if (parse_number(yw, n) && n >= 0 && n <= g.image_height)
        set_y_range(g, double(n), double(n), double(n) - b);
    return true;
}

void project(Drawable& d, const CameraView* camera) {
    QuadGeometry& g = d.geometry;
    g.pos_x = d.x;
    g.pos_y = d.y;
    g.culled = false;
    const int n = g.corner_count == 3 ? 3 : 4;
    if (!camera) {
        const Mat3 r = rotation(g.rot_x, g.rot_y, g.rot_z);
        const double ox = std::trunc(g.pos_x + g.anchor_x);
        const double oy = std::trunc(g.pos_y + g.anchor_y);
        for (int i = 0; i < n && !g.culled; ++i) {
            auto p = transform(g, r, i);
            const double z = p[2] + 1000.0;
            if (!(z > k_min_depth)) {
                g.culled = true;
                break;
            }
            g.screen_x[i] = saturate16(std::trunc(1000.0 * p[0] / z) + ox);
            g.screen_y[i] = saturate16(std::trunc(-1000.0 * p[1] / z) + oy);
        }
    } else {
        const Mat3 r = rotation(g.rot_x - camera->angle_x, g.rot_y - camera->angle_y,
                                g.rot_z - camera->angle_z);
        const double tx = g.pos_x - camera->x + g.anchor_x;
        const double ty = camera->y - g.pos_y - g.anchor_y;
        const double tz = 1000.0 - g.depth;
        for (int i = 0; i < n; ++i) {
            auto p = transform(g, r, i);
            const double x = p[0] + tx, y = p[1] + ty, z = p[2] + tz;
            if (!(z > k_min_depth)) {
                g.culled = true;
                break;
            }
            // Scaling about the screen centre: an object at the camera's depth keeps
            // its size, a nearer one grows.
            const double k = camera->depth / z;
            g.screen_x[i] = saturate16(std::trunc(x * k - (k - 1) * 512.0));
            g.screen_y[i] = saturate16(std::trunc(-(y * k) - (k - 1) * 288.0));
        }
    }
    build_spans(g);
}

ClipRect screen_bounds(const Drawable& d) {
    const QuadGeometry& g = d.geometry;
    if (g.culled) return {};
    const int n = g.corner_count == 3 ? 3 : 4;
    std::int32_t l = g.screen_x[0], r = l, t = g.screen_y[0], b = t;
    for (int i = 1; i < n; ++i) {
        l = std::min<std::int32_t>(l, g.screen_x[i]);
        r = std::max<std::int32_t>(r, g.screen_x[i]);
        t = std::min<std::int32_t>(t, g.screen_y[i]);
        b = std::max<std::int32_t>(b, g.screen_y[i]);
    }
    ClipRect c{l, t, r + 1, b + 1};
    const ClipRect lim =
        d.surface_clip ? *d.surface_clip : ClipRect{0, 0, k_screen_width, k_screen_height};
    c.left = std::max(c.left, lim.left);
    c.top = std::max(c.top, lim.top);
    c.right = std::min(c.right, lim.right);
    c.bottom = std::min(c.bottom, lim.bottom);
    if (c.empty()) return {};
    return c;
}

std::unique_ptr<Drawable> create_drawable(PixelImage* shared_image) {
    return make_drawable(shared_image);
}

std::unique_ptr<Drawable> create_drawable(std::unique_ptr<PixelImage> owned_image) {
    auto d = make_drawable(owned_image.get());
    if (d) d->owned_image = std::move(owned_image);
    return d;
}

std::unique_ptr<Drawable> create_colour_drawable(std::int32_t w, std::int32_t h,
                                                 std::uint32_t colour, std::uint8_t alpha) {
    auto img = std::make_unique<PixelImage>();
    if (!img->allocate(w, h)) {
        std::fprintf(stderr, "drawable: colour plane %dx%d is out of range\n", w, h);
        return nullptr;
    }
    img->kind = 5;
    const std::uint32_t px = (colour & 0xFFFFFFu) | (std::uint32_t(alpha) << 24);
    for (std::int32_t y = 0; y < h; ++y) std::fill_n(img->row32(y), w, px);
    return create_drawable(std::move(img));
}

std::unique_ptr<Drawable> create_drawable_with_corners(PixelImage* shared_image,
                                                       const std::array<std::int32_t, 4>& u,
                                                       const std::array<std::int32_t, 4>& v) {
    auto d = make_drawable(shared_image);
    if (!d) return d;
    d->geometry.tex_u = u;
    d->geometry.tex_v = v;
    return d;
}

std::unique_ptr<Drawable> create_triangle_drawable(PixelImage* shared_image,
                                                   const std::array<std::int32_t, 3>& u,
                                                   const std::array<std::int32_t, 3>& v) {
    auto d = make_drawable(shared_image);
    if (!d) return d;
    d->geometry.corner_count = 3;
    d->geometry.tex_u = {u[0], u[1], u[2], 0};
    d->geometry.tex_v = {v[0], v[1], v[2], 0};
    return d;
}

bool release_drawable(std::unique_ptr<Drawable>& drawable) {
    if (!drawable || drawable->keep) return false;
    drawable.reset();
    return true;
}

bool set_blend_mode(Drawable& d, std::uint16_t mode) {
    const std::uint16_t low = mode & k_blend_mode_bits;
    const bool known = low == k_blend_normal || low == k_blend_add || low == k_blend_sub ||
                       low == k_blend_overlay || low == k_blend_mul;
    if (!known) mode = k_blend_normal;
    if ((mode & k_blend_smoothing) && d.image && d.image->kind == 5) {
        std::fprintf(stderr, "drawable: smoothing does not apply to a colour plane\n");
        return false;
    }
    d.mode = mode;
    return true;
}

RasterTarget target_of(PixelImage& image) {
    if (image.empty()) return {};
    return {image.pixels.data(), image.width, image.height, image.width * 4};
}

const std::array<std::uint32_t, 196>& rain_ramp() {
    static const std::array<std::uint32_t, 196> ramp = [] {
        std::array<std::uint32_t, 196> t{};
        std::int32_t r = 0;
        for (int i = 0; i < 196; ++i) {
            r = i <= 97 ? std::int32_t(i * 1.1428572) : r - 1;
            t[std::size_t(i)] = std::uint32_t(r) * 0x1000000u + 0x14ADADADu;
        }
        return t;
    }();
    return ramp;
}

} // namespace kestrune::scene
