// The expression evaluator. It works on the collected statement text directly: there is
// no token list and no syntax tree, and the grammar's odd rules (left-to-right arithmetic,
// comparisons that take everything to their right, '=' that assigns to the variable named
// just before it) fall out of the three recursive levels below.
#include "script/expressions.h"

#include "script/arguments.h"
#include "script/builtins.h"
#include "script/scanner.h"
#include "script/statement_cache.h"
#include "script/system_variables.h"
#include "script/variables.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace kestrune::script {

namespace {

constexpr std::size_t k_text_max = k_text_result_size - 1;
// Nesting deeper than this (parentheses, indexes, comparison chains) is refused rather
// than allowed to exhaust the thread's stack.
constexpr int k_max_depth = 200;

void cut_text(std::string& t) {
    if (t.size() > k_text_max) t.resize(fit_bytes(t, k_text_max));
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_ident(char c) {
    return is_letter(c) || is_digit(c) || c == '_';
}

// Bytes that end a variable name: ! % & ) * , - . / < = > [ ] | +
constexpr std::array<bool, 256> k_operator_bytes = [] {
    std::array<bool, 256> table{};
    for (unsigned char c : std::string_view("!%&)*,-./<=>[]|+")) table[c] = true;
    return table;
}();

bool is_operator_byte(char c) {
    return k_operator_bytes[static_cast<unsigned char>(c)];
}

int line_of(const EvalContext* ctx, const char* pos) {
    if (!ctx || !ctx->file_text || !pos || pos < ctx->file_text) return 0;
    int line = 1;
    for (const char* p = ctx->file_text; p < pos; p++)
        if (*p == '\n') line++;
    return line;
}

void report(const EvalContext* ctx, const char* pos, const char* what) {
    std::string file = ctx && !ctx->module_file_name.empty() ? std::string(ctx->module_file_name)
                                                             : std::string("script");
    int line = line_of(ctx, pos);
    if (line > 0)
        std::fprintf(stderr, "%s:%d: %s\n", file.c_str(), line, what);
    else
        std::fprintf(stderr, "%s: %s\n", file.c_str(), what);
}

// Turns v into a plain number in place: the evaluator's loops reuse one value instead of
// building and moving a new one (with its two strings) for every operator.
void set_number(Value& v, double n) {
    v.number = n;
    v.text.clear();
    v.has_text = false;
    v.var_name.clear();
}

// A text side of a comparison: a text that names an existing variable stands for it.
std::string resolved_text(const Value& v) {
    if (is_variable_name(v.text) && var_exists(v.text)) return var_text(v.text);
    return v.text;
}

// Numeric reading of a text for comparison with a number; false when the text says no
// number at all (it then compares unequal).
bool text_number(const Value& v, double& out) {
    std::string t = v.text;
    if (is_variable_name(t) && var_exists(t)) {
        std::optional<VarRecord> r = var_find(t);
        if (r && r->type != VarType::string) {
            out = r->number;
            return true;
        }
        if (r) t = r->text;
    }
    int b;
    if (is_bool_word(t, b)) {
        out = b;
        return true;
    }
    if (is_number_text(t)) {
        out = std::strtod(t.c_str(), nullptr);
        return true;
    }
    return false;
}

// Slots remembered for the variable references of a statement, handed out in the order
// the references are met.
using StatementHints = std::array<VarSlotHint, k_statement_hints>;

class Parser {
public:
    Parser(const char* p, const char* end, EvalContext* ctx, const char* origin,
           StatementHints* hints)
        : m_p(p), m_end(end), m_ctx(ctx), m_origin(origin), m_hints(hints) {}

    Value expression();
    bool failed() const { return m_failed; }
    const char* position() const { return m_p; }

private:
    Value operand();
    Value primary();
    Value paren_primary();
    Value term();
    Value variable_term(int prefix_step, char prefix_sign);
    Value number_term();
    Value quoted_term();
    Value word_term(bool negated);
    Value function_term(int index, bool negated);

    char peek(std::ptrdiff_t i = 0) const { return m_end - m_p > i ? m_p[i] : '\0'; }
    bool enter() {
        if (m_failed) return false;
        if (++m_depth > k_max_depth) {
            report(m_ctx, m_origin, "expression nested too deeply; statement refused");
            m_failed = true;
            return false;
        }
        return true;
    }
    void leave() { m_depth--; }
    VarSlotHint* next_hint() {
        return m_hints && m_next_hint < m_hints->size() ? &(*m_hints)[m_next_hint++] : nullptr;
    }

    const char* m_p;
    const char* m_end;
    EvalContext* m_ctx;
    const char* m_origin;
    StatementHints* m_hints;
    std::size_t m_next_hint = 0;
    int m_depth = 0;
    bool m_failed = false;
};

// Parser functions return one named value from every return, so that it is built in
// place in the caller's.
Value Parser::expression() {
    const bool entered = enter();
    Value v = entered ? operand() : Value{};
    if (!entered) return v;
    while (!m_failed) {
        char c = peek();
        if (c == '&' && peek(1) == '&') {
            m_p += 2;
            Value r = operand();
            set_number(v, (v.number != 0.0 && r.number != 0.0) ? 1 : 0);
            v.var_name = std::move(r.var_name);
        } else if (c == '|' && peek(1) == '|') {
            m_p += 2;
            Value r = operand();
            set_number(v, (v.number != 0.0 || r.number != 0.0) ? 1 : 0);
            v.var_name = std::move(r.var_name);
        } else if (c == '=' && peek(1) != '=') {
            m_p++;
            // The term just before '=' names the target; in a chain the previous right
            // side is the next target, so $a=$b=5 gives $a the old $b, then sets $b.
            std::string target = std::move(v.var_name);
            VarSlotHint* target_hint = next_hint();
            Value r = operand();
            if (m_failed) break;
            if (!target.empty()) assign_value(target, r, target_hint);
            v = std::move(r);
        } else {
            break;
        }
    }
    leave();
    return v;
}

Value Parser::operand() {
    const bool entered = enter();
    Value v = entered ? primary() : Value{};
    if (!entered) return v;
    bool zero = false;
    while (!m_failed) {
        char c = peek();
        char n = peek(1);
        if (c == '*' || c == '/' || c == '%') {
            if (n == '=') break;
            m_p++;
            Value r = primary();
            set_number(v, arithmetic_step(c, v.number, r.number, zero));
        } else if (c == '+' || c == '-') {
            if (n == c || n == '=') break;
            m_p++;
            Value r = primary();
            double sum = c == '+' ? v.number + r.number : v.number - r.number;
            if (c == '+' && (v.has_text || r.has_text)) {
                std::string t = v.has_text ? v.text : number_text(v.number);
                t += r.has_text ? r.text : number_text(r.number);
                cut_text(t);
                v.text = std::move(t);
                v.has_text = true;
                v.var_name.clear();
            } else {
                set_number(v, 0);
            }
            v.number = sum;
        } else if ((c == '=' && n == '=') || (c == '!' && n == '=') || c == '<' || c == '>') {
            bool two = n == '=';
            m_p += two ? 2 : 1;
            Value r = operand();
            bool result;
            if (c == '=' || c == '!') {
                bool equal;
                if (v.has_text && r.has_text) {
                    equal = resolved_text(v) == resolved_text(r);
                } else if (!v.has_text && !r.has_text) {
                    equal = v.number == r.number;
                } else {
                    const Value& tv = v.has_text ? v : r;
                    const Value& nv = v.has_text ? r : v;
                    double d;
                    equal = text_number(tv, d) && d == nv.number;
                }
                result = c == '=' ? equal : !equal;
            } else {
                double a = builtins::numeric_of(v), b = builtins::numeric_of(r);
                if (c == '<')
                    result = two ? a <= b : a < b;
                else
                    result = two ? a >= b : a > b;
            }
            set_number(v, result ? 1 : 0);
        } else {
            break;
        }
    }
    leave();
    if (zero) set_number(v, 0);
    return v;
}

Value Parser::paren_primary() {
    // '(' or '[' opens; so does ',' after a function argument: the comma stands for an
    // opening parenthesis of the next argument.
    m_p++;
    Value v = expression();
    char c = peek();
    if (c == ')' || c == ']') m_p++;
    return v;
}

Value Parser::primary() {
    char c = peek();
    if (c == '(' || c == '[') return paren_primary();
    return term();
}

Value Parser::term() {
    char c = peek();
    char n = peek(1);
    if ((c == '!' || c == '+' || c == '-') && n == '(') {
        m_p++;
        Value v = paren_primary();
        if (c == '-') return Value::of_number(-v.number);
        if (c == '!') return Value::of_number(v.number == 0.0 ? 1 : 0);
        return v;
    }
    if (c == '+' && n == '+') {
        m_p += 2;
        return variable_term(1, 0);
    }
    if (c == '-' && n == '-') {
        m_p += 2;
        return variable_term(-1, 0);
    }
    if ((c == '-' || c == '!') && (n == '$' || n == '#')) {
        m_p++;
        return variable_term(0, c);
    }
    if ((c == '-' || c == '+') && is_digit(n)) return number_term();
    if (c == '!' && is_letter(n)) {
        m_p++;
        return word_term(true);
    }
    if (is_digit(c)) return number_term();
    if (c == '"') return quoted_term();
    if (c == '$' || c == '#') return variable_term(0, 0);
    if (is_letter(c) || c == '@' || c == '_' || static_cast<unsigned char>(c) >= 0x80)
        return word_term(false);
    return {};
}

Value Parser::number_term() {
    const char* start = m_p;
    if (peek() == '+' || peek() == '-') m_p++;
    while (is_digit(peek())) m_p++;
    if (peek() == '.' && is_digit(peek(1))) {
        m_p++;
        while (is_digit(peek())) m_p++;
    }
    Value v;
    v.text.assign(start, static_cast<std::size_t>(m_p - start));
    cut_text(v.text);
    // A whole number of up to 15 digits is exact in a double and read directly; anything
    // else goes through from_chars (no locale, no allocation; it takes no leading '+').
    const char* digits = start + (*start == '+' || *start == '-' ? 1 : 0);
    if (m_p - digits <= 15 && std::all_of(digits, m_p, is_digit)) {
        std::int64_t whole = 0;
        for (const char* d = digits; d < m_p; ++d) whole = whole * 10 + (*d - '0');
        v.number = static_cast<double>(whole);
        if (*start == '-') v.number = -v.number;
    } else {
        std::from_chars(start + (*start == '+' ? 1 : 0), m_p, v.number);
    }
    return v;
}

Value Parser::quoted_term() {
    m_p++;
    std::string t;
    while (m_p < m_end && *m_p != '"') {
        if (*m_p == '\\' && peek(1) == '"') {
            t += '"';
            m_p += 2;
            continue;
        }
        int w = char_width(m_p, m_end);
        t.append(m_p, static_cast<std::size_t>(w));
        m_p += w;
    }
    if (m_p < m_end) m_p++;
    cut_text(t);
    return Value::of_text(t);
}

Value Parser::word_term(bool negated) {
    const char* start = m_p;
    while (m_p < m_end && is_ident(*m_p)) m_p++;
    std::string_view word(start, static_cast<std::size_t>(m_p - start));
    if (peek() == '(') {
        int index = builtins::find(word);
        if (index >= 0) return function_term(index, negated);
    }
    int b;
    if (is_bool_word(word, b) && (m_p >= m_end || !is_ident(*m_p))) {
        Value v = Value::of_number(negated ? !b : b);
        v.text.assign(word);
        return v;
    }
    // Any other word stands for its own text (case labels and object names are written
    // this way): it runs to the next operator byte.
    while (m_p < m_end && !is_operator_byte(*m_p) && *m_p != '(' && *m_p != '"')
        m_p += char_width(m_p, m_end);
    std::string t(start, static_cast<std::size_t>(m_p - start));
    cut_text(t);
    Value v = Value::of_text(t);
    if (negated) return Value::of_number(1);
    return v;
}

Value Parser::function_term(int index, bool negated) {
    std::vector<Value> args;
    int max = builtins::max_args(index);
    args.push_back(paren_primary());
    while (!m_failed && static_cast<int>(args.size()) < max && peek() == ',')
        args.push_back(paren_primary());
    if (m_failed) return {};
    BuiltinCall call{args, m_ctx, negated};
    Value v = builtins::call(index, call);
    if (negated) return Value::of_number(v.number == 0.0 ? 1 : 0);
    return v;
}

// A variable reference with its indexes and its prefix or suffix operators.
// prefix_step: +1 / -1 for ++ / -- before the name; prefix_sign: '-' or '!' before it.
Value Parser::variable_term(int prefix_step, char prefix_sign) {
    // Every return hands back v itself, so that the value is built in place; the name is
    // built in v.var_name, which an empty result must leave empty.
    Value v;
    if (peek() != '$' && peek() != '#') return v; // "++" before something else
    VarSlotHint* hint = next_hint();
    const char* start = m_p;
    m_p++;
    while (m_p < m_end && !is_operator_byte(*m_p))
        m_p += static_cast<unsigned char>(*m_p) < 0x80 ? 1 : char_width(m_p, m_end);
    std::string& name = v.var_name;
    name.assign(start, static_cast<std::size_t>(m_p - start));
    name.resize(fit_bytes(name, k_var_name_size - 1));
    if (name.size() == 1 && !prefix_step && !prefix_sign && peek() != '[') {
        // A lone '$' or '#' is a prefix character, not a name.
        v.text = std::move(name);
        v.var_name.clear();
        v.has_text = true;
        return v;
    }
    bool found = name.size() > 1;
    while (peek() == '[' && !m_failed) {
        if (!enter()) break;
        Value idx = paren_primary();
        leave();
        if (!found) continue;
        if (idx.has_text) {
            std::optional<std::string> element = var_find_by_key(name, idx.text);
            if (element)
                name = *element;
            else
                found = false; // no element has that key: the whole term is 0
        } else {
            name += '/';
            name += number_text(idx.number);
            name.resize(fit_bytes(name, k_var_name_size - 1));
        }
    }

    // Suffix operators.
    int suffix_step = 0;
    char compound = 0;
    Value rhs;
    char c = peek(), n = peek(1);
    if (c == '+' && n == '+') {
        suffix_step = 1;
        m_p += 2;
    } else if (c == '-' && n == '-') {
        suffix_step = -1;
        m_p += 2;
    } else if (n == '=' && (c == '+' || c == '-' || c == '*' || c == '/' || c == '%')) {
        compound = c;
        m_p += 2;
        // += takes the next primary; the others take a whole operand.
        rhs = c == '+' ? primary() : operand();
    }
    if (!found || m_failed) {
        set_number(v, 0);
        return v;
    }

    if (!prefix_step && !suffix_step && !compound) {
        VarType type;
        if (!var_read(name, true, type, v.number, v.text, nullptr, hint)) {
            set_number(v, 0);
            return v;
        }
        if (type == VarType::string) {
            v.has_text = true;
            v.number = 0;
        }
    } else {
        bool ok = var_update(
            name,
            [&](VarFields& r) {
                double base = r.number;
                // A counter assigned 0 while untyped is a string "0"; counting must still work.
                if (r.type == VarType::string && is_number_text(r.text)) {
                    base = std::strtod(r.text.c_str(), nullptr);
                    r.type = VarType::number;
                }
                if (r.type == VarType::untyped) r.type = VarType::number;
                double after = base;
                if (prefix_step) after = base + prefix_step;
                if (suffix_step) after = after + suffix_step;
                if (compound) {
                    double b = rhs.number;
                    switch (compound) {
                    case '+':
                        after = base + b;
                        break;
                    case '-':
                        after = base - b;
                        break;
                    case '*':
                        after = base * b;
                        break;
                    case '/':
                        after = b == 0.0 ? 0.0 : base / b;
                        break;
                    case '%': {
                        long long ib = to_int64(b);
                        after =
                            (ib == 0 || ib == -1) ? 0.0 : static_cast<double>(to_int64(base) % ib);
                        break;
                    }
                    }
                }
                r.number = after;
                if (r.type == VarType::string) {
                    v.text = r.text;
                    v.has_text = true;
                } else {
                    // Suffix operators yield the value before the change.
                    v.number = suffix_step ? base + prefix_step : after;
                }
                v.var_name = r.name;
            },
            hint);
        if (!ok) {
            set_number(v, 0);
            return v;
        }
        if (is_system_variable_name(v.var_name)) run_system_variable_handler(v.var_name);
    }
    if (prefix_sign == '-') set_number(v, -v.number);
    if (prefix_sign == '!') set_number(v, v.number == 0.0 ? 1 : 0);
    return v;
}

} // namespace

Value Value::of_text(std::string_view t) {
    Value v;
    v.text.assign(t);
    v.has_text = true;
    return v;
}

int to_int(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 2147483647.0) return std::numeric_limits<int>::max();
    if (d <= -2147483648.0) return std::numeric_limits<int>::min();
    return static_cast<int>(d);
}

