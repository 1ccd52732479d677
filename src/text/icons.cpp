// The text icon's records and frame lists, and their step and drawing on the render thread.
#include "text/icons.h"

#include "frame/engine.h"
#include "frame/startup_hooks.h"
#include "persist/settings.h"
#include "scene/scene.h"
#include "script/system_variables.h"
#include "storage/image_loader.h"

#include <array>
#include <charconv>
#include <cstdio>

namespace kestrune::text {

namespace {

// The frames of one icon kind and a drawable for each. The drawables are moved to the
// icon's position when drawn; the list is shared by both records and replaced as a whole.
struct FrameList {
    std::vector<std::shared_ptr<PixelImage>> images;
    std::vector<std::unique_ptr<scene::Drawable>> drawables;
};

// A quarter frame per render cycle, in 16.16 frames.
constexpr std::uint32_t k_frame_step = 0x4000;

struct IconRecord {
    std::int32_t x = 0, y = 0;
    std::uint8_t opacity = 0;
    int kind = k_icon_none;
    std::uint32_t position = 0; // 16.16 frames
    int frame = -1;             // frame shown, -1 for none
    std::shared_ptr<FrameList> frames;
    bool visible = true; // drawing allowed at the last step (window shown, icon enabled)
};

struct IconState {
    std::array<std::shared_ptr<FrameList>, 4> lists; // by kind; index 0 unused
    std::array<IconRecord, 2> records;               // normal play, system script
};

IconState& icons() {
    static IconState s;
    return s;
}

IconRecord& current_record() {
    return icons().records[engine::state() == engine::k_state_system_script ? 1 : 0];
}

int normal_kind(int kind) {
    if (kind == 255) return k_icon_auto;
    return kind >= k_icon_page && kind <= k_icon_auto ? kind : k_icon_none;
}

const char* kind_key(int kind) {
    switch (kind) {
    case k_icon_page:
        return "page";
    case k_icon_line:
        return "line";
    default:
        return "auto";
    }
}

// The image of the frame the record shows, or null.
const PixelImage* shown_image(const IconRecord& r) {
    if (r.kind == k_icon_none || !r.frames || r.frame < 0 ||
        r.frame >= static_cast<int>(r.frames->images.size()))
        return nullptr;
    return r.frames->images[static_cast<std::size_t>(r.frame)].get();
}

void mark_record(const IconRecord& r) {
    if (const PixelImage* image = shown_image(r))
        scene::mark_changed(r.x, r.y, image->width, image->height);
}

bool drawing_allowed() {
    return !engine::text_window_hidden() && script::setting_number("text_icon_disable") == 0;
}

// Starts the record on its list from the first frame.
void restart(IconRecord& r) {
    r.position = 0;
    r.frame = r.frames && !r.frames->images.empty() ? 0 : -1;
}

std::shared_ptr<FrameList> make_list(std::vector<std::shared_ptr<PixelImage>> images) {
    auto list = std::make_shared<FrameList>();
    for (auto& image : images) {
        auto d = scene::create_drawable(image.get());
        if (!d) continue;
        list->images.push_back(std::move(image));
        list->drawables.push_back(std::move(d));
    }
    return list;
}

// A position setting's text: a number, or "none" (any case; also the empty text of a
// setting never assigned). False for anything else.
bool parse_position(const std::string& text, bool& none, std::int32_t& out) {
    std::string_view t = text;
    while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
    while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
    none = t.empty() || (t.size() == 4 && (t[0] | 0x20) == 'n' && (t[1] | 0x20) == 'o' &&
                         (t[2] | 0x20) == 'n' && (t[3] | 0x20) == 'e');
    if (none) return true;
    double v = 0;
    auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec != std::errc() || p != t.data() + t.size() || !(v > -1e6 && v < 1e6)) return false;
    out = static_cast<std::int32_t>(v);
    return true;
}

void move_record(IconRecord& r, std::int32_t x, std::int32_t y) {
    if (r.x == x && r.y == y) return;
    mark_record(r);
    r.x = x;
    r.y = y;
    mark_record(r);
}

// A position setting changed: refuse text that is neither a number nor "none" loudly, and
// move the icons to a fixed position that is now complete.
void position_changed(std::string_view setting, std::string_view var_name) {
    bool none = false;
    std::int32_t v = 0;
    if (!parse_position(script::setting_text(setting), none, v))
        std::fprintf(stderr,
                     "text icon: %.*s is neither a number nor \"none\"; the icon follows the "
                     "text\n",
                     static_cast<int>(var_name.size()), var_name.data());
    std::int32_t x = 0, y = 0;
    if (!fixed_icon_position(x, y)) return;
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    for (IconRecord& r : icons().records) move_record(r, x, y);
}

void frames_changed(std::string_view setting, std::string_view var_name) {
    const int kind = setting == "text_icon_page"   ? k_icon_page
                     : setting == "text_icon_line" ? k_icon_line
                                                   : k_icon_auto;
    set_icon_frames(kind, script::setting_text(setting), var_name);
}

// At every script start: the lists from the settings file, both records hidden, and the
// reactions to the icon variables (registered again, since a restart may have dropped them).
bool start_icons() {
    const persist::Settings& s = persist::settings();
    const std::array<std::pair<int, const std::string*>, 3> keys = {
        std::pair{k_icon_line, &s.icon_line}, std::pair{k_icon_page, &s.icon_page},
        std::pair{k_icon_auto, &s.icon_auto}};
    for (const auto& [kind, value] : keys) {
        const std::string source =
            std::string(persist::k_settings_file) + ": [アイコン] icon_" + kind_key(kind);
        if (!set_icon_frames(kind, *value, source)) set_icon_frames(kind, "", source);
    }
    reset_icon_records();
    static std::vector<int> watches;
    for (int id : watches) script::unwatch_setting(id);
    watches.clear();
    for (const char* n : {"position_x_text_icon", "position_y_text_icon"})
        watches.push_back(script::watch_setting(n, position_changed));
    for (const char* n : {"text_icon_page", "text_icon_line", "text_icon_auto"})
        watches.push_back(script::watch_setting(n, frames_changed));
    return true;
}

} // namespace

