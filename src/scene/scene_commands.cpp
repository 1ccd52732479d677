// Commands that create, delete, name and address scene objects: CreateName, CreateColor,
// CreateTexture, LoadImage, LoadColor, Delete, Request, SetAlias, SetVertex, SetImage.
#include "scene/scene_commands.h"

#include "frame/engine.h"
#include "script/arguments.h"
#include "script/context.h"
#include "script/system_variables.h"
#include "storage/storage.h"

#include <cctype>
#include <cstdio>

namespace kestrune::scene::commands {

using script::CommandCall;

// ---- helpers --------------------------------------------------------------------------------

void problem(CommandCall& call, const std::string& message) {
    script::report_problem(call.context, call.statement, message);
}

std::int32_t int_arg(const CommandCall& call, std::size_t i) {
    return script::argument_int(call.arg(i));
}

bool is_true_word(const std::string& s) {
    if (s.size() != 4) return false;
    for (int i = 0; i < 4; ++i)
        if (std::toupper(static_cast<unsigned char>(s[static_cast<std::size_t>(i)])) != "TRUE"[i])
            return false;
    return true;
}

CreateArgs create_args(const CommandCall& call, int priority_index, int first_position) {
    CreateArgs a;
    a.owner_key = call.context.owner_key;
    a.prefix = call.block.object_prefix;
    a.command = call.canonical;
    a.path = call.path;
    a.priority = priority_index >= 0 ? int_arg(call, static_cast<std::size_t>(priority_index)) : 0;
    if (first_position >= 0) {
        a.x = call.arg(static_cast<std::size_t>(first_position));
        a.y = call.arg(static_cast<std::size_t>(first_position + 1));
    } else {
        a.x = "0";
        a.y = "0";
    }
    script::ScriptContext* context = &call.context;
    const char* statement = call.statement;
    a.report = [context, statement](const std::string& message) {
        script::report_problem(*context, statement, message);
    };
    return a;
}

bool size_ok(CommandCall& call, std::int64_t w, std::int64_t h, const char* what) {
    if (w >= 1 && h >= 1 && w <= k_max_script_side && h <= k_max_script_side) return true;
    problem(call, std::string(what) + ": size " + std::to_string(w) + " x " + std::to_string(h) +
                      " is outside 1 to " + std::to_string(k_max_script_side));
    return false;
}

std::shared_ptr<PixelImage> colour_image(std::int32_t w, std::int32_t h, std::uint32_t rgb,
                                         std::uint8_t alpha) {
    auto image = std::make_shared<PixelImage>();
    if (!image->allocate(w, h)) return nullptr;
    image->kind = k_image_colour;
    const std::uint32_t px = (std::uint32_t(alpha) << 24) | (rgb & 0xFFFFFF);
    for (std::int32_t y = 0; y < h; ++y) std::fill_n(image->row32(y), w, px);
    return image;
}

std::unique_ptr<Drawable> drawable_for(const std::shared_ptr<PixelImage>& image) {
    if (!image || image->empty()) return nullptr;
    return create_drawable(image.get());
}

// What became of the command when one of its arguments failed.
std::string outcome(const CommandCall& call) {
    return call.entry.creating ? "the object was not created" : "nothing was done";
}

std::shared_ptr<PixelImage> source_image(CommandCall& call, const std::string& source,
                                         bool note_gallery) {
    if (source.empty()) {
        problem(call, "no image was named; " + outcome(call));
        return nullptr;
    }
    const std::string path = script::form_object_path(source, call.block.object_prefix);
    auto from_object = [&]() -> std::shared_ptr<PixelImage> {
        if (path.empty()) return nullptr;
        engine::ScopedLock scene_guard(engine::k_lock_scene);
        auto image = find_image(path, call.context.owner_key);
        return image;
    };
    if (auto image = from_object()) return image;
    // A capture of the picture on the screen, made now (no file has these names).
    if (source == "SCREEN" || source == "SCENE")
        if (auto image = storage::load_image(source)) return image;
    bool exists = false;
    if (source.front() != '@' &&
        storage::available_file(source.rfind("file:", 0) == 0
                                    ? source.substr(5)
                                    : script::resource_path_prefix() + source) != -1) {
        exists = true;
        if (auto image = storage::load_image(source)) {
            if (note_gallery) script::note_gallery_image(source);
            return image;
        }
    }
    if (auto image = from_object()) return image;
    problem(call, "image \"" + source + "\" " + (exists ? "could not be read" : "was not found") +
                      "; " + outcome(call));
    return nullptr;
}

script::Colour colour_arg(CommandCall& call, std::size_t i) {
    const std::string text = call.arg(i);
    const script::Colour c = script::parse_colour(text);
    if (call.has(i) && !script::is_colour_text(text)) {
        char value[64];
        std::snprintf(value, sizeof value, "#%06X with opacity %u", c.rgb & 0xFFFFFFu,
                      static_cast<unsigned>(c.alpha));
        problem(call, "colour \"" + text + "\" is not a colour; it reads as " + value);
    }
    return c;
}

void hold_for_group(CommandCall& call) {
    if (call.block.kind == script::k_kind_group && !engine::render_is_held()) engine::render_hold();
}

int for_each_object(CommandCall& call, const std::function<int(SceneObject&)>& fn,
                    ApplyOptions options) {
    if (call.path.empty()) return 0;
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    const int r = apply(call.context.owner_key, call.path, fn, options);
    return r;
}

namespace {

// ---- creating commands --------------------------------------------------------------------

bool cmd_create_name(CommandCall& call) {
    if (call.path.empty()) return true;
    hold_for_group(call);
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    SceneObject* o = create_object(call.context.owner_key, call.path);
    if (o) {
        o->creator = call.block.object_prefix;
        o->creating_command = call.canonical;
        o->no_actions = true;
        o->drawn = true;
        set_slot(*o, k_slot_draw, k_op_idle);
        const SceneObject* parent = o->parent;
        if (parent && parent->parent && parent->inherit) {
            o->x = o->offset_x = parent->x;
            o->y = o->offset_y = parent->y;
        }
    }
    return true;
}

// A plain image object at the command's position and priority (arguments 1 and 2).
bool create_image_object(CommandCall& call, std::shared_ptr<PixelImage> image) {
    auto d = drawable_for(image);
    if (!d) return true;
    hold_for_group(call);
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    create_kind_object(create_args(call, 1, 2), std::move(d), image, nullptr);
    return true;
}

bool cmd_create_color(CommandCall& call) {
    if (call.path.empty()) return true;
    const std::int64_t w = script::argument_int(call.arg(4));
    const std::int64_t h = script::argument_int(call.arg(5));
    if (!size_ok(call, w, h, "CreateColor")) return true;
    const script::Colour c = colour_arg(call, 6);
    return create_image_object(call, colour_image(static_cast<std::int32_t>(w),
                                                  static_cast<std::int32_t>(h), c.rgb, c.alpha));
}

bool cmd_create_texture(CommandCall& call) {
    if (call.path.empty()) return true;
    return create_image_object(call, source_image(call, call.arg(4)));
}

SceneObject* create_holder(CommandCall& call, std::shared_ptr<PixelImage> image) {
    if (call.path.empty() || !image) return nullptr;
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    SceneObject* o = create_object(call.context.owner_key, call.path);
    if (o) {
        o->creator = call.block.object_prefix;
        o->creating_command = call.canonical;
        o->source_image = std::move(image);
        set_slot(*o, k_slot_draw, k_op_idle);
    }
    return o;
}

bool cmd_load_image(CommandCall& call) {
    create_holder(call, source_image(call, call.arg(1)));
    return true;
}

bool cmd_load_color(CommandCall& call) {
    const std::int64_t w = script::argument_int(call.arg(1));
    const std::int64_t h = script::argument_int(call.arg(2));
    if (!size_ok(call, w, h, "LoadColor")) return true;
    const script::Colour c = colour_arg(call, 3);
    create_holder(call, colour_image(static_cast<std::int32_t>(w), static_cast<std::int32_t>(h),
                                     c.rgb, c.alpha));
    return true;
}

// ---- addressing ------------------------------------------------------------------------------

bool cmd_delete(CommandCall& call) {
    if (!call.path.empty()) delete_objects(call.context.owner_key, call.path);
    return true;
}

bool cmd_request(CommandCall& call) {
    if (call.path.empty()) return true;
    const std::string word = call.arg(1);
    // Process objects answer the words of their block.
    std::vector<script::ScriptBlock*> processes;
    for_each_object(
        call,
        [&](SceneObject& o) {
            if (o.process) processes.push_back(o.process);
            return 1;
        },
        ApplyOptions{.no_children = true});
    bool process_knows = false;
    for (script::ScriptBlock* b : processes)
        process_knows |= script::process_request(b, word.c_str()) >= 0;
    bool unknown = false;
    request(call.context.owner_key, call.path, word, &unknown);
    if (unknown && !process_knows)
        problem(call, "request \"" + word + "\" is not known to \"" + call.arg(0) +
                          "\"; nothing was done");
    return true;
}

bool cmd_set_alias(CommandCall& call) {
    if (call.path.empty() || set_alias(call.context.owner_key, call.arg(1), call.path) > 0)
        return true;
    // Objects are named by the path of the blocks that made them (a scene's own objects by
    // their bare names): a path that begins with the scene's name finds nothing.
    std::string message = "SetAlias: no object named '" + call.path + "'; no alias was set";
    const std::size_t slash = call.path.find('/');
    std::int32_t x = 0, y = 0;
    if (slash != std::string::npos &&
        position_of(call.path.substr(slash + 1), call.context.owner_key, x, y))
        message += "; did you mean '" + call.path.substr(slash + 1) + "'?";
    problem(call, message);
    return true;
}

bool cmd_set_vertex(CommandCall& call) {
    const std::string ax = call.arg(1), ay = call.arg(2);
    for_each_object(call, [&](SceneObject& o) {
        if (!o.drawable) return 0;
        mark_object(o);
        set_anchor(o.drawable->geometry, ax, ay);
        reproject(o);
        return 1;
    });
    return true;
}

bool cmd_set_image(CommandCall& call) {
    auto image = source_image(call, call.arg(1));
    if (!image) return true;
    for_each_object(
        call,
        [&](SceneObject& o) {
            if (!o.drawable) {
                if (!o.source_image) return 0;
                o.source_image = image;
                return 1;
            }
            // Position, anchor, rotation and scale stay; the texture corners follow the size.
            Drawable& d = *o.drawable;
            mark_object(o);
            QuadGeometry& g = d.geometry;
            const double ax = g.image_width ? g.anchor_x / g.image_width : 0;
            const double ay = g.image_height ? g.anchor_y / g.image_height : 0;
            const auto rot = std::array{g.rot_x, g.rot_y, g.rot_z};
            const auto scale = std::array{g.scale_x, g.scale_y, g.scale_z};
            init_geometry(g, image->height, image->width);
            set_anchor(g, std::to_string(static_cast<std::int32_t>(ax * image->width)),
                       std::to_string(static_cast<std::int32_t>(ay * image->height)));
            g.rot_x = rot[0];
            g.rot_y = rot[1];
            g.rot_z = rot[2];
            g.scale_x = scale[0];
            g.scale_y = scale[1];
            g.scale_z = scale[2];
            d.image = image.get();
            o.image_ref = image;
            o.unfiltered.reset();
            o.composed_over_filter = false;
            reproject(o);
            return 1;
        },
        ApplyOptions{.no_children = true});
    return true;
}

} // namespace

void register_object_commands() {
    script::register_command("CreateName", cmd_create_name);
    script::register_command("CreateColor", cmd_create_color);
    script::register_command("CreateTexture", cmd_create_texture);
    script::register_command("LoadImage", cmd_load_image);
    script::register_command("LoadColor", cmd_load_color);
    script::register_command("Delete", cmd_delete);
    script::register_command("Request", cmd_request);
    script::register_command("SetAlias", cmd_set_alias);
    script::register_command("SetVertex", cmd_set_vertex);
    script::register_command("SetImage", cmd_set_image);
}

} // namespace kestrune::scene::commands
