// The command table and dispatcher. After the control words, the statement loop offers the
// text at the cursor to the dispatcher, which matches the 92 command names in table order
// (a name matches when it is followed by '(', a blank, a line end or the full-width space),
// reads the arguments and calls the command's handler.
//
// Subsystems own most commands: each registers its handler once at start-up with
// register_command(). A command whose subsystem is not built yet reads its arguments and
// says on stderr, once per name, that it is not available yet.
//
// Threading: handlers run on script threads. Commands marked `locked` run under the command
// lock, taken without blocking: a handler that finds it taken leaves its statement for a
// later pass (after a short yield, so the retry does not spin).
#pragma once

#include "script/arguments.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::script {

struct ScriptContext;
struct ScriptBlock;

struct CommandEntry {
    const char* name;
    int arg_count;
    bool locked;       // runs under the command lock
    bool creating;     // builds a canonical text of itself
    const char* modes; // per argument: 'q' quoted, 'p' plain, 'o' output variable name
};

// The 92 commands in the order in which they are tried.
const std::vector<CommandEntry>& command_table();
// Index of the command whose name is at `text` (with the required byte after it), or -1.
int match_command(const char* text, const char* end);

struct CommandCall {
    ScriptContext& context;
    ScriptBlock& block;
    const CommandEntry& entry;
    std::vector<std::optional<std::string>> args; // absent arguments are nullopt
    std::string canonical;                        // "Name(arg,...);" for creating commands
    std::string path; // object path formed from the first argument and the prefix
    char* statement;  // start of the statement
    char* next;       // where execution continues (handlers may change it)

    // The argument as text ("" when absent).
    std::string arg(std::size_t i) const {
        return i < args.size() && args[i] ? *args[i] : std::string();
    }
    bool has(std::size_t i) const { return i < args.size() && args[i].has_value(); }
};

// A command handler. It runs after the arguments were read and the path formed; it may
// move `call.next`. Returning false means "not done, retry the statement on a later pass".
using CommandHandler = bool (*)(CommandCall& call);

// Installs the handler of a command by name; false for a name not in the table.
bool register_command(std::string_view name, CommandHandler handler);
// The handler installed for a command (null when none), so that a subsystem that extends a
// command of another to its own objects can pass the call on.
CommandHandler registered_handler(std::string_view name);

// The dispatcher the statement loop calls (installed by install_command_table()).
bool dispatch_command(ScriptContext& context, ScriptBlock& block, char* pos, char*& next);
void install_command_table();

// The divisor applied to script waits: 1.0 in engine state 400, 32.0 in skip mode,
// otherwise the speed-table entry chosen by play_speed.
double speed_factor();

// The script registered for a one-character shortcut key (empty when none).
std::string shortcut_script(unsigned char key);

// What the engine-side commands need from subsystems built later; each may stay null.
struct CommandHooks {
    void (*save_globals)() = nullptr;            // Reset, Exit
    void (*mark_all_changed)() = nullptr;        // Draw: whole screen changed
    void (*mark_objects_for_redraw)() = nullptr; // waits in process blocks
    void (*restart_object_clocks)() = nullptr;   // after a suspended wait
    void (*show_text_window)() = nullptr;        // after WaitKey
    bool (*object_position)(const std::string& path, std::int32_t owner_key, double& x,
                            double& y) = nullptr; // Position
    bool (*pointer_over_clickable)() = nullptr;   // WaitKey ignores clicks over one
    void (*menu_wait_animation)(bool waiting) = nullptr;
    void (*warp_pointer)(std::int32_t x, std::int32_t y) = nullptr;
    void (*wait_cursor)(bool on) = nullptr; // Save, DeleteSaveFile: the wait cursor, then the arrow
    bool headless = true;                   // System only records what it would open
};
void set_command_hooks(const CommandHooks& hooks);
CommandHooks& command_hooks();

} // namespace kestrune::script
