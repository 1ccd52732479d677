#include "scene/record_format.h"

#include "storage/save_bytes.h"

namespace kestrune::scene {

bool parse_scene_block(std::span<const std::uint8_t> block, std::vector<SavedRecord>& out,
                       std::string& error) {
    storage::SaveReader r(block);
    auto fail = [&](const std::string& why) {
        error = "scene block refused: " + why;
        return false;
    };
    r.bytes(4);
    if (r.u32() != storage::k_save_block_tag) return fail("wrong tag");
    const std::uint32_t total = r.u32();
    if (!r.ok() || total > block.size() || total < 16) return fail("bad total size");
    const std::uint32_t count = r.count(k_max_saved_records, "too many records");
    for (std::uint32_t i = 0; i < count && r.ok(); ++i) {
        const std::uint32_t size = r.u32();
        storage::SaveReader rec(r.bytes(size));
        if (!r.ok()) break;
        SavedRecord s;
        s.owner_key = rec.i32();
        s.identity = rec.u32();
        s.statement = rec.text(k_max_saved_statement);
        s.creator = rec.text(k_max_saved_name);
        s.name = rec.text(k_max_saved_name);
        rec.text(k_max_saved_statement); // parent path: the statement names the parent itself
        s.alias = rec.text(k_max_saved_name);
        const std::uint32_t sections = rec.count(k_max_record_sections, "too many sections");
        for (std::uint32_t k = 0; k < sections && rec.ok(); ++k) {
            const std::uint32_t tag = rec.u32();
            const std::uint32_t len = rec.u32();
            const auto body = rec.bytes(len);
            if (rec.ok()) s.sections.push_back({tag, body});
        }
        if (!rec.ok()) return fail("record " + std::to_string(i + 1) + ": " + rec.why());
        if (s.statement.empty())
            return fail("record " + std::to_string(i + 1) + " has no statement");
        out.push_back(std::move(s));
    }
    if (!r.ok()) return fail(r.why());
    return true;
}

} // namespace kestrune::scene
