// Files committed under tests/fixtures/storage: images made by another encoder
// (ImageMagick), and an archive and a container written by an earlier build. If the
// scramble table, a hash or a layout changes, games packed before stop loading: these
// catch it.
#include "storage_test_util.h"

namespace kestrune::storage::test {
namespace {

std::string fixture(const char* name) {
    return std::string(KESTRUNE_SOURCE_DIR) + "/tests/fixtures/storage/" + name;
}

class Fixtures : public StorageTest {};

TEST_F(Fixtures, ImagesFromAnotherEncoderDecode) {
    struct Case {
        const char* file;
        int width, height;
        std::int32_t kind;
    } cases[] = {
        {"palette.png", 8, 6, k_kind_png},
        {"interlaced.png", 8, 6, k_kind_png}, // 4-bit grey, Adam7
        {"colour.jpg", 16, 8, k_kind_jpeg},
        {"rgb24.bmp", 5, 3, k_kind_bmp},
        {"small.vksi", 3, 2, 0x101},
    };
    for (const auto& c : cases) {
        auto img = load_image(std::string("file:") + fixture(c.file));
        ASSERT_TRUE(img) << c.file;
        EXPECT_EQ(img->width, c.width) << c.file;
        EXPECT_EQ(img->height, c.height) << c.file;
        EXPECT_EQ(img->kind, c.kind) << c.file;
    }
    // The interlaced grey ramp runs from white at the top to black at the bottom.
    auto grey = load_image(std::string("file:") + fixture("interlaced.png"));
    ASSERT_TRUE(grey);
    EXPECT_GT(grey->row32(0)[0] & 0xFF, grey->row32(5)[0] & 0xFF);
    EXPECT_EQ(grey->row32(0)[0] >> 24, 0xFFu);
}

TEST_F(Fixtures, ArchivesAndContainersFromEarlierBuildsRead) {
    std::filesystem::copy_file(fixture("small.vka"), m_dir / "small.vka");
    std::filesystem::copy_file(fixture("small-compressed.vka"), m_dir / "packed.vka");
    ASSERT_TRUE(scan_archives(m_dir.string()));
    for (std::string archive : {"small", "packed"}) {
        const std::string name =
            archive + (archive == "small" ? "/sub/hello.txt" : "/Sub/Hello.TXT");
        FileBytes out;
        ASSERT_TRUE(read_whole_file(name, out)) << name;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data.get()), out.size), "hello archive\n")
            << name;
        ASSERT_TRUE(read_whole_file(archive + "/pad.txt", out)) << name;
        EXPECT_EQ(out.size, 300u);
    }
    std::filesystem::copy_file(fixture("small.vkf"), m_dir / "small.vkf");
    FileBytes text;
    ASSERT_TRUE(read_whole_file(path("small.vkf"), text));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(text.data.get())),
              "#flag = 1\n$name = \"fixture\"\n");
}

} // namespace
} // namespace kestrune::storage::test