bool fixed_icon_position(std::int32_t& x, std::int32_t& y) {
    bool none_x = true, none_y = true;
    std::int32_t fx = 0, fy = 0;
    if (!parse_position(script::setting_text("position_x_text_icon"), none_x, fx) || none_x)
        return false;
    if (!parse_position(script::setting_text("position_y_text_icon"), none_y, fy) || none_y)
        return false;
    x = fx;
    y = fy;
    return true;
}

void show_icon(int kind) {
    IconRecord& r = current_record();
    mark_record(r);
    r.kind = normal_kind(kind);
    if (r.kind == k_icon_none) {
        r.opacity = 0;
        r.frame = -1;
        r.frames.reset();
        return;
    }
    r.opacity = 255;
    r.frames = icons().lists[static_cast<std::size_t>(r.kind)];
    restart(r);
    mark_record(r);
}

int shown_icon_kind() {
    return current_record().kind;
}

void place_icon(std::int32_t x, std::int32_t y) {
    fixed_icon_position(x, y);
    move_record(current_record(), x, y);
}

void icon_position(std::int32_t& x, std::int32_t& y) {
    const IconRecord& r = current_record();
    x = r.x;
    y = r.y;
}

bool set_icon_frames(int kind, std::string_view value, std::string_view source,
                     const IconImageLoader& load) {
    kind = normal_kind(kind);
    if (kind == k_icon_none) return false;
    std::vector<std::shared_ptr<PixelImage>> images;
    if (!value.empty()) {
        IconPattern pattern;
        std::string error;
        if (!parse_icon_pattern(value, pattern, error)) {
            std::fprintf(stderr, "text icon: %.*s: \"%.*s\" refused: %s\n",
                         static_cast<int>(source.size()), source.data(),
                         static_cast<int>(value.size()), value.data(), error.c_str());
            return false;
        }
        images = load_icon_frames(
            pattern, load ? load : [](std::string_view name) { return storage::load_image(name); });
        if (static_cast<int>(images.size()) < pattern.count)
            std::fprintf(stderr, "text icon: %.*s: %zu of %d frames could be loaded\n",
                         static_cast<int>(source.size()), source.data(), images.size(),
                         pattern.count);
    }
    std::shared_ptr<FrameList> list = make_list(std::move(images));
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    icons().lists[static_cast<std::size_t>(kind)] = list;
    for (IconRecord& r : icons().records) {
        if (r.kind != kind) continue;
        mark_record(r);
        r.frames = list;
        restart(r);
        mark_record(r);
    }
    return true;
}

std::size_t icon_frame_count(int kind) {
    kind = normal_kind(kind);
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    const auto& list = icons().lists[static_cast<std::size_t>(kind)];
    const std::size_t n = kind != k_icon_none && list ? list->images.size() : 0;
    return n;
}

void step_icon() {
    IconRecord& r = current_record();
    const bool visible = drawing_allowed();
    if (visible != r.visible) {
        // The window was hidden or shown again: the icon's area changes with it.
        r.visible = visible;
        mark_record(r);
    }
    if (!visible || r.kind == k_icon_none || !r.frames || r.frames->images.empty()) return;
    const std::uint32_t count = static_cast<std::uint32_t>(r.frames->images.size());
    r.position += k_frame_step;
    if ((r.position >> 16) >= count) r.position = 0;
    const int frame = static_cast<int>(r.position >> 16);
    if (frame != r.frame) {
        mark_record(r);
        r.frame = frame;
        mark_record(r);
    }
}

void draw_icon(scene::FrameBuffer& frame, const scene::ClipRect& clip) {
    IconRecord& r = current_record();
    if (!shown_image(r) || r.opacity == 0 || !drawing_allowed()) return;
    scene::Drawable& d = *r.frames->drawables[static_cast<std::size_t>(r.frame)];
    d.x = r.x;
    d.y = r.y;
    d.alpha = r.opacity;
    scene::project(d);
    scene::draw_drawable(frame, d, clip);
}

void reset_icon_records() {
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    for (IconRecord& r : icons().records) {
        mark_record(r);
        r = IconRecord{};
    }
}

void reset_icons_for_tests() {
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    icons() = IconState{};
}

void register_icons_with_frame() {
    static bool done = false;
    if (done) return;
    done = true;
    scene::set_overlay_hooks({step_icon, draw_icon});
    // After the lock table is built (the images are loaded through the file layer) and
    // before the scene starts.
    frame::startup_hooks().text_layout_settings.push_back(start_icons);
}

} // namespace kestrune::text