long long to_int64(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9.2233720368547758e18) return std::numeric_limits<long long>::max();
    if (d <= -9.2233720368547758e18) return std::numeric_limits<long long>::min();
    return static_cast<long long>(d);
}

double arithmetic_step(char op, double a, double b, bool& zero) {
    switch (op) {
    case '+':
        return a + b;
    case '-':
        return a - b;
    case '*':
        return a * b;
    default:
        break;
    }
    if (b == 0.0 || (op == '%' && to_int64(b) == 0)) {
        zero = true; // a division by zero makes the whole operand 0
        return 0;
    }
    if (op == '/') return a / b;
    const long long ia = to_int64(a), ib = to_int64(b);
    return ib == -1 ? 0.0 : static_cast<double>(ia % ib);
}

std::string number_text(double d) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d", to_int(d));
    return buf;
}

std::string value_text(const Value& v) {
    if (v.has_text) return v.text;
    if (!v.var_name.empty()) return var_text(v.var_name);
    return number_text(v.number);
}

const char* collect_statement(const char* cursor, const char* end, std::string& out,
                              const EvalContext* ctx) {
    out.clear();
    bool quoted = false;
    bool overflow = false;
    const char* p = cursor;
    while (p < end) {
        char c = *p;
        if (!quoted && (c == ';' || c == '{')) {
            if (c == ';') p++;
            break;
        }
        if (static_cast<unsigned char>(c) > ' ' && static_cast<unsigned char>(c) < 0x80 &&
            c != '"' && c != '\\') {
            // Plain single-byte text, the bulk of every statement.
            if (out.size() + 1 < k_statement_buffer_size)
                out.push_back(c);
            else
                overflow = true;
            p++;
            continue;
        }
        if (c == '\r' || c == '\n') {
            if (ctx && ctx->mark_line_end) ctx->mark_line_end(ctx->user, p);
        }
        int w = char_width(p, end);
        if (c == '\\' && end - p >= 2 && p[1] == '"') {
            w = 2; // an escaped quote does not toggle the quoted state
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && space_width(p, end)) {
            p += space_width(p, end);
            continue;
        }
        if (out.size() + static_cast<std::size_t>(w) < k_statement_buffer_size)
            out.append(p, static_cast<std::size_t>(w));
        else
            overflow = true;
        p += w;
    }
    if (overflow) {
        report(ctx, cursor, "statement longer than 32767 bytes; refused");
        out.clear();
    }
    return p;
}

