// Whether an expression parses, and what a statement that nothing runs was meant to be.
// The reader follows the evaluator's grammar (expressions.cpp) step by step but computes
// nothing: where the evaluator would quietly take a missing operand as 0 or drop a stray
// byte, the reader names the fault.
#include "script/builtins.h"
#include "script/commands.h"
#include "script/lint.h"
#include "script/scanner.h"

#include <algorithm>
#include <cctype>

namespace kestrune::script {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_ident(char c) {
    return is_letter(c) || is_digit(c) || c == '_';
}
// Bytes that end a variable name or a bare word (as in the evaluator).
bool is_operator_byte(char c) {
    return c != '\0' && std::string_view("!%&)*,-./<=>[]|+").find(c) != std::string_view::npos;
}

class Reader {
public:
    explicit Reader(std::string_view text) : m_p(text.data()), m_end(text.data() + text.size()) {}

    std::string check() {
        expression();
        if (m_fault.empty() && m_p < m_end) {
            if (*m_p == ')' || *m_p == ']')
                fail(std::string("'") + *m_p + "' without its opening bracket");
            else
                fail(std::string("unexpected '") + *m_p + "'");
        }
        return m_fault;
    }

private:
    char peek(std::ptrdiff_t i = 0) const { return m_end - m_p > i ? m_p[i] : '\0'; }
    bool ok() const { return m_fault.empty(); }
    void fail(std::string what) {
        if (m_fault.empty()) m_fault = std::move(what);
    }
    bool enter() {
        if (++m_depth > 200) fail("expression nested too deeply");
        return ok();
    }

    void expression() {
        if (!enter()) return;
        operand();
        while (ok()) {
            const char c = peek(), n = peek(1);
            if ((c == '&' && n == '&') || (c == '|' && n == '|')) {
                m_p += 2;
                operand();
            } else if (c == '=' && n != '=') {
                ++m_p;
                operand();
            } else {
                break;
            }
        }
        --m_depth;
    }

    void operand() {
        if (!enter()) return;
        primary();
        while (ok()) {
            const char c = peek(), n = peek(1);
            if (c == '*' || c == '/' || c == '%') {
                if (n == '=') break;
                ++m_p;
                primary();
            } else if (c == '+' || c == '-') {
                if (n == c || n == '=') break;
                ++m_p;
                primary();
            } else if ((c == '=' && n == '=') || (c == '!' && n == '=') || c == '<' || c == '>') {
                m_p += n == '=' ? 2 : 1;
                operand();
            } else {
                break;
            }
        }
        --m_depth;
    }

    void closing(char open) {
        const char want = open == '[' ? ']' : ')';
        if (peek() == ')' || peek() == ']')
            ++m_p;
        else
            fail(std::string("'") + want + "' is missing");
    }

    void primary() {
        const char c = peek();
        if (c == '(' || c == '[') {
            ++m_p;
            expression();
            if (ok()) closing(c);
            return;
        }
        term();
    }

    void term() {
        const char c = peek(), n = peek(1);
        if ((c == '!' || c == '+' || c == '-') && n == '(') {
            ++m_p;
            primary();
        } else if ((c == '+' && n == '+') || (c == '-' && n == '-')) {
            m_p += 2;
            if (peek() != '$' && peek() != '#')
                fail(std::string("'") + c + c + "' without a variable");
            else
                variable();
        } else if ((c == '-' || c == '!') && (n == '$' || n == '#')) {
            ++m_p;
            variable();
        } else if ((c == '-' || c == '+') && is_digit(n)) {
            ++m_p;
            number();
        } else if (c == '!' && is_letter(n)) {
            ++m_p;
            word();
        } else if (is_digit(c)) {
            number();
        } else if (c == '"') {
            quoted();
        } else if (c == '$' || c == '#') {
            variable();
        } else if (is_letter(c) || c == '@' || c == '_' || static_cast<unsigned char>(c) >= 0x80) {
            word();
        } else if (m_p > m_begin()) {
            fail(std::string("an operand is missing after '") + m_p[-1] + "'");
        } else {
            fail("an operand is missing");
        }
    }

    const char* m_begin() const { return m_start; }

    void number() {
        while (is_digit(peek())) ++m_p;
        if (peek() == '.' && is_digit(peek(1))) {
            ++m_p;
            while (is_digit(peek())) ++m_p;
        }
    }

    void quoted() {
        ++m_p;
        while (m_p < m_end && *m_p != '"') m_p += *m_p == '\\' && peek(1) == '"' ? 2 : 1;
        if (m_p >= m_end) {
            fail("a quote is not closed");
            return;
        }
        ++m_p;
    }

