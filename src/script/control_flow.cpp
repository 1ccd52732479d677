// The control words of the script language. There are no compiled control structures: each
// word is recognised at the cursor before commands are tried, and its handler moves the
// cursor. `while` and `select` keep their open levels on two small stacks in the block.
#include "frame/engine.h"
#include "script/flow_internal.h"
#include "script/scanner.h"
#include "script/system_variables.h"
#include "script/variables.h"

#include <cstring>
#include <string>

namespace kestrune::script::flow {

namespace {

bool word_follower(const char* p, const char* end) {
    if (p >= end) return false;
    const char c = *p;
    if (c == '\t' || c == ' ' || c == '(' || c == ';' || c == '{' || c == '\r' || c == '\n')
        return true;
    return blank_width(p, end) == 2;
}

// Length of `word` at p when it stands as a control word, else 0.
std::size_t match_word(const char* p, const char* end, const char* word) {
    const std::size_t n = std::strlen(word);
    if (static_cast<std::size_t>(end - p) < n || std::strncmp(p, word, n) != 0) return 0;
    return word_follower(p + n, end) ? n : 0;
}

char* to_line_end(char* p, const char* end) {
    while (p < end && *p != '\n') p += char_width(p, end);
    return p;
}

// After '(' at p: the byte after its matching ')', or null when a ';' or '{' outside
// quotes (or the end) comes first.
char* matching_paren(char* p, const char* end) {
    int depth = 0;
    bool quoted = false;
    for (; p < end; p += char_width(p, end)) {
        const char c = *p;
        if (c == '"' && p[-1] != '\\') quoted = !quoted;
        if (quoted) continue;
        if (c == '(') ++depth;
        if (c == ')' && --depth == 0) return p + 1;
        if (c == ';' || c == '{') return nullptr;
    }
    return nullptr;
}

// A condition: a parenthesised one is evaluated on its own (an unbraced then-part on the
// same line must not become part of it); otherwise up to the next ';' or '{'. Returns the
// position after the condition.
char* eval_condition(ScriptContext& ctx, ScriptBlock& b, char* p, bool& truth) {
    EvalContext ev = eval_context(ctx, b);
    Value v;
    char* close = *p == '(' ? matching_paren(p, text_end(ctx, b)) : nullptr;
    char* after = evaluate_at(p, close ? close : text_end(ctx, b), &ev, v);
    truth = value_true(v);
    return close ? close : after;
}

// ---- call and shift operands --------------------------------------------------------------

struct Operand {
    std::string text;
    char* after = nullptr;
};

// After white space and an optional opening quote, the operand runs to the next white
// space. Trailing bytes of `strip` are removed (repeatedly, or once).
Operand read_operand(char* p, const char* end, const char* strip, bool repeat) {
    Operand op;
    p = skip_space(p, end);
    const bool quoted = p < end && *p == '"';
    if (quoted) ++p;
    char* start = p;
    while (p < end && *p != '\0' && !space_width(p, end)) p += char_width(p, end);
    op.text.assign(start, static_cast<std::size_t>(p - start));
    if (repeat) {
        while (!op.text.empty() && std::strchr(strip, op.text.back())) op.text.pop_back();
    } else {
        if (!op.text.empty() && std::strchr(strip, op.text.back())) op.text.pop_back();
        // An operand that opened with a quote closes with one.
        if (quoted && !op.text.empty() && op.text.back() == '"') op.text.pop_back();
    }
    op.after = skip_space(p, end);
    return op;
}

void substitute_variable(std::string& text) {
    if (is_variable_name(text) && var_exists(text)) text = var_text(text);
}

// file "->" block; a missing block part gives `default_block`.
void split_target(const std::string& text, std::string& file, std::string& block,
                  const char* default_block) {
    const std::size_t arrow = text.find("->");
    file = text.substr(0, arrow);
    block = arrow == std::string::npos ? std::string() : text.substr(arrow + 2);
    if (block.empty()) block = default_block;
}

// The group object of a called or shifted scene or cut. The scene store refusing it leaves
// the script without its objects: the program ends.
void set_group(ScriptContext& ctx, ScriptBlock& target, const char* base_prefix) {
    char path[k_block_name_size];
    join_prefix(path, base_prefix, target.name);
    std::memcpy(target.object_prefix, path, sizeof path);
    target.owns_objects = 1;
    const SceneHooks& hooks = scene_hooks();
    if (hooks.create_group && !hooks.create_group(ctx, target, target.object_prefix)) {
        report_problem(ctx, target.start,
                       std::string("the scene store refused the object of '") + target.name +
                           "'; the program ends");
        engine::request_quit();
    }
}

// " in <file>" when the block was looked for in another file than the statement's.
std::string in_other_file(const ScriptContext& ctx, const char* at, int slot) {
    if (slot < 0 || slot >= k_max_files || slot == ctx.slot_of(at)) return "";
    return " in " + ctx.files[static_cast<std::size_t>(slot)].name;
}

ScriptBlock* find_target(ScriptContext& ctx, const char* at, const std::string& name,
                         std::int32_t kind, int slot, const char* word) {
    ScriptBlock* t = find_block(ctx, name.c_str(), kind, slot);
    if (!t) {
        report_problem(ctx, at,
                       std::string(word) + ": no block named '" + name + "'" +
                           in_other_file(ctx, at, slot));
        return nullptr;
    }
    if (!callable(*t)) {
        report_problem(ctx, at,
                       std::string(word) + ": '" + name +
                           "' is already running; the call is ignored");
        return nullptr;
    }
    return t;
}

char* do_call_chapter(ScriptContext& ctx, ScriptBlock& b, char* pos, char* p) {
    Operand op = read_operand(p, text_end(ctx, b), ";}/\"", true);
    substitute_variable(op.text);
    std::string file, block;
    split_target(op.text, file, block, "main");
    if (file == "@") {
        if (op.text.find("->") == std::string::npos || op.text.size() <= op.text.find("->") + 2)
            return op.after;
        if (ScriptBlock* t = find_target(ctx, pos, block, k_kind_chapter, -1, "call_chapter")) {
            call_block(b, *t);
            t->owns_objects = 1;
        }
        return op.after;
    }
    ScriptContext* next = load_into_new_context(file, block.c_str(), &ctx, ctx.set);
    if (!next) {
        report_problem(ctx, pos, "call_chapter: cannot start '" + op.text + "'");
        return op.after;
    }
    next->current.load()->owns_objects = 1;
    ctx.next_context = next;
    b.run_state = k_run_calling;
    ctx.running = 0; // the thread goes on with the new context when this loop ends
    return op.after;
}

char* do_call_scene(ScriptContext& ctx, ScriptBlock& b, char* pos, char* p) {
    Operand op = read_operand(p, text_end(ctx, b), ";}/\"", true);
    substitute_variable(op.text);
    std::string file, block;
    split_target(op.text, file, block, "Main");
    const int slot = file == "@" ? b.file_slot : load_into_context(ctx, file, false);
    if (slot < 0) return op.after;
    if (ScriptBlock* t = find_target(ctx, pos, block, k_kind_scene, slot, "call_scene")) {
        call_block(b, *t);
        set_group(ctx, *t, b.object_prefix);
    }
    return op.after;
}

char* do_call_cut(ScriptContext& ctx, ScriptBlock& b, char* pos, char* p, bool own_group) {
    Operand op = read_operand(p, text_end(ctx, b), own_group ? ";}/\"" : ";}/", true);
    if (own_group) substitute_variable(op.text);
    const char* word = own_group ? "call_cut" : "call";
    if (ScriptBlock* t = find_target(ctx, pos, op.text, k_kind_cut, b.file_slot, word)) {
        call_block(b, *t);
        if (own_group) {
            set_group(ctx, *t, b.object_prefix);
        } else {
            t->owns_objects = 0;
            std::memcpy(t->object_prefix, b.object_prefix, sizeof t->object_prefix);
        }
    }
    return op.after;
}

char* do_shift(ScriptContext& ctx, ScriptBlock& b, char* pos, char* p, bool scene) {
    Operand op = read_operand(p, text_end(ctx, b), ";", false);
    std::string file, block;
    int slot = b.file_slot;
    if (scene) {
        split_target(op.text, file, block, "Main");
        if (file != "@") slot = load_into_context(ctx, file, false);
        if (slot < 0) return op.after;
    } else {
        block = op.text;
    }
    const char* word = scene ? "shift_scene" : "shift_cut";
    ScriptBlock* t = find_block(ctx, block.c_str(), scene ? k_kind_scene : k_kind_cut, slot);
    if (!t) {
        report_problem(ctx, pos,
                       std::string(word) + ": no block named '" + block + "'" +
                           in_other_file(ctx, pos, slot));
        return op.after;
    }
    const SceneHooks& hooks = scene_hooks();
    const char* base = b.caller ? b.caller->object_prefix : "";
    if (t == &b) { // shifting to itself starts it over
        if (hooks.delete_objects) hooks.delete_objects(ctx.owner_key, b.object_prefix);
        b.clear_stacks();
        set_group(ctx, b, base);
        return b.start;
    }
    if (!callable(*t)) {
        report_problem(ctx, pos, std::string(word) + ": '" + block + "' is already running");
        return op.after;
    }
    t->caller = b.caller;
    if (b.caller) b.caller->callee = t;
    b.caller = nullptr;
    b.callee = t; // the thread continues with the replacement (see the thread routines)
    b.run_state = k_run_stopped;
    t->clear_stacks();
    t->statement_start = t->start;
    t->exec_kind = b.exec_kind.load();
    t->run_state = k_run_running;
    if (hooks.delete_objects) hooks.delete_objects(ctx.owner_key, b.object_prefix);
    set_group(ctx, *t, base);
    return op.after;
}

// ---- loops and selects ------------------------------------------------------------------------

void pop_loop(ScriptBlock& b) {
    const int l = b.loop_depth;
    b.loop_starts[l] = b.loop_ends[l] = nullptr;
    if (b.loop_depth > 0) --b.loop_depth;
}

void pop_select(ScriptBlock& b) {
    const int s = b.select_depth;
    b.select_starts[s] = b.select_ends[s] = nullptr;
    b.case_taken[s] = 0;
    if (b.select_depth > 0) --b.select_depth;
}

void reset_cursor_shape() {
    if (choice_hooks().reset_cursor_shape) choice_hooks().reset_cursor_shape();
}

char* do_break(ScriptBlock& b, char* after_word) {
    const int l = b.loop_depth;
    const int s = b.select_depth;
    const bool loop_open = b.loop_starts[l] != nullptr;
    const bool select_open = b.select_starts[s] != nullptr;
    if (loop_open && (!select_open || b.loop_starts[l] >= b.select_starts[s])) {
        char* to = b.loop_ends[l];
        pop_loop(b);
        return to;
    }
    if (select_open && b.select_ends[s]) {
        char* to = b.select_ends[s];
        pop_select(b);
        reset_cursor_shape();
        return to;
    }
    return after_word;
}

char* do_while(ScriptContext& ctx, ScriptBlock& b, char* p) {
    char* cond = skip_space(p, text_end(ctx, b));
    char* body_end = find_block_end(cond, text_end(ctx, b));
    if (!body_end) {
        report_problem(ctx, cond, "while without a braced body");
        return cond;
    }
    bool truth = false;
    eval_condition(ctx, b, cond, truth);
    if (!truth) return body_end;
    int l = b.loop_depth;
    if (b.loop_starts[l] && l < k_stack_depth - 1) ++l;
    b.loop_depth = static_cast<std::uint8_t>(l);
    b.loop_starts[l] = cond;
    b.loop_ends[l] = body_end;
    // The condition runs once more as a statement before the body: scripts see its side
    // effects twice on entry.
    return cond;
}

// The then-part of a false `if`: a braced block only when '{' is the first byte after the
// condition, otherwise the rest of the line.
char* skip_then_part(char* p, const char* end) {
    char* q = skip_space(p, end);
    if (q < end && *q == '{') {
        if (char* close = find_block_end(q, end)) return close;
    }
    return to_line_end(p, end);
}

// After a skipped then-part: white space, '{' and one '}' are passed; `else` is passed with
// the white space and braces after it, so that its part (or a nested `if`) runs next.
char* after_false_then(char* p, const char* end) {
    bool closing_seen = false;
    while (p < end) {
        if (const int w = space_width(p, end)) {
            p += w;
            continue;
        }
        if (*p == '{') {
            ++p;
            continue;
        }
        if (*p == '}') {
            if (closing_seen) return p;
            closing_seen = true;
            ++p;
            continue;
        }
        if (std::strncmp(p, "else", 4) == 0) {
            p += 4;
            while (p < end && (space_width(p, end) || *p == '{' || *p == '}'))
                p += space_width(p, end) ? space_width(p, end) : 1;
            return p;
        }
        return p;
    }
    return p;
}

char* do_if(ScriptContext& ctx, ScriptBlock& b, char* p) {
    const char* end = text_end(ctx, b);
    char* q = skip_space(p, end);
    if (q >= end || *q != '(') return q; // not a condition: the word is ignored
    bool truth = false;
    char* after = eval_condition(ctx, b, q, truth);
    if (truth) return after;
    return after_false_then(skip_then_part(after, end), end);
}

// `else` reached after a then-part that ran: its part is skipped.
char* do_else(ScriptContext& ctx, ScriptBlock& b, char* p) {
    const char* end = text_end(ctx, b);
    char* q = skip_space(p, end);
    if (q < end && *q == '{') {
        if (char* close = find_block_end(q, end)) return close;
    }
    if (std::size_t n = match_word(q, end, "if")) {
        char* c = skip_space(q + n, end);
        char* after = c < end && *c == '(' ? matching_paren(c, end) : nullptr;
        return skip_then_part(after ? after : c, end);
    }
    // An unbraced else-part: the rest of this line, or the next line when the word ends
    // its line.
    char* r = skip_blanks(p, end);
    if (r < end && (*r == '\r' || *r == '\n')) {
        r += (*r == '\r' && r[1] == '\n') ? 2 : 1;
    }
    return to_line_end(r, end);
}

char* do_select(ScriptContext& ctx, ScriptBlock& b, char* pos, char* p) {
    const ChoiceHooks& hooks = choice_hooks();
    int s = -1;
    for (int i = 0; i < k_stack_depth && s < 0; ++i)
        if (b.select_starts[i] == pos) s = i;
    for (int i = 0; i < k_stack_depth && s < 0; ++i)
        if (!b.select_starts[i]) s = i;
    if (s < 0) { // a ninth open select takes over the eighth entry
        s = k_stack_depth - 1;
        b.select_ends[s] = nullptr;
    }
    b.select_starts[s] = pos;
    b.select_depth = static_cast<std::uint8_t>(s);
    const char* end = text_end(ctx, b);
    char* q = skip_space(p, end);
    b.case_taken[s] = 0;
    if (!b.select_ends[s]) {
        char* close = find_block_end(q, end);
        if (!close) {
            report_problem(ctx, pos, "select without a braced body");
            b.select_starts[s] = nullptr;
            return q;
        }
        b.select_ends[s] = close;
        b.button_held = hooks.button_held ? hooks.button_held() : 0;
        if (hooks.end_hover) hooks.end_hover();
        if (hooks.clear_select_marks) hooks.clear_select_marks();
        if (hooks.reset_input_events) hooks.reset_input_events();
        if (hooks.pointer_position) hooks.pointer_position(b.saved_pointer[0], b.saved_pointer[1]);
        return q;
    }
    // Second pass: wait for the input that may choose. The quit event is left alone: the
    // quit flag it stands for stays set, and a reset here could hide it from other waits.
    engine::attention_event().reset();
    b.event.reset();
    b.saved_pointer[0] = b.saved_pointer[1] = -1;
    // The reader must see the choices while the select waits.
    if (!b.is_process() && engine::render_is_held()) engine::render_release();
    std::int32_t code = 0;
    if (engine::quit_requested()) return pos;
    if (hooks.wait_input) {
        code = hooks.wait_input(b);
    } else {
        const std::uint32_t r = engine::wait_multi(
            engine::k_wait_quit | engine::k_wait_state | engine::k_wait_attention |
                engine::k_wait_input_click | engine::k_wait_input_1026,
            &b.event, platform::k_infinite);
        if (r == engine::k_wait_input_click) code = 257;
        if (r == engine::k_wait_input_1026) code = 1026;
        if (r == engine::k_wait_quit || r == engine::k_wait_state) reset_cursor_shape();
        if (r == engine::k_wait_attention && engine::state() == engine::k_state_system_script &&
            !b.is_process() && !engine::render_is_held())
            engine::render_hold();
    }
    if (engine::state() != ctx.owner_state.load()) return pos;
    b.button_held = hooks.button_held ? hooks.button_held() : 0;
    if (hooks.pointer_position) hooks.pointer_position(b.saved_pointer[0], b.saved_pointer[1]);
    if (code) b.input_code = code;
    if (!b.is_process() && hooks.reset_input_events) hooks.reset_input_events();
    return q;
}

char* do_case(ScriptContext& ctx, ScriptBlock& b, char* p) {
    const char* end = text_end(ctx, b);
    char* q = skip_space(p, end);
    std::string label;
    bool skip = false;
    if (q < end && *q == '"') {
        char* r = q + 1;
        while (r < end && !(*r == '"' && r[-1] != '\\')) r += char_width(r, end);
        label.assign(q + 1, static_cast<std::size_t>(r - q - 1));
        skip = label.empty();
        q = r < end ? r + 1 : r;
    } else {
        char* r = q;
        while (r < end && !space_width(r, end) && *r != ':' && *r != ';' && *r != '{')
            r += char_width(r, end);
        const std::string token(q, static_cast<std::size_t>(r - q));
        if (is_expression_statement(token)) {
            EvalContext ev = eval_context(ctx, b);
            label = value_text(evaluate_text(token, &ev));
        } else {
            label = token;
        }
        q = r;
    }
    char* brace = q;
    while (brace < end && *brace != '{') brace += char_width(brace, end);
    const int s = b.select_depth;
    char path[k_block_name_size];
    join_prefix(path, b.object_prefix, label.c_str());
    const ChoiceHooks& hooks = choice_hooks();
    const bool taken = !skip && !b.case_taken[s] && b.select_starts[s] && b.select_ends[s] &&
                       hooks.chosen && hooks.chosen(b, path);
    if (taken) {
        if (!b.is_process() && !engine::render_is_held()) engine::render_hold();
        b.button_held = 0;
        b.case_taken[s] = 1;
        if (hooks.end_hover) hooks.end_hover();
        // A choice is a point the reader decides at: skipping stops there unless keep_skip.
        if (engine::skip_mode() && setting_number("keep_skip") == 0) engine::set_skip_mode(false);
        return brace;
    }
    char* close = brace < end ? find_block_end(brace, end) : nullptr;
    return close ? close : q;
}

} // namespace

void join_prefix(char* out, const char* prefix, const char* name) {
    std::string path = prefix[0] ? std::string(prefix) + "/" + name : std::string(name);
    copy_field(out, k_block_name_size, path);
}

bool callable(const ScriptBlock& target) {
    const std::int32_t rs = target.run_state.load();
    return rs != k_run_running && rs != k_run_calling && !target.active.load();
}

void call_block(ScriptBlock& caller, ScriptBlock& target) {
    caller.callee = &target;
    target.caller = &caller;
    target.clear_stacks();
    target.statement_start = target.start;
    target.run_state = k_run_running;
    caller.run_state = k_run_calling;
}

bool try_control_word(ScriptContext& ctx, ScriptBlock& b, char* pos, char*& next) {
    const char* end = text_end(ctx, b);
    const char c = *pos;
    // Every control word starts with one of these letters.
    if (!std::strchr("bcdiersw", c) || c == '\0') return false;
    std::size_t n;
    if ((n = match_word(pos, end, "call_chapter"))) {
        next = do_call_chapter(ctx, b, pos, pos + n);
    } else if ((n = match_word(pos, end, "call_scene"))) {
        next = do_call_scene(ctx, b, pos, pos + n);
    } else if ((n = match_word(pos, end, "call_cut"))) {
        next = do_call_cut(ctx, b, pos, pos + n, true);
    } else if ((n = match_word(pos, end, "call"))) {
        next = do_call_cut(ctx, b, pos, pos + n, false);
    } else if ((n = match_word(pos, end, "shift_scene"))) {
        next = do_shift(ctx, b, pos, pos + n, true);
    } else if ((n = match_word(pos, end, "shift_cut"))) {
        next = do_shift(ctx, b, pos, pos + n, false);
    } else if ((n = match_word(pos, end, "break"))) {
        next = do_break(b, pos + n);
    } else if ((n = match_word(pos, end, "return"))) {
        b.clear_stacks();
        reset_cursor_shape();
        next = b.end;
    } else if ((n = match_word(pos, end, "wait"))) {
        // Not the Wait command: the word is stepped over one byte at a time and the rest
        // of the statement runs as an expression statement that does nothing.
        next = pos + 1;
    } else if ((n = match_word(pos, end, "while"))) {
        next = do_while(ctx, b, pos + n);
    } else if ((n = match_word(pos, end, "select"))) {
        next = do_select(ctx, b, pos, pos + n);
    } else if ((n = match_word(pos, end, "case"))) {
        next = do_case(ctx, b, pos + n);
    } else if ((n = match_word(pos, end, "if"))) {
        next = do_if(ctx, b, pos + n);
    } else if ((n = match_word(pos, end, "else"))) {
        next = do_else(ctx, b, pos + n);
    } else if ((n = match_word(pos, end, "begin:"))) {
        next = pos + n;
    } else if ((n = match_word(pos, end, "debugmessage"))) {
        next = pos + 1;
    } else {
        return false;
    }
    return true;
}

void check_loop_and_select_ends(ScriptContext& ctx, ScriptBlock& b) {
    const int l = b.loop_depth;
    const int s = b.select_depth;
    const bool loop_open = b.loop_starts[l] && b.loop_ends[l];
    const bool select_open = b.select_starts[s] && b.select_ends[s];
    if (loop_open && (!select_open || b.loop_starts[l] >= b.select_starts[s])) {
        if (b.cursor < b.loop_ends[l]) return;
        bool truth = false;
        char* after = eval_condition(ctx, b, b.loop_starts[l], truth);
        if (truth) {
            b.cursor = after;
        } else {
            b.cursor = b.loop_ends[l];
            pop_loop(b);
        }
        return;
    }
    if (select_open && b.cursor >= b.select_ends[s]) {
        if (b.case_taken[s]) {
            b.cursor = b.select_ends[s];
            pop_select(b);
        } else {
            b.cursor = b.select_starts[s]; // back to the select, which waits for input
        }
    }
}

} // namespace kestrune::script::flow
