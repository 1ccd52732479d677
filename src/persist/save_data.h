// Save data: the common data shared by every slot (the global variables and the read-text
// map, under "common/" of the save folder) and the numbered save slots.
//
// Every file is written whole beside its target, synced, and renamed over it (the two
// common files with one sync and one folder sync; with a Save, in the slot's sync), so a
// crash or a full disk leaves the previous file in place. A
// common file that exists but cannot be read is moved aside ("val.vkf.bad") rather than
// overwritten, so a damaged file never turns into an empty store on disk.
//
// Threading contract: read_common_data() runs on the main thread in the script start
// sequence, before any script thread exists. write_common_data() runs on the thread of the
// command that asks for it (Reset, Exit, Save) or on the main thread at shutdown; the
// variable store and the read-text map take their own locks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestrune::script {
struct ScriptBlock;
}
namespace kestrune::storage {
struct FolderFile;
}

namespace kestrune::persist {

// Names of the common folder and files, as full paths under the save folder.
std::string common_folder_path();
std::string common_globals_path();
std::string common_read_text_path();

// Start-up: the global-variables block of the common data, checked (the container removed);
// empty when there is none. A file that exists but cannot be read or checked is moved aside
// and reported. Marks the common data as read, which write_common_data() requires.
std::vector<std::uint8_t> read_common_globals();
// Start-up, after the globals: merges the saved read-text map (a damaged file is moved
// aside).
void read_common_read_text_map();

// Writes the global variables, then the read-text map. Does nothing (and succeeds) when
// saving is switched off by the settings, and before the common data was read this run (a
// start that failed early must not replace the saved globals with an empty store).
bool write_common_data();
// A Save writes the common data together with its slot (one sync for all the files): the
// two common files to write beside their targets are added to `files` (their bytes held
// by `keep`). False, adding nothing, when the common data is not written (saving off, the
// common data not read this run, or its folder cannot be made).
struct CommonBytes {
    std::vector<std::uint8_t> globals, map;
};
bool add_common_files(CommonBytes& keep, std::vector<storage::FolderFile>& files);
// Once they are synced: renames them over the common files. The renames are durable only
// after a sync of the common folder, which the caller does with its own.
bool put_common_files_in_place();
// After a failure: the temporary files go.
void drop_common_files();
// `Load` of slot 0: the globals again from the common file; the store is replaced only when
// the whole file reads and checks.
bool reload_common_globals();

// Saves the running game into a slot (1 to 9999) as the Save command does, `saving` being
// the block that runs it and `resume` where it goes on. False with a reason.
bool save_slot(int slot, const script::ScriptBlock* saving, const char* resume, std::string& error);
// Reads and checks every block of a slot as a load does first (MountSavedata), without
// loading it. False with a reason.
bool check_slot(int slot, std::string& error);

// Registers the save commands (Save, Load, DeleteSaveFile), the built-ins ExistSave and
// MountSavedata, the engine hooks of the save data and the load that the main loop runs
// in engine state 513 (once, at start).
void register_save_data(std::vector<std::function<bool()>>& load_sequence);

} // namespace kestrune::persist
