// The built-in `Conquest(file, block [, TRUE|FALSE])`: asks whether the reader has read all
// of a block (every byte of its text flagged in the read-text map), or marks it read or
// unread. With the block NULL and a third argument the whole file is marked; with NULL
// alone the answer is 1.
#include "script/context.h"
#include "script/expressions.h"
#include "script/scanner.h"

#include <memory>

namespace kestrune::script {

namespace {

// The text range of `block` in `file`, as offsets into the file; the file is found among
// the files of the calling context, or loaded on its own for the look-up.
bool block_range(ScriptContext* ctx, const std::string& file, const std::string& block,
                 std::size_t& first, std::size_t& last, ReadTextNode*& node) {
    const std::string name = script_resource_name(file);
    auto scratch = std::make_unique<ScriptContext>();
    ScriptContext* where = nullptr;
    int slot = -1;
    if (ctx) {
        for (int i = 0; i < k_max_files && slot < 0; ++i)
            if (ctx->files[static_cast<std::size_t>(i)].text &&
                equals_nocase(ctx->files[static_cast<std::size_t>(i)].name, name))
                slot = i;
        where = ctx;
    }
    if (slot < 0) {
        std::vector<ScriptProblem> ignored;
        slot = load_into_context(*scratch, file, false, &ignored);
        where = scratch.get();
    }
    if (slot < 0) return false;
    const ScriptFile& f = where->files[static_cast<std::size_t>(slot)];
    node = f.read_map;
    if (block.empty()) {
        first = 0;
        last = f.size ? f.size - 1 : 0;
        return node && f.size > 0;
    }
    ScriptBlock* b = find_block(*where, block.c_str(), 0, slot);
    if (!b || !node || b->end < b->start) return false;
    first = static_cast<std::size_t>(b->start - f.data());
    last = static_cast<std::size_t>(b->end - f.data());
    return true;
}

Value conquest(const BuiltinCall& call) {
    if (call.args.size() < 2) return Value::of_number(0);
    const std::string file = value_text(call.args[0]);
    const std::string block = value_text(call.args[1]);
    const bool whole = is_null_word(block);
    const bool mark = call.args.size() >= 3;
    if (whole && !mark) return Value::of_number(1);
    int truth = 0;
    bool read = false;
    if (mark) {
        const Value& flag = call.args[2];
        if (is_bool_word(flag.text, truth))
            read = truth == 1;
        else
            read = !flag.has_text && flag.text.empty() && flag.number == 1;
    }
    auto* ctx = call.ctx ? static_cast<ScriptContext*>(call.ctx->context) : nullptr;
    std::size_t first = 0, last = 0;
    ReadTextNode* node = nullptr;
    if (!block_range(ctx, file, whole ? std::string() : block, first, last, node))
        return Value::of_number(0);
    const bool was_read = read_text_range_read(node, first, last);
    if (mark) read_text_mark_range(node, first, last, read);
    return Value::of_number(was_read ? 1 : 0);
}

} // namespace

void register_flow_builtins() {
    register_builtin("Conquest", conquest);
}

} // namespace kestrune::script
