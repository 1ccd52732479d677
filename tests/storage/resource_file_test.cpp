// ResourceFile over loose files and cache copies; the file cache; whole-file helpers.
#include <csignal>
#include <cstring>
#include <sys/resource.h>

#include "platform/encoding.h"
#include "platform/files.h"
#include "storage_test_util.h"

namespace kestrune::storage::test {
namespace {

class LooseFiles : public StorageTest {};

TEST_F(LooseFiles, FoundWithoutRegardToCaseAndWithEitherSeparator) {
    write_bytes(m_dir / "Data" / "CG" / "Bg01.PNG", bytes_of("png bytes"));
    for (const char* spelling : {"data/cg/bg01.png", "DATA\\CG\\BG01.PNG", "Data/cg\\bG01.png"}) {
        FileBytes out;
        ASSERT_TRUE(read_whole_file(path(spelling), out)) << spelling;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data.get()), out.size), "png bytes");
    }
    EXPECT_TRUE(file_exists(path("data\\cg\\*.png")));
    EXPECT_TRUE(file_exists(path("DATA/CG/bg0?.png")));
    EXPECT_FALSE(file_exists(path("data/cg/*.jpg")));
}

TEST_F(LooseFiles, GbkNamesReachTheFileSystemAsUtf8) {
    // "存档" in GBK: the second character's trail byte is 0xB5; "表\" style trail bytes of
    // 0x5C must not split the name either.
    const std::string gbk_dir = "\xB4\xE6\xB5\xB5";
    const std::string gbk_file = "\xB1\xED.txt"; // 表.txt, trail byte 0xED
    const std::string tricky = "\x95\x5C.txt";   // a character whose trail byte is '\'
    const std::string utf8_dir = platform::gbk_to_utf8(gbk_dir);
    write_bytes(m_dir / utf8_dir / platform::gbk_to_utf8(gbk_file), bytes_of("a"));
    write_bytes(m_dir / platform::gbk_to_utf8(tricky), bytes_of("b"));
    FileBytes out;
    ASSERT_TRUE(read_whole_file(path(gbk_dir + "\\" + gbk_file), out));
    EXPECT_EQ(out.data[0], 'a');
    ASSERT_TRUE(read_whole_file(path(tricky), out));
    EXPECT_EQ(out.data[0], 'b');
}

TEST_F(LooseFiles, EmptyAndMissingFilesFailToLoad) {
    write_bytes(m_dir / "empty.txt", {});
    ResourceFile f;
    ASSERT_TRUE(f.create(path("empty.txt")));
    EXPECT_FALSE(f.load());
    ASSERT_TRUE(f.create(path("missing.txt")));
    EXPECT_FALSE(f.load());
    EXPECT_FALSE(f.open());
    EXPECT_EQ(available_file(path("missing.txt")), -1);
    EXPECT_FALSE(f.create(std::string(260, 'a'))); // longer than a name may be
    EXPECT_FALSE(f.create(""));
    // Callers that name the file in their message get the reason.
    FileBytes out;
    std::string why;
    EXPECT_FALSE(read_whole_file(path("empty.txt"), out, why));
    EXPECT_EQ(why, "the file is empty");
    EXPECT_FALSE(read_whole_file(path("missing.txt"), out, why));
    EXPECT_EQ(why, "no such file");
}

TEST_F(LooseFiles, StreamReadsSeeksAndItemCounts) {
    write_bytes(m_dir / "s.bin", bytes_of("0123456789"));
    ResourceFile f;
    ASSERT_TRUE(f.create(path("s.bin")));
    ASSERT_TRUE(f.open());
    EXPECT_EQ(f.size(), 10);
    char buf[16] = {};
    EXPECT_EQ(f.read(buf, 4, 2), 2u); // whole items only
    EXPECT_EQ(std::string(buf, 8), "01234567");
    EXPECT_EQ(f.read(buf, 4, 1), 0u); // two bytes left: no whole item
    EXPECT_EQ(f.read(buf, 0, 5), 0u); // item size 0 reads nothing
    EXPECT_EQ(f.seek(-3, 2), 0);
    EXPECT_EQ(f.tell(), 7);
    EXPECT_EQ(f.close(), 0);
    EXPECT_EQ(f.close(), -1);
    EXPECT_EQ(available_file(path("S.BIN")), 1);
}

