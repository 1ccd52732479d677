// The saved state of a text object: how far its page was revealed, its waits and flags. A
// load makes the object again by its creating statement (the page laid out anew) and then
// replays the reveal up to the saved character.
#include "text/display.h"
#include "text/layout.h"

#include "scene/records.h"
#include "text/fonts.h"

#include <mutex>
#include <optional>

namespace kestrune::text {

namespace {

using storage::SaveReader;
using storage::SaveWriter;

bool has_text(const scene::SceneObject& o) {
    return text_layout_of(const_cast<scene::SceneObject&>(o)) != nullptr;
}

bool write_text(const scene::SceneObject& o, const scene::RecordWriting&, SaveWriter& w,
                std::string&) {
    const TextLayout& p = *text_layout_of(const_cast<scene::SceneObject&>(o));
    const std::int32_t count =
        std::min<std::int32_t>(p.slot_count, static_cast<std::int32_t>(p.slots.size()));
    for (std::int32_t v : {p.show_rest, p.backlog, p.icon, p.page_done, p.revealed_count, p.cursor,
                           p.pending_clear, count})
        w.i32(v);
    for (std::int32_t i = 0; i < count; ++i) {
        w.i32(p.slots[std::size_t(i)].key_wait);
        w.i32(p.slots[std::size_t(i)].extra_wait);
    }
    return true;
}

bool read_text(scene::SceneObject& o, SaveReader& r) {
    std::int32_t v[8];
    for (auto& x : v) x = r.i32();
    const std::int32_t count = v[7];
    if (!r.ok()) return false;
    TextLayout* pp = text_layout_of(o);
    if (!pp) return r.fail("no text layout");
    TextLayout& p = *pp;
    const std::int32_t have =
        std::min<std::int32_t>(p.slot_count, static_cast<std::int32_t>(p.slots.size()));
    if (count != have) return r.fail("the page lays out differently now");
    if (v[5] < 0 || v[5] > count || v[4] < 0 || v[4] > count || v[6] < -1 || v[6] > count)
        return r.fail("a text position out of range");
    if (v[3] != 0 && v[3] != 1) return r.fail("a page flag out of range");
    std::vector<std::pair<std::int32_t, std::int32_t>> waits(static_cast<std::size_t>(count));
    for (auto& w : waits) {
        w.first = r.i32();
        w.second = r.i32();
        if (w.first < 0 || w.first > 3) r.fail("a key wait state out of range");
    }
    if (!r.ok()) return false;
    replay_text(o, v[5]);
    if (p.cursor != v[5]) p.cursor = v[5];
    for (std::int32_t i = 0; i < count; ++i) {
        p.slots[std::size_t(i)].key_wait = waits[std::size_t(i)].first;
        p.slots[std::size_t(i)].extra_wait = std::max(0, waits[std::size_t(i)].second);
    }
    p.show_rest = v[0];
    p.backlog = v[1];
    p.icon = v[2];
    p.page_done = v[3]; // the page's first visit (its text published) is not made again
    p.revealed_count = v[4];
    p.pending_clear = v[6];
    scene::mark_object(o);
    return true;
}

// LoadText puts its objects under the block's prefix joined to the section name (its
// second argument): the statement runs again with the block's prefix.
bool text_prefix(const scene::SceneObject& o, std::string& prefix) {
    const std::string& c = o.creating_command;
    if (c.rfind("LoadText(", 0) != 0) return false;
    const auto first = c.find(',');
    if (first == std::string::npos) return false;
    std::size_t start = first + 1;
    while (start < c.size() && (c[start] == ' ' || c[start] == '"')) ++start;
    std::size_t end = start;
    while (end < c.size() && c[end] != '"' && c[end] != ',') ++end;
    const std::string section = c.substr(start, end - start);
    if (section.empty() || section[0] == '@') return false;
    if (o.creator == section) {
        prefix.clear();
        return true;
    }
    const std::string tail = "/" + section;
    if (o.creator.size() > tail.size() &&
        o.creator.compare(o.creator.size() - tail.size(), tail.size(), tail) == 0) {
        prefix = o.creator.substr(0, o.creator.size() - tail.size());
        return true;
    }
    return false;
}

// ---- the font ---------------------------------------------------------------------------------

// A text object is laid out with the default font of the moment it was made (SetFont):
// the record keeps that font and the default of the save, so that the statement lays the
// page out with the same font again and the story goes on with the default it had.
void write_font_settings(const DefaultFontSettings& f, SaveWriter& w) {
    w.text(f.face);
    for (std::int32_t v : {f.size, f.weight}) w.i32(v);
    for (std::uint32_t v : {f.fill_colour, f.outline_colour, f.outline_directions}) w.u32(v);
}

bool read_font_settings(SaveReader& r, DefaultFontSettings& f) {
    f.face = r.text(k_default_face_max);
    f.size = r.i32();
    f.weight = r.i32();
    f.fill_colour = r.u32();
    f.outline_colour = r.u32();
    f.outline_directions = r.u32();
    if (!r.ok()) return false;
    if (f.size < -4096 || f.size > 4096 || f.weight < 0 || f.weight > 1000 ||
        f.fill_colour > 0xFFFFFF || f.outline_colour > 0xFFFFFF ||
        (f.outline_directions & ~0x1111u) != 0)
        return r.fail("a font setting out of range");
    return true;
}

void apply_font_settings(const DefaultFontSettings& f) {
    set_default_font(f.face, f.size, f.fill_colour, f.outline_colour, f.weight,
                     f.outline_directions);
}

// The default of the save, put back once every record is restored.
std::mutex g_font_mutex;
std::optional<DefaultFontSettings> g_saved_default;

bool write_font(const scene::SceneObject& o, const scene::RecordWriting&, SaveWriter& w,
                std::string&) {
    write_font_settings(text_layout_of(const_cast<scene::SceneObject&>(o))->made_with, w);
    write_font_settings(default_font_settings(), w);
    return true;
}

bool font_before_create(SaveReader& r) {
    DefaultFontSettings made_with, saved_default;
    if (!read_font_settings(r, made_with) || !read_font_settings(r, saved_default)) return false;
    apply_font_settings(made_with);
    std::lock_guard guard(g_font_mutex);
    g_saved_default = saved_default;
    return true;
}

bool read_font(scene::SceneObject&, SaveReader&) {
    return true; // all of it was read before the statement ran
}

void restart_font(scene::SceneObject&) {
    std::optional<DefaultFontSettings> saved;
    {
        std::lock_guard guard(g_font_mutex);
        saved.swap(g_saved_default);
    }
    if (saved) apply_font_settings(*saved);
}

} // namespace

void register_text_records() {
    scene::register_record_section(
        {scene::record_tag("TEXT"), has_text, write_text, read_text, text_prefix});
    scene::register_record_section({scene::record_tag("FONT"), has_text, write_font, read_font,
                                    nullptr, restart_font, font_before_create});
}

} // namespace kestrune::text
