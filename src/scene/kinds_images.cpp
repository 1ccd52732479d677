// Image-making kinds and image property commands: CreateClipTexture, LoadClipImage,
// CreateDifferenceTexture, CreateFrame, CreateSurface, SetShade, SetTone, SetSurface,
// SetComposite.
#include "scene/effects.h"
#include "scene/scene_commands.h"

#include "frame/engine.h"
#include "scene/records.h"
#include "script/arguments.h"
#include "script/context.h"
#include "storage/codec.h"

#include <algorithm>
#include <cstring>

namespace kestrune::scene::detail {

void box_pass(PixelImage& img) {
    for (std::int32_t y = 1; y + 1 < img.height; ++y)
        for (std::int32_t x = 1; x + 1 < img.width; ++x)
            for (int c = 0; c < 4; ++c) {
                int sum = 0;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) sum += img.row(y + dy)[(x + dx) * 4 + c];
                img.row(y)[x * 4 + c] = static_cast<std::uint8_t>(sum / 9);
            }
}

void copy_border(PixelImage& img) {
    if (img.width < 3 || img.height < 3) return;
    const std::size_t row_bytes = static_cast<std::size_t>(img.width) * 4;
    std::memcpy(img.row(0), img.row(1), row_bytes);
    std::memcpy(img.row(img.height - 1), img.row(img.height - 2), row_bytes);
    for (std::int32_t y = 0; y < img.height; ++y) {
        std::memcpy(img.row(y), img.row(y) + 4, 4);
        std::memcpy(img.row(y) + (img.width - 1) * 4, img.row(y) + (img.width - 2) * 4, 4);
    }
}

} // namespace kestrune::scene::detail

