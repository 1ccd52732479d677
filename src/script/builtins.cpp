// The built-in function table and the functions that need nothing beyond the script
// engine itself: random numbers, time, integer part, arrays and variables.
#include "script/builtins.h"

#include "frame/engine.h"
#include "platform/clock.h"
#include "script/scanner.h"
#include "script/variables.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <utility>

namespace kestrune::script::builtins {

namespace {

constexpr int k_many = 4096; // variadic functions

const Value& arg(const BuiltinCall& c, std::size_t i) {
    static const Value empty;
    return i < c.args.size() ? c.args[i] : empty;
}

// A name argument: the variable it refers to, else its text.
std::string name_arg(const Value& v) {
    if (!v.var_name.empty()) return v.var_name;
    return value_text(v);
}

Value random_fn(const BuiltinCall& c) {
    int n = to_int(numeric_of(arg(c, 0)));
    if (n <= 0) return Value::of_number(0);
    // Seeded once per thread: reseeding from the clock at every call, as a per-call seed
    // would, repeats the same number within one millisecond.
    thread_local std::mt19937 generator{platform::random_seed()};
    std::uniform_int_distribution<int> dist(0, n - 1);
    return Value::of_number(dist(generator));
}

Value time_fn(const BuiltinCall&) {
    return Value::of_number(static_cast<double>(platform::calendar_seconds()));
}

Value milli_time_fn(const BuiltinCall&) {
    return Value::of_number(platform::tick_ms());
}

Value integer_fn(const BuiltinCall& c) {
    double d = numeric_of(arg(c, 0));
    return Value::of_number(std::isfinite(d) ? std::trunc(d) : 0.0);
}

Value array_fn(const BuiltinCall& c) {
    std::string name = name_arg(arg(c, 0));
    if (!is_variable_name(name)) return {};
    for (std::size_t i = 1; i < c.args.size(); i++) {
        const Value& v = c.args[i];
        std::string element = name + "/" + std::to_string(i - 1);
        int b;
        if (!v.var_name.empty()) {
            std::optional<VarRecord> r = var_find(v.var_name);
            if (r) var_set(element, r->type, r->number, r->text);
        } else if (!v.has_text || is_bool_word(v.text, b)) {
            var_set_number(element, v.has_text ? b : v.number);
        } else {
            var_set_text(element, v.text);
        }
    }
    return {};
}

Value assoc_array_fn(const BuiltinCall& c) {
    std::string name = name_arg(arg(c, 0));
    if (!is_variable_name(name)) return {};
    for (std::size_t i = 1; i < c.args.size(); i++)
        var_set_key(name + "/" + std::to_string(i - 1), value_text(c.args[i]));
    return {};
}

Value count_fn(const BuiltinCall& c) {
    return Value::of_number(var_count(name_arg(arg(c, 0))));
}

Value delete_array_fn(const BuiltinCall& c) {
    var_delete(name_arg(arg(c, 0)));
    return Value::of_number(0);
}

Value variable_value_fn(const BuiltinCall& c) {
    const Value& p = arg(c, 0);
    std::string prefix = p.var_name.size() == 1 ? p.var_name : value_text(p);
    if (prefix.empty() || (prefix[0] != '#' && prefix[0] != '$')) return {};
    std::string name = value_text(arg(c, 1));
    if (is_variable_name(name) && var_exists(name)) name = var_text(name);
    std::string full = prefix.substr(0, 1) + name;
    if (!is_variable_name(full) || full.size() < 2) return {};
    if (c.args.size() >= 3) assign_value(full, c.args[2]);
    std::optional<VarRecord> r = var_find_or_create(full);
    if (!r) return {};
    Value v;
    if (r->type == VarType::string) {
        v = Value::of_text(r->text);
    } else {
        v.number = r->number;
    }
    v.var_name = r->name;
    return v;
}

Value is_interrupt_fn(const BuiltinCall& c) {
    bool current = c.ctx && c.ctx->is_current_block && c.ctx->is_current_block(c.ctx->user);
    return Value::of_number(engine::state() == engine::k_state_system_script && current ? 1 : 0);
}

Value module_file_name_fn(const BuiltinCall& c) {
    return Value::of_text(c.ctx ? c.ctx->module_file_name : std::string_view{});
}

// The operating-system code of the system probe mapped to the numbers games test. Codes
// name Windows versions; this engine's platform is none of them (code 0xFFFF), which
// maps to 0.
constexpr std::uint32_t k_os_code = 0xFFFF;

Value platform_fn(const BuiltinCall&) {
    constexpr std::pair<std::uint32_t, int> k_map[] = {{0, 1},   {16, 2},     {32, 3},  {48, 4},
                                                       {320, 5}, {336, 6},    {352, 7}, {368, 8},
                                                       {384, 9}, {61441, 100}};
    for (auto [code, number] : k_map)
        if (code == k_os_code) return Value::of_number(number);
    return Value::of_number(0);
}

// The presenter always stretches the finished frame in hardware (SDL's renderer scales
// with linear filtering), so the hardware scaling setting is always allowed.
Value enable_hal_fn(const BuiltinCall&) {
    return Value::of_number(1);
}

struct Entry {
    std::string_view name;
    int max_args;
    std::atomic<BuiltinFunction> fn;
    // The subsystem that provides a function registered from outside the script engine,
    // named when the function is called before it is there.
    std::string_view subsystem;
    std::atomic<bool> warned{false};
};

// Functions of other subsystems start empty; those subsystems register them.
std::array<Entry, 37> g_table = {{
    {"Random", 1, random_fn, ""},
    {"RemainTime", 1, nullptr, "the scene"},
    {"DurationTime", 1, nullptr, "the scene"},
    {"PassageTime", 1, nullptr, "the scene"},
    {"ImageHorizon", 1, nullptr, "the scene"},
    {"ImageVertical", 1, nullptr, "the scene"},
    {"Strlen", 1, strlen_fn, ""},
    {"Strstr", 2, strstr_fn, ""},
    {"String", k_many, string_format, ""},
    {"Substr", 3, substr_fn, ""},
    {"EnableBacklog", 1, nullptr, "the backlog"},
    {"ExistSave", 1, nullptr, "save data"},
    {"ReadFile", 1, read_file_fn, ""},
    {"ModuleFileName", 1, module_file_name_fn, ""},
    {"BacklogRow", 1, nullptr, "the backlog"},
    {"BacklogLine", 1, nullptr, "the backlog"},
    {"ScrollbarValue", 1, nullptr, "choices and scroll bars"},
    {"Time", 1, time_fn, ""},
    {"MilliTime", 1, milli_time_fn, ""},
    {"Integer", 1, integer_fn, ""},
    {"SoundAmplitude", 2, nullptr, "sound"},
    {"Conquest", 3, nullptr, "the read-text map"},
    {"Message", 4, nullptr, "message boxes"},
    {"Array", k_many, array_fn, ""},
    {"AssocArray", k_many, assoc_array_fn, ""},
    {"Count", 1, count_fn, ""},
    {"DeleteArray", 1, delete_array_fn, ""},
    {"VariableValue", 3, variable_value_fn, ""},
    {"EnableDirect3DHAL", 1, enable_hal_fn, ""},
    {"Platform", 1, platform_fn, ""},
    {"AvailableFile", 1, available_file_fn, ""},
    {"MountSavedata", 1, nullptr, "save data"},
    {"KickShortcut", 1, nullptr, "input"},
    {"WriteImage", 1, write_image_fn, ""},
    {"IsInterrupt", 1, is_interrupt_fn, ""},
    {"VelmorantConfig", 1, nullptr, "the settings dialog"},
    {"LockVideo", 1, nullptr, "the scene"},
}};

} // namespace

int find(std::string_view name) {
    for (std::size_t i = 0; i < g_table.size(); i++)
        if (g_table[i].name == name) return static_cast<int>(i);
    return -1;
}

std::vector<std::string> names() {
    std::vector<std::string> out;
    for (const Entry& e : g_table) out.emplace_back(e.name);
    return out;
}

int max_args(int index) {
    return g_table[static_cast<std::size_t>(index)].max_args;
}

Value call(int index, const BuiltinCall& c) {
    Entry& e = g_table[static_cast<std::size_t>(index)];
    BuiltinFunction fn = e.fn.load();
    if (!fn) {
        if (!e.warned.exchange(true))
            std::fprintf(stderr, "kestrune: %.*s: %.*s is not available yet; it yields 0\n",
                         static_cast<int>(e.name.size()), e.name.data(),
                         static_cast<int>(e.subsystem.size()), e.subsystem.data());
        return Value::of_number(0);
    }
    Value v = fn(c);
    if (v.text.size() >= k_text_result_size)
        v.text.resize(fit_bytes(v.text, k_text_result_size - 1));
    return v;
}

double numeric_of(const Value& v) {
    if (!v.has_text) return v.number;
    int b;
    if (is_bool_word(v.text, b)) return b;
    if (is_number_text(v.text)) return std::strtod(v.text.c_str(), nullptr);
    return v.number;
}

} // namespace kestrune::script::builtins

namespace kestrune::script {

bool register_builtin(std::string_view name, BuiltinFunction fn) {
    int i = builtins::find(name);
    if (i < 0) return false;
    builtins::g_table[static_cast<std::size_t>(i)].fn.store(fn);
    return true;
}

} // namespace kestrune::script
