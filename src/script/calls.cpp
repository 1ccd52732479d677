// Calls of script functions (`name(args)` where name is a function block of the context),
// and `Escape`, which leaves several levels of calls at once. Both are control flow: the
// callee runs on the caller's thread while the caller waits in run state 2.
#include "script/flow_internal.h"
#include "script/scanner.h"
#include "script/variables.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace kestrune::script {

namespace {

constexpr std::size_t k_argument_list_size = 2048;

bool quote_at(const char* p) {
    return *p == '"' && p[-1] != '\\';
}

// The argument list of a call at pos: after the first '(' (outside quotes) up to the last
// ')' before the ';' that ends the statement. `after` is set past that ')'. False when the
// list is too long for the 2048-byte buffer.
bool take_argument_list(char* pos, const char* end, std::string& list, char*& after) {
    list.clear();
    char* p = pos;
    bool quoted = false;
    for (; p < end; p += char_width(p, end)) {
        if (quote_at(p))
            quoted = !quoted;
        else if (!quoted && (*p == '(' || *p == ';'))
            break;
    }
    after = p;
    if (p >= end || *p != '(') return true;
    char* last_close = nullptr;
    quoted = false;
    for (char* q = p + 1; q < end; q += char_width(q, end)) {
        if (quote_at(q))
            quoted = !quoted;
        else if (!quoted && *q == ')')
            last_close = q;
        else if (!quoted && *q == ';')
            break;
    }
    if (!last_close) return true;
    after = last_close + 1;
    if (static_cast<std::size_t>(last_close - p - 1) >= k_argument_list_size) return false;
    list.assign(p + 1, static_cast<std::size_t>(last_close - p - 1));
    return true;
}

struct Argument {
    std::string text;
    bool quoted = false;
    bool absent = false;
};

// Splits a list at ',' and ';' outside quotes. A quoted argument is taken without its
// quotes; an empty quoted one is absent.
std::vector<Argument> split_arguments(const std::string& list) {
    std::vector<Argument> out;
    const char* p = list.data();
    const char* end = p + list.size();
    while (true) {
        p = skip_space(p, end);
        if (p >= end) break;
        Argument a;
        const char* q = p;
        if (*p == '"') {
            a.quoted = true;
            q = p + 1;
            while (q < end && !(*q == '"' && q[-1] != '\\')) q += char_width(q, end);
            a.text.assign(p + 1, static_cast<std::size_t>(q - p - 1));
            a.absent = a.text.empty();
            if (q < end) ++q; // past the closing quote, which must not open a new quotation
        }
        bool quoted = false;
        while (q < end && (quoted || (*q != ',' && *q != ';'))) {
            if (*q == '"' && (q == list.data() || q[-1] != '\\')) quoted = !quoted;
            q += char_width(q, end);
        }
        if (!a.quoted) {
            a.text.assign(p, static_cast<std::size_t>(q - p));
            while (!a.text.empty() && (a.text.back() == ' ' || a.text.back() == '\t' ||
                                       a.text.back() == '\r' || a.text.back() == '\n'))
                a.text.pop_back();
        }
        out.push_back(std::move(a));
        if (q >= end) break;
        p = q + 1;
    }
    return out;
}

// Function parameters and variables stand for their values in arguments.
void substitute(const ScriptBlock& caller, Argument& a) {
    if (caller.kind == k_kind_function) {
        for (int i = 0; i < caller.param_count; ++i) {
            if (a.text == caller.param_names[i]) {
                a.text = caller.param_values[i];
                return;
            }
        }
    }
    if (is_variable_name(a.text) && var_exists(a.text)) a.text = var_text(a.text);
}

bool name_follower(const char* p, const char* end) {
    if (p >= end) return false;
    const char c = *p;
    return c == '(' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || blank_width(p, end) == 2;
}

bool function_free(const ScriptBlock& f) {
    const std::int32_t rs = f.run_state.load();
    if (f.active.load()) return false;
    if (rs == k_run_stopped || rs == k_run_at_begin || rs == k_run_ended) return true;
    return f.cursor && f.cursor >= f.end && rs != k_run_running && rs != k_run_calling;
}

void bind_parameters(ScriptContext& ctx, ScriptBlock& caller, ScriptBlock& f,
                     std::vector<Argument>& args, char* pos) {
    for (int i = 0; i < f.param_count; ++i) {
        Argument a;
        a.absent = true;
        if (static_cast<std::size_t>(i) < args.size()) a = args[static_cast<std::size_t>(i)];
        if (!a.absent) substitute(caller, a);
        const char* name = f.param_names[i];
        if (name[0] == '#' || name[0] == '$') {
            int truth = 0;
            if (a.absent)
                var_set_text(name, "");
            else if (!a.quoted && is_number_text(a.text))
                var_set_number(name, std::strtod(a.text.c_str(), nullptr));
            else if (!a.quoted && is_bool_word(a.text, truth))
                var_set_number(name, truth);
            else
                var_set_text(name, a.text);
        } else {
            const std::string& text = a.absent ? std::string() : a.text;
            if (copy_field(f.param_values[i], k_param_value_size, text) < text.size())
                report_problem(ctx, pos,
                               std::string("argument of parameter '") + name +
                                   "' longer than 127 bytes is cut");
        }
    }
}

} // namespace

