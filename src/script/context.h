// Script contexts and blocks: the records of loaded script files, of the chapters, scenes,
// cuts, functions and anonymous groups found in them, and of the threads that run them.
//
// A context owns up to 512 loaded files and every block the pre-scan found in them, and runs
// on one thread of its own; the block it executes at a moment is its current block. Calls
// between blocks run on the same thread (the caller waits in run state 2); a chapter call
// into another file runs a new context on the caller's thread until it ends; CreateProcess
// runs a block on a thread of its own. There are two sets of contexts: the main set runs in
// engine state 256, the system set (system scripts) in state 400.
//
// Threading contract:
//  - A context's blocks list may grow (call_scene loading another file) or shrink (the
//    blocks of a scene's file are freed when it ends) while other threads of the same
//    context (process threads) look blocks up: every walk and change of the list holds
//    the context's m_blocks_mutex. Block records themselves stay put until freed.
//  - A block's run state is written by other threads (process requests, CreateProcess) and
//    read at every pass of the statement loop: it is atomic. Every other field belongs to
//    the thread executing the block.
//  - Loading files into contexts is serialised by lock 5.
//  - A context record is freed only after its thread has ended (a context freed by its
//    own thread is retired and reclaimed later).
#pragma once

#include "platform/memory.h"
#include "platform/sync.h"
#include "script/read_text.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestrune::script {

// Block kinds.
inline constexpr std::int32_t k_kind_chapter = 1;
inline constexpr std::int32_t k_kind_scene = 2;
inline constexpr std::int32_t k_kind_cut = 4;
inline constexpr std::int32_t k_kind_function = 8;
inline constexpr std::int32_t k_kind_group = 10;

// Block run states.
inline constexpr std::int32_t k_run_stopped = 0;
inline constexpr std::int32_t k_run_running = 1;
inline constexpr std::int32_t k_run_calling = 2;
inline constexpr std::int32_t k_run_created = 16; // process created, not yet started
inline constexpr std::int32_t k_run_at_begin = 17;
inline constexpr std::int32_t k_run_rewind = 18;
inline constexpr std::int32_t k_run_play = 19;
inline constexpr std::int32_t k_run_paused = 20;
inline constexpr std::int32_t k_run_resume = 21;
inline constexpr std::int32_t k_run_ended = 22;

// Execution kinds.
inline constexpr std::int32_t k_exec_thread = 1;  // on its context's thread
inline constexpr std::int32_t k_exec_process = 2; // on a process thread of its own

// Fixed sizes of the records (text fields hold one byte less, NUL-terminated).
inline constexpr int k_max_files = 512;
inline constexpr int k_max_skip_regions = 512;
inline constexpr int k_max_params = 16;
inline constexpr int k_stack_depth = 8;
inline constexpr std::size_t k_block_name_size = 256;
inline constexpr std::size_t k_param_name_size = 64;
inline constexpr std::size_t k_param_value_size = 128;

// One entry of a text section `<PRE name> [label] text ... </PRE>`.
struct TextEntry {
    int section_index = 0; // skip-region index of the section in its block
    char section_name[k_block_name_size] = {};
    char label[k_block_name_size] = {};
    char* first = nullptr; // first byte of the entry's text
    char* last = nullptr;  // last byte of the entry's text
};

// A text section of a block: a skip region that the text display reads entries from.
struct TextSection {
    int region = 0; // skip-region index
    char name[k_block_name_size] = {};
    char first_label[k_block_name_size] = {};
};

struct ScriptContext;

