#include "persist/save_data.h"

#include "persist/settings.h"
#include "script/commands.h"
#include "script/read_text.h"
#include "script/variables.h"
#include "storage/codec.h"
#include "storage/storage.h"

#include <atomic>
#include <span>

namespace kestrune::persist {

namespace {

// Set once the common data of this run was read (or found missing): only then does the
// store hold what a write may put on disk.
std::atomic<bool> g_common_read{false};

std::string folder() {
    return settings().save_folder;
}

// Moves a file that exists but cannot be used out of the way and says so.
void set_aside(const std::string& path, const std::string& why) {
    const std::string moved = storage::move_aside(path);
    storage::report_fault(path, why + (moved.empty() ? std::string("; it could not be moved aside")
                                                     : "; moved aside to " + moved));
}

// Reads a common file that exists; false (and the file set aside) when it cannot be read.
bool read_existing(const std::string& path, storage::FileBytes& out) {
    std::string error;
    if (storage::read_whole_file(path, out, error)) return true;
    set_aside(path, error.empty() ? "cannot be read" : error);
    return false;
}

} // namespace

std::string common_folder_path() {
    return folder() + "/common";
}

std::string common_globals_path() {
    return folder() + "/common/val.vkf";
}

std::string common_read_text_path() {
    return folder() + "/common/cqst.vkf";
}

std::vector<std::uint8_t> read_common_globals() {
    std::vector<std::uint8_t> block;
    if (!settings().save_enabled) return block;
    g_common_read = true;
    const std::string path = common_globals_path();
    if (!storage::loose_file_exists(path)) return block;
    storage::FileBytes bytes;
    if (!read_existing(path, bytes)) return block;
    const std::span<const std::uint8_t> data(bytes.data.get(), bytes.size);
    std::string why;
    if (!script::var_check_block(true, data, why)) {
        set_aside(path, "global variables refused: " + why);
        return block;
    }
    block.assign(data.begin(), data.end());
    return block;
}

void read_common_read_text_map() {
    if (!settings().save_enabled) return;
    const std::string path = common_read_text_path();
    if (!storage::loose_file_exists(path)) return;
    storage::FileBytes bytes;
    if (!read_existing(path, bytes)) return;
    std::string why;
    if (!script::read_text_restore({bytes.data.get(), bytes.size}, why))
        set_aside(path, "read-text map refused: " + why);
}

namespace {

const char* const k_common_names[2][2] = {{"val.vkf.new", "val.vkf"}, {"cqst.vkf.new", "cqst.vkf"}};

} // namespace

bool add_common_files(CommonBytes& keep, std::vector<storage::FolderFile>& files) {
    if (!settings().save_enabled || !g_common_read) return false;
    const std::string common = common_folder_path();
    if (!storage::make_folder(common)) {
        storage::report_fault(common, "cannot create the folder");
        return false;
    }
    keep.globals = script::var_serialise(true);
    keep.map = script::read_text_serialise();
    const std::vector<std::uint8_t>* bytes[2] = {&keep.globals, &keep.map};
    for (int i = 0; i < 2; ++i)
        files.push_back({common + "/" + k_common_names[i][0], bytes[i]->data(), bytes[i]->size(),
                         storage::WriteMode::container, common + "/" + k_common_names[i][1]});
    return true;
}

bool put_common_files_in_place() {
    const std::string common = common_folder_path();
    for (const auto& names : k_common_names)
        if (!storage::rename_path(common + "/" + names[0], common + "/" + names[1], false)) {
            storage::report_message("the common save data could not be put in place");
            return false;
        }
    return true;
}

void drop_common_files() {
    for (const auto& names : k_common_names)
        storage::delete_file(common_folder_path() + "/" + names[0]);
}

bool write_common_data() {
    if (!settings().save_enabled || !g_common_read) return true;
    CommonBytes keep;
    std::vector<storage::FolderFile> files;
    // Both written beside their files, synced together, then renamed over them.
    const bool ok = add_common_files(keep, files) && storage::write_files_synced(files) &&
                    put_common_files_in_place();
    if (ok) storage::sync_folder(common_folder_path());
    if (!ok) {
        drop_common_files();
        storage::report_message("the common save data could not be written");
    }
    return ok;
}

bool reload_common_globals() {
    if (!settings().save_enabled) return true;
    const std::string path = common_globals_path();
    storage::FileBytes bytes;
    std::string error;
    if (!storage::read_whole_file(path, bytes, error)) {
        storage::report_fault(path, error.empty() ? "cannot be read" : error);
        return false;
    }
    // var_restore checks the whole header before it clears the store.
    return script::var_restore(true, {bytes.data.get(), bytes.size}, path);
}

void register_save_slots(std::vector<std::function<bool()>>& load_sequence);

void register_save_data(std::vector<std::function<bool()>>& load_sequence) {
    register_save_slots(load_sequence);
    // Reset and Exit keep the globals; so does every other end of the program (the reader
    // closing the window, a headless run whose scripts ended), which runs the exit hook.
    script::command_hooks().save_globals = [] { write_common_data(); };
}

} // namespace kestrune::persist
