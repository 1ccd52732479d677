// The commands that lay text out into text objects: CreateText (a text given as argument),
// LoadText (the entries of a text section of a script) and SetBaseTextInterval.
//
// A text object is a scene object whose kind data holds its TextLayout; its image is the
// glyph layer, empty until the message display (display.cpp) reveals characters into it.
#include "frame/engine.h"
#include "frame/startup_hooks.h"
#include "scene/raster.h"
#include "scene/scene.h"
#include "script/commands.h"
#include "script/context.h"
#include "script/scanner.h"
#include "text/backlog.h"
#include "text/display.h"
#include "text/icons.h"
#include "text/layout.h"
#include <algorithm>

#include <cstring>

namespace kestrune::text {

namespace {

using script::CommandCall;

struct TextObjectData : scene::KindData {
    std::unique_ptr<TextLayout> layout;
    std::string label; // LoadText: the entry's label, for saves
    ~TextObjectData() override {
        if (layout && layout->inline_run) script::end_inline_script(*layout->inline_run);
    }
};

// Words end at the end of the text, a tab or a blank.
bool is_word(std::string_view text, std::string_view word) {
    return text.substr(0, word.size()) == word &&
           (text.size() == word.size() || text[word.size()] == '\t' || text[word.size()] == ' ');
}

int text_request(scene::SceneObject& o, std::string_view word) {
    TextLayout* layout = text_layout_of(o);
    if (is_word(word, "NoLog")) return layout ? (layout->backlog = 0, 1) : 0;
    if (is_word(word, "NoIcon")) return layout ? (layout->icon = 0, 1) : 0;
    if (is_word(word, "PushText")) return layout ? (layout->reveal_all = 1, 1) : 0;
    if (is_word(word, "Erase")) return erase_text_object(o);
    if (is_word(word, "Enter")) return enter_text_object(o);
    return -1;
}

const scene::KindOps k_text_kind{"text", text_request, nullptr, nullptr, nullptr};

bool is_auto(const std::string& s) {
    return script::equals_nocase(s, "AUTO");
}

std::shared_ptr<PixelImage> text_image(CommandCall& call, std::int32_t w, std::int32_t h) {
    if (w < 1 || h < 1 || w > k_max_image_side || h > k_max_image_side) {
        script::report_problem(call.context, call.statement,
                               "text object size " + std::to_string(w) + " x " + std::to_string(h) +
                                   " is outside 1 to " + std::to_string(k_max_image_side));
        return nullptr;
    }
    auto image = std::make_shared<PixelImage>();
    if (!image->allocate(w, h)) return nullptr;
    return image;
}

// Makes the scene object for a finished layout (scene lock held). Null when it could not
// be made; the layout and image are then released with the caller's references.
scene::SceneObject* make_text_object(const scene::CreateArgs& args,
                                     std::shared_ptr<PixelImage> image,
                                     std::unique_ptr<TextLayout>& layout, std::string label) {
    auto drawable = scene::create_drawable(image.get());
    if (!drawable) return nullptr;
    scene::SceneObject* o =
        scene::create_kind_object(args, std::move(drawable), std::move(image), &k_text_kind);
    if (!o) return nullptr;
    auto data = std::make_unique<TextObjectData>();
    data->layout = std::move(layout);
    data->label = std::move(label);
    o->kind_data = std::move(data);
    // The reveal step starts when the object is prepared, once the display has registered it.
    scene::set_slot(*o, scene::k_slot_kind_tick, scene::k_op_hidden);
    o->slots[scene::k_slot_prepare].fn(*o);
    return o;
}

bool cmd_create_text(CommandCall& call) {
    if (call.path.empty()) return true;
    const std::string text = call.arg(6);
    std::string w_arg = call.arg(4), h_arg = call.arg(5);
    std::int32_t width = script::argument_int(w_arg), height = script::argument_int(h_arg);
    std::unique_ptr<TextLayout> layout;
    std::shared_ptr<PixelImage> image;
    {
        engine::ScopedLock text_guard(engine::k_lock_text);
        read_text_settings();
        if (is_auto(w_arg) || is_auto(h_arg)) {
            std::int32_t mw = 0, mh = 0;
            if (!measure_text(text, mw, mh, is_auto(w_arg) ? 0 : width,
                              is_auto(h_arg) ? 0 : height)) {
                script::report_problem(call.context, call.statement,
                                       "CreateText: the text could not be measured (empty, or "
                                       "2048 bytes or more)");
                return true;
            }
            if (is_auto(w_arg)) width = mw;
            if (is_auto(h_arg)) height = mh;
        }
        image = text_image(call, width, height);
        if (!image) return true;
        const TextSettings settings = text_settings();
        layout = lay_out_text(image, text, settings.margin_line, settings.margin_row);
    }
    if (!layout) {
        script::report_problem(call.context, call.statement,
                               "CreateText: the text could not be laid out");
        return true;
    }
    if (call.block.kind == script::k_kind_group && !engine::render_is_held()) engine::render_hold();
    scene::CreateArgs args;
    args.owner_key = call.context.owner_key;
    args.prefix = call.block.object_prefix;
    args.command = call.canonical;
    args.path = call.path;
    args.priority = script::argument_int(call.arg(1));
    args.x = call.arg(2);
    args.y = call.arg(3);
    args.report = [&call](const std::string& message) {
        script::report_problem(call.context, call.statement, message);
    };
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    scene::SceneObject* o = make_text_object(args, image, layout, {});
    scene_guard.unlock();
    if (!o)
        script::report_problem(call.context, call.statement,
                               "CreateText: the object " + call.path + " could not be created");
    return true;
}

std::int32_t margin_arg(const CommandCall& call, std::size_t i, std::int32_t fallback) {
    if (!call.has(i) || script::is_null_word(call.arg(i)) || call.arg(i).empty()) return fallback;
    return script::argument_int(call.arg(i));
}

bool cmd_load_text(CommandCall& call) {
    const std::string block_name = call.arg(0), section = call.arg(1);
    std::string label = call.arg(2);
    if (!label.empty() && label[0] == '@') label.erase(0, 1);
    if (auto star = label.find('*'); star != std::string::npos) label.resize(star);
    script::ScriptBlock* block = script::find_block(
        call.context, block_name.c_str(), script::k_kind_chapter | script::k_kind_scene, -1);
    if (!block) block = script::find_block(call.context, block_name.c_str(), 0, -1);
    if (!block || !block->context) return true;
    const std::int32_t width =
        call.has(3) && !call.arg(3).empty() ? script::argument_int(call.arg(3)) : 1024;
    const std::int32_t height =
        call.has(4) && !call.arg(4).empty() ? script::argument_int(call.arg(4)) : 576;
    std::int32_t margin_line, margin_row;
    {
        engine::ScopedLock text_guard(engine::k_lock_text);
        read_text_settings();
        const TextSettings settings = text_settings();
        margin_line = margin_arg(call, 5, settings.margin_line);
        margin_row = margin_arg(call, 6, settings.margin_row);
    }
    // The entries' objects go under the section's group: the block's prefix and the section
    // name, or the name alone when it begins with '@' (or the block has no prefix).
    const std::string prefix = call.block.object_prefix;
    const std::string group = prefix.empty() || (!section.empty() && section[0] == '@')
                                  ? section
                                  : prefix + "/" + section;
    std::int32_t run_x = 0, run_y = 0;
    for (const script::TextEntry& entry : block->text_entries) {
        if (section != entry.section_name || label != entry.label) continue;
        if (!entry.first || !entry.last || entry.last < entry.first) continue;
        std::unique_ptr<TextLayout> layout;
        std::shared_ptr<PixelImage> image;
        std::int32_t cx = 0, cy = 0;
        {
            engine::ScopedLock text_guard(engine::k_lock_text);
            std::int32_t w = width, h = height;
            if (!measure_script_text(entry.first, entry.last + 1, w, h, margin_line, margin_row))
                return true;
            image = text_image(call, w, h);
            if (!image) return true;
            layout = lay_out_script_text(image, block, entry.first, entry.last + 1, cx, cy,
                                         margin_line, margin_row, width, height);
        }
        if (!layout) {
            script::report_problem(call.context, call.statement,
                                   "LoadText: the text of [" + label + "] could not be laid out");
            return true;
        }
        const std::string path = script::form_object_path(entry.label, group);
        scene::CreateArgs args;
        args.owner_key = block->context->owner_key;
        args.prefix = group;
        args.command = call.canonical;
        args.path = path;
        args.x = std::to_string(run_x);
        args.y = std::to_string(run_y);
        engine::ScopedLock scene_guard(engine::k_lock_scene);
        scene::SceneObject* o = make_text_object(args, image, layout, entry.label);
        if (o) {
            o->priority = o->parent ? o->parent->priority : 0;
            scene::note_priority_changed();
            // Shown only after the request "Enter".
            scene::set_slot(*o, scene::k_slot_draw, scene::k_op_hidden);
            scene::set_slot(*o, scene::k_slot_kind_tick, scene::k_op_hidden);
        }
        scene_guard.unlock();
        if (!o) {
            script::report_problem(call.context, call.statement,
                                   "LoadText: the object " + path + " could not be created");
            return true;
        }
        run_x = cx ? run_x + cx : 0;
        run_y = cy ? run_y + cy : 0;
    }
    return true;
}

bool cmd_set_base_text_interval(CommandCall& call) {
    const std::string v = call.arg(0);
    if (!set_base_interval(script::argument_int(v)))
        script::report_problem(call.context, call.statement,
                               "SetBaseTextInterval: a negative interval is refused");
    return true;
}

} // namespace

TextLayout* text_layout_of(scene::SceneObject& o) {
    if (o.kind != &k_text_kind || !o.kind_data) return nullptr;
    return static_cast<TextObjectData&>(*o.kind_data).layout.get();
}

void register_layout_commands() {
    script::register_command("CreateText", cmd_create_text);
    script::register_command("LoadText", cmd_load_text);
    script::register_command("SetBaseTextInterval", cmd_set_base_text_interval);
}

void register_layout_with_frame() {
    static bool done = false;
    if (!done) {
        done = true;
        register_display();
        register_icons_with_frame();
        register_text_records();
        register_backlog_with_frame();
        // After the settings file and the variable store: the text settings are read for
        // this run of the scripts (a restart reads them again).
        frame::startup_hooks().script_settings.push_back([] {
            reset_text_settings();
            read_text_settings();
            watch_text_interval();
            register_layout_commands();
            watch_display_settings();
            return true;
        });
    }
    register_layout_commands();
}

} // namespace kestrune::text
