#include "storage/storage.h"

#include <cstring>

#include "platform/files.h"
#include "storage/codec.h"
#include "storage/container.h"

namespace kestrune::storage {

bool read_whole_file(std::string_view name, FileBytes& out) {
    ResourceFile f;
    if (!f.create(name) || !f.load()) return false;
    out.size = std::size_t(f.size());
    out.data = f.take_buffer();
    return out.data != nullptr;
}

bool read_whole_file(std::string_view name, FileBytes& out, std::string& error) {
    if (read_whole_file(name, out)) return true;
    ResourceFile f;
    if (!f.create(name))
        error = "bad file name";
    else if (f.backing() == Backing::loose && !platform::find_path(name))
        error = "no such file";
    else if (f.open() && f.size() == 0)
        error = "the file is empty";
    else
        error = "the file cannot be read";
    return false;
}

bool read_small_file(std::string_view name, char* dst, std::size_t capacity) {
    if (!dst || capacity == 0) return false;
    std::memset(dst, 0, capacity);
    ResourceFile f;
    if (!f.create(name) || !f.load()) return false;
    const std::size_t n =
        std::size_t(f.size()) < capacity - 1 ? std::size_t(f.size()) : capacity - 1;
    std::memcpy(dst, f.data(), n);
    return true;
}

bool file_exists(std::string_view pattern) {
    return platform::file_exists(pattern);
}

bool resource_exists(std::string_view name) {
    ResourceFile f;
    if (!f.create(name)) return false;
    if (f.backing() != Backing::loose) return true;
    return platform::find_path(name).has_value();
}

int available_file(std::string_view name) {
    ResourceFile f;
    if (!f.create(name)) return -1;
    if (f.backing() == Backing::loose && !platform::find_path(name)) return -1;
    // A cached copy is in memory already; a compressed entry would be inflated whole just
    // to read one byte (its stream is checked when it is loaded).
    if (f.backing() == Backing::cache) return 1;
    if (f.backing() == Backing::archive && f.size() > 0 && f.m_entry && f.m_entry->compressed)
        return 1;
    if (!f.open()) return 0;
    std::uint8_t byte;
    const bool readable = f.size() == 0 || f.read(&byte, 1, 1) == 1;
    return readable ? 1 : 0;
}

bool write_file(std::string_view name, const void* data, std::size_t size, WriteMode mode) {
    ResourceFile f;
    if (!f.create(name)) {
        report_fault(name, "bad file name");
        return false;
    }
    if (!f.set_content(data, size)) return false;
    if (mode == WriteMode::container && !f.encode()) return false;
    if (!f.open_for_writing()) return false;
    const bool wrote = f.write_buffer();
    const bool closed = f.close() == 0;
    return wrote && closed;
}

bool delete_file(std::string_view name) {
    ResourceFile f;
    return f.create(name) && f.remove();
}

bool script_name_allowed(std::string_view name, std::string& why) {
    const std::string native = platform::native_name(name);
    if (native.empty()) {
        why = "the name is empty";
        return false;
    }
    const bool drive =
        native.size() >= 2 && native[1] == ':' &&
        ((native[0] >= 'A' && native[0] <= 'Z') || (native[0] >= 'a' && native[0] <= 'z'));
    if (native[0] == '/' || drive) {
        why = "an absolute name leaves the game folder";
        return false;
    }
    for (std::size_t start = 0; start <= native.size();) {
        std::size_t end = native.find('/', start);
        if (end == std::string::npos) end = native.size();
        if (native.compare(start, end - start, "..") == 0) {
            why = "\"..\" leaves the game folder";
            return false;
        }
        start = end + 1;
    }
    // The loose files the name may reach: under the game folder, and under the save folder
    // (where reads look too). A symbolic link in either may point anywhere.
    const std::vector<std::string> folders = {".", save_folder()};
    std::vector<std::string> reached;
    if (auto p = platform::find_path(name))
        reached.push_back(*p);
    else if (auto w = platform::path_for_writing(name))
        reached.push_back(*w);
    if (!folders[1].empty())
        if (auto joined = platform::join_path(folders[1], native)) {
            if (auto p = platform::find_path(*joined)) reached.push_back(*p);
        }
    for (const std::string& path : reached)
        if (!platform::path_inside(path, folders)) {
            why = "a symbolic link leads outside the game and save folders";
            return false;
        }
    return true;
}

std::string move_aside(std::string_view name) {
    return platform::move_file_aside(name).value_or(std::string());
}

bool make_folder(std::string_view name) {
    return platform::make_directories(name);
}

bool folder_exists(std::string_view name) {
    return platform::is_directory(name);
}

bool rename_path(std::string_view from, std::string_view to, bool durable) {
    return platform::rename_path(from, to, durable);
}

void sync_folder(std::string_view name) {
    platform::sync_folder(name);
}

bool write_files_synced(const std::vector<FolderFile>& files) {
    std::vector<platform::BlockPtr> held;
    std::vector<platform::NewFile> out;
    for (const FolderFile& f : files) {
        platform::NewFile n{f.name, f.data, f.size};
        if (f.mode == WriteMode::container) {
            // Keyed by the name the file is read under.
            ResourceFile r;
            const std::string& name = f.final_name.empty() ? f.name : f.final_name;
            if (!r.create(name) || !r.set_content(f.data, f.size) || !r.encode()) {
                report_fault(name, "could not be encoded");
                return false;
            }
            n.size = std::size_t(r.size());
            held.push_back(r.take_buffer());
            n.data = held.back().get();
        }
        out.push_back(std::move(n));
    }
    return platform::write_files_synced(out);
}

bool write_new_folder(std::string_view folder, const std::vector<FolderFile>& files) {
    const std::string dir(folder);
    std::vector<FolderFile> full = files;
    for (FolderFile& f : full) {
        if (f.name.empty() || f.name.find('/') != std::string::npos) return false;
        f.name = dir + "/" + f.name;
        if (!f.final_name.empty()) f.final_name = dir + "/" + f.final_name;
    }
    if (!folder_exists(folder) || !write_files_synced(full)) return false;
    std::vector<const FolderFile*> renamed;
    for (const FolderFile& f : full)
        if (!f.final_name.empty()) renamed.push_back(&f);
    for (std::size_t i = 0; i < renamed.size(); ++i)
        if (!platform::rename_path(renamed[i]->name, renamed[i]->final_name,
                                   i + 1 == renamed.size()))
            return false;
    return true;
}

bool remove_folder(std::string_view name) {
    return platform::remove_folder(name);
}

bool loose_file_exists(std::string_view name) {
    return platform::find_path(name).has_value() && !platform::is_directory(name);
}

} // namespace kestrune::storage
