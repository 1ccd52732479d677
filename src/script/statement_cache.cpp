// A two-way set-associative table per thread, indexed by a hash of the statement's
// position: a loop body of a thousand statements stays in it whole. A statement that is
// not found costs one collection, as it always did; one that is found costs a comparison
// of its bytes.
#include "script/statement_cache.h"

#include "script/expressions.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

namespace kestrune::script {

namespace {

constexpr int k_set_bits = 10; // 1024 sets of two statements per thread
constexpr std::size_t k_sets = std::size_t{1} << k_set_bits;
constexpr std::size_t k_max_source = 256;

struct Table {
    std::unique_ptr<ScannedStatement[]> entries = std::make_unique<ScannedStatement[]>(2 * k_sets);
    std::unique_ptr<std::uint8_t[]> recent = std::make_unique<std::uint8_t[]>(k_sets);
};

Table& table() {
    thread_local std::unique_ptr<Table> t;
    if (!t) t = std::make_unique<Table>();
    return *t;
}

std::size_t set_of(const char* cursor) {
    const auto key = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(cursor));
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - k_set_bits));
}

// The kept bytes run one past the statement: its stop byte, or the byte after its ';'.
bool holds(const ScannedStatement& s, const char* cursor, const char* end) {
    if (!s.cursor || s.cursor != cursor) return false;
    const std::size_t kept = s.source.size();
    return static_cast<std::size_t>(end - cursor) >= kept &&
           std::memcmp(cursor, s.source.data(), kept) == 0;
}

bool is_name_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// A variable name of the plain shape at p: '$' or '#' and name bytes, short of the
// 127-byte cut. Returns its end, or null.
const char* plain_name(const char* p, const char* end) {
    if (p >= end || (*p != '$' && *p != '#')) return nullptr;
    const char* q = std::find_if_not(p + 1, end, is_name_byte);
    return q > p + 1 && q - p < static_cast<std::ptrdiff_t>(k_var_name_size) - 1 ? q : nullptr;
}

// Takes a collected text apart when it has the plain shape. Every byte must be accounted
// for: anything the shape does not know (an index, a quote, a sign, a fraction, a second
// '=', a ++) leaves the statement to the evaluator.
std::unique_ptr<PlainStatement> take_apart(std::string_view text) {
    const char* p = text.data();
    const char* end = p + text.size();
    const char* q = plain_name(p, end);
    if (!q || q >= end || *q != '=') return nullptr;
    auto plain = std::make_unique<PlainStatement>();
    plain->target.assign(p, q);
    p = q + 1;
    for (;;) {
        if (plain->terms.size() + 2 > k_statement_hints) return nullptr;
        PlainStatement::Term term;
        if ((q = plain_name(p, end))) {
            term.name.assign(p, q);
        } else {
            q = std::find_if_not(p, end, is_digit);
            if (q == p || q - p > 15) return nullptr;
            term.spelling.assign(p, q);
            std::int64_t whole = 0;
            for (const char* d = p; d < q; ++d) whole = whole * 10 + (*d - '0');
            term.number = static_cast<double>(whole);
        }
        plain->terms.push_back(std::move(term));
        if (q == end) return plain;
        if (std::string_view("+-*/%").find(*q) == std::string_view::npos) return nullptr;
        plain->ops.push_back(*q);
        p = q + 1;
    }
}

} // namespace

void forget_statements() {
    Table& t = table();
    const std::size_t inline_capacity = std::string().capacity();
    for (std::size_t i = 0; i < 2 * k_sets; ++i) {
        ScannedStatement& s = t.entries[i];
        // A statement not kept still holds the text it was last collected into. Swapping
        // with empty strings gives their memory back (assigning an empty one keeps it).
        if (!s.cursor && s.text.capacity() <= inline_capacity) continue;
        std::string().swap(s.text);
        std::string().swap(s.source);
        s.cursor = nullptr;
        s.plain.reset();
    }
}

ScannedStatement& scan_statement(const char* cursor, const char* end, const EvalContext* ctx,
                                 const char*& next) {
    Table& t = table();
    const std::size_t set = set_of(cursor);
    for (std::uint8_t way = 0; way < 2; ++way) {
        ScannedStatement& s = t.entries[2 * set + way];
        if (holds(s, cursor, end)) {
            t.recent[set] = way;
            next = cursor + s.source.size() - 1;
            return s;
        }
    }
    const std::uint8_t way = t.recent[set] ^ 1;
    t.recent[set] = way;
    ScannedStatement& s = t.entries[2 * set + way];
    next = collect_statement(cursor, end, s.text, ctx);
    s.hints.fill(VarSlotHint{});
    const std::size_t taken = static_cast<std::size_t>(next - cursor);
    // A statement that stopped before the end of the text read nothing past its next byte,
    // so those bytes alone decide its text; one that passed a line end is not kept, since
    // the read-text map must see each line end marked whenever it is passed.
    const bool keep = next < end && taken > 0 && taken < k_max_source && !s.text.empty() &&
                      !std::memchr(cursor, '\r', taken) && !std::memchr(cursor, '\n', taken);
    if (keep) {
        s.cursor = cursor;
        s.source.assign(cursor, taken + 1);
        s.plain = take_apart(s.text);
    } else {
        s.cursor = nullptr;
        s.source.clear();
        s.plain.reset();
    }
    return s;
}

bool run_plain_statement(ScannedStatement& statement, Value& result) {
    const PlainStatement& plain = *statement.plain;
    VarSlotHint* hint = statement.hints.data();
    VarType type;
    double number;
    std::string text;
    // The term before '=' is read first, as the evaluator reads it: a new target is made
    // before the variables to its right.
    if (!var_read(plain.target, true, type, number, text, nullptr, hint++)) return false;
    result = Value{};
    bool zero = false;
    for (std::size_t i = 0; i < plain.terms.size(); ++i) {
        const PlainStatement::Term& term = plain.terms[i];
        double value = term.number;
        if (!term.name.empty()) {
            if (!var_read(term.name, true, type, value, text, nullptr, hint++)) return false;
            if (type == VarType::string) {
                // A string alone is assigned with its text; in a sum its text is joined.
                if (plain.terms.size() > 1) return false;
                value = 0;
                result.text = std::move(text);
                result.has_text = true;
            }
        }
        if (i == 0)
            result.number = value;
        else
            result.number = arithmetic_step(plain.ops[i - 1], result.number, value, zero);
    }
    if (zero) result.number = 0;
    if (plain.terms.size() == 1) {
        // A lone term keeps what names it: the variable, or the number's spelling, which
        // the typing rules of the assignment look at.
        const PlainStatement::Term& term = plain.terms.front();
        if (term.name.empty())
            result.text = term.spelling;
        else
            result.var_name = term.name;
    }
    assign_value(plain.target, result, hint);
    return true;
}

} // namespace kestrune::script
