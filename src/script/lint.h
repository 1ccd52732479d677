// Finding mistakes in scripts without running them. The engine runs what it can and passes
// over the rest in silence, so a misspelled command or a broken expression would otherwise
// go unnoticed. The same checks serve `--check` (every script of a game, listed like a
// compiler's messages) and a running game (each loaded file once, through report_problem),
// so that the two never disagree.
#pragma once

#include "script/context.h"

#include <string>
#include <string_view>
#include <vector>

namespace kestrune::script {

// The nearest of `names` to `word` (case-insensitive edit distance of at most a third of
// the word's length, and at least 1), or "" when none is near enough.
std::string nearest_name(std::string_view word, const std::vector<std::string>& names);

// The names of the built-in functions (for the authors' reference and its test).
std::vector<std::string> builtin_function_names();

// Whether a collected (compact) expression parses; "" when it does, else what is wrong
// ("')' is missing", "an operand is missing after '+'", "unknown function 'Foo'").
std::string expression_fault(std::string_view compact);

// What is wrong with a statement (its text as written, up to its ';') that is neither a
// control word, a command, a call of a script function nor an expression statement; ""
// when nothing is. `functions` are the names of the script functions the file can call.
std::string unknown_statement_fault(std::string_view statement,
                                    const std::vector<std::string>& functions);

// The faults of one text section [start, end) of a loaded file: start at "<PRE", end just
// past "</PRE>" (a skip region of the pre-scan).
struct TextFault {
    const char* at;
    std::string message;
    bool error = true; // else a warning
};
void lint_text_section(const char* start, const char* end, std::vector<TextFault>& out);

// What is wrong with a font face name that scripts and settings name: "" when a family of
// that name is installed (faces come from the machine's fonts), else a warning's text.
std::string font_face_fault(std::string_view face);

// Checks every block of the files in `slots` of `context` and appends what it finds.
// `whole_game` (--check) also loads the files that call_scene, call_chapter and
// shift_scene name, to see that their blocks exist, and checks the literal arguments
// (resources, colours, positions, request words) that the command handlers check for
// themselves while the game runs.
void lint_context(ScriptContext& context, const std::vector<int>& slots,
                  std::vector<ScriptProblem>& problems, bool whole_game);

// `--check` of one file: loads it (with its #include files) on its own, pre-scans it and
// lints its blocks. Every problem found; empty when the file is sound.
std::vector<ScriptProblem> lint_script_file(const std::string& file);

} // namespace kestrune::script
