// Resource storage: what the rest of the engine includes.
//
// Reading a resource by name goes through the file cache, then the archives, then loose
// files (case-insensitive, '\' or '/'); loose files in the VKSF container are decoded on
// the way. Content buffers are zeroed blocks with at least 1088 zero bytes past the end,
// so text always ends in a zero and parsers may look a little past the content.
//
// Start-up:  storage::scan_archives(".") once, after changing into the game folder.
// Settings:  set_resource_prefix (the system setting current_path), set_save_folder.
// Shutdown:  storage::cache_unload_all().
//
//   ResourceFile f;                       // streaming access (sounds, movies)
//   if (f.create("bgm/title.ogg") && f.open()) { f.read(buf, 1, n); f.seek(0, 0); }
//   FileBytes text;                       // whole files (scripts, settings)
//   if (read_whole_file("script/main.txt", text)) parse(text.data.get(), text.size);
//   auto image = load_image("cg/bg01.png");   // shared; may also be held by the cache
//   write_file("save/0001/val.vkf", bytes, n, WriteMode::container);
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/memory.h"
#include "storage/archive.h"
#include "storage/file_cache.h"
#include "storage/image_loader.h"
#include "storage/pixel_image.h"
#include "storage/resource_file.h"

namespace kestrune::storage {

struct FileBytes {
    platform::BlockPtr data; // zeroed block: data[size] and the bytes after it are 0
    std::size_t size = 0;
};

// Whole content of a resource (cache, archive or loose file; VKSF decoded). Misses are
// not reported (callers often try several names); damaged data is.
bool read_whole_file(std::string_view name, FileBytes& out);
// The same, with the reason of a failure in error ("no such file", "the file is empty",
// "the file cannot be read"), for callers that report it together with the name.
bool read_whole_file(std::string_view name, FileBytes& out, std::string& error);

// Copies at most capacity - 1 bytes of the file into dst and ends them with a zero; the
// rest of dst is zero-filled.
bool read_small_file(std::string_view name, char* dst, std::size_t capacity = 1024);

// Whether a loose file matches (the last component may hold '*' and '?').
bool file_exists(std::string_view pattern);
// Whether a resource of that name can be found in the cache, an archive or on disk.
bool resource_exists(std::string_view name);
// 1 when the resource can be opened and read, -1 when there is no such file, else 0.
int available_file(std::string_view name);

enum class WriteMode {
    plain,     // the bytes as they are
    container, // wrapped in the VKSF container keyed by the base name
};
// Writes the file atomically: the old file survives a failed write. The folder must exist.
bool write_file(std::string_view name, const void* data, std::size_t size, WriteMode mode);
bool delete_file(std::string_view name);
// Moves a damaged file out of the way (to "<name>.bad", or ".bad1" ... when taken), so that
// what it held can still be recovered by hand and a fresh file can take its name. Returns
// the new name, or "" when the file could not be moved.
std::string move_aside(std::string_view name);
// Creates a folder with its parents; true when it exists afterwards.
bool make_folder(std::string_view name);
// Whether a loose file (not an archive entry or cached copy) exists under that name.
bool loose_file_exists(std::string_view name);
bool folder_exists(std::string_view name);
// Renames a file or folder, synced to the disk unless `durable` is false (then a later
// durable rename in the same folder carries it to the disk).
bool rename_path(std::string_view from, std::string_view to, bool durable = true);
// Writes a set of files into a folder, synced together with one sync. In a new folder
// that is not read before it is renamed into place (a save slot) the files take their own
// names. A file with a final name replaces a file that is read: it is written under
// `name`, and after the sync renamed over `final_name`, the renames synced with the folder
// once (a crash leaves each final file old or new, never cut). False when any file could
// not be written or renamed.
struct FolderFile {
    std::string name; // within the folder
    const void* data = nullptr;
    std::size_t size = 0;
    WriteMode mode = WriteMode::plain;
    std::string final_name; // empty: the file keeps its name
};
bool write_new_folder(std::string_view folder, const std::vector<FolderFile>& files);
// The writing half of write_new_folder for files in several folders: names (and final
// names, which only key the container here) are whole names; every file is written under
// `name` and all are synced with one sync. The caller renames them, then makes the renames
// durable with sync_folder() once per folder.
bool write_files_synced(const std::vector<FolderFile>& files);
// Makes the renames and removals in a folder so far durable.
void sync_folder(std::string_view name);
// Removes a folder with the plain files in it.
bool remove_folder(std::string_view name);

// Whether a file name that a script gave may be read or written: names stay inside the
// game folder (the working folder) and the save folder. Refused, with the reason in
// `why`: absolute names, names with a ".." component, and names whose loose file (found
// or about to be created, in either folder) leads outside both through a symbolic link.
bool script_name_allowed(std::string_view name, std::string& why);

} // namespace kestrune::storage