bool is_expression_statement(std::string_view t) {
    if (t.empty()) return false;
    char c = t[0];
    if (is_digit(c) || c == '$' || c == '#' || c == '(' || c == '+' || c == '-') return true;
    static constexpr std::string_view k_statement_functions[] = {
        "Message(",       "Conquest(",  "Array(",        "AssocArray(", "DeleteArray(",
        "VariableValue(", "LockVideo(", "KickShortcut(", "WriteImage("};
    for (std::string_view f : k_statement_functions)
        if (t.starts_with(f)) return true;
    return false;
}

namespace {

Value evaluate_compact(std::string_view text, EvalContext* ctx, const char* origin,
                       StatementHints* hints = nullptr) {
    Parser parser(text.data(), text.data() + text.size(), ctx, origin, hints);
    Value v = parser.expression();
    assert(parser.position() <= text.data() + text.size());
    if (parser.failed()) return {};
    return v;
}

} // namespace

Value evaluate_text(std::string_view compact_text, EvalContext* ctx) {
    return evaluate_compact(compact_text, ctx, nullptr);
}

const char* run_expression_statement(const char* cursor, const char* end, EvalContext* ctx,
                                     Value* result) {
    // The thread's statement cache keeps loops from collecting the same statement again and
    // again, and lets their variable references go straight to their slots. A statement
    // run from inside a built-in (nested) collects into a buffer of its own, since the
    // cache entry of the outer statement is still being read.
    thread_local int nesting = 0;
    const char* next;
    nesting++;
    if (nesting == 1) {
        ScannedStatement& statement = scan_statement(cursor, end, ctx, next);
        Value plain;
        if (statement.plain && run_plain_statement(statement, plain)) {
            if (result) *result = std::move(plain);
        } else if (is_expression_statement(statement.text)) {
            Value v = evaluate_compact(statement.text, ctx, cursor, &statement.hints);
            if (result) *result = std::move(v);
        } else if (result) {
            *result = Value{};
        }
    } else {
        std::string buffer;
        next = collect_statement(cursor, end, buffer, ctx);
        Value v;
        if (is_expression_statement(buffer)) v = evaluate_compact(buffer, ctx, cursor);
        if (result) *result = std::move(v);
    }
    nesting--;
    return next;
}