TEST_F(LooseFiles, ResourcePrefixAndSaveFolderFallbacks) {
    write_bytes(m_dir / "cg" / "a.png", bytes_of("A"));
    write_bytes(m_dir / "saves" / "thumb.vki", bytes_of("T"));
    set_resource_prefix("no_such_prefix/");
    FileBytes out;
    EXPECT_TRUE(read_whole_file("no_such_prefix/" + path("cg/a.png"), out));
    set_save_folder(path("saves"));
    EXPECT_TRUE(read_whole_file("thumb.vki", out));
    EXPECT_EQ(out.data[0], 'T');
}

TEST_F(LooseFiles, ReadSmallFileLeavesRoomForTheTerminator) {
    write_bytes(m_dir / "long.txt", Bytes(3000, 'x'));
    char buf[1024];
    std::memset(buf, 0x55, sizeof buf);
    ASSERT_TRUE(read_small_file(path("long.txt"), buf, sizeof buf));
    EXPECT_EQ(std::strlen(buf), 1023u);
    write_bytes(m_dir / "short.txt", bytes_of("abc"));
    ASSERT_TRUE(read_small_file(path("short.txt"), buf, sizeof buf));
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(buf[500], 0);
}

TEST_F(LooseFiles, PathJoinsAreBounded) {
    EXPECT_EQ(platform::join_path("a", "b"), "a/b");
    EXPECT_EQ(platform::join_path("a/", "b"), "a/b");
    EXPECT_FALSE(platform::join_path(std::string(platform::k_max_path, 'd'), "x").has_value());
}

TEST_F(LooseFiles, WritingReplacesOnlyWhenComplete) {
    const auto target = m_dir / "save.dat";
    write_bytes(target, bytes_of("old contents"));
    // The new file is written beside the old one; until it is closed the old one stays.
    ResourceFile f;
    ASSERT_TRUE(f.create(path("SAVE.DAT")));
    ASSERT_TRUE(f.open_for_writing());
    EXPECT_EQ(f.write("new", 1, 3), 3u);
    EXPECT_EQ(read_bytes(target), bytes_of("old contents"));
    EXPECT_EQ(f.close(), 0);
    EXPECT_EQ(read_bytes(target), bytes_of("new")); // the existing spelling was kept
    EXPECT_FALSE(std::filesystem::exists(m_dir / "SAVE.DAT"));
    std::size_t files = 0;
    for (auto& e : std::filesystem::directory_iterator(m_dir)) files += e.is_regular_file();
    EXPECT_EQ(files, 1u); // no temporary file left behind
}

TEST_F(LooseFiles, FullDiskKeepsTheOldFile) {
    // A file-size limit makes writes fail the way a full disk does.
    const auto target = m_dir / "val.vkf";
    write_bytes(target, bytes_of("previous save"));
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old_limit{};
    getrlimit(RLIMIT_FSIZE, &old_limit);
    rlimit small = old_limit;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const Bytes big(100000, 'z');
    ::testing::internal::CaptureStderr();
    const bool ok = write_file(path("val.vkf"), big.data(), big.size(), WriteMode::plain);
    const std::string err = ::testing::internal::GetCapturedStderr();
    setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_FALSE(ok);
    EXPECT_NE(err.find("val.vkf"), std::string::npos);
    EXPECT_EQ(read_bytes(target), bytes_of("previous save"));
    std::size_t files = 0;
    for (auto& e : std::filesystem::directory_iterator(m_dir)) files += e.is_regular_file();
    EXPECT_EQ(files, 1u);
}

TEST_F(LooseFiles, WritingIntoAMissingFolderFails) {
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(write_file(path("nowhere/x.txt"), "x", 1, WriteMode::plain));
    ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(platform::make_directories(path("Now/Here")));
    EXPECT_TRUE(write_file(path("now/here/x.txt"), "x", 1, WriteMode::plain));
    EXPECT_TRUE(std::filesystem::exists(m_dir / "Now" / "Here" / "x.txt"));
    EXPECT_TRUE(delete_file(path("NOW/HERE/X.TXT")));
    EXPECT_FALSE(std::filesystem::exists(m_dir / "Now" / "Here" / "x.txt"));
}

class FileCache : public StorageTest {};