bool try_function_call(ScriptContext& ctx, ScriptBlock& b, char* pos, char*& next) {
    next = pos;
    const char c = *pos;
    if (c == '\0' || std::strchr(" \t\r\n;{}()\"/", c)) return false;
    const char* end = flow::text_end(ctx, b);
    ScriptBlock* callee = nullptr;
    bool busy_only = false;
    {
        std::lock_guard guard(ctx.m_blocks_mutex);
        for (auto& f : ctx.blocks) {
            if (f->kind != k_kind_function || f->name[0] != c) continue;
            const std::size_t n = std::strlen(f->name);
            if (std::strncmp(pos, f->name, n) != 0 || !name_follower(pos + n, end)) continue;
            if (function_free(*f)) {
                callee = f.get();
                break;
            }
            busy_only = true;
        }
    }
    if (!callee) {
        if (busy_only) { // a function already running elsewhere: its name is passed over
            char* p = pos;
            while (p < end && !space_width(p, end) && *p != '(') p += char_width(p, end);
            next = p;
        }
        return false;
    }
    std::string list;
    char* after = pos;
    if (!take_argument_list(pos, end, list, after)) {
        report_problem(ctx, pos,
                       std::string("argument list of '") + callee->name +
                           "' is 2048 bytes or longer; the call is refused");
        next = after;
        return true;
    }
    std::vector<Argument> args = split_arguments(list);
    bind_parameters(ctx, b, *callee, args, pos);
    flow::call_block(b, *callee);
    callee->exec_kind = b.exec_kind.load();
    callee->owns_objects = 0;
    std::memcpy(callee->object_prefix, b.object_prefix, sizeof callee->object_prefix);
    next = after;
    return true;
}

char* escape_blocks(ScriptContext& ctx, ScriptBlock& block, int levels) {
    if (levels < 1) return block.cursor;
    ScriptBlock* cur = &block;
    for (int i = 0; i < levels && cur; ++i) {
        cur->clear_stacks();
        cur->cursor = cur->end;
        cur->statement_start = cur->end;
        if (i + 1 == levels) break;
        ScriptBlock* next = cur->caller;
        if (!next && ctx.return_context) next = ctx.return_context->current.load();
        // More levels than the call chain has: the chain's end stops the escape.
        cur = next;
    }
    return block.end;
}

namespace flow {

bool dispatch_flow_commands(ScriptContext& ctx, ScriptBlock& b, char* pos, char*& next) {
    next = pos;
    const char* end = text_end(ctx, b);
    if (std::strncmp(pos, "Escape", 6) != 0) return false;
    const char f = pos[6];
    if (!(f == '(' || f == ' ' || f == '\t' || f == '\r' || f == '\n' ||
          blank_width(pos + 6, end) == 2))
        return false;
    std::string list;
    char* after = pos;
    take_argument_list(pos, end, list, after);
    std::vector<Argument> args = split_arguments(list);
    int levels = 0;
    if (!args.empty() && !args[0].absent) {
        substitute(b, args[0]);
        if (is_number_text(args[0].text)) levels = std::atoi(args[0].text.c_str());
    }
    if (levels >= 1) {
        next = escape_blocks(ctx, b, levels);
    } else {
        next = after < end ? after + 1 : after;
    }
    return true;
}

} // namespace flow

} // namespace kestrune::script
