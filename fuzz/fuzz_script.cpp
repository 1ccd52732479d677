// The input is a script file. It is loaded and pre-scanned as the checker does (blocks,
// includes, text sections, every statement's shape) and its blocks linted as a running game
// lints each file it loads; then each of its statements is run as an expression statement
// in a sandbox: no scene, no threads, no context, variables and kept statements cleared
// after every input. The file is served from the file cache, so no run touches the disk.
#include "script/context.h"
#include "script/expressions.h"
#include "script/lint.h"
#include "script/statement_cache.h"
#include "script/variables.h"
#include "storage/file_cache.h"

#include <cstdint>
#include <string>

using namespace kestrune;

namespace {

const char* k_file = "fuzz_script.txt";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    script::set_problem_mode(script::ProblemMode::quiet);
    if (storage::cache_put(script::script_resource_name(k_file), data, size)) {
        std::vector<script::ScriptProblem> problems;
        std::unique_ptr<script::ScriptContext> ctx = script::load_detached(k_file, problems);
        if (ctx->files[0].text) script::lint_context(*ctx, {0}, problems, false);
        ctx.reset();
        storage::cache_unload(script::script_resource_name(k_file));
    }

    // Expression statements, one after another, on a zero-ended copy (the evaluator reads
    // up to `end` and relies on the zero after it).
    std::string text(reinterpret_cast<const char*>(data), size);
    const char* p = text.c_str();
    const char* end = p + text.size();
    for (int steps = 0; p < end && steps < 256; ++steps) {
        const char* next = script::run_expression_statement(p, end, nullptr);
        if (next <= p) break;
        p = next;
    }
    script::var_clear_locals();
    script::var_clear_globals();
    // What the statements kept is given back, as the cached file was above, so that an
    // input leaves as many blocks allocated as it found (else every input costs a leak scan).
    script::forget_statements();
    return 0;
}