struct ScriptBlock {
    ScriptContext* context = nullptr;
    std::uint32_t number = 0; // unique number (names anonymous groups, saves refer to it)
    std::atomic<std::int32_t> run_state{k_run_stopped};
    std::int32_t owns_objects = 0;
    std::int32_t button_held = 0;
    std::int32_t input_code = 0;
    std::atomic<std::int32_t> exec_kind{k_exec_thread};
    std::int32_t kind = 0;
    std::int32_t file_slot = -1;
    std::atomic<int> thread{-1}; // process thread, -1 when none
    platform::Event event{true, true};
    std::atomic<std::int32_t> finished{0};
    std::atomic<std::int32_t> active{0};
    char name[k_block_name_size] = {};
    char object_prefix[k_block_name_size] = {};
    std::int32_t param_count = 0;
    std::int32_t param_kinds[k_max_params] = {}; // 1 declared in double quotes, 2 otherwise
    char param_names[k_max_params][k_param_name_size] = {};
    char param_values[k_max_params][k_param_value_size] = {};
    char* start = nullptr; // first byte after the opening brace
    char* begin = nullptr; // just after `begin:`, or start
    char* end = nullptr;   // the byte before the closing brace
    char* cursor = nullptr;
    char* statement_start = nullptr;
    char* loop_starts[k_stack_depth] = {};
    char* loop_ends[k_stack_depth] = {};
    char* select_starts[k_stack_depth] = {};
    char* select_ends[k_stack_depth] = {};
    int skip_count = 0;
    char* skip_starts[k_max_skip_regions] = {};
    char* skip_ends[k_max_skip_regions] = {};
    std::vector<TextSection> sections;
    std::vector<TextEntry> text_entries;
    std::int32_t saved_pointer[2] = {-1, -1};
    ScriptBlock* callee = nullptr;
    ScriptBlock* caller = nullptr;
    std::uint8_t loop_depth = 0;
    std::uint8_t select_depth = 0;
    std::uint8_t case_taken[k_stack_depth] = {};
    int line = 0; // line of the defining keyword, for messages

    bool is_process() const { return exec_kind.load() == k_exec_process && kind != k_kind_group; }
    // Empties the while and select stacks and the case flags.
    void clear_stacks();
};

struct ScriptFile {
    std::string name; // resource name as loaded, backslashes for slashes
    std::size_t size = 0;
    platform::BlockPtr text; // whole text in a zeroed block; null: free slot
    std::uint32_t load_time = 0;
    bool included = false;            // loaded by #include: never unloaded early
    ReadTextNode* read_map = nullptr; // its read-text flags
    char* data() const { return reinterpret_cast<char*>(text.get()); }
};

struct ScriptContext {
    std::atomic<std::int32_t> in_use{0};
    std::atomic<std::int32_t> running{0};
    std::atomic<std::int32_t> owner_state{0};
    std::atomic<int> thread{-1};      // its own thread; -1 for a context a chapter call made
    std::atomic<int> host_thread{-1}; // the thread that runs it (the caller's for a chapter)
    platform::Event event{true, true};
    std::int32_t owner_key = -1;
    int set = 0; // 0 main set, 1 system set
    std::array<ScriptFile, k_max_files> files;
    std::mutex m_blocks_mutex;
    std::list<std::unique_ptr<ScriptBlock>> blocks;
    std::atomic<ScriptBlock*> current{nullptr};
    ScriptContext* next_context = nullptr;
    ScriptContext* return_context = nullptr;

    // Slot of the loaded file that holds p, or -1.
    int slot_of(const char* p) const;
};

// A problem found in a script file: reported as "file:line: message".
struct ScriptProblem {
    std::string file;
    int line = 0;
    std::string message;
    bool fatal = true; // false: the file still loads (a name was cut, say)
    std::string text() const;
};

// ---- scene store hooks -----------------------------------------------------------------
// The scene store installs these; until then they do nothing and report success.
struct SceneHooks {
    // Creates the owner node of a context under its (fresh, random) key; false on failure.
    bool (*create_owner)(std::int32_t owner_key) = nullptr;
    // Releases every object of the owner (UnLock request, delete) and removes the node.
    void (*release_owner)(std::int32_t owner_key) = nullptr;
    // Deletes the objects of the owner under `prefix` (all of them when it is empty).
    void (*delete_objects)(std::int32_t owner_key, const char* prefix) = nullptr;
    // Creates the group object `path` as CreateName does; false when refused.
    bool (*create_group)(ScriptContext& context, ScriptBlock& block, const char* path) = nullptr;
    // Restarts the clocks of all objects and redraws the whole screen (a system script
    // ended and the main scene shows again).
    void (*resume_scene)() = nullptr;
    // A system script is about to start (called under no lock): pause the sounds and movies
    // of all objects, stop their pending effects, end the hover of every choice, and have
    // the full frame presented once.
    void (*pause_for_system_script)() = nullptr;
};
void set_scene_hooks(const SceneHooks& hooks);
const SceneHooks& scene_hooks();