namespace kestrune::scene::commands {

using detail::box_pass;
using detail::copy_border;

using script::CommandCall;

namespace {

std::shared_ptr<PixelImage> copy_image(const PixelImage& src) {
    auto out = std::make_shared<PixelImage>();
    if (!out->allocate(src.width, src.height)) return nullptr;
    out->kind = src.kind;
    for (std::int32_t y = 0; y < src.height; ++y)
        std::memcpy(out->row(y), src.row(y), static_cast<std::size_t>(src.width) * 4);
    return out;
}

std::shared_ptr<PixelImage> clip_image(CommandCall& call, const std::string& source,
                                       std::int64_t left, std::int64_t top, std::int64_t w,
                                       std::int64_t h) {
    if (!size_ok(call, w, h, "clip")) return nullptr;
    auto src = source_image(call, source);
    if (!src) return nullptr;
    if (left < 0 || top < 0 || left + w > src->width || top + h > src->height) {
        problem(call, "the clip rectangle lies outside the source image");
        return nullptr;
    }
    auto out = std::make_shared<PixelImage>();
    if (!out->allocate(static_cast<std::int32_t>(w), static_cast<std::int32_t>(h))) return nullptr;
    out->kind = src->kind;
    for (std::int64_t y = 0; y < h; ++y)
        std::memcpy(out->row(static_cast<std::int32_t>(y)),
                    src->row(static_cast<std::int32_t>(top + y)) + left * 4,
                    static_cast<std::size_t>(w) * 4);
    return out;
}

void create_with(CommandCall& call, std::shared_ptr<PixelImage> image, int priority, int position) {
    auto d = drawable_for(image);
    if (!d) return;
    hold_for_group(call);
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    create_kind_object(create_args(call, priority, position), std::move(d), image, nullptr);
}

bool cmd_create_clip_texture(CommandCall& call) {
    if (call.path.empty()) return true;
    create_with(call,
                clip_image(call, call.arg(8), script::argument_int(call.arg(4)),
                           script::argument_int(call.arg(5)), script::argument_int(call.arg(6)),
                           script::argument_int(call.arg(7))),
                1, 2);
    return true;
}

bool cmd_load_clip_image(CommandCall& call) {
    if (call.path.empty()) return true;
    auto image = clip_image(call, call.arg(5), script::argument_int(call.arg(1)),
                            script::argument_int(call.arg(2)), script::argument_int(call.arg(3)),
                            script::argument_int(call.arg(4)));
    if (!image) return true;
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    if (SceneObject* o = create_object(call.context.owner_key, call.path)) {
        o->creator = call.block.object_prefix;
        o->creating_command = call.canonical;
        o->source_image = image;
        set_slot(*o, k_slot_draw, k_op_idle);
    }
    return true;
}

bool cmd_create_difference(CommandCall& call) {
    if (call.path.empty()) return true;
    auto a = source_image(call, call.arg(4));
    auto b = source_image(call, call.arg(5));
    if (!a || !b) return true;
    if (a->width != b->width || a->height != b->height) {
        problem(call, "CreateDifferenceTexture: the two sources differ in size");
        return true;
    }
    auto out = std::make_shared<PixelImage>();
    if (!out->allocate(a->width, a->height)) return true;
    out->kind = a->kind;
    for (std::int32_t y = 0; y < a->height; ++y) {
        const std::uint32_t* pa = a->row32(y);
        const std::uint32_t* pb = b->row32(y);
        std::uint32_t* po = out->row32(y);
        for (std::int32_t x = 0; x < a->width; ++x)
            po[x] = ((pa[x] >> 24) != 0 && (pa[x] & 0xFFFFFF) != (pb[x] & 0xFFFFFF)) ? pa[x] : 0;
    }
    create_with(call, out, 1, 2);
    return true;
}

// One pass of the 3 x 3 box filter over the inner pixels, in place, top row first.
// Softening by averaging with the neighbours inside the image (for the frame halo).
void soften(PixelImage& img) {
    PixelImage src = img;
    for (std::int32_t y = 0; y < img.height; ++y)
        for (std::int32_t x = 0; x < img.width; ++x)
            for (int c = 0; c < 4; ++c) {
                int sum = 0, n = 0;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        const std::int32_t yy = y + dy, xx = x + dx;
                        if (yy < 0 || xx < 0 || yy >= img.height || xx >= img.width) continue;
                        sum += src.pixels[(static_cast<std::size_t>(yy) * img.width + xx) * 4 + c];
                        ++n;
                    }
                img.row(y)[x * 4 + c] = static_cast<std::uint8_t>(sum / n);
            }
}

void blit(PixelImage& dst, const PixelImage& src, std::int32_t ox, std::int32_t oy) {
    for (std::int32_t y = 0; y < src.height; ++y) {
        const std::int32_t dy = oy + y;
        if (dy < 0 || dy >= dst.height) continue;
        const std::int32_t x0 = std::max(0, -ox), x1 = std::min(src.width, dst.width - ox);
        if (x1 <= x0) continue;
        std::memcpy(dst.row(dy) + (ox + x0) * 4, src.row(y) + x0 * 4,
                    static_cast<std::size_t>(x1 - x0) * 4);
    }
}

bool cmd_create_frame(CommandCall& call) {
    if (call.path.empty()) return true;
    auto src = source_image(call, call.arg(5));
    if (!src) return true;
    if (!size_ok(call, std::int64_t(src->width) + 16, std::int64_t(src->height) + 16,
                 "CreateFrame"))
        return true;
    const script::Colour c = colour_arg(call, 4);
    auto halo = colour_image(src->width + 8, src->height + 8, c.rgb, 127);
    auto out = std::make_shared<PixelImage>();
    if (!halo || !out->allocate(src->width + 16, src->height + 16)) return true;
    blit(*out, *halo, 4, 4);
    for (int i = 0; i < 4; ++i) soften(*out);
    blit(*out, *src, 8, 8);
    out->kind = k_image_frame;
    create_with(call, out, 1, 2);
    return true;
}

bool cmd_create_surface(CommandCall& call) {
    if (call.path.empty()) return true;
    auto image = std::make_shared<PixelImage>();
    if (!image->allocate(k_screen_width, k_screen_height)) return true;
    image->kind = is_true_word(call.arg(4)) ? k_image_cleared_surface : k_image_surface;
    auto d = drawable_for(image);
    if (!d) return true;
    hold_for_group(call);
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    if (SceneObject* o = create_kind_object(create_args(call, 1, 2), std::move(d), image, nullptr))
        o->surface = image;
    return true;
}

// ---- shade and tone ------------------------------------------------------------------------

std::int32_t word_key(const std::string& w) {
    std::int32_t key = 0;
    for (unsigned char c : w) key += c >= 90 ? c - 32 : c;
    return key;
}

int shade_passes(std::int32_t key) {
    switch (key) {
    case 764:
        return 1;
    case 376:
        return 2;
    case 449:
        return 4;
    case 683:
        return 8;
    case 381:
        return 16;
    case 769:
        return 24;
    case 464:
        return 32;
    default:
        return 0;
    }
}

bool tone_known(std::int32_t key) {
    return key == 370 || key == 598 || key == 759 || key == 750;
}

// The tone filters of the image effects of the same names, on the object's own image.
void apply_tone(PixelImage& img, std::int32_t key) {
    using effects::Tone;
    const Tone tone = key == 598   ? Tone::nega_posi
                      : key == 759 ? Tone::monochrome
                      : key == 370 ? Tone::sepia
                                   : Tone::delumo_blue;
    for (std::int32_t y = 0; y < img.height; ++y)
        effects::tone_row(tone, img.row(y), img.row(y), img.width, false);
}

// Rebuilds the object's image from its unfiltered copy with the current shade and tone.
void refilter(SceneObject& o) {
    if (!o.unfiltered) return;
    auto image = copy_image(*o.unfiltered);
    if (!image) return;
    for (int i = 0; i < shade_passes(o.shade_key); ++i) box_pass(*image);
    if (shade_passes(o.shade_key)) copy_border(*image);
    if (tone_known(o.tone_key)) apply_tone(*image, o.tone_key);
    o.composed_over_filter = false;
    mark_object(o);
    if (o.drawable) {
        o.drawable->image = image.get();
        o.image_ref = image;
    } else {
        o.source_image = image;
    }
    mark_object(o);
}

bool keep_unfiltered(SceneObject& o) {
    if (o.unfiltered) return true;
    const PixelImage* current = o.image();
    if (!current) return false;
    o.unfiltered = copy_image(*current); // the shared image itself is never changed
    return o.unfiltered != nullptr;
}

bool cmd_set_shade(CommandCall& call) {
    const std::int32_t key = word_key(call.arg(1));
    const bool restore = key == 592 || key == 315;
    if (!restore && !shade_passes(key)) return true;
    for_each_object(
        call,
        [&](SceneObject& o) {
            if (!keep_unfiltered(o)) return 0;
            o.shade_key = restore ? 0 : key;
            refilter(o);
            return 1;
        },
        ApplyOptions{.no_children = true});
    return true;
}

bool cmd_set_tone(CommandCall& call) {
    const std::int32_t key = word_key(call.arg(1));
    const bool restore = key == 315;
    if (!restore && !tone_known(key)) return true;
    for_each_object(
        call,
        [&](SceneObject& o) {
            if (!keep_unfiltered(o)) return 0;
            o.tone_key = restore ? 0 : key;
            refilter(o);
            return 1;
        },
        ApplyOptions{.no_children = true});
    return true;
}

bool cmd_set_surface(CommandCall& call) {
    const std::string target = call.arg(1);
    std::shared_ptr<PixelImage> surface;
    if (!target.empty()) {
        const std::string path = script::form_object_path(target, call.block.object_prefix);
        engine::ScopedLock scene_guard(engine::k_lock_scene);
        SceneObject* s = find_object(call.context.owner_key, path);
        if (s) surface = s->surface;
        scene_guard.unlock();
        if (!surface) return true;
    }
    for_each_object(
        call,
        [&](SceneObject& o) {
            if (!o.drawable || (surface && o.surface == surface)) return 0;
            mark_object(o);
            o.drawable->target = surface.get();
            o.target_ref = surface; // the surface lives while something draws into it
            mark_all_changed();
            return 1;
        },
        ApplyOptions{.no_children = true});
    return true;
}

bool cmd_set_composite(CommandCall& call) {
    auto src = source_image(call, call.arg(3));
    if (!src) return true;
    const std::int32_t ox = int_arg(call, 1), oy = int_arg(call, 2);
    for_each_object(
        call,
        [&](SceneObject& o) {
            if (!o.drawable || !o.drawable->image) return 0;
            // The image may be shared (a cached file): compose into a copy of our own.
            auto image = copy_image(*o.drawable->image);
            if (!image) return 0;
            blit(*image, *src, ox, oy);
            image->kind = k_image_composite;
            o.drawable->image = image.get();
            o.image_ref = image;
            o.composed_over_filter = o.unfiltered != nullptr;
            mark_object(o);
            return 1;
        },
        ApplyOptions{.no_children = true});
    return true;
}

// ---- saved pictures, shade and tone -------------------------------------------------------------

// A picture made at run time (a screen capture, a composite) that its object's creating
// statement cannot make again: its pixels go with the record, deflated. Before a shade or
// a tone the unfiltered picture is the one kept; the shade and tone section then filters
// it again.
constexpr std::int32_t k_max_saved_picture_side = 4096;

const PixelImage* runtime_picture(const SceneObject& o) {
    if (!o.drawable) return nullptr;
    const PixelImage* base = o.unfiltered ? o.unfiltered.get() : o.drawable->image;
    if (!base || base->empty()) return nullptr;
    return base->kind == k_kind_capture || base->kind == k_image_composite ? base : nullptr;
}

bool has_runtime_picture(const SceneObject& o) {
    return runtime_picture(o) != nullptr;
}

bool write_pixels(const SceneObject& o, const PixelImage& img, storage::SaveWriter& w,
                  std::string& error) {
    platform::BlockPtr packed;
    std::size_t packed_size = 0;
    if (img.width > k_max_saved_picture_side || img.height > k_max_saved_picture_side ||
        !storage::deflate_block(img.pixels.data(), img.pixels.size(), packed, packed_size)) {
        error = "the picture of '" + o.name + "' cannot be saved";
        return false;
    }
    w.i32(img.kind);
    w.i32(img.width);
    w.i32(img.height);
    w.u32(std::uint32_t(packed_size));
    w.bytes(packed.get(), packed_size);
    return true;
}

bool write_picture(const SceneObject& o, const RecordWriting&, storage::SaveWriter& w,
                   std::string& error) {
    return write_pixels(o, *runtime_picture(o), w, error);
}

// Reads saved pixels into a new picture of the object's size (kind `kind`).
std::shared_ptr<PixelImage> read_pixels(const SceneObject& o, storage::SaveReader& r) {
    const std::int32_t kind = r.i32(), width = r.i32(), height = r.i32();
    const std::uint32_t packed_size = r.u32();
    if (!r.ok()) return nullptr;
    if (kind != k_kind_capture && kind != k_image_composite) {
        r.fail("a picture kind unknown");
        return nullptr;
    }
    if (width < 1 || height < 1 || width > k_max_saved_picture_side ||
        height > k_max_saved_picture_side) {
        r.fail("a picture size out of range");
        return nullptr;
    }
    if (packed_size > r.left()) {
        r.fail("cut short");
        return nullptr;
    }
    const auto packed = r.bytes(packed_size);
    // The statement made the object's picture again at the saved size (a capture of the
    // screen, the file a composite began with); only its pixels differ.
    if (!o.drawable || !o.drawable->image || o.drawable->image->width != width ||
        o.drawable->image->height != height) {
        r.fail("the picture has another size now");
        return nullptr;
    }
    auto image = std::make_shared<PixelImage>();
    platform::BlockPtr pixels;
    const std::size_t bytes = std::size_t(width) * std::size_t(height) * 4;
    if (!storage::inflate_exact(packed.data(), packed.size(), bytes, pixels) ||
        !image->allocate_for_overwrite(width, height)) {
        r.fail("the picture's pixels do not read");
        return nullptr;
    }
    std::memcpy(image->pixels.data(), pixels.get(), bytes);
    image->kind = kind;
    return image;
}

bool read_picture(SceneObject& o, storage::SaveReader& r) {
    auto image = read_pixels(o, r);
    if (!image) return false;
    o.drawable->image = image.get();
    o.image_ref = image;
    o.unfiltered.reset();
    o.composed_over_filter = false;
    mark_object(o);
    return true;
}

bool has_shade_or_tone(const SceneObject& o) {
    return o.unfiltered && (o.shade_key != 0 || o.tone_key != 0);
}

bool write_shade(const SceneObject& o, const RecordWriting&, storage::SaveWriter& w, std::string&) {
    w.i32(o.shade_key);
    w.i32(o.tone_key);
    return true;
}

// Read after the picture: the statement's (or the saved) picture is filtered again.
bool read_shade(SceneObject& o, storage::SaveReader& r) {
    const std::int32_t shade = r.i32(), tone = r.i32();
    if (!r.ok()) return false;
    if ((shade != 0 && !shade_passes(shade)) || (tone != 0 && !tone_known(tone)))
        return r.fail("a shade or tone unknown");
    if (!keep_unfiltered(o)) return r.fail("the object has no picture to filter");
    o.shade_key = shade;
    o.tone_key = tone;
    refilter(o);
    return true;
}

} // namespace

