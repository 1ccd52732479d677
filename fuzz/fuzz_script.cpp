// The input is a script file. It is loaded and pre-scanned as the checker does (blocks,
// includes, text sections, every statement's shape), then each of its statements is run
// as an expression statement in a sandbox: no scene, no threads, no context, variables
// cleared after every input.
#include "script/context.h"
#include "script/expressions.h"
#include "script/variables.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

using namespace kestrune;

namespace {

const char* k_file = "fuzz_script.txt";

void enter_scratch_folder() {
    static bool done = false;
    if (done) return;
    done = true;
    const std::string dir = "/tmp/kestrune-fuzz-script-" + std::to_string(::getpid());
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    enter_scratch_folder();
    script::set_problem_mode(script::ProblemMode::quiet);
    if (std::FILE* f = std::fopen(k_file, "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    (void)script::check_script_file(k_file);

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
    return 0;
}
