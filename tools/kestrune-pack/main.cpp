// kestrune-pack: makes and reads the engine's VKA archives.
//
//   kestrune-pack [--compress] [--no-scramble] OUT.vka DIR   pack every file under DIR
//   kestrune-pack --list ARCHIVE                              list the entries
//   kestrune-pack --extract ARCHIVE DIR                       unpack into DIR
//
// Entry names are paths relative to DIR, stored the way the engine looks them up: lower
// case, '\' separators, GBK bytes (file names on disk are UTF-8). The game then names a
// file "<archive name>/<entry name>", e.g. cg.vka holding ev\ev01.png serves cg/ev/ev01.png.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/encoding.h"
#include "platform/files.h"
#include "storage/archive.h"
#include "storage/archive_writer.h"

namespace fs = std::filesystem;
using namespace kestrune;

namespace {

constexpr std::size_t k_progress_threshold = 200; // files; smaller folders pack silently

int usage() {
    std::fprintf(stderr, "usage: kestrune-pack [--compress] [--no-scramble] OUT.vka DIR\n"
                         "       kestrune-pack --list ARCHIVE\n"
                         "       kestrune-pack --extract ARCHIVE DIR\n");
    return 2;
}

std::string display_name(const std::string& gbk) {
    std::string utf8 = platform::gbk_to_utf8(gbk);
    std::replace(utf8.begin(), utf8.end(), '\\', '/');
    return utf8;
}

int pack(const std::string& out, const std::string& dir, bool compress, bool scramble) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        std::fprintf(stderr, "kestrune-pack: %s: not a folder\n", dir.c_str());
        return 1;
    }
    std::vector<fs::path> files;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
         it.increment(ec))
        if (it->is_regular_file(ec)) files.push_back(it->path());
    if (ec) {
        std::fprintf(stderr, "kestrune-pack: %s: %s\n", dir.c_str(), ec.message().c_str());
        return 1;
    }
    std::sort(files.begin(), files.end());
    const fs::path out_abs = fs::absolute(out, ec);

    storage::ArchiveWriterOptions options;
    options.compress = compress;
    options.scramble = scramble;
    storage::ArchiveWriter writer(options);
    int skipped = 0;
    for (const auto& file : files) {
        if (fs::equivalent(file, out_abs, ec)) continue; // packing into the folder itself
        const std::string rel = file.lexically_relative(dir).generic_string();
        const std::string gbk = platform::utf8_to_gbk(rel);
        if (platform::gbk_to_utf8(gbk) != rel) {
            std::fprintf(stderr, "kestrune-pack: %s: name cannot be written in GBK; skipped\n",
                         rel.c_str());
            ++skipped;
            continue;
        }
        if (!writer.add_file(gbk, file.string())) {
            std::fprintf(stderr, "kestrune-pack: %s: name longer than 259 bytes; skipped\n",
                         rel.c_str());
            ++skipped;
        }
    }
    const bool show = writer.size() >= k_progress_threshold && platform::stderr_is_terminal();
    std::string error;
    const bool ok = writer.write(out, &error, [&](std::size_t done, std::size_t total) {
        if (show) std::fprintf(stderr, "\rpacking %zu/%zu", done, total);
    });
    if (show) std::fprintf(stderr, "\n");
    if (!ok) {
        std::fprintf(stderr, "kestrune-pack: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s: %zu entries%s%s\n", out.c_str(), writer.size(), compress ? ", compressed" : "",
                skipped ? " (some files skipped)" : "");
    return skipped ? 1 : 0;
}

std::shared_ptr<storage::Archive> open_archive(const std::string& path) {
    std::string error;
    auto archive = storage::read_archive(path, &error);
    if (!archive)
        std::fprintf(stderr, "kestrune-pack: %s: %s\n", path.c_str(),
                     error.empty() ? "not a VKA archive" : error.c_str());
    return archive;
}

int list(const std::string& path) {
    auto archive = open_archive(path);
    if (!archive) return 1;
    std::printf("%s: %zu entries%s%s\n", path.c_str(), archive->entries.size(),
                archive->compressed ? ", compressed" : "", archive->scrambled ? ", scrambled" : "");
    for (const auto& e : archive->entries)
        std::printf("%10u %10u  %s\n", e.content_size(), e.stored_size,
                    display_name(e.name).c_str());
    return 0;
}

// An entry name must stay inside the target folder.
bool safe_relative(const std::string& utf8) {
    if (utf8.empty() || utf8.front() == '/') return false;
    for (const auto& part : fs::path(utf8))
        if (part == ".." || part == ".") return false;
    return true;
}

int extract(const std::string& path, const std::string& dir) {
    auto archive = open_archive(path);
    if (!archive) return 1;
    int failures = 0;
    for (const auto& e : archive->entries) {
        const std::string rel = display_name(e.name);
        if (!safe_relative(rel)) {
            std::fprintf(stderr, "kestrune-pack: %s: entry name leaves the folder; skipped\n",
                         rel.c_str());
            ++failures;
            continue;
        }
        platform::BlockPtr data;
        std::size_t size = 0;
        std::string error;
        const fs::path target = fs::path(dir) / rel;
        std::error_code ec;
        fs::create_directories(target.parent_path(), ec);
        if (!storage::read_entry(*archive, e, data, size, &error) ||
            !platform::write_file(target.string(), data.get(), size, &error)) {
            std::fprintf(stderr, "kestrune-pack: %s: %s\n", rel.c_str(), error.c_str());
            ++failures;
        }
    }
    return failures ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        usage();
        return 0;
    }
    if (args.size() == 2 && args[0] == "--list") return list(args[1]);
    if (args.size() == 3 && args[0] == "--extract") return extract(args[1], args[2]);
    bool compress = false, scramble = true;
    std::vector<std::string> rest;
    for (const auto& a : args) {
        if (a == "--compress" || a == "-z")
            compress = true;
        else if (a == "--no-scramble")
            scramble = false;
        else if (!a.empty() && a[0] == '-')
            return usage();
        else
            rest.push_back(a);
    }
    if (rest.size() != 2) return usage();
    return pack(rest[0], rest[1], compress, scramble);
}