TEST_F(FileCache, CacheCopyPositionsStayInsideTheContent) {
    write_bytes(m_dir / "c.bin", bytes_of("abcdefgh"));
    ASSERT_TRUE(cache_load(path("c.bin"), false));
    std::filesystem::remove(m_dir / "c.bin"); // served from the cache from now on
    ResourceFile f;
    ASSERT_TRUE(f.create(path("C.BIN")));
    EXPECT_EQ(f.backing(), Backing::cache);
    ASSERT_TRUE(f.open());
    char buf[16] = {};
    EXPECT_EQ(f.seek(6, 0), 0);
    EXPECT_EQ(f.read(buf, 1, 10), 2u); // only what is left
    EXPECT_EQ(std::string(buf, 2), "gh");
    EXPECT_EQ(f.read(buf, 1, 1), 0u); // at the end
    struct Seek {
        std::int64_t offset;
        int origin;
        int result;
        std::int64_t position;
    } seeks[] = {{-1, 0, -1, 8}, {9, 0, -1, 8}, {8, 0, 0, 8},  {-9, 1, -1, 8}, {-8, 1, 0, 0},
                 {1, 2, -1, 0},  {0, 2, 0, 8},  {-3, 2, 0, 5}, {0, 7, -1, 5}};
    for (const auto& s : seeks) {
        EXPECT_EQ(f.seek(s.offset, s.origin), s.result) << s.offset << "," << s.origin;
        EXPECT_EQ(f.tell(), s.position) << s.offset << "," << s.origin;
    }
    EXPECT_EQ(f.read(buf, 0, 3), 0u);
    EXPECT_EQ(f.read(buf, 2, 3), 1u); // 3 bytes left: one whole 2-byte item
    EXPECT_FALSE(f.open_for_writing());
    EXPECT_FALSE(f.remove());
    EXPECT_EQ(f.write("x", 1, 1), 0u);
    ASSERT_TRUE(f.create(path("c.bin")));
    ASSERT_TRUE(f.load());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.data())), "abcdefgh");
}

TEST_F(FileCache, LoadsOnceServesFirstAndOutlivesUnload) {
    write_bytes(m_dir / "x" / "y.txt", bytes_of("first"));
    ASSERT_TRUE(cache_load(path("x/y.txt"), false));
    ASSERT_TRUE(cache_load(path("X/Y.TXT"), false)); // already there
    EXPECT_EQ(cache_used_slots(), 1u);
    write_bytes(m_dir / "x" / "y.txt", bytes_of("second"));
    ResourceFile f;
    ASSERT_TRUE(f.create(path("x\\y.txt"))); // either separator finds the cached copy
    ASSERT_TRUE(f.open());
    EXPECT_TRUE(cache_unload(path("x/y.txt")));
    EXPECT_EQ(cache_used_slots(), 0u);
    char buf[8] = {};
    EXPECT_EQ(f.read(buf, 1, 5), 5u); // the copy in use survives the unload
    EXPECT_EQ(std::string(buf), "first");
    FileBytes now;
    ASSERT_TRUE(read_whole_file(path("x/y.txt"), now));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(now.data.get())), "second");
    EXPECT_FALSE(cache_unload(path("x/y.txt")));
}

TEST_F(FileCache, ContentPutInMemoryIsServedAndReplacedWithoutADiskFile) {
    ASSERT_TRUE(cache_put("mem/a.txt", "one", 3));
    ResourceFile held;
    ASSERT_TRUE(held.create("MEM\\A.TXT"));
    ASSERT_TRUE(held.open());
    ASSERT_TRUE(cache_put("mem/a.txt", "second", 6)); // replaces, in the same slot
    EXPECT_EQ(cache_used_slots(), 1u);
    FileBytes now;
    ASSERT_TRUE(read_whole_file("mem/a.txt", now));
    EXPECT_EQ(now.size, 6u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(now.data.get())), "second"); // zero-ended
    char buf[4] = {};
    EXPECT_EQ(held.read(buf, 1, 3), 3u); // a reader of the old content keeps it
    EXPECT_EQ(std::string(buf), "one");
    EXPECT_FALSE(cache_put("mem/empty.txt", "", 0));
    EXPECT_TRUE(cache_unload("mem/a.txt"));
    EXPECT_FALSE(read_whole_file("mem/a.txt", now));
}

} // namespace
} // namespace kestrune::storage::test
