// The numbered save slots: Save, Load, DeleteSaveFile, ExistSave and MountSavedata.
//
// A slot is the folder NNNN of the save folder with script.vkf, frames.vkf, bklg.vkf and
// val.vkf (each in the VKSF container) and the plain VKSI thumbnail thum.vkf. A save
// builds every block in memory first, writes the files into NNNN.new (and the common
// data beside its files, synced with them), and only then swaps the folders: NNNN becomes
// NNNN.old, NNNN.new becomes NNNN, NNNN.old goes; the common files are renamed over theirs.
// Whatever moment a crash or a full disk interrupts this, either the old or the complete new slot
// remains (a slot found missing with NNNN.old beside it is put back first).
//
// A load reads and checks every block into staging data on the script thread that runs
// Load, while the game goes on; a slot that fails is reported and the script continues.
// Only a complete staging asks the main loop (engine state 513) to tear the running game
// down and put the staged one in its place.
#include "persist/save_data.h"

#include "frame/engine.h"
#include "persist/settings.h"
#include "platform/clock.h"
#include "scene/raster.h"
#include "scene/records.h"
#include "scene/scene.h"
#include "script/commands.h"
#include "script/context.h"
#include "script/expressions.h"
#include "script/script.h"
#include "script/snapshot.h"
#include "script/system_variables.h"
#include "script/variables.h"
#include "storage/image_loader.h"
#include "storage/save_bytes.h"
#include "storage/storage.h"
#include "text/backlog.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace kestrune::persist {

