// Statements remembered as collected. A statement inside a loop is collected again on
// every pass, and the same bytes always give the same collected text; so each script
// thread keeps the statements it ran, keyed by their position in the loaded script, with
// the variable slots that their references found (VarSlotHint). A remembered statement is
// used only while the bytes at its position are exactly the bytes it was collected from:
// a script text freed and another one loaded at the same address is collected afresh.
//
// Only short statements that lie on one line and stop before the end of the text are
// kept: the others are collected every time, as before (a line end inside a statement must
// be marked in the read-text map each time it is passed).
//
// A kept statement of the plain shape
//     target=term op term op ... term
// (a variable target; terms that are variables without indexes or whole numbers of at
// most 15 digits; the operators + - * / %), the shape of most statements in a loop, is
// also taken apart once, so that running it again needs no parsing (run_plain_statement).
//
// Threading: the cache belongs to the calling thread; nothing is shared.
#pragma once

#include "script/variables.h"

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace kestrune::script {

struct EvalContext;
struct Value;

// Variable references of one statement that get a remembered slot; further ones are
// looked up by name each time.
inline constexpr std::size_t k_statement_hints = 16;

struct PlainStatement {
    struct Term {
        std::string name;     // a variable's name, or empty for a number
        double number = 0;    // the number
        std::string spelling; // the number as written
    };
    std::string target;
    std::vector<Term> terms;
    std::string ops; // ops[i] joins terms[i] and terms[i + 1]
};

struct ScannedStatement {
    const char* cursor = nullptr; // where it starts in the loaded text; null when not kept
    std::string source;           // the bytes it was collected from and the byte after them
    std::string text;             // the collected text (see collect_statement)
    std::array<VarSlotHint, k_statement_hints> hints; // in the order the evaluator meets them
    std::unique_ptr<PlainStatement> plain;            // when the text has the plain shape
};

// The statement at the cursor, collected as collect_statement collects it (or found as it
// was collected before); `next` receives the cursor after it. The result stays valid until
// the next call on this thread, so a statement evaluated from inside another one (a
// built-in running a statement) must collect its own text instead.
ScannedStatement& scan_statement(const char* cursor, const char* end, const EvalContext* ctx,
                                 const char*& next);

// Forgets every statement the calling thread kept, giving back what they held (a sandbox
// run that must leave nothing behind between inputs).
void forget_statements();

// Runs a statement of the plain shape as the evaluator would: the target is read (made
// when new), then the terms from left to right, then the result is assigned with the
// language's typing rules; `result` receives the statement's value. Gives up, having done
// nothing but read (and so make) variables, when a term of a longer sum turns out to be a
// string, whose text the evaluator would join; false then, and the caller evaluates the
// text itself, which finds the same variables again.
bool run_plain_statement(ScannedStatement& statement, Value& result);

} // namespace kestrune::script