// A composite drawn over a shade or tone: the picture shown, read after the shade and tone
// section has filtered the unfiltered copy (which stays for a later SetShade or SetTone).
bool has_composite_over_filter(const SceneObject& o) {
    return o.composed_over_filter && o.unfiltered && o.drawable && o.drawable->image &&
           o.drawable->image->kind == k_image_composite;
}

bool write_shown_picture(const SceneObject& o, const RecordWriting&, storage::SaveWriter& w,
                         std::string& error) {
    return write_pixels(o, *o.drawable->image, w, error);
}

bool read_shown_picture(SceneObject& o, storage::SaveReader& r) {
    auto image = read_pixels(o, r);
    if (!image) return false;
    // Without a shade or tone set the unfiltered copy is the picture the statement (or the
    // saved picture) gave.
    if (!keep_unfiltered(o)) return r.fail("the object has no picture to filter");
    o.drawable->image = image.get();
    o.image_ref = image;
    o.composed_over_filter = true;
    mark_object(o);
    return true;
}

void register_picture_sections() {
    register_record_section({record_tag("PICT"), has_runtime_picture, write_picture, read_picture});
    register_record_section({record_tag("SHTN"), has_shade_or_tone, write_shade, read_shade});
    register_record_section(
        {record_tag("SHWN"), has_composite_over_filter, write_shown_picture, read_shown_picture});
}

void register_layer_commands();

void register_image_commands() {
    script::register_command("CreateClipTexture", cmd_create_clip_texture);
    script::register_command("LoadClipImage", cmd_load_clip_image);
    script::register_command("CreateDifferenceTexture", cmd_create_difference);
    script::register_command("CreateFrame", cmd_create_frame);
    script::register_command("CreateSurface", cmd_create_surface);
    script::register_command("SetShade", cmd_set_shade);
    script::register_command("SetTone", cmd_set_tone);
    script::register_command("SetSurface", cmd_set_surface);
    script::register_command("SetComposite", cmd_set_composite);
    register_layer_commands();
}

} // namespace kestrune::scene::commands
