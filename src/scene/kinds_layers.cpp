// Kinds that other objects hang below: masks and stencils, cameras, process objects, and
// the cube.
#include "scene/scene_commands.h"

#include "frame/engine.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "script/arguments.h"
#include "script/context.h"
#include "script/system_variables.h"
#include "storage/image_loader.h"
#include "storage/storage.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace kestrune::scene {

namespace detail {

namespace {

// A step from the layer value towards the sample in proportion to the layer value (plain
// mask), or the product (stencil). Rounded down: a negative step of -58.5 is -59.
std::uint8_t combine(std::uint8_t l, std::uint8_t s, bool stencil) {
    if (stencil) return static_cast<std::uint8_t>(l * s / 256);
    return static_cast<std::uint8_t>(l + ((l * (int(s) - int(l))) >> 8));
}

std::uint32_t colour_of(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16);
}

// Combines `count` (1 or 2) neighbouring layer pixels with their samples. Pixels go in
// pairs: a pair is left alone only when both colours are zero, and takes the samples as
// they are only when both colours are white; otherwise both take the channel formula.
void combine_pair(std::uint8_t* l, const std::uint8_t* const* s, int count, bool stencil) {
    bool all_zero = true, all_white = true;
    for (int i = 0; i < count; ++i) {
        const std::uint32_t c = colour_of(l + i * 4);
        all_zero = all_zero && c == 0;
        all_white = all_white && c == 0xFFFFFF;
    }
    if (all_zero) return;
    for (int i = 0; i < count; ++i) {
        std::uint8_t* p = l + i * 4;
        if (all_white) {
            std::memcpy(p, s[i], 4);
            continue;
        }
        for (int c = 0; c < 4; ++c) p[c] = combine(p[c], s[i][c], stencil);
    }
}

} // namespace

void redraw_mask(SceneObject& o) {
    MaskRecord* m = o.mask.get();
    if (!m || m->owner != &o || !m->drawable) return;
    Drawable& d = *m->drawable;
    d.x = o.x;
    d.y = o.y;
    project(d);
    const MaskRecord* parent =
        o.parent && o.parent->mask && o.parent->mask.get() != m ? o.parent->mask.get() : nullptr;
    if (parent)
        std::memcpy(m->layer.data(), parent->layer.data(), m->layer.size());
    else
        std::fill(m->layer.begin(), m->layer.end(), 0);
    const PixelImage& img = *d.image;
    const QuadGeometry& g = d.geometry;
    if (g.culled) return;
    for (std::int32_t y = 0; y < k_screen_height; ++y) {
        const SpanRow& row = g.spans[static_cast<std::size_t>(y)];
        if (!row.valid()) continue;
        std::uint8_t* out = m->layer.data() + static_cast<std::size_t>(y) * k_screen_width * 4;
        std::int32_t u = row.u, v = row.v;
        const std::int32_t left = std::max(row.left, 0),
                           right = std::min(row.right, k_screen_width);
        u += row.du * (left - row.left);
        v += row.dv * (left - row.left);
        auto sample = [&]() {
            const std::int32_t sx = std::clamp(u >> 16, 0, img.width - 1);
            const std::int32_t sy = std::clamp(v >> 16, 0, img.height - 1);
            u += row.du;
            v += row.dv;
            return img.row(sy) + sx * 4;
        };
        // Pairs run from the span's first pixel; an odd last pixel is a pair of its own.
        for (std::int32_t x = left; x < right; x += 2) {
            const int count = right - x >= 2 ? 2 : 1;
            const std::uint8_t* s[2] = {sample(), nullptr};
            if (count == 2) s[1] = sample();
            std::uint8_t* l = out + x * 4;
            if (!parent) {
                std::memcpy(l, s[0], 4);
                if (count == 2) std::memcpy(l + 4, s[1], 4);
                continue;
            }
            combine_pair(l, s, count, m->stencil);
        }
    }
    m->changed = false;
    mark_all_changed();
}

