#include "platform/files.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/encoding.h"

namespace kestrune::platform {

namespace {

// Test hook: with KESTRUNE_KILL_AT_FILE_STEP=N in the environment, the process ends by
// SIGKILL just before its Nth step that changes something on disk (a folder made, a file
// opened for writing, a write, a sync, a rename, a removal), so that a test can cut a save
// off at every one of its points. Without it this only reads a flag once.
void file_step() {
    static const long kill_at = [] {
        const char* v = std::getenv("KESTRUNE_KILL_AT_FILE_STEP");
        return v ? std::atol(v) : 0L;
    }();
    if (kill_at <= 0) return;
    static std::atomic<long> steps{0};
    if (++steps == kill_at) ::raise(SIGKILL);
}

} // namespace

namespace {

char fold(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool equal_fold(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

bool glob_fold(std::string_view pat, std::string_view s) {
    std::size_t p = 0, i = 0, star = std::string_view::npos, mark = 0;
    while (i < s.size()) {
        if (p < pat.size() && (pat[p] == '?' || fold(pat[p]) == fold(s[i]))) {
            ++p;
            ++i;
        } else if (p < pat.size() && pat[p] == '*') {
            star = p++;
            mark = i;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            i = ++mark;
        } else {
            return false;
        }
    }
    while (p < pat.size() && pat[p] == '*') ++p;
    return p == pat.size();
}

bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        if (c < 0x80)
            n = 0;
        else if ((c >> 5) == 6)
            n = 1;
        else if ((c >> 4) == 14)
            n = 2;
        else if ((c >> 3) == 30)
            n = 3;
        else
            return false;
        if (i + n >= s.size() && n > 0) return false;
        for (std::size_t k = 1; k <= n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n + 1;
    }
    return true;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> split(std::string_view path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string child(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir == "/") return "/" + name;
    return dir + "/" + name;
}

// Finds name inside dir: exact spelling first, else the first entry (in name order) that
// differs only in ASCII case. Empty when there is none.
std::string match_in(const std::string& dir, const std::string& name) {
    if (name == "." || name == "..") return name;
    if (exists(child(dir, name))) return name;
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return {};
    std::string best;
    while (dirent* e = ::readdir(d)) {
        if (equal_fold(e->d_name, name) && (best.empty() || best > e->d_name)) best = e->d_name;
    }
    ::closedir(d);
    return best;
}

// Walks the components of a native path; with for_writing the last one need not exist.
std::optional<std::string> resolve(std::string_view native, bool for_writing) {
    if (native.empty() || native.size() > k_max_path) return std::nullopt;
    std::string cur = native.front() == '/' ? "/" : "";
    const auto parts = split(native);
    if (parts.empty()) return cur.empty() ? std::optional<std::string>(".") : cur;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        std::string found = match_in(cur, parts[i]);
        if (found.empty()) {
            if (!(for_writing && last)) return std::nullopt;
            found = parts[i];
        }
        cur = child(cur, found);
    }
    return cur;
}

// The file-system spellings worth trying for an engine name: its GBK reading, and the
// bytes as they are when they already form UTF-8 (paths given on the command line).
std::vector<std::string> candidates(std::string_view engine_name) {
    std::vector<std::string> out;
    out.push_back(native_name(engine_name));
    std::string raw(engine_name);
    std::replace(raw.begin(), raw.end(), '\\', '/');
    if (raw != out.front() && valid_utf8(raw)) out.push_back(std::move(raw));
    return out;
}

FILE* as_file(void* p) {
    return static_cast<FILE*>(p);
}

} // namespace

std::string native_name(std::string_view engine_name) {
    std::string sep(engine_name);
    bool high = false;
    for (std::size_t i = 0; i < sep.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(sep[i]);
        if (is_lead_byte(c) && i + 1 < sep.size()) {
            high = true;
            ++i; // a trail byte may be 0x5C and is not a separator
        } else if (c == '\\') {
            sep[i] = '/';
        } else if (c >= 0x80) {
            high = true;
        }
    }
    return high ? gbk_to_utf8(sep) : sep;
}

std::optional<std::string> join_path(std::string_view dir, std::string_view name) {
    if (dir.empty()) return std::string(name);
    const bool slash = dir.back() == '/' || dir.back() == '\\';
    const std::size_t total = dir.size() + (slash ? 0 : 1) + name.size();
    if (total > k_max_path) return std::nullopt;
    std::string out(dir);
    if (!slash) out += '/';
    out += name;
    return out;
}

std::optional<std::string> find_path(std::string_view engine_name) {
    for (const auto& c : candidates(engine_name))
        if (auto p = resolve(c, false)) return p;
    return std::nullopt;
}

std::optional<std::string> path_for_writing(std::string_view engine_name) {
    for (const auto& c : candidates(engine_name))
        if (auto p = resolve(c, true)) return p;
    return std::nullopt;
}

bool file_exists(std::string_view engine_pattern) {
    for (const auto& c : candidates(engine_pattern)) {
        const std::size_t slash = c.rfind('/');
        const std::string dir_part = slash == std::string::npos ? "" : c.substr(0, slash);
        const std::string leaf = slash == std::string::npos ? c : c.substr(slash + 1);
        if (leaf.find_first_of("*?") == std::string::npos) {
            if (resolve(c, false)) return true;
            continue;
        }
        std::string dir = dir_part.empty() ? std::string(c[0] == '/' ? "/" : ".") : dir_part;
        auto real_dir = resolve(dir, false);
        if (!real_dir) continue;
        DIR* d = ::opendir(real_dir->c_str());
        if (!d) continue;
        bool hit = false;
        while (dirent* e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            if (glob_fold(leaf, e->d_name)) {
                hit = true;
                break;
            }
        }
        ::closedir(d);
        if (hit) return true;
    }
    return false;
}

namespace {

// realpath() of the path, or of its nearest existing ancestor with the rest appended.
std::optional<std::string> resolved_path(const std::string& path) {
    std::string head = path.empty() ? std::string(".") : path;
    std::string tail;
    for (;;) {
        if (char* real = ::realpath(head.c_str(), nullptr)) {
            std::string out(real);
            std::free(real);
            if (!tail.empty()) out += (out == "/" ? "" : "/") + tail;
            return out;
        }
        if (errno != ENOENT && errno != ENOTDIR) return std::nullopt;
        const std::size_t slash = head.find_last_of('/');
        if (slash == std::string::npos) {
            tail = tail.empty() ? head : head + "/" + tail;
            head = ".";
        } else if (slash == 0) {
            return std::nullopt;
        } else {
            const std::string leaf = head.substr(slash + 1);
            if (!leaf.empty()) tail = tail.empty() ? leaf : leaf + "/" + tail;
            head.resize(slash);
        }
    }
}

} // namespace

bool path_inside(const std::string& path, const std::vector<std::string>& folders) {
    const std::optional<std::string> real = resolved_path(path);
    if (!real) return false;
    for (const std::string& folder : folders) {
        if (folder.empty()) continue;
        char* root_c = ::realpath(folder.c_str(), nullptr);
        if (!root_c) continue;
        std::string root(root_c);
        std::free(root_c);
        if (*real == root) return true;
        if (root.back() != '/') root += '/';
        if (real->compare(0, root.size(), root) == 0) return true;
    }
    return false;
}

bool is_directory(std::string_view engine_name) {
    auto p = find_path(engine_name);
    struct stat st;
    return p && ::stat(p->c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> list_files(std::string_view dir) {
    std::vector<std::string> out;
    auto real = find_path(dir.empty() ? std::string_view(".") : dir);
    if (!real) return out;
    DIR* d = ::opendir(real->c_str());
    if (!d) return out;
    while (dirent* e = ::readdir(d)) {
        struct stat st;
        if (::stat(child(*real, e->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
            out.emplace_back(e->d_name);
    }
    ::closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

bool make_directories(std::string_view engine_name) {
    const std::string native = native_name(engine_name);
    if (native.empty() || native.size() > k_max_path) return false;
    std::string cur = native.front() == '/' ? "/" : "";
    for (const auto& part : split(native)) {
        std::string found = match_in(cur, part);
        if (found.empty()) {
            found = part;
            file_step();
            if (::mkdir(child(cur, found).c_str(), 0755) != 0 && errno != EEXIST) return false;
        }
        cur = child(cur, found);
    }
    struct stat st;
    return ::stat(cur.empty() ? "." : cur.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool stderr_is_terminal() {
    return ::isatty(2) == 1;
}

bool remove_file(std::string_view engine_name) {
    auto p = find_path(engine_name);
    if (p) file_step();
    return p && ::unlink(p->c_str()) == 0;
}

std::optional<std::string> move_file_aside(std::string_view engine_name) {
    auto from = find_path(engine_name);
    if (!from) return std::nullopt;
    for (int n = 0; n < 100; ++n) {
        const std::string suffix = n == 0 ? ".bad" : ".bad" + std::to_string(n);
        const std::string to = *from + suffix;
        struct stat st;
        if (::lstat(to.c_str(), &st) == 0) continue;
        if (::rename(from->c_str(), to.c_str()) != 0) return std::nullopt;
        return std::string(engine_name) + suffix;
    }
    return std::nullopt;
}

namespace {

std::string parent_of(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Makes a rename or removal in `folder` (a file-system path) durable (best effort: some
// file systems refuse).
void sync_native_folder(const std::string& folder) {
    file_step();
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

void sync_folder(std::string_view engine_name) {
    if (auto dir = find_path(engine_name)) sync_native_folder(*dir);
}

bool rename_path(std::string_view from, std::string_view to, bool durable) {
    auto src = find_path(from);
    auto dst = path_for_writing(to);
    if (!src || !dst) return false;
    file_step();
    if (::rename(src->c_str(), dst->c_str()) != 0) return false;
    if (durable) sync_native_folder(parent_of(*dst));
    return true;
}

bool remove_folder(std::string_view engine_name) {
    auto dir = find_path(engine_name);
    if (!dir) return true;
    for (const std::string& name : list_files(engine_name)) {
        file_step();
        ::unlink((*dir + "/" + name).c_str());
    }
    // Not synced: what is removed is old (a replaced slot); losing the removal to a crash
    // leaves a folder that the next save removes again.
    file_step();
    return ::rmdir(dir->c_str()) == 0;
}

bool write_files_synced(const std::vector<NewFile>& files) {
    std::vector<int> fds;
    std::string sync_dir;
    bool ok = !files.empty();
    for (const NewFile& f : files) {
        const auto path = path_for_writing(f.name);
        if (f.name.empty() || !path) {
            ok = false;
            break;
        }
        if (sync_dir.empty()) sync_dir = parent_of(*path);
        file_step();
        const int fd = ::open(path->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            ok = false;
            break;
        }
        fds.push_back(fd);
        const auto* p = static_cast<const char*>(f.data);
        for (std::size_t left = f.size; left > 0 && ok;) {
            file_step();
            const ssize_t n = ::write(fd, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) ok = false;
            p += n > 0 ? n : 0;
            left -= n > 0 ? std::size_t(n) : 0;
        }
        if (!ok) break;
        // Write-back of this file starts now, while the next ones are written.
        ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    }
    // One sync of the file system takes every file's data, their inodes and their folders'
    // entries to the disk in one journal commit, where a sync per file costs a commit
    // each. It also reports a write-back error of any of them.
    if (ok) {
        file_step();
        const int dir_fd =
            ::open(sync_dir.empty() ? "." : sync_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ok = dir_fd >= 0 && ::syncfs(dir_fd) == 0;
        if (dir_fd >= 0) ::close(dir_fd);
    }
    for (const int fd : fds) ok = ::close(fd) == 0 && ok;
    return ok;
}

bool write_new_files(std::string_view folder, const std::vector<NewFile>& files) {
    std::vector<NewFile> full;
    for (const NewFile& f : files) {
        if (f.name.empty() || f.name.find('/') != std::string::npos) return false;
        full.push_back({std::string(folder) + "/" + f.name, f.data, f.size});
    }
    return is_directory(folder) && write_files_synced(full);
}

bool read_file(std::string_view engine_name, FileData& out, std::string* error,
               std::uint64_t max_size) {
    auto set_error = [&](const std::string& why) {
        if (error) *error = std::string(engine_name) + ": " + why;
        return false;
    };
    auto path = find_path(engine_name);
    if (!path) return set_error("no such file");
    auto f = File::open_read(*path);
    if (!f) return set_error(std::string("cannot open: ") + std::strerror(errno));
    const std::int64_t size = f->size();
    if (size < 0) return set_error("cannot take the file's size");
    if (std::uint64_t(size) > max_size) return set_error("file too large");
    BlockPtr block = make_block(std::size_t(size));
    if (!block) return set_error("out of memory");
    if (f->read(block.get(), std::size_t(size)) != std::size_t(size))
        return set_error("short read");
    out.data = std::move(block);
    out.size = std::size_t(size);
    return true;
}

bool write_file(std::string_view engine_name, const void* data, std::size_t size,
                std::string* error) {
    auto path = path_for_writing(engine_name);
    if (!path) {
        if (error) *error = std::string(engine_name) + ": folder does not exist";
        return false;
    }
    auto f = File::open_write(*path);
    if (!f) {
        if (error) *error = std::string(engine_name) + ": cannot create: " + std::strerror(errno);
        return false;
    }
    const bool wrote = size == 0 || f->write(data, size) == size;
    if (!wrote) {
        f->abandon();
    } else if (f->close()) {
        return true;
    }
    if (error) *error = std::string(engine_name) + ": write failed: " + std::strerror(errno);
    return false;
}

File::~File() {
    if (m_stream) {
        if (is_writer())
            abandon();
        else
            std::fclose(as_file(m_stream));
    }
}

std::unique_ptr<File> File::open_read(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return nullptr;
    struct stat st;
    if (::fstat(::fileno(f), &st) != 0 || S_ISDIR(st.st_mode)) {
        std::fclose(f);
        errno = EISDIR;
        return nullptr;
    }
    std::unique_ptr<File> file(new File);
    file->m_stream = f;
    file->m_path = path;
    return file;
}

std::unique_ptr<File> File::open_write(const std::string& path) {
    if (path.empty() || path.size() + 16 > k_max_path) return nullptr;
    file_step();
    std::string tmp = path + ".tmp-XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0) return nullptr;
    FILE* f = ::fdopen(fd, "w+b");
    if (!f) {
        ::close(fd);
        ::unlink(tmp.c_str());
        return nullptr;
    }
    std::unique_ptr<File> file(new File);
    file->m_stream = f;
    file->m_path = std::move(tmp);
    file->m_target = path;
    return file;
}

std::size_t File::read(void* dst, std::size_t bytes) {
    if (!m_stream || bytes == 0) return 0;
    return std::fread(dst, 1, bytes, as_file(m_stream));
}

std::size_t File::write(const void* src, std::size_t bytes) {
    if (!m_stream || bytes == 0) return 0;
    file_step();
    const std::size_t n = std::fwrite(src, 1, bytes, as_file(m_stream));
    if (n != bytes) m_failed = true;
    return n;
}

bool File::seek(std::int64_t offset, int origin) {
    if (!m_stream) return false;
    const int whence = origin == 0   ? SEEK_SET
                       : origin == 1 ? SEEK_CUR
                       : origin == 2 ? SEEK_END
                                     : -1;
    if (whence < 0) return false;
    return ::fseeko(as_file(m_stream), off_t(offset), whence) == 0;
}

std::int64_t File::tell() {
    if (!m_stream) return -1;
    return std::int64_t(::ftello(as_file(m_stream)));
}

std::int64_t File::size() {
    if (!m_stream) return -1;
    std::fflush(as_file(m_stream));
    struct stat st;
    if (::fstat(::fileno(as_file(m_stream)), &st) != 0) return -1;
    return std::int64_t(st.st_size);
}

bool File::close() {
    if (!m_stream) return false;
    FILE* f = as_file(m_stream);
    m_stream = nullptr;
    if (!is_writer()) return std::fclose(f) == 0;
    file_step();
    bool ok = !m_failed && std::fflush(f) == 0 && ::fsync(::fileno(f)) == 0;
    if (ok) {
        // mkstemp makes the file private; give it the usual mode, or keep the old file's.
        struct stat st;
        mode_t mode = 0644;
        if (::stat(m_target.c_str(), &st) == 0) mode = st.st_mode & 07777;
        ::fchmod(::fileno(f), mode);
    }
    ok = (std::fclose(f) == 0) && ok;
    if (ok) file_step();
    if (ok) ok = ::rename(m_path.c_str(), m_target.c_str()) == 0;
    if (!ok) {
        const int saved = errno;
        ::unlink(m_path.c_str());
        errno = saved;
    }
    return ok;
}

void File::abandon() {
    if (m_stream) {
        std::fclose(as_file(m_stream));
        m_stream = nullptr;
    }
    if (is_writer()) ::unlink(m_path.c_str());
}

} // namespace kestrune::platform
