// VKA archives: lookup rules, reading whole entries and streams, and damaged archives.
#include "storage/archive_writer.h"
#include "storage/codec.h"
#include "storage_test_util.h"

namespace kestrune::storage::test {
namespace {

Bytes pattern(std::size_t n, unsigned seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = std::uint8_t((i * 131 + seed * 17 + (i >> 7)) & 0xFF);
    return b;
}

Bytes content_of(ResourceFile& f) {
    return Bytes(f.data(), f.data() + f.size());
}

class Archives : public StorageTest {
protected:
    void pack(const std::string& file, std::vector<std::pair<std::string, Bytes>> entries,
              bool compress, bool scramble) {
        ArchiveWriterOptions options;
        options.compress = compress;
        options.scramble = scramble;
        ArchiveWriter w(options);
        for (auto& [name, bytes] : entries) ASSERT_TRUE(w.add_bytes(name, bytes));
        std::string error;
        ASSERT_TRUE(w.write(path(file), &error)) << error;
    }
    void scan() {
        reset_archives();
        ASSERT_TRUE(scan_archives(m_dir.string()));
    }
    bool load(const std::string& name, Bytes& out) {
        ResourceFile f;
        if (!f.create(name) || !f.load()) return false;
        out = content_of(f);
        return true;
    }
};

TEST_F(Archives, EveryFlagCombinationReadsBackWholeAndStreamed) {
    const Bytes big = pattern(20000, 1); // longer than the scrambled prefix
    const Bytes small = bytes_of("tiny");
    for (bool compress : {false, true})
        for (bool scramble : {false, true}) {
            SCOPED_TRACE(std::to_string(compress) + std::to_string(scramble));
            std::filesystem::remove(m_dir / "data.vka");
            pack("data.vka", {{"cg\\Big.bin", big}, {"small.txt", small}, {"empty", {}}}, compress,
                 scramble);
            scan();
            Bytes got;
            ASSERT_TRUE(load("data/cg/big.bin", got));
            EXPECT_EQ(got, big);
            ASSERT_TRUE(load("data/small.txt", got));
            EXPECT_EQ(got, small);

            ResourceFile f;
            ASSERT_TRUE(f.create("DATA\\CG\\BIG.BIN"));
            EXPECT_EQ(f.backing(), Backing::archive);
            ASSERT_TRUE(f.open());
            EXPECT_EQ(f.size(), std::int64_t(big.size())); // the content size, also compressed
            // A read that starts inside the scrambled prefix and ends beyond it.
            const std::int64_t at = 4096 + 12 - 10;
            ASSERT_EQ(f.seek(at, 0), 0);
            Bytes part(30);
            ASSERT_EQ(f.read(part.data(), 1, part.size()), part.size());
            EXPECT_EQ(part, Bytes(big.begin() + at, big.begin() + at + 30));
            EXPECT_EQ(f.tell(), at + 30);
            // Reads and seeks stay inside the entry.
            EXPECT_EQ(f.seek(-5, 2), 0);
            EXPECT_EQ(f.read(part.data(), 1, part.size()), 5u);
            EXPECT_EQ(f.read(part.data(), 1, 1), 0u);
            EXPECT_EQ(f.seek(1, 2), -1);
            EXPECT_EQ(f.seek(-1, 0), -1);
            EXPECT_EQ(f.tell(), std::int64_t(big.size()));
            EXPECT_EQ(f.seek(0, 0), 0);
            Bytes all(big.size() + 100);
            EXPECT_EQ(f.read(all.data(), 1, all.size()), big.size());
            all.resize(big.size());
            EXPECT_EQ(all, big);
            EXPECT_EQ(f.close(), 0);
            EXPECT_FALSE(f.open_for_writing());
            EXPECT_FALSE(f.remove());
        }
}

TEST_F(Archives, LookupRules) {
    pack("bg.vka", {{"ev01.png", bytes_of("bg:ev01")}, {"sub\\x.txt", bytes_of("bg:x")}}, false,
         true);
    pack("bgm.vka", {{"ev01.png", bytes_of("bgm:ev01")}, {"only_bgm.ogg", bytes_of("bgm:o")}}, true,
         true);
    pack("other.vka", {{"stray.txt", bytes_of("other:stray")}}, false, false);
    Bytes bad = pattern(64, 2);
    bad[0] = 'V', bad[1] = 'K', bad[2] = 'A', bad[3] = 2, bad[4] = bad[5] = bad[6] = 0;
    write_bytes(m_dir / "v2.vka", bad); // version 2: not an archive
    scan();
    EXPECT_EQ(archive_list().size(), 3u);
    struct Case {
        const char* name;
        const char* content; // null: not served from an archive
    } cases[] = {
        {"bg/ev01.png", "bg:ev01"},
        {"Bg/Ev01.PNG", "bg:ev01"},
        {"./bg/ev01.png", "bg:ev01"},
        {"bg\\ev01.png", "bg:ev01"},
        {"BG/SUB/X.TXT", "bg:x"},
        {"bgm/ev01.png", "bgm:ev01"},     // bgm.vka also begins with "bg", but bg wins for bg
        {"bg/only_bgm.ogg", "bgm:o"},     // the next archive beginning with the component
        {"bg/stray.txt", "other:stray"},  // second pass: any archive
        {"zzz/stray.txt", "other:stray"}, // second pass with a component matching nothing
        {"ev01.png", nullptr},            // no folder: never from an archive
        {"bg/ev01.pn", nullptr},          // a prefix of a name is not the name
        {"bg/ev01.png.bak", nullptr},
        {"bg/", nullptr},
    };
    for (const auto& c : cases) {
        ResourceFile f;
        ASSERT_TRUE(f.create(c.name));
        if (!c.content) {
            EXPECT_EQ(f.backing(), Backing::loose) << c.name;
            continue;
        }
        ASSERT_EQ(f.backing(), Backing::archive) << c.name;
        ASSERT_TRUE(f.load()) << c.name;
        EXPECT_EQ(content_of(f), bytes_of(c.content)) << c.name;
        EXPECT_EQ(available_file(c.name), 1) << c.name;
    }
    EXPECT_EQ(available_file("bg/missing.png"), -1);
}

TEST_F(Archives, CacheBeatsArchiveBeatsLooseFile) {
    pack("res.vka", {{"a.txt", bytes_of("archive")}}, false, true);
    scan();
    write_bytes(m_dir / "res" / "a.txt", bytes_of("loose"));
    const std::string name = "res/a.txt";
    Bytes got;
    ASSERT_TRUE(load(name, got));
    EXPECT_EQ(got, bytes_of("archive"));
    ASSERT_TRUE(cache_load(name, false));
    ResourceFile f;
    ASSERT_TRUE(f.create(name));
    EXPECT_EQ(f.backing(), Backing::cache);
    ASSERT_TRUE(f.load());
    EXPECT_EQ(content_of(f), bytes_of("archive"));
}

// Offsets into a one-entry archive with a 5-byte name: the index starts at 41.
constexpr std::size_t k_name_len = 5;
constexpr std::size_t k_offset_field = 41 + 4 + k_name_len + 5;
constexpr std::size_t k_stored_field = k_offset_field + 4;
constexpr std::size_t k_inflated_field = k_stored_field + 4;

TEST_F(Archives, DamagedArchivesAreSkippedOrRefused) {
    const Bytes content = pattern(3000, 3);
    pack("good.vka", {{"a.bin", content}}, true, false);
    const Bytes good = read_bytes(m_dir / "good.vka");
    std::filesystem::remove(m_dir / "good.vka");
    auto patched = [&](std::size_t at, std::uint32_t v) {
        Bytes b = good;
        put_u32(b.data() + at, v);
        return b;
    };
    struct Case {
        const char* what;
        Bytes data;
    } broken[] = {
        {"cut inside the data", Bytes(good.begin(), good.end() - 1)},
        {"cut inside the index", Bytes(good.begin(), good.begin() + 50)},
        {"index size past the end", patched(37, 0xFFFFFF00u)},
        {"entry count too large for the index", patched(17, 1000)},
        {"name length over 259", patched(41, 300)},
        {"offset past the end", patched(k_offset_field, 0xFFFFFFF0u)},
        {"stored size past the end", patched(k_stored_field, 0x7FFFFFFFu)},
    };
    for (const auto& c : broken) {
        SCOPED_TRACE(c.what);
        Archive a;
        std::string error;
        EXPECT_FALSE(parse_archive(c.data.data(), c.data.size(), c.data.size(), a, &error));
        EXPECT_FALSE(error.empty());
        write_bytes(m_dir / "broken.vka", c.data);
        ::testing::internal::CaptureStderr();
        scan();
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(archive_list().empty());
        EXPECT_NE(err.find("broken.vka"), std::string::npos) << err;
    }
    // An inflated length that differs from the index fails the load with a message.
    for (std::uint32_t wrong : {2999u, 3001u, 0u, 0x3FFFFFFFu}) {
        write_bytes(m_dir / "broken.vka", patched(k_inflated_field, wrong));
        scan();
        ASSERT_EQ(archive_list().size(), 1u);
        ResourceFile f;
        ASSERT_TRUE(f.create("broken/a.bin"));
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(f.load()) << wrong;
        EXPECT_FALSE(f.open()) << wrong;
        EXPECT_NE(::testing::internal::GetCapturedStderr().find("a.bin"), std::string::npos);
    }
}

TEST_F(Archives, ScanRunsOnce) {
    pack("one.vka", {{"a", bytes_of("1")}}, false, false);
    scan();
    EXPECT_FALSE(scan_archives(m_dir.string()));
    EXPECT_EQ(archive_list().size(), 1u);
}

TEST_F(Archives, EntryHashAndNameDecoding) {
    // The hashes are part of the format: pin them.
    EXPECT_EQ(entry_hash(""), 0u);
    EXPECT_EQ(entry_hash("a"), 0x2C4E7A19u - 'a');
    EXPECT_EQ(entry_hash("ab"), (0x2C4E7A19u - 'a' - 'b') * 2u);
    EXPECT_EQ(name_hash("dir\\sub/ab"), (0x15D3B86Fu - 'a' - 'b') * 2u);
    EXPECT_EQ(name_shift(1, 1, 0, 0), 1); // k = 1: only k itself is non-zero
    // Entry index 0x01020304, byte 2: 4 * 2 plus the low bytes of e >> 24, >> 16, >> 8, e.
    EXPECT_EQ(name_shift(0, 0, 0x01020304u, 2), 8 + 0x01 + 0x02 + 0x03 + 0x04);
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(k_unscramble_table[k_scramble_table[std::size_t(i)]], i);
}

} // namespace
} // namespace kestrune::storage::test