MovieSourceHook g_movie_source = nullptr;

} // namespace detail

void set_movie_source_hook(MovieSourceHook hook) {
    detail::g_movie_source = hook;
}

void refresh_mask(SceneObject& o) {
    detail::redraw_mask(o);
}

namespace commands {

using script::CommandCall;
using namespace detail;

namespace {

// Mask images: fully transparent pixels become zero in every channel; a stencil turns the
// alpha into the mask by its mode.
std::shared_ptr<PixelImage> mask_image(const PixelImage& src, bool stencil, std::int32_t mode) {
    auto out = std::make_shared<PixelImage>();
    if (!out->allocate(src.width, src.height)) return nullptr;
    out->kind = src.kind;
    for (std::int32_t y = 0; y < src.height; ++y) {
        const std::uint32_t* s = src.row32(y);
        std::uint32_t* d = out->row32(y);
        for (std::int32_t x = 0; x < src.width; ++x) {
            const std::uint32_t a = s[x] >> 24;
            if (!stencil) {
                d[x] = a == 0 ? 0 : s[x];
                continue;
            }
            switch (mode) {
            case 255:
                d[x] = a == 255 ? 0xFFFFFFFFu : 0;
                break;
            case 128:
                d[x] = a * 0x01010101u;
                break;
            case 0:
                d[x] = a == 0 ? 0xFFFFFFFFu : 0;
                break;
            default:
                d[x] = (a != 0 && a != 255) ? 0xFFFFFFFFu : 0;
                break;
            }
        }
    }
    return out;
}

// Whether a mask source names an object's image or a file that starts like an image.
bool names_image(CommandCall& call, const std::string& source) {
    const std::string path = script::form_object_path(source, call.block.object_prefix);
    if (!path.empty()) {
        engine::ScopedLock scene_guard(engine::k_lock_scene);
        const bool found = find_image(path, call.context.owner_key) != nullptr;
        scene_guard.unlock();
        if (found) return true;
    }
    if (source.empty() || source.front() == '@') return true;
    const std::string name =
        source.rfind("file:", 0) == 0 ? source.substr(5) : script::resource_path_prefix() + source;
    if (storage::available_file(name) == -1) return false;
    char head[64] = {};
    if (!storage::read_small_file(name, head, sizeof head)) return true;
    const auto* b = reinterpret_cast<const std::uint8_t*>(head);
    return storage::sniff_png(b, sizeof head - 1) || storage::sniff_jpeg(b, sizeof head - 1) ||
           storage::sniff_bmp(b, sizeof head - 1) || storage::sniff_vksi(b, sizeof head - 1);
}

void create_mask(CommandCall& call, const std::string& source, bool stencil, std::int32_t mode,
                 const std::string& inherit) {
    if (call.path.empty()) return;
    MovieSource movie;
    std::shared_ptr<PixelImage> src;
    if (!stencil && g_movie_source && !source.empty() && !names_image(call, source)) {
        std::string error;
        if (!g_movie_source(source, movie, error)) {
            const std::string name = source.rfind("file:", 0) == 0
                                         ? source.substr(5)
                                         : script::resource_path_prefix() + source;
            if (storage::available_file(name) != -1) {
                problem(call, "mask source \"" + source +
                                  "\" is neither an image nor a movie that can be played (" +
                                  error + "); the object was not created");
                return;
            }
        }
        src = movie.image;
    }
    if (!src) src = source_image(call, source);
    if (!src) return;
    // A movie's frames land in its own image, which the mask reads directly.
    auto image = movie.image ? movie.image : mask_image(*src, stencil, mode);
    if (!image) return;
    auto record = std::make_shared<MaskRecord>();
    record->layer.assign(static_cast<std::size_t>(k_screen_width) * k_screen_height * 4, 0);
    record->image = image;
    record->drawable = create_drawable(image.get());
    record->stencil = stencil;
    if (!record->drawable) return;
    hold_for_group(call);
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    CreateArgs args = create_args(call, 1, 2);
    SceneObject* o = create_kind_object(args, nullptr, nullptr, nullptr);
    if (o) {
        record->owner = o;
        o->mask = record;
        o->has_layer_hook = true;
        o->inherit = is_true_word(inherit);
        if (!o->inherit) {
            // Not relative to the parent: the words are read against the screen again.
            o->offset_x = o->offset_y = 0;
        }
        set_slot(*o, k_slot_draw, k_op_idle);
        if (movie.data) {
            o->kind = movie.kind;
            o->kind_data = std::move(movie.data);
            set_slot(*o, k_slot_kind_update, k_op_movie_frame);
        }
        redraw_mask(*o);
    }
}

bool cmd_create_mask(CommandCall& call) {
    create_mask(call, call.arg(4), false, 0, call.arg(5));
    return true;
}

bool cmd_create_stencil(CommandCall& call) {
    create_mask(call, call.arg(5), true, int_arg(call, 4), call.arg(6));
    return true;
}

bool cmd_create_camera(CommandCall& call) {
    if (call.path.empty()) return true;
    hold_for_group(call);
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    CreateArgs args = create_args(call, -1, 1);
    SceneObject* o = create_kind_object(args, nullptr, nullptr, nullptr);
    if (o) {
        auto cam = std::make_shared<CameraRecord>();
        cam->owner = o;
        cam->start_x = cam->x = o->x;
        cam->start_y = cam->y = o->y;
        cam->start_z = cam->z = o->z = int_arg(call, 3);
        o->camera = cam;
        o->priority = -1;
        note_priority_changed();
    }
    return true;
}

// ---- process objects ------------------------------------------------------------------------

bool cmd_create_process(CommandCall& call) {
    if (call.path.empty()) return true;
    const std::string name = call.arg(4);
    script::ScriptBlock* block = script::find_block(
        call.context, name.c_str(), script::k_kind_cut | script::k_kind_function, -1);
    if (!block) return true;
    // A block that runs (on its context's thread or a process thread of its own) keeps its
    // call chain: re-creating the process over it would tear that chain apart.
    const std::int32_t rs = block->run_state.load();
    const int old = block->thread.load();
    const bool thread_alive = old >= 0 && engine::is_thread_running(old);
    if (engine::state() != engine::k_state_restoring &&
        ((rs == script::k_run_running || rs == script::k_run_calling) &&
         (block->exec_kind.load() == script::k_exec_thread || thread_alive))) {
        problem(call, "CreateProcess: block '" + name + "' is running; stop it first");
        return true;
    }
    if (old >= 0 && !script::stop_process_block(*block)) return true;
    if (engine::state() != engine::k_state_restoring) {
        std::snprintf(block->object_prefix, sizeof block->object_prefix, "%s", call.path.c_str());
        block->callee = nullptr;
        block->caller = nullptr;
        block->statement_start = block->start;
        block->cursor = block->start;
        block->run_state = script::k_run_created;
        block->event.reset();
    }
    const int thread = engine::create_thread(false, script::process_thread_routine, block);
    if (thread == engine::k_no_thread) return true;
    block->thread = thread;
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    SceneObject* o = create_kind_object(create_args(call, 1, 2), nullptr, nullptr, nullptr);
    if (o) o->process = block;
    scene_guard.unlock();
    if (!o) {
        block->run_state = script::k_run_stopped;
        engine::resume_thread(thread);
        block->event.signal();
        engine::wait_thread(thread, 1000);
        engine::release_thread(thread);
        block->thread = -1;
        return true;
    }
    // Let the process run its prologue (up to begin:) while this command waits; the
    // command lock goes back meanwhile so the process can run its own commands.
    engine::give_command_lock();
    engine::resume_thread(thread);
    for (;;) {
        const std::int32_t s = block->run_state.load();
        if (s == script::k_run_stopped || s == script::k_run_at_begin || s == script::k_run_ended)
            break;
        if (engine::quit_requested() || !engine::in_running_range(engine::state()) ||
            platform::stop_requested() || !engine::is_thread_running(thread))
            break;
        if (engine::thread_state(thread) == engine::k_thread_suspended)
            engine::resume_thread(thread);
        engine::wait_multi(engine::k_wait_quit | engine::k_wait_state, nullptr, 4);
    }
    engine::take_command_lock(); // the dispatcher gives it back after the handler
    return true;
}

// ---- cube ------------------------------------------------------------------------------------

struct CubeData : KindData {
    std::array<std::unique_ptr<Drawable>, 96> quads; // 6 faces x 16 sub-quads
};

void cube_vertex(const CubeRecord& c, double x, double y, double z, double out[3]) {
    // Scale, rotate about x, y, z, then translate by the position.
    x *= c.scale[0] / 1000.0;
    y *= c.scale[1] / 1000.0;
    z *= c.scale[2] / 1000.0;
    const double k = 3.14159265358979323846 / 180.0;
    const double ax = c.angles[0] * k, ay = c.angles[1] * k, az = c.angles[2] * k;
    double y1 = y * std::cos(ax) - z * std::sin(ax), z1 = y * std::sin(ax) + z * std::cos(ax);
    double x2 = x * std::cos(ay) + z1 * std::sin(ay), z2 = -x * std::sin(ay) + z1 * std::cos(ay);
    double x3 = x2 * std::cos(az) - y1 * std::sin(az), y3 = x2 * std::sin(az) + y1 * std::cos(az);
    out[0] = x3 + c.position[0];
    out[1] = y3 + c.position[1];
    out[2] = z2 + c.position[2] + 2000.0; // in front of the eye
}

// Renders the cube into its picture: each face split into 4 x 4 sub-quads projected with
// the field of view; back faces (by signed area) and quads behind the near plane dropped.
void render_cube(SceneObject& o) {
    CubeRecord& c = *o.cube;
    PixelImage& pic = *c.picture;
    std::fill(pic.pixels.begin(), pic.pixels.end(), 0);
    for (std::int32_t y = 0; y < pic.height; ++y) std::fill_n(pic.row32(y), pic.width, 0xFF000000u);
    static const double faces[6][4][3] = {
        {{-500, 500, -500}, {500, 500, -500}, {500, -500, -500}, {-500, -500, -500}},
        {{500, 500, 500}, {-500, 500, 500}, {-500, -500, 500}, {500, -500, 500}},
        {{-500, 500, 500}, {-500, 500, -500}, {-500, -500, -500}, {-500, -500, 500}},
        {{500, 500, -500}, {500, 500, 500}, {500, -500, 500}, {500, -500, -500}},
        {{-500, 500, 500}, {500, 500, 500}, {500, 500, -500}, {-500, 500, -500}},
        {{-500, -500, -500}, {500, -500, -500}, {500, -500, 500}, {-500, -500, 500}},
    };
    const double focal = 288.0 / std::tan(c.fov * 3.14159265358979323846 / 360.0);
    const RasterTarget target = target_of(pic);
    const ClipRect all{0, 0, k_screen_width, k_screen_height};
    for (int f = 0; f < 6; ++f) {
        const PixelImage* tex = c.faces[static_cast<std::size_t>(f)].get();
        if (!tex) continue;
        constexpr int n = 4;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                std::array<std::array<double, 2>, 4> scr{};
                bool behind = false;
                const double uv[4][2] = {{double(j) / n, double(i) / n},
                                         {double(j + 1) / n, double(i) / n},
                                         {double(j + 1) / n, double(i + 1) / n},
                                         {double(j) / n, double(i + 1) / n}};
                for (int k = 0; k < 4; ++k) {
                    const double* a = faces[f][0];
                    const double* b = faces[f][1];
                    const double* d = faces[f][3];
                    double p[3];
                    for (int t = 0; t < 3; ++t)
                        p[t] = a[t] + (b[t] - a[t]) * uv[k][0] + (d[t] - a[t]) * uv[k][1];
                    double w[3];
                    cube_vertex(c, p[0], p[1], p[2], w);
                    if (w[2] < 1.0) behind = true;
                    scr[static_cast<std::size_t>(k)] = {512.0 + w[0] * focal / w[2],
                                                        288.0 - w[1] * focal / w[2]};
                }
                if (behind) continue;
                double area = 0;
                for (int k = 0; k < 4; ++k) {
                    const auto& p = scr[static_cast<std::size_t>(k)];
                    const auto& q = scr[static_cast<std::size_t>((k + 1) % 4)];
                    area += p[0] * q[1] - q[0] * p[1];
                }
                if (area <= 0) continue; // facing away
                std::array<std::int32_t, 4> u{}, v{};
                for (int k = 0; k < 4; ++k) {
                    u[static_cast<std::size_t>(k)] = std::clamp(
                        static_cast<std::int32_t>(uv[k][0] * tex->width), 0, tex->width - 1);
                    v[static_cast<std::size_t>(k)] = std::clamp(
                        static_cast<std::int32_t>(uv[k][1] * tex->height), 0, tex->height - 1);
                }
                auto quad = create_drawable_with_corners(const_cast<PixelImage*>(tex), u, v);
                if (!quad) continue;
                // Model corners straight in screen space: an unrotated projection at depth 0.
                QuadGeometry& g = quad->geometry;
                for (int k = 0; k < 4; ++k) {
                    g.model[static_cast<std::size_t>(k)] = {scr[static_cast<std::size_t>(k)][0],
                                                            -scr[static_cast<std::size_t>(k)][1],
                                                            0};
                }
                g.anchor_x = g.anchor_y = 0;
                quad->x = quad->y = 0;
                project(*quad);
                draw(*quad, target, all);
            }
    }
    c.changed = false;
}

int cube_draw(SceneObject& o, FrameBuffer& frame, const ClipRect& clip) {
    if (!o.cube || !o.drawable) return 0;
    if (o.cube->changed) render_cube(o);
    return o.render(o, frame, clip);
}

const KindOps k_cube_kind{"cube", nullptr, cube_draw, nullptr, nullptr};

bool cmd_create_cube(CommandCall& call) {
    if (call.path.empty()) return true;
    auto record = std::make_shared<CubeRecord>();
    std::int32_t side = -1;
    for (std::size_t i = 0; i < 6; ++i) {
        auto img = source_image(call, call.arg(2 + i));
        if (!img || img->width != img->height || (side >= 0 && img->width != side)) {
            problem(call, "CreateCube: six square images of one size are needed");
            return true;
        }
        side = img->width;
        record->faces[i] = img;
    }
    record->picture = std::make_shared<PixelImage>();
    if (!record->picture->allocate(k_screen_width, k_screen_height)) return true;
    auto d = create_drawable(record->picture.get());
    if (!d) return true;
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    CreateArgs args = create_args(call, 1, -1);
    SceneObject* o = create_kind_object(args, std::move(d), record->picture, &k_cube_kind);
    if (o) {
        record->owner = o;
        o->cube = record;
        mark_all_changed();
    }
    return true;
}

bool cmd_set_fov(CommandCall& call) {
    const std::int32_t degrees = int_arg(call, 1);
    if (degrees <= 0 || degrees >= 180) return true;
    for_each_object(
        call,
        [&](SceneObject& o) {
            if (!o.cube) return 0;
            o.cube->fov = degrees;
            o.cube->changed = true;
            mark_object(o);
            return 1;
        },
        ApplyOptions{.no_children = true});
    return true;
}

} // namespace

void register_layer_commands() {
    script::register_command("CreateMask", cmd_create_mask);
    script::register_command("CreateStencil", cmd_create_stencil);
    script::register_command("CreateCamera", cmd_create_camera);
    script::register_command("CreateProcess", cmd_create_process);
    script::register_command("CreateCube", cmd_create_cube);
    script::register_command("SetFov", cmd_set_fov);
}

} // namespace commands

} // namespace kestrune::scene