    void word() {
        const char* start = m_p;
        while (m_p < m_end && is_ident(*m_p)) ++m_p;
        const std::string_view name(start, static_cast<std::size_t>(m_p - start));
        if (peek() == '(') {
            if (builtins::find(name) < 0) {
                std::string what = "unknown function '" + std::string(name) + "'";
                if (std::string near = nearest_name(name, builtins::names()); !near.empty())
                    what += "; did you mean " + near + "?";
                fail(what);
                return;
            }
            ++m_p;
            if (peek() == ')') {
                ++m_p;
                return;
            }
            expression();
            while (ok() && peek() == ',') {
                ++m_p;
                expression();
            }
            if (ok()) closing('(');
            return;
        }
        while (m_p < m_end && !is_operator_byte(*m_p) && *m_p != '(' && *m_p != '"') ++m_p;
    }

    void variable() {
        ++m_p;
        while (m_p < m_end && !is_operator_byte(*m_p)) ++m_p;
        while (ok() && peek() == '[') {
            ++m_p;
            expression();
            if (ok()) closing('[');
        }
        const char c = peek(), n = peek(1);
        if ((c == '+' && n == '+') || (c == '-' && n == '-')) {
            m_p += 2;
        } else if (n == '=' && (c == '+' || c == '-' || c == '*' || c == '/' || c == '%')) {
            m_p += 2;
            if (c == '+')
                primary();
            else
                operand();
        }
    }

    const char* m_p;
    const char* m_end;
    const char* m_start = m_p;
    int m_depth = 0;
    std::string m_fault;
};

// Edits between two names (letter case ignored): insertions, deletions, replacements and
// swaps of two neighbours, the usual typing mistakes, each count one.
int edit_distance(std::string_view a, std::string_view b) {
    const auto same = [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    };
    const std::size_t w = b.size() + 1;
    std::vector<int> d((a.size() + 1) * w);
    for (std::size_t i = 0; i <= a.size(); ++i) d[i * w] = static_cast<int>(i);
    for (std::size_t j = 0; j <= b.size(); ++j) d[j] = static_cast<int>(j);
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            int v = std::min({d[(i - 1) * w + j] + 1, d[i * w + j - 1] + 1,
                              d[(i - 1) * w + j - 1] + (same(a[i - 1], b[j - 1]) ? 0 : 1)});
            if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1]))
                v = std::min(v, d[(i - 2) * w + j - 2] + 1);
            d[i * w + j] = v;
        }
    }
    return d[a.size() * w + b.size()];
}

} // namespace

std::string nearest_name(std::string_view word, const std::vector<std::string>& names) {
    const int limit = std::max(1, static_cast<int>(word.size()) / 3);
    std::string best;
    int best_distance = limit + 1;
    for (const std::string& n : names) {
        // The distance is at least the difference in length: a long word (a line of
        // garbage) is never measured against every name.
        const std::size_t gap =
            n.size() > word.size() ? n.size() - word.size() : word.size() - n.size();
        if (gap >= static_cast<std::size_t>(best_distance)) continue;
        const int d = edit_distance(word, n);
        if (d < best_distance) {
            best_distance = d;
            best = n;
        }
    }
    return best;
}

std::vector<std::string> builtin_function_names() {
    return builtins::names();
}

std::string expression_fault(std::string_view compact) {
    return Reader(compact).check();
}

std::string unknown_statement_fault(std::string_view statement,
                                    const std::vector<std::string>& functions) {
    std::size_t n = 0;
    while (n < statement.size() && is_ident(statement[n])) ++n;
    const std::string name(statement.substr(0, n));
    if (name.empty()) {
        const std::string_view shown = statement.substr(0, statement.find_first_of("\r\n;"));
        return shown.empty() ? std::string() : "'" + std::string(shown) + "' is not a statement";
    }
    while (n < statement.size() && (statement[n] == ' ' || statement[n] == '\t')) ++n;
    std::vector<std::string> commands;
    for (const CommandEntry& e : command_table()) commands.emplace_back(e.name);
    const bool call = n < statement.size() && statement[n] == '(';
    if (std::find(commands.begin(), commands.end(), name) != commands.end())
        return "command " + name + " needs its argument list in parentheses";
    if (call && builtins::find(name) >= 0)
        return "the value of " + name + " is not used: the statement does nothing";

    std::vector<std::string> known = commands;
    known.insert(known.end(), functions.begin(), functions.end());
    for (std::string& b : builtins::names()) known.push_back(std::move(b));
    const std::string near = nearest_name(name, known);
    const bool near_command = std::find(commands.begin(), commands.end(), near) != commands.end();
    std::string message;
    if (!call)
        message = "'" + name + "' is neither a command, a control word, an assignment nor a call";
    else if (!near.empty() && near_command)
        message = "unknown command '" + name + "'";
    else
        message = "unknown function '" + name + "'";
    if (!near.empty()) message += "; did you mean " + near + "?";
    return message;
}

} // namespace kestrune::script
