#include "script/snapshot_format.h"

#include "storage/save_bytes.h"

#include <set>

namespace kestrune::script::saved {

namespace {

Position read_position(storage::SaveReader& r, std::uint32_t file_size) {
    Position p;
    const std::uint32_t present = r.u32();
    p.offset = r.u32();
    if (!r.ok()) return {};
    if (present > 1 || (present == 0 && p.offset != 0)) r.fail("a bad script position");
    if (present == 1 && p.offset > file_size) r.fail("a script position outside its file");
    p.present = present == 1;
    return p;
}

} // namespace

bool parse_script_block(std::span<const std::uint8_t> block, std::vector<Context>& out,
                        std::string& error) {
    storage::SaveReader r(block);
    auto fail = [&](const std::string& why) {
        error = "script block refused: " + why;
        return false;
    };
    r.bytes(4);
    if (r.u32() != storage::k_save_block_tag) return fail("wrong tag");
    const std::uint32_t total = r.u32();
    if (!r.ok() || total > block.size() || total < 16) return fail("bad total size");
    const std::uint32_t count = r.count(k_max_contexts, "too many contexts");
    if (!r.ok()) return fail(r.why());
    std::set<std::uint32_t> block_ids;
    for (std::uint32_t ci = 0; ci < count; ++ci) {
        Context c;
        if (r.u32() != ci + 1 && r.ok()) return fail("contexts out of order");
        c.owner_key = r.i32();
        c.running = r.u32() != 0;
        r.u32(); // own-thread flag: the thread goes where the host group runs
        c.host = r.u32();
        c.current = r.u32();
        c.next = r.u32();
        c.ret = r.u32();
        if (!r.ok()) return fail(r.why());
        if (c.host > count || c.next > count || c.ret > count)
            return fail("a context link out of range");
        std::array<std::int64_t, k_files> sizes;
        sizes.fill(-1);
        const std::uint32_t files = r.count(k_files, "too many files");
        for (std::uint32_t fi = 0; fi < files && r.ok(); ++fi) {
            File f;
            f.slot = r.count(k_files - 1, "file slot out of range");
            f.load_time = r.u32();
            f.included = r.u32() != 0;
            f.name = r.text(k_file_name);
            const std::uint32_t size = r.count(k_max_text_size, "script text too large");
            f.text = r.bytes(size);
            if (!r.ok()) break;
            if (sizes[f.slot] >= 0 || f.name.empty())
                return fail("a file slot used twice or unnamed");
            sizes[f.slot] = size;
            if (f.load_time == 0) f.load_time = 1;
            c.files.push_back(std::move(f));
        }
        const std::uint32_t nblocks = r.count(k_max_blocks, "too many blocks");
        for (std::uint32_t bi = 0; bi < nblocks && r.ok(); ++bi) {
            Block b;
            b.slot = r.count(k_files - 1, "block slot out of range");
            b.ordinal = r.u32();
            b.name = r.text(k_block_name);
            b.identity = r.u32();
            if (!r.ok()) break;
            if (sizes[b.slot] < 0) return fail("a block of a file that is not saved");
            if (b.identity == 0 || !block_ids.insert(b.identity).second)
                return fail("a block identity used twice");
            const auto size = std::uint32_t(sizes[b.slot]);
            b.run_state = r.i32();
            b.owns_objects = r.i32();
            b.button_held = r.i32();
            b.input_code = r.i32();
            b.exec_kind = r.i32();
            if (b.exec_kind != 1 && b.exec_kind != 2) r.fail("bad execution kind");
            b.had_thread = r.u32() != 0;
            b.finished = r.i32();
            b.active = r.i32() != 0;
            for (auto& v : b.params) v = r.text(k_param_value);
            b.prefix = r.text(k_block_name);
            b.cursor = read_position(r, size);
            b.statement_start = read_position(r, size);
            for (int i = 0; i < k_depth; ++i) {
                b.loop_starts[i] = read_position(r, size);
                b.loop_ends[i] = read_position(r, size);
                b.select_starts[i] = read_position(r, size);
                b.select_ends[i] = read_position(r, size);
            }
            const std::uint32_t loop_depth = r.u32();
            const std::uint32_t select_depth = r.u32();
            if (loop_depth > k_depth || select_depth > k_depth) r.fail("stack depth beyond 8");
            b.loop_depth = std::uint8_t(loop_depth);
            b.select_depth = std::uint8_t(select_depth);
            for (auto& flag : b.case_taken) flag = r.u32() != 0 ? 1 : 0;
            b.saved_pointer[0] = r.i32();
            b.saved_pointer[1] = r.i32();
            b.callee = r.u32();
            b.caller = r.u32();
            c.blocks.push_back(std::move(b));
        }
        if (!r.ok()) return fail(r.why());
        out.push_back(std::move(c));
    }
    return true;
}

} // namespace kestrune::script::saved
