// The script contexts of a save slot: every context of the main set with the whole text of
// each file it has loaded, every block's position, stacks, parameters and links, so that a
// load runs the story on from the statement after the `Save`.
//
// Block layout ("VKSS" block, little-endian):
//   "VKSS", tag 0xF1F122C4, u32 total size, u32 context count, then per context:
//   u32 identity, i32 owner key, u32 running, u32 own-thread flag, u32 host identity,
//   u32 identities of the current block, next context and return context;
//   u32 file count, per file: u32 slot, u32 load time (at least 1), u32 included,
//   text name, u32 size, the text's bytes;
//   u32 block count, per block (list order): u32 slot, u32 ordinal among that file's
//   blocks, text name, u32 identity, i32 run state, owns-objects, button-held, input code,
//   execution kind, had-thread flag, finished, active, 16 parameter texts, the object prefix
//   text, the cursor and statement start and the 4 x 8 stack positions (each a presence
//   word and a u32 offset from the file's start), loop depth, select depth, 8 case flags,
//   two saved pointer words, callee and caller identities.
// A text is a u32 length and its bytes. Identities are sequence numbers from 1; 0 means
// none; an identity that matches nothing also means none.
//
// Threading contract: snapshot_contexts() runs on the saving script thread under the
// command lock while rendering is held; the other threads may be mid-statement, and their
// blocks are saved at their statement start. stage_contexts() runs on the main thread
// while the scripts still run (it touches nothing live); adopt_staged_contexts() runs on
// the main thread in engine state 514 after every script thread ended.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kestrune::script {

struct ScriptBlock;

// The main set's contexts as a VKSS block. `saving` (the block that runs Save) is saved as
// if its cursor stood at `resume` (the statement after the Save). False with a reason when
// a position lies outside its file (nothing is then saved).
bool snapshot_contexts(const ScriptBlock* saving, const char* resume,
                       std::vector<std::uint8_t>& out, std::string& error);

// Contexts read back from a block, complete and checked, but not yet running.
struct StagedContexts;
struct StagedDeleter {
    void operator()(StagedContexts* s) const;
};
using StagedContextsPtr = std::unique_ptr<StagedContexts, StagedDeleter>;
// Parses and checks the whole block and builds the contexts (files pre-scanned again,
// every block matched to its saved record, links resolved). Null with a reason on any
// fault; nothing live is touched.
StagedContextsPtr stage_contexts(std::span<const std::uint8_t> block, std::string& error);
// Moves the staged contexts into the main set: owner nodes made under their saved keys and
// threads created (they wait for the running state). False when an owner node or a thread
// could not be made (the contexts are then freed again).
bool adopt_staged_contexts(StagedContextsPtr staged, std::string& error);

} // namespace kestrune::script
