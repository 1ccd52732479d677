// The saved state of a text object: how far its page was revealed, its waits and flags. A
// load makes the object again by its creating statement (the page laid out anew) and then
// replays the reveal up to the saved character.
#include "text/display.h"
#include "text/layout.h"

#include "scene/records.h"

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

} // namespace

void register_text_records() {
    scene::register_record_section(
        {scene::record_tag("TEXT"), has_text, write_text, read_text, text_prefix});
}

} // namespace kestrune::text
