// Internal to the statement loop, the control words and the thread routines: not a public
// header.
#pragma once

#include "script/context.h"
#include "script/expressions.h"

namespace kestrune::script::flow {

// End of the loaded text that holds the block (the zeroed slack follows it).
const char* text_end(const ScriptContext& ctx, const ScriptBlock& b);
const char* text_start(const ScriptContext& ctx, const ScriptBlock& b);
// The evaluator's view of a block (built fresh: the prefix may change between statements).
EvalContext eval_context(ScriptContext& ctx, ScriptBlock& b);

// Control words at the cursor. True when one matched; `next` is where execution goes on.
bool try_control_word(ScriptContext& ctx, ScriptBlock& b, char* pos, char*& next);

// Loop and select ends after each statement.
void check_loop_and_select_ends(ScriptContext& ctx, ScriptBlock& b);

// End processing of a block: hold rendering, run state 0, delete the objects it owns.
void end_block(ScriptContext& ctx, ScriptBlock& b);

// Calls `target` from `caller` (both on the caller's thread).
void call_block(ScriptBlock& caller, ScriptBlock& target);
// A block that may be called now: not already in a call chain (a call into a running
// block would make the chain a loop).
bool callable(const ScriptBlock& target);

// "%s/%s" of prefix and name, or name alone when the prefix is empty; cut to 255 bytes.
void join_prefix(char* out, const char* prefix, const char* name);

// Marks a CR/LF passed by a main-set script in engine state 256 as read.
void mark_read(ScriptContext& ctx, ScriptBlock& b, const char* pos);
// The read-text flags of the file of b and the offset of pos in it; null when pos is not
// in that file or the file has no flags.
ReadTextNode* read_map_at(const ScriptContext& ctx, const ScriptBlock& b, const char* pos,
                          std::size_t& offset);

// Wait of a process block whose run state is not 1 (at begin, paused, ended, ...).
void process_wait(ScriptBlock& b);

// After a block finished and the thread moves on: frees the blocks of a scene's or cut's
// file when nothing of that file still runs or waits.
void maybe_unload_file(ScriptContext& ctx, const ScriptBlock& finished);

// Thread-local record of what the calling thread executes, and of its registry handle.
void set_thread_position(ScriptContext* ctx, ScriptBlock* b);
void set_thread_handle(int handle);

// The default command dispatcher: knows only the flow command `Escape` until the command
// table takes over.
bool dispatch_flow_commands(ScriptContext& ctx, ScriptBlock& b, char* pos, char*& next);
DispatchCommand command_dispatcher();

} // namespace kestrune::script::flow
