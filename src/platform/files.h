// Loose-file access. Games were written for a file system that ignores case and separates
// folders with backslashes, and their scripts name files in GBK bytes. Everything here
// takes such engine names: either separator is accepted, GBK is converted to UTF-8 for the
// file system, and every component is matched without regard to ASCII case when no exact
// match exists. The name that reaches the file system keeps the spelling found on disk (or,
// for a file about to be created, the spelling given) and uses '/'.
//
// Writing is atomic: a new file is written to a temporary file beside the target, flushed,
// synced and checked, and only then renamed over the old one. A failed write (a full disk,
// an I/O error) leaves the old file as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/memory.h"

namespace kestrune::platform {

// Longest path (in bytes) that path joins produce; longer joins fail.
inline constexpr std::size_t k_max_path = 4096;

// Engine name (GBK, '\' or '/') to a UTF-8 relative or absolute path with '/' separators.
// Trail bytes of double-byte characters are never taken for separators.
std::string native_name(std::string_view engine_name);

// Joins two paths with one '/'; nullopt when the result would exceed k_max_path.
std::optional<std::string> join_path(std::string_view dir, std::string_view name);

// Finds an existing file or folder for an engine name, matching components without
// regard to ASCII case. Returns the path as it is on disk, or nullopt.
std::optional<std::string> find_path(std::string_view engine_name);
// Path to create a file under: existing folders are matched as in find_path (they must
// exist); the last component takes the spelling of an existing file that differs only in
// case, else the spelling given. nullopt when a folder is missing.
std::optional<std::string> path_for_writing(std::string_view engine_name);

// True when a file-system path, once its symbolic links are followed, lies inside one of
// the given folders (or is one of them). A path that does not exist yet is judged by its
// nearest existing folder, so a name about to be created counts too. A folder that does
// not exist contains nothing.
bool path_inside(const std::string& path, const std::vector<std::string>& folders);

// True when at least one file or folder matches. The last component may hold the
// wildcards '*' and '?'; matching ignores ASCII case.
bool file_exists(std::string_view engine_pattern);
bool is_directory(std::string_view engine_name);

// Plain files (not folders) directly inside dir, sorted by name; names only.
std::vector<std::string> list_files(std::string_view dir);

// Creates the folder and its parents. True when it exists afterwards.
bool make_directories(std::string_view engine_name);
bool remove_file(std::string_view engine_name);
// Renames an existing file to a name beside it that is not taken yet: the name with
// ".bad", then ".bad1", ".bad2" ... (up to 99). Returns the new engine name, or nullopt.
std::optional<std::string> move_file_aside(std::string_view engine_name);
// Renames a file or folder (both names as engine names; the target's folder must exist).
// The rename is synced to the disk with its folder unless `durable` is false (a later
// durable rename in the same folder then carries it).
bool rename_path(std::string_view from, std::string_view to, bool durable = true);
// Makes the renames and removals in a folder so far durable (best effort).
void sync_folder(std::string_view engine_name);
// Writes files into a folder that nobody reads yet (a new save slot that is put in place by
// a rename afterwards): each file is written under its own name at once (its write-back
// started at once), then the whole file system is synced once, which takes the files and
// the folder to the disk together. False when any step failed; files written so far stay.
struct NewFile {
    std::string name; // within the folder
    const void* data = nullptr;
    std::size_t size = 0;
};
bool write_new_files(std::string_view folder, const std::vector<NewFile>& files);
// The same for files that may lie in several folders of one file system (names are whole
// engine names; their folders must exist): one sync takes them all to the disk.
bool write_files_synced(const std::vector<NewFile>& files);
// Removes a folder and every plain file directly inside it (no deeper folders). True when
// nothing of it is left.
bool remove_folder(std::string_view engine_name);

// True when standard error is a terminal (progress lines are only drawn there).
bool stderr_is_terminal();

// Whole-file read into a zeroed block (see memory.h). Fails for a missing or unreadable
// file, a short read, or a file larger than max_size. An empty file succeeds with size 0.
struct FileData {
    BlockPtr data;
    std::size_t size = 0;
};
bool read_file(std::string_view engine_name, FileData& out, std::string* error = nullptr,
               std::uint64_t max_size = std::uint64_t{1} << 31);

// Atomic whole-file write (temporary file, flush, sync, check, rename).
bool write_file(std::string_view engine_name, const void* data, std::size_t size,
                std::string* error = nullptr);

// A buffered file stream. Readers open an existing file; writers write to a temporary
// file that close() puts in place of the target. A writer destroyed or abandoned without
// a successful close() leaves the target untouched.
class File {
public:
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // path is a file-system path (from find_path / path_for_writing).
    static std::unique_ptr<File> open_read(const std::string& path);
    // Opens for reading and writing a new, empty temporary file beside path.
    static std::unique_ptr<File> open_write(const std::string& path);

    std::size_t read(void* dst, std::size_t bytes);
    std::size_t write(const void* src, std::size_t bytes);
    bool seek(std::int64_t offset, int origin); // 0 start, 1 current, 2 end
    std::int64_t tell();
    std::int64_t size(); // -1 when unknown
    // Readers: closes. Writers: flush, sync, close and rename; false when any of it, or an
    // earlier write, failed (the target is then left as it was).
    bool close();
    void abandon();
    bool is_writer() const { return !m_target.empty(); }
    const std::string& path() const { return m_path; }

private:
    File() = default;
    void* m_stream = nullptr; // FILE*
    std::string m_path;       // file actually open (the temporary file for writers)
    std::string m_target;     // writers: the file replaced on close
    bool m_failed = false;
};

} // namespace kestrune::platform
