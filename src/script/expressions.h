// Expressions of the script language, evaluated directly on the statement text.
//
// A statement is collected from the cursor up to the first ';' or '{' outside double
// quotes (unquoted white space dropped, at most 32767 bytes) and then evaluated. The
// grammar is deliberately odd and scripts depend on it:
//   - arithmetic (* / % + -) runs strictly left to right: 1+2*3 is 9;
//   - a comparison (== != < <= > >=) takes everything to its right as its right side:
//     1<2+3 is 1 (1 < 5);
//   - && and || evaluate both sides; '=' assigns to the variable named just before it;
//   - every value is a number and, optionally, a text (see Value).
//
// Threading: evaluation may run on any script thread at once; the variable store guards
// itself. An EvalContext belongs to one thread for the duration of a call.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace kestrune::platform {
class Event;
}

namespace kestrune::script {

struct VarSlotHint;

inline constexpr std::size_t k_text_result_size = 1024; // texts are cut to 1023 bytes
inline constexpr std::size_t k_statement_buffer_size = 32768;

// The result of an expression: a number (a double) and a text. has_text says whether the
// value counts as a text (a quoted text, a string variable, a concatenation, a text
// function). `text` may also hold the literal spelling of a number or of TRUE/FALSE
// without has_text: the assignment typing rules look at it. `var_name` is set when the
// whole value is one variable reference (the name after index rewriting).
struct Value {
    double number = 0.0;
    std::string text;
    bool has_text = false;
    std::string var_name;

    static Value of_number(double n) {
        Value v;
        v.number = n;
        return v;
    }
    static Value of_text(std::string_view t);
};

// The text a caller should use for a value: the text when it has one, the variable's text
// (a number rendered with %d) when it is a variable reference, else the number with %d.
std::string value_text(const Value& v);
// Non-zero number.
inline bool value_true(const Value& v) {
    return v.number != 0.0;
}

// Conversions that never trap: NaN gives 0, values out of range saturate.
int to_int(double d);
long long to_int64(double d);
// The %d rendering of a number (its integer part).
std::string number_text(double d);
// One step of the left-to-right arithmetic of an operand on numbers: op is one of
// + - * / %; % works on the integer parts. A division or remainder by zero sets `zero`
// (the whole operand then comes out 0) and gives 0.
double arithmetic_step(char op, double a, double b, bool& zero);

// What the evaluator needs from the block it runs for. The statement loop fills one per
// block (or per call); every member may be left empty.
struct EvalContext {
    // The block's object prefix: object names given to built-in functions are joined to it
    // unless they begin with '@'.
    std::string_view object_prefix;
    // Name of the script file that holds the current block (ModuleFileName).
    std::string_view module_file_name;
    bool is_process_block = false;
    // The block's own event (SoundAmplitude waits on it); may be null.
    platform::Event* block_event = nullptr;
    // Opaque pointers for the owner of the context and for built-ins registered by other
    // subsystems (for instance the ScriptBlock and ScriptContext).
    void* block = nullptr;
    void* context = nullptr;
    void* user = nullptr;
    // Start of the loaded file text that holds the statements (for the line numbers of
    // messages); may be null.
    const char* file_text = nullptr;
    // Called for each CR and LF passed while a statement is collected (read-text map).
    void (*mark_line_end)(void* user, const char* position) = nullptr;
    // IsInterrupt: true when the calling block is the current block of its context.
    bool (*is_current_block)(void* user) = nullptr;
};

// Statement text collection: from cursor to the first ';' or '{' outside double quotes
// (a backslash before a quote keeps it from toggling), never past end. Unquoted white
// space is dropped, quoted text copied unchanged, double-byte pairs copied whole. A ';' is
// consumed, a '{' is not. Returns the new cursor. A statement longer than 32767 bytes is
// refused whole (message on stderr, `out` left empty) and passed over up to its end, so
// that no cut-off statement ever runs.
const char* collect_statement(const char* cursor, const char* end, std::string& out,
                              const EvalContext* ctx = nullptr);

// True when a collected text is an expression statement: it begins with a digit, '$', '#',
// '(', '+' or '-', or with one of Message( Conquest( Array( AssocArray( DeleteArray(
// VariableValue( LockVideo( KickShortcut( WriteImage(.
bool is_expression_statement(std::string_view collected);

// Evaluates a collected (compact) text as an expression. Used for case labels, command
// arguments and the gallery flags; the text need not pass is_expression_statement.
Value evaluate_text(std::string_view compact_text, EvalContext* ctx = nullptr);

// Expression statement at the cursor: collects it and, when it is an expression statement,
// evaluates it (result in *result when given). Returns the cursor after the statement.
const char* run_expression_statement(const char* cursor, const char* end, EvalContext* ctx,
                                     Value* result = nullptr);
inline char* run_expression_statement(char* cursor, const char* end, EvalContext* ctx,
                                      Value* result = nullptr) {
    return const_cast<char*>(
        run_expression_statement(static_cast<const char*>(cursor), end, ctx, result));
}

// Condition of if / while: collects from the cursor to ';' or '{' and evaluates the text as
// an expression, whatever it begins with. Returns the cursor after the collected text.
const char* evaluate_at(const char* cursor, const char* end, EvalContext* ctx, Value& result);
inline char* evaluate_at(char* cursor, const char* end, EvalContext* ctx, Value& result) {
    return const_cast<char*>(evaluate_at(static_cast<const char*>(cursor), end, ctx, result));
}

// Assignment with the typing rules of the language (used by '=', Array and VariableValue):
// assigns `value` to the variable `target` and runs the system-variable handler for a
// system variable. False when the target is no variable or the table is full. The hint,
// when given, is the target's remembered slot (see VarSlotHint).
bool assign_value(std::string_view target, const Value& value, VarSlotHint* target_hint = nullptr);

// Built-in functions of other subsystems. A subsystem registers the functions it provides
// (RemainTime, ImageHorizon, ExistSave, Message, ...) once at start; a function that is not
// registered yields 0 and says so on stderr once per name. The arguments are the evaluated
// primaries (string variables stand for their text; var_name tells which variable an
// argument named). `negated` is set when the call was written with '!'; the function's
// result is inverted by the evaluator, the flag is informational.
struct BuiltinCall {
    std::span<const Value> args;
    EvalContext* ctx = nullptr;
    bool negated = false;
};
using BuiltinFunction = Value (*)(const BuiltinCall& call);
// Replaces the implementation of a known built-in name; false for an unknown name.
bool register_builtin(std::string_view name, BuiltinFunction fn);
// The object path of a name given to a built-in, formed as the commands form theirs: the
// context's object prefix joined to the name, or the name itself for an `@` alias or a
// `<` path, which the scene resolves.
std::string join_object_name(const EvalContext* ctx, std::string_view name);

} // namespace kestrune::script