namespace {

constexpr int k_max_slot = 9999;
const char* const k_slot_files[] = {"script.vkf", "frames.vkf", "bklg.vkf", "val.vkf"};

std::string slot_folder(int slot, const char* suffix = "") {
    char name[16];
    std::snprintf(name, sizeof name, "/%04d", slot);
    return settings().save_folder + name + suffix;
}

bool valid_slot(int slot) {
    return slot >= 1 && slot <= k_max_slot;
}

// A slot left without its folder by an interrupted swap gets its old folder back.
void recover_slot(int slot) {
    const std::string folder = slot_folder(slot);
    const std::string old = slot_folder(slot, ".old");
    if (!storage::folder_exists(folder) && storage::folder_exists(old))
        storage::rename_path(old, folder);
}

bool slot_exists(int slot) {
    if (!valid_slot(slot)) return false;
    recover_slot(slot);
    for (const char* f : k_slot_files)
        if (!storage::loose_file_exists(slot_folder(slot) + "/" + f)) return false;
    return true;
}

// The thumbnail: the presented picture scaled by nearest neighbour, opaque. Empty when
// there is no picture yet.
std::string thumbnail() {
    auto screen = storage::load_image("SCREEN");
    if (!screen || screen->empty()) return {};
    const auto w = std::int32_t(std::min(1024.0, script::setting_number("save_thumbnail_width")));
    const auto h = std::int32_t(std::min(576.0, script::setting_number("save_thumbnail_height")));
    PixelImage thumb;
    if (w <= 0 || h <= 0 || !thumb.allocate(w, h)) return {};
    for (std::int32_t y = 0; y < h; ++y) {
        const std::uint32_t* src =
            screen->row32(std::int32_t(std::int64_t(y) * screen->height / h));
        std::uint32_t* dst = thumb.row32(y);
        for (std::int32_t x = 0; x < w; ++x)
            dst[x] = src[std::int64_t(x) * screen->width / w] | 0xFF000000u;
    }
    thumb.kind = k_kind_capture;
    std::string bytes;
    if (!storage::encode_vksi(thumb, bytes)) return {};
    return bytes;
}

bool write_slot(int slot, const script::ScriptBlock* saving, const char* resume,
                std::string& error) {
    std::vector<std::uint8_t> blocks[4];
    if (!script::snapshot_contexts(saving, resume, blocks[0], error)) return false;
    if (!scene::snapshot_scene(saving, blocks[1], error)) return false;
    blocks[2] = text::backlog_save();
    blocks[3] = script::var_serialise(false);
    const std::string thumb = thumbnail();

    const std::string folder = slot_folder(slot);
    const std::string fresh = slot_folder(slot, ".new");
    const std::string old = slot_folder(slot, ".old");
    recover_slot(slot);
    storage::remove_folder(fresh); // a stale one of an interrupted save
    if (!storage::make_folder(fresh)) {
        error = "cannot create " + fresh;
        return false;
    }
    // The new folder is read by nobody until it is renamed into place: its files need no
    // temporary names. The common files go beside their targets, and all are synced
    // together with one sync.
    std::vector<storage::FolderFile> files;
    for (int i = 0; i < 4; ++i)
        files.push_back({fresh + "/" + k_slot_files[i], blocks[i].data(), blocks[i].size(),
                         storage::WriteMode::container, ""});
    if (!thumb.empty())
        files.push_back(
            {fresh + "/thum.vkf", thumb.data(), thumb.size(), storage::WriteMode::plain, ""});
    CommonBytes common;
    const bool with_common = add_common_files(common, files);
    if (!storage::write_files_synced(files)) {
        storage::remove_folder(fresh);
        if (with_common) drop_common_files();
        error = "the slot's files could not be written";
        return false;
    }
    storage::remove_folder(old);
    // The renames reach the disk together with the folder syncs at the end: a crash between
    // the two of the slot leaves NNNN.old without NNNN, which recover_slot() puts back; the
    // common files are each old or new, whichever moment it comes.
    if (storage::folder_exists(folder) && !storage::rename_path(folder, old, false)) {
        storage::remove_folder(fresh);
        if (with_common) drop_common_files();
        error = "the old slot could not be moved";
        return false;
    }
    if (!storage::rename_path(fresh, folder, false)) {
        storage::rename_path(old, folder);
        if (with_common) drop_common_files();
        error = "the new slot could not be put in place";
        return false;
    }
    // A common file that could not be renamed keeps its old content (and says so); the
    // slot is saved.
    if (with_common && !put_common_files_in_place()) drop_common_files();
    storage::sync_folder(settings().save_folder);
    if (with_common) storage::sync_folder(common_folder_path());
    storage::remove_folder(old);
    return true;
}

// ---- loading ---------------------------------------------------------------------------------

struct StagedSlot {
    int slot = 0;
    bool delete_after = false;
    std::vector<std::uint8_t> locals;
    std::vector<std::uint8_t> backlog;
    script::StagedContextsPtr contexts;
    scene::StagedScenePtr scene;
};

std::mutex g_staged_mutex;
std::unique_ptr<StagedSlot> g_staged;

bool read_block(const std::string& path, std::vector<std::uint8_t>& out, std::string& error) {
    storage::FileBytes bytes;
    if (!storage::read_whole_file(path, bytes, error)) {
        if (error.empty()) error = "cannot be read";
        error = path + ": " + error;
        return false;
    }
    out.assign(bytes.data.get(), bytes.data.get() + bytes.size);
    return true;
}

std::unique_ptr<StagedSlot> stage_slot(int slot, std::string& error) {
    if (!slot_exists(slot)) {
        error = "slot " + std::to_string(slot) + " holds no complete save";
        return nullptr;
    }
    std::vector<std::uint8_t> blocks[4];
    for (int i = 0; i < 4; ++i)
        if (!read_block(slot_folder(slot) + "/" + k_slot_files[i], blocks[i], error))
            return nullptr;
    auto staged = std::make_unique<StagedSlot>();
    staged->slot = slot;
    if (!script::var_check_block(false, blocks[3], error)) {
        error = "local variables refused: " + error;
        return nullptr;
    }
    // The backlog: its framing here, its content when it is taken (a bad one leaves the
    // backlog empty, which loses nothing the game needs to go on).
    storage::SaveReader backlog(blocks[2]);
    backlog.bytes(4);
    const std::uint32_t tag = backlog.u32(), size = backlog.u32();
    if (!backlog.ok() || tag != storage::k_save_block_tag || size < 20 || size > blocks[2].size() ||
        size % 2 != 0) {
        error = "backlog block refused";
        return nullptr;
    }
    staged->backlog = std::move(blocks[2]);
    staged->locals = std::move(blocks[3]);
    staged->contexts = script::stage_contexts(blocks[0], error);
    if (!staged->contexts) return nullptr;
    staged->scene = scene::stage_scene(blocks[1], error);
    if (!staged->scene) return nullptr;
    return staged;
}

// The menu variables a load clears, where they exist.
void clear_menu_variables() {
    for (const char* name :
         {"$SYSTEM_menu_enable", "$SYSTEM_backlog_enable", "$SYSTEM_menu_back_select",
          "$SYSTEM_menu_load_enable", "$SYSTEM_menu_save_enable", "$SYSTEM_menu_config_enable",
          "$SYSTEM_menu_close_enable", "$SYSTEM_menu_reset_enable", "$SYSTEM_save_lock",
          "$SYSTEM_load_lock"}) {
        if (!script::var_exists(name)) continue;
        script::var_set(name, script::VarType::number, 0, "");
        engine::attention_event().signal();
    }
}

void delete_slot_files(int slot) {
    recover_slot(slot);
    storage::remove_folder(slot_folder(slot));
    storage::remove_folder(slot_folder(slot, ".old"));
    storage::remove_folder(slot_folder(slot, ".new"));
}

// The loading image: a picture the game names in #SYSTEM_loading_image, shown over the
// scene while a load runs: faded in over the old scene (alpha 0, 16 ... 240, a frame every
// 16 ms), then out over the restored one (255, 239 ... 15), then a rest of 300 ms before
// the game goes on. Placed at #SYSTEM_loading_image_x and _y where they exist, else
// centred. Without it (or when it cannot be read) a load shows nothing in between.
class LoadingCover {
public:
    LoadingCover() {
        const std::string name = script::var_text("#SYSTEM_loading_image");
        if (name.empty()) return;
        m_image = storage::load_image(name);
        if (!m_image || m_image->empty()) {
            std::fprintf(stderr, "kestrune: the loading image '%s' cannot be read\n", name.c_str());
            return;
        }
        m_drawable = scene::create_drawable(m_image.get());
        if (!m_drawable) return;
        double x = 512 - m_image->width / 2, y = 288 - m_image->height / 2;
        script::var_get_number("#SYSTEM_loading_image_x", x);
        script::var_get_number("#SYSTEM_loading_image_y", y);
        m_drawable->x = std::int32_t(std::clamp(x, -1e6, 1e6));
        m_drawable->y = std::int32_t(std::clamp(y, -1e6, 1e6));
        scene::project(*m_drawable);
    }
    ~LoadingCover() {
        busy(false);
        if (m_drawable) scene::release_drawable(m_drawable);
    }
    explicit operator bool() const { return m_drawable != nullptr; }