// What `select` and `case` need from the choices and the input handling. Until those exist
// no case is ever chosen and a select waits for the quit, state-changed and attention
// events and the block's own event.
struct ChoiceHooks {
    // The choice test of a `case`: true when the object of `path` is chosen (it also drives
    // the choice's hover and press display).
    bool (*chosen)(ScriptBlock& block, const char* path) = nullptr;
    void (*end_hover)() = nullptr;          // forget the hovered choice
    void (*clear_select_marks)() = nullptr; // clear the select-member marks of all objects
    int (*button_held)() = nullptr;         // the process-wide button-held flag
    void (*pointer_position)(std::int32_t& x, std::int32_t& y) = nullptr;
    void (*reset_input_events)() = nullptr; // of the current process set
    // The second pass of a select: waits for input (quit, state change, attention, the
    // block's event, pointer moves, input codes) and returns the input code that ended the
    // wait, or 0 for any other wake-up.
    std::int32_t (*wait_input)(ScriptBlock& block) = nullptr;
    void (*reset_cursor_shape)() = nullptr; // the arrow again
};
void set_choice_hooks(const ChoiceHooks& hooks);
const ChoiceHooks& choice_hooks();

// ---- contexts ----------------------------------------------------------------------------
// Loads `file` into a new context of the current set (system set in engine state 400) with
// `block_name` (a chapter or scene) as current block; null and a message on stderr when the
// file cannot be loaded or pre-scanned or has no such block.
ScriptContext* load_into_new_context(const std::string& file, const char* block_name,
                                     ScriptContext* return_context, int set,
                                     std::vector<ScriptProblem>* problems = nullptr);
// Loads `file` into `context` (once; an already loaded file returns its slot). Returns the
// slot or -1. `included` marks a file loaded by #include.
int load_into_context(ScriptContext& context, const std::string& file, bool included,
                      std::vector<ScriptProblem>* problems = nullptr);
// Frees a context: its objects, files and blocks. Its process threads are stopped and its
// thread is waited for first; a context freed by the thread that runs it (or whose thread
// would not end) is retired and reclaimed once that thread has ended.
void free_context(ScriptContext* context);
void free_set(int set);
// Appends contexts made elsewhere (a restored save) to a set. Their owner nodes must exist.
void adopt_contexts(std::vector<std::unique_ptr<ScriptContext>> contexts, int set);
std::vector<ScriptContext*> contexts_of_set(int set);
void reap_retired_contexts();
bool any_retired_thread_alive();
// Stops the process thread of a block (run state 0, resume, signal, bounded waits) and
// releases its registry entry. False when the thread would not end. The release operation
// of the process object calls it under the scene lock (held once) with holding_scene_lock:
// the lock is then given back while waiting for a process that is executing statements.
bool stop_process_block(ScriptBlock& block, bool holding_scene_lock = false);
// Frees the blocks of a file slot and closes it (a scene's file when the scene ends).
void unload_file(ScriptContext& context, int slot);

// First block of that name whose kind is in `kinds` (a bit set of kinds; 0 = any), and in
// file `slot` unless it is -1.
ScriptBlock* find_block(ScriptContext& context, const char* name, std::int32_t kinds, int slot);
// Context holding a block / with an owner key; block by unique number (any context).
ScriptContext* find_context_of(const ScriptBlock* block);
ScriptContext* find_context_by_owner(std::int32_t owner_key);
ScriptBlock* find_block_by_number(std::uint32_t number);

// Resource name of a script: "file:" prefix removed, else the resource path prefix (the
// setting current_path) put in front; slashes become backslashes.
std::string script_resource_name(const std::string& name);

// Reads a whole script file into a zeroed block through the file-access layer (file cache,
// archives, loose files, VKSF containers decoded). On failure error says why.
platform::BlockPtr read_script_text(const std::string& resource_name, std::size_t& size,
                                    std::string& error);

// Line number (1-based) of p in the file text that holds it.
int line_of(const ScriptContext& context, const char* p);
// "file:line: message" on stderr, once per script line: a loop that runs a faulty statement
// again and again reports it the first time only.
void report_problem(const ScriptContext& context, const char* at, const std::string& message);
// How report_problem treats what it is told: print it, say nothing (--quiet), or print it
// and end the run at the first one (--strict; problem_ended_run() then says so).
enum class ProblemMode { report, quiet, strict };
void set_problem_mode(ProblemMode mode);
bool problem_ended_run();

// Starts a system script (backlog screen, a shortcut's script, the close script) on the
// system set: the main scripts stand still in engine state 400 until it ends. Refused (false)
// for an empty name, within 300 ms of the last start, in skip mode (which it ends instead),
// while `$SYSTEM_menu_lock` is set (unless `ignore_menu_lock`: the close script), unless
// rendering runs and is not held, the engine state is 256 and the command lock is free.
bool start_system_script(const std::string& name, bool ignore_menu_lock = false);

