// The command table, name matching and the handler skeleton.
#include "script/commands.h"

#include "frame/engine.h"
#include "platform/clock.h"
#include "script/context.h"
#include "script/flow_internal.h"
#include "script/system_variables.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>

namespace kestrune::script {

namespace {

// Per argument: 'q' may be written in double quotes, 'p' plain, 'o' names a variable to
// write. A mode string shorter than the argument count repeats its last letter.
const std::vector<CommandEntry> k_table = {
    {"CreateName", 1, true, true, "q"},
    {"CreateAnimation", 5, true, true, "q"},
    {"CreateProcess", 5, true, true, "q"},
    {"CreateColor", 7, true, true, "q"},
    {"CreateEffect", 7, true, true, "q"},
    {"CreateFrame", 6, true, true, "q"},
    {"CreateTexture", 5, true, true, "q"},
    {"CreateClipTexture", 9, true, true, "q"},
    {"CreateDifferenceTexture", 6, true, true, "q"},
    {"CreateMask", 6, true, true, "q"},
    {"CreateStencil", 7, true, true, "q"},
    {"CreateSurface", 5, true, true, "q"},
    {"CreateMovie", 8, true, true, "q"},
    {"CreateCube", 8, true, true, "q"},
    {"CreateSound", 3, true, true, "q"},
    {"CreateText", 7, true, true, "q"},
    {"CreateWindow", 7, true, true, "q"},
    {"CreateCamera", 4, true, true, "q"},
    {"CreateChoice", 7, true, true, "q"},
    {"CreateBacklog", 2, true, true, "q"},
    {"CreateScrollbar", 9, true, true, "q"},
    {"LoadImage", 2, true, true, "q"},
    {"LoadClipImage", 6, true, true, "q"},
    {"LoadColor", 4, true, true, "q"},
    {"LoadFont", 8, true, true, "q"},
    {"LoadText", 7, true, true, "q"},
    {"LoadFile", 2, true, true, "q"},
    {"UnloadFile", 1, true, true, "q"},
    {"LoadVKT", 1, true, false, "q"},
    {"Move", 7, false, false, "q"},
    {"BezierMove", 5, false, false, "q"},
    {"Request", 2, false, false, "q"},
    {"Rotate", 7, false, false, "q"},
    {"Shake", 9, false, false, "q"},
    {"MoveCamera", 7, false, false, "q"},
    {"MoveCube", 7, false, false, "q"},
    {"Delete", 1, false, false, "q"},
    {"Disable", 1, true, false, "q"},
    {"Fade", 5, false, false, "q"},
    {"SetChip", 5, true, false, "q"},
    {"SetAlias", 2, true, false, "q"},
    {"SetVertex", 3, true, false, "q"},
    {"SetShade", 2, true, false, "q"},
    {"SetTone", 2, true, false, "q"},
    {"SetImage", 2, true, false, "q"},
    {"SetSurface", 2, true, false, "q"},
    {"SetComposite", 4, true, false, "q"},
    {"SetBlur", 6, true, false, "q"},
    {"SetStream", 2, true, false, "q"},
    {"SetFov", 2, true, false, "q"},
    {"SetNextFocus", 3, true, false, "q"},
    {"SetScrollbar", 2, true, false, "q"},
    {"SetScrollSpeed", 2, true, false, "q"},
    {"SetBacklog", 3, true, false, "q"},
    {"Zoom", 6, false, false, "q"},
    {"Draw", 0, false, false, "q"},
    {"DrawEffect", 6, true, false, "q"},
    {"DrawTransition", 8, false, false, "q"},
    {"Wait", 1, false, false, "q"},
    {"WaitKey", 1, false, false, "q"},
    {"WaitMove", 2, false, false, "q"},
    {"WaitFade", 2, false, false, "q"},
    {"WaitZoom", 2, false, false, "q"},
    {"WaitRotate", 2, false, false, "q"},
    {"WaitShake", 2, false, false, "q"},
    {"WaitPlay", 2, false, false, "q"},
    {"WaitText", 2, false, false, "q"},
    {"WaitAction", 2, false, false, "q"},
    {"SetVolume", 4, true, false, "q"},
    {"SetPan", 4, true, false, "q"},
    {"SetFrequency", 4, true, false, "q"},
    {"SetLoop", 2, true, false, "q"},
    {"SetLoopPoint", 3, true, false, "q"},
    {"SoundEffect", 10, true, false, "q"},
    {"MoviePlay", 2, false, false, "q"},
    {"ClearScore", 1, false, false, "q"},
    {"ClearBacklog", 0, false, false, "q"},
    {"SetBaseTextInterval", 1, false, false, "q"},
    {"SetFont", 6, false, false, "q"},
    {"Save", 1, true, false, "q"},
    {"Load", 2, true, false, "q"},
    {"DeleteSaveFile", 1, true, false, "q"},
    {"Position", 3, false, false, "qo"},
    {"CursorPosition", 2, false, false, "o"},
    {"MoveCursor", 2, false, false, "q"},
    {"DateTime", 6, false, false, "o"},
    {"WriteFile", 3, false, false, "q"},
    {"SetShortcut", 2, true, false, "q"},
    {"Escape", 1, false, false, "q"},
    {"Reset", 0, false, false, "q"},
    {"Exit", 0, false, false, "q"},
    {"System", 1, false, false, "q"},
};

// Commands whose objects a block of an anonymous group creates together: rendering is
// held so that they appear in one frame.
bool holds_for_group(const char* name) {
    static const std::set<std::string_view> names = {
        "CreateName",  "CreateProcess", "CreateColor",       "CreateEffect",
        "CreateFrame", "CreateTexture", "CreateClipTexture", "CreateDifferenceTexture",
        "CreateMask",  "CreateStencil", "CreateSurface",     "CreateMovie",
        "CreateCube",  "CreateText",    "CreateWindow",      "CreateCamera",
        "CreateChoice"};
    return names.count(name) != 0;
}

std::array<std::atomic<CommandHandler>, 92> g_handlers{};
CommandHooks g_hooks;

std::mutex g_unavailable_mutex;
std::set<std::string> g_unavailable_said;

// The subsystem a command waits for, named when a script uses it before it is there.
std::string_view provider_of(std::string_view command) {
    static const std::pair<std::string_view, std::string_view> k_providers[] = {
        {"CreateChoice", "choices"},
        {"CreateScrollbar", "choices and scroll bars"},
        {"SetScrollbar", "choices and scroll bars"},
        {"SetScrollSpeed", "choices and scroll bars"},
        {"SetNextFocus", "choices"},
        {"CreateWindow", "choices and scroll bars"},
        {"CreateBacklog", "the backlog"},
        {"SetBacklog", "the backlog"},
        {"ClearBacklog", "the backlog"},
        {"LoadFont", "font preloading"},
    };
    for (auto [name, subsystem] : k_providers)
        if (name == command) return subsystem;
    return "its subsystem";
}

bool not_available(CommandCall& call) {
    bool first = false;
    {
        std::lock_guard guard(g_unavailable_mutex);
        first = g_unavailable_said.insert(call.entry.name).second;
    }
    if (first)
        report_problem(call.context, call.statement,
                       std::string(call.entry.name) + ": " +
                           std::string(provider_of(call.entry.name)) + " is not available yet");
    return true;
}

ArgMode mode_of(const CommandEntry& entry, int i) {
    const std::size_t n = std::strlen(entry.modes);
    const char m = entry.modes[static_cast<std::size_t>(i) < n ? i : n - 1];
    return m == 'o' ? ArgMode::output : (m == 'p' ? ArgMode::plain : ArgMode::quoted);
}

bool follows_name(const char* p, const char* end) {
    if (p >= end) return false;
    const auto c = static_cast<unsigned char>(*p);
    return c == '(' || c == ' ' || c == '\t' || c == '\r' || c == '\n' ||
           (c == 0xA1 && p + 1 < end && static_cast<unsigned char>(p[1]) == 0xA1);
}

} // namespace

const std::vector<CommandEntry>& command_table() {
    return k_table;
}

int match_command(const char* text, const char* end) {
    // The first letter narrows the search; names are tried in table order.
    for (std::size_t i = 0; i < k_table.size(); ++i) {
        const char* name = k_table[i].name;
        if (*text != *name) continue;
        const std::size_t n = std::strlen(name);
        if (text + n > end) continue;
        if (std::memcmp(text, name, n) == 0 && follows_name(text + n, end))
            return static_cast<int>(i);
    }
    return -1;
}

bool register_command(std::string_view name, CommandHandler handler) {
    for (std::size_t i = 0; i < k_table.size(); ++i) {
        if (name == k_table[i].name) {
            g_handlers[i] = handler;
            return true;
        }
    }
    return false;
}

CommandHandler registered_handler(std::string_view name) {
    for (std::size_t i = 0; i < k_table.size(); ++i)
        if (name == k_table[i].name) return g_handlers[i].load();
    return nullptr;
}

void set_command_hooks(const CommandHooks& hooks) {
    g_hooks = hooks;
}
CommandHooks& command_hooks() {
    return g_hooks;
}

double speed_factor() {
    if (engine::state() == engine::k_state_system_script) return 1.0;
    if (engine::skip_mode()) return 32.0;
    return play_speed_factor();
}

bool dispatch_command(ScriptContext& context, ScriptBlock& block, char* pos, char*& next) {
    next = pos;
    const char* end = flow::text_end(context, block);
    const int index = match_command(pos, end);
    if (index < 0) return false;
    // While the gate is closed no command runs: the statement is tried again later.
    if (!engine::script_gate().is_signalled()) {
        platform::sleep_ms(1);
        return true;
    }
    const CommandEntry& entry = k_table[static_cast<std::size_t>(index)];
    if (entry.locked && !engine::try_take_command_lock()) {
        platform::sleep_ms(1); // another handler runs: retry on a later pass
        return true;
    }

    std::string list;
    const char* after = pos;
    take_argument_list(pos, end, list, after);
    CommandCall call{context, block, entry, {}, {}, {}, pos, nullptr};
    char* resume = const_cast<char*>(after);
    // Step over the ';' that normally follows the argument list.
    if (resume < end && *resume == ';' && after > pos && after[-1] == ')') ++resume;
    call.next = resume;

    if (entry.creating) call.canonical = std::string(entry.name) + "(";
    ArgumentReader reader(std::move(list), &block, entry.creating ? &call.canonical : nullptr);
    for (int i = 0; i < entry.arg_count; ++i)
        call.args.push_back(reader.next(mode_of(entry, i), i + 1 == entry.arg_count ? ')' : ','));
    if (entry.arg_count > 0 && call.has(0) && mode_of(entry, 0) != ArgMode::output)
        call.path = form_object_path(call.arg(0), block.object_prefix);

    if (block.kind == k_kind_group && holds_for_group(entry.name)) engine::render_hold();

    CommandHandler handler = g_handlers[static_cast<std::size_t>(index)].load();
    const bool done = handler ? handler(call) : not_available(call);
    if (entry.locked) engine::give_command_lock();
    next = done ? call.next : pos;
    return true;
}

void register_engine_commands(); // engine_commands.cpp

void install_command_table() {
    register_engine_commands();
    set_command_dispatcher(dispatch_command);
}

} // namespace kestrune::script