const char* evaluate_at(const char* cursor, const char* end, EvalContext* ctx, Value& result) {
    std::string buffer;
    const char* next = collect_statement(cursor, end, buffer, ctx);
    result = evaluate_compact(buffer, ctx, cursor);
    return next;
}

bool assign_value(std::string_view target, const Value& r, VarSlotHint* target_hint) {
    if (!is_variable_name(target)) return false;
    // The right side's text: a variable it names, else its own text.
    std::optional<VarRecord> source;
    if (!r.var_name.empty()) source = var_find(r.var_name);
    if (!source && r.has_text && is_variable_name(r.text) && var_exists(r.text))
        source = var_find(r.text);
    const std::string& rt = r.text;
    int bool_value;
    bool empty_or_bool = rt.empty() || is_bool_word(rt, bool_value);

    std::string system_name; // the target's name when it is a system variable
    bool ok = var_update(
        target,
        [&](VarFields& t) {
            if (is_system_variable_name(t.name)) system_name = t.name;
            auto as_step2 = [&] {
                if (t.type == VarType::string) {
                    t.text = rt;
                    if (r.number != 0.0) {
                        t.type = VarType::number;
                        t.number = r.number;
                    }
                } else {
                    t.type = VarType::number;
                    t.number = r.number;
                }
            };
            if (source) {
                t.type = source->type;
                if (source->type == VarType::string) {
                    t.text = source->text;
                    t.number = source->number;
                } else {
                    t.number = r.number;
                }
            } else if (empty_or_bool) {
                as_step2();
            } else if (t.type == VarType::string) {
                t.text = rt;
            } else if (rt[0] == '#' || rt[0] == '$') {
                as_step2();
            } else if (!is_number_text(rt)) {
                t.type = VarType::string;
                t.text = rt;
            } else if (t.type == VarType::untyped) {
                if (r.number != 0.0) {
                    t.type = VarType::number;
                    t.number = r.number;
                } else {
                    t.type = VarType::string;
                    t.text = rt;
                }
            } else {
                t.number = r.number;
            }
        },
        target_hint);
    if (ok && !system_name.empty()) run_system_variable_handler(system_name);
    return ok;
}

std::string join_object_name(const EvalContext* ctx, std::string_view name) {
    return form_object_path(name, ctx ? ctx->object_prefix : std::string_view{});
}

} // namespace kestrune::script