// Installs the built-ins that belong to the script threads (Conquest). Called by
// start_main_script; calling it again does no harm.
void register_flow_builtins();

// ---- script blocks inside text ------------------------------------------------------------
// A `{...}` block inside the prose of a text section runs on a thread of its own while the
// text waits for it. `start` is one past its "{" in the file of `reader` (the block that
// laid the text out). Null, with a message, when the block is not known or no thread could
// be started.
struct InlineScript;
std::shared_ptr<InlineScript> start_inline_script(ScriptBlock& reader, const char* start);
bool inline_script_running(const InlineScript& run);
// Releases the thread of a finished block; one still running is asked to stop and left to
// end by itself (never waited for: the caller may hold a lock the block needs).
void end_inline_script(InlineScript& run);
// The read-text map at a position of the text laid out from `reader`'s file: whether it was
// read, and marking it read as the reader passes it (which ends skip mode at text not read
// before, unless `skip_absolute`).
bool text_position_read(const ScriptBlock& reader, const char* pos);
void mark_text_position(ScriptBlock& reader, const char* pos);

// ---- pre-scan -----------------------------------------------------------------------------
// Pre-scans the file in `slot` of `context`: creates its blocks, skip regions and text
// sections, and lists its #include lines (the loader loads them). False (problems appended,
// no block of the file left) when the file is refused.
struct IncludeRequest {
    std::string name;
    int line = 0;
};
bool prescan_file(ScriptContext& context, int slot, std::vector<ScriptProblem>& problems,
                  std::vector<IncludeRequest>* includes);
// Loads and pre-scans one script file on its own (no thread, no scene objects) and returns
// every problem found; empty when the file is sound. For `--check`.
std::vector<ScriptProblem> check_script_file(const std::string& file);
// Loads `file` (and its #include files) into a context of its own that belongs to no set
// and runs nothing: slot 0 holds the file unless it was refused (problems appended).
std::unique_ptr<ScriptContext> load_detached(const std::string& file,
                                             std::vector<ScriptProblem>& problems);

// ---- statement loop and threads --------------------------------------------------------
// The command dispatcher (the command table). Returns true when it handled the statement
// at `pos` and sets `next` to where execution continues; false with `next` at `pos` when no
// command matched. Calls of script functions are not its business: the statement loop
// tries them (try_function_call) when the dispatcher reports no match. Until the command
// table is installed the default knows the flow command `Escape` only; a replacement must
// handle `Escape` itself (escape_blocks). Passing null installs a dispatcher that matches
// nothing.
using DispatchCommand = bool (*)(ScriptContext& context, ScriptBlock& block, char* pos,
                                 char*& next);
void set_command_dispatcher(DispatchCommand dispatch);

// Runs the command dispatcher once on a text that belongs to no file (the creating command
// of a saved object, run again when a save is restored), with a scratch block whose object
// prefix is given. True when a command handled it.
bool run_command_text(ScriptContext& context, const char* object_prefix, const std::string& text);

// Calls of script functions (`name(args)`): tried when no command matched.
bool try_function_call(ScriptContext& context, ScriptBlock& block, char* pos, char*& next);

// Runs `block` until it ends, calls another block, waits, or the engine leaves the
// running range (one run of the statement loop on the calling thread).
void run_statement_loop(ScriptContext& context, ScriptBlock& block);
// `Escape` with n levels: leaves n blocks of the call chain at once; the chain's end stops
// it. Returns the position where execution continues.
char* escape_blocks(ScriptContext& context, ScriptBlock& block, int levels);

// Thread routines: one per context, one per process block (argument: the ScriptBlock).
//
// CreateProcess starts a process block like this: unless the engine state is 514, set the
// block's object prefix to the process object's path, clear callee and caller, reset the
// statement start to the start, set run state 16 and reset the block's event; create the
// thread suspended with process_thread_routine and the block, store the handle in
// block.thread; create the process object; resume the thread; then wait (steps of 4 ms on
// quit, state change and the block's event) until the run state is 0, 17 or 22: the
// prologue before `begin:` has run.
void context_thread_routine(void* context);
void process_thread_routine(void* block);
// The process object's request words ("Open", "Start", "Stop", "Pause", "Resume"):
// returns -1 when the word is not one of them, else the request's result (0 or 1).
int process_request(ScriptBlock* block, const char* word);

// What the calling thread executes: its context and block (null on other threads), and the
// registry handle of the calling script thread (-1 on other threads).
ScriptContext* current_context();
ScriptBlock* current_block();
int calling_script_thread();

} // namespace kestrune::script