    void fade_in() {
        if (!m_drawable) return;
        busy(true);
        for (int alpha = 0; alpha <= 240; alpha += 16) show(alpha);
    }
    void fade_out() {
        if (!m_drawable) return;
        busy(false);
        for (int alpha = 255; alpha > 0; alpha -= 16) show(alpha);
        scene::present_with_cover(nullptr);
        platform::sleep_ms(300);
    }

private:
    // The wait cursor while the cover is up; the arrow again when it fades (or the load
    // ends early).
    void busy(bool on) {
        if (m_busy == on) return;
        m_busy = on;
        if (script::command_hooks().wait_cursor) script::command_hooks().wait_cursor(on);
    }
    void show(int alpha) {
        m_drawable->alpha = std::uint8_t(alpha);
        scene::present_with_cover(m_drawable.get());
        platform::sleep_ms(16);
    }
    std::shared_ptr<PixelImage> m_image;
    std::unique_ptr<scene::Drawable> m_drawable;
    bool m_busy = false;
};

// State 513 on the main thread: tear the running game down and put the staged one in its
// place. Everything that can fail on bad data was checked while staging.
bool run_load() {
    std::unique_ptr<StagedSlot> staged;
    {
        std::lock_guard guard(g_staged_mutex);
        staged = std::move(g_staged);
    }
    if (!staged) return false;
    LoadingCover cover;
    cover.fade_in();
    engine::set_state(engine::k_state_restoring);
    script::stop_all_processes();
    script::var_restore(false, staged->locals, "save slot");
    std::string error;
    if (!script::adopt_staged_contexts(std::move(staged->contexts), error)) {
        std::fprintf(stderr, "kestrune: the load failed: %s; the game starts again\n",
                     error.c_str());
        engine::set_state(engine::k_state_start_scripts);
        return true;
    }
    if (!text::backlog_restore(staged->backlog))
        std::fprintf(stderr, "kestrune: the saved backlog was refused; the backlog starts empty\n");
    scene::restore_scene(*staged->scene);
    // The restored scene shows under the fading cover; its clocks start after it.
    cover.fade_out();
    scene::restart_scene_after_restore();
    clear_menu_variables();
    if (staged->delete_after) delete_slot_files(staged->slot);
    // The scripts go on where the Save left them: with rendering held.
    if (engine::render_is_running() && !engine::render_is_held()) engine::render_hold();
    engine::set_state(engine::k_state_running);
    return true;
}

int slot_argument(const script::CommandCall& call) {
    const std::string t = call.arg(0);
    return t.empty() ? -1 : std::atoi(t.c_str());
}

// A system script (the reader's own shortcut) is refused by the game's locks; the game's
// own scripts are not.
bool locked_for_reader(const char* lock) {
    return engine::state() == engine::k_state_system_script && script::setting_number(lock) != 0;
}

// The wait cursor while a slot is written or deleted; the arrow again afterwards, also
// when it failed (a pointer left as the wait cursor would look like a hung game).
struct WaitCursor {
    WaitCursor() {
        if (script::command_hooks().wait_cursor) script::command_hooks().wait_cursor(true);
    }
    ~WaitCursor() {
        if (script::command_hooks().wait_cursor) script::command_hooks().wait_cursor(false);
    }
};

bool cmd_save(script::CommandCall& call) {
    if (!settings().save_enabled) return true;
    const int slot = slot_argument(call);
    if (slot == 0) {
        write_common_data();
        return true;
    }
    if (!valid_slot(slot) || locked_for_reader("save_lock")) return true;
    std::string error;
    WaitCursor busy;
    // The slot and the common data together.
    if (!write_slot(slot, &call.block, call.next, error))
        std::fprintf(stderr, "kestrune: save to slot %d failed: %s\n", slot, error.c_str());
    return true;
}

bool cmd_load(script::CommandCall& call) {
    if (!settings().save_enabled) return true;
    const int slot = slot_argument(call);
    if (slot == 0) {
        reload_common_globals();
        return true;
    }
    if (!valid_slot(slot) || locked_for_reader("load_lock")) return true;
    std::string error;
    auto staged = stage_slot(slot, error);
    if (!staged) {
        std::fprintf(stderr, "kestrune: load of slot %d refused: %s\n", slot, error.c_str());
        return true;
    }
    staged->delete_after = call.arg(1) == "TRUE";
    {
        std::lock_guard guard(g_staged_mutex);
        g_staged = std::move(staged);
    }
    engine::set_state(engine::k_state_load_requested);
    engine::wake_main();
    return true;
}

bool cmd_delete_save(script::CommandCall& call) {
    if (!settings().save_enabled) return true;
    const int slot = slot_argument(call);
    if (slot == 0) {
        storage::delete_file(common_globals_path());
        storage::delete_file(common_read_text_path());
    } else if (valid_slot(slot)) {
        WaitCursor busy;
        delete_slot_files(slot);
    }
    return true;
}

int number_argument(const script::BuiltinCall& call) {
    if (call.args.empty()) return -1;
    const script::Value& v = call.args[0];
    return v.has_text ? std::atoi(v.text.c_str()) : int(v.number);
}

script::Value exist_save(const script::BuiltinCall& call) {
    return script::Value::of_number(slot_exists(number_argument(call)) ? 1 : 0);
}

// Reads and checks every block of the slot, as a load would, without loading it.
script::Value mount_savedata(const script::BuiltinCall& call) {
    std::string error;
    return script::Value::of_number(stage_slot(number_argument(call), error) ? 1 : 0);
}

} // namespace

bool save_slot(int slot, const script::ScriptBlock* saving, const char* resume,
               std::string& error) {
    if (!valid_slot(slot)) {
        error = "no such slot";
        return false;
    }
    return write_slot(slot, saving, resume, error);
}

bool check_slot(int slot, std::string& error) {
    return stage_slot(slot, error) != nullptr;
}

void register_save_slots(std::vector<std::function<bool()>>& load_sequence) {
    script::register_command("Save", cmd_save);
    script::register_command("Load", cmd_load);
    script::register_command("DeleteSaveFile", cmd_delete_save);
    script::register_builtin("ExistSave", exist_save);
    script::register_builtin("MountSavedata", mount_savedata);
    load_sequence.push_back(run_load);
}

} // namespace kestrune::persist
