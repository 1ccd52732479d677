// The VKSF container: round trips, keying by base name, and refusal of damaged files.
#include <zlib.h>

#include <cstring>

#include "storage/codec.h"
#include "storage/container.h"
#include "storage_test_util.h"

namespace kestrune::storage::test {
namespace {

Bytes encode(const Bytes& content, std::string_view name) {
    platform::BlockPtr out;
    std::size_t size = 0;
    EXPECT_TRUE(vksf_encode(content.data(), content.size(), container_key(name), out, size));
    return Bytes(out.get(), out.get() + size);
}

bool decode(const Bytes& file, std::string_view name, Bytes* content = nullptr,
            std::string* error = nullptr) {
    platform::BlockPtr out;
    std::size_t size = 0;
    if (!vksf_decode(file.data(), file.size(), container_key(name), out, size, error)) return false;
    // The decoded block carries the zeroed slack like every content buffer.
    for (std::size_t i = size; i < size + platform::k_block_slack - 64; ++i)
        if (out[i] != 0) return false;
    if (content) *content = Bytes(out.get(), out.get() + size);
    return true;
}

Bytes container(std::uint32_t content_size, std::uint32_t count, std::uint32_t compressed,
                const Bytes& payload) {
    Bytes b(16);
    std::memcpy(b.data(), "VKSF", 4);
    put_u32(b.data() + 4, content_size);
    put_u32(b.data() + 8, count);
    put_u32(b.data() + 12, compressed);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

TEST(VksfContainer, RoundTripsAnyContent) {
    Bytes big(10000);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = std::uint8_t(i * 7 + (i >> 8));
    for (const Bytes& content : {Bytes{}, Bytes{0x42}, bytes_of("hello, world"), big}) {
        Bytes file = encode(content, "save/0001/val.vkf");
        ASSERT_EQ(file.size(), content.size() + 16);
        Bytes back;
        ASSERT_TRUE(decode(file, "VAL.VKF", &back)); // keyed by the lower-cased base name
        EXPECT_EQ(back, content);
    }
}

TEST(VksfContainer, OneByteContentHasCountOneAndUnscramblesThatByte) {
    Bytes file = encode({0x61}, "a.txt");
    EXPECT_EQ(read_u32(file.data() + 8), 1u);
    EXPECT_NE(file[16], 0x61); // the byte is stored scrambled (for this key)
    Bytes back;
    ASSERT_TRUE(decode(file, "a.txt", &back));
    EXPECT_EQ(back, Bytes{0x61});
}

TEST(VksfContainer, DecodesDifferentlyUnderAnotherBaseName) {
    const Bytes content = bytes_of("scene data that should stay private");
    Bytes file = encode(content, "dir/one.vkf");
    Bytes back;
    ASSERT_TRUE(decode(file, "other/one.vkf", &back)); // folder does not matter
    EXPECT_EQ(back, content);
    ASSERT_TRUE(decode(file, "dir/two.vkf", &back));
    EXPECT_NE(back, content);
}

TEST(VksfContainer, CompressedPayloadInflates) {
    const Bytes content = bytes_of(std::string(5000, 'k') + "tail");
    uLongf len = compressBound(uLong(content.size()));
    Bytes z(len);
    ASSERT_EQ(compress(z.data(), &len, content.data(), uLong(content.size())), Z_OK);
    z.resize(len);
    Bytes back;
    ASSERT_TRUE(decode(container(std::uint32_t(content.size()), 0, 1, z), "x", &back));
    EXPECT_EQ(back, content);
    // An inflated length that differs from the header is refused, larger or smaller.
    EXPECT_FALSE(decode(container(std::uint32_t(content.size()) - 1, 0, 1, z), "x"));
    EXPECT_FALSE(decode(container(std::uint32_t(content.size()) + 1, 0, 1, z), "x"));
}

TEST(VksfContainer, RefusesDamagedContainers) {
    const Bytes payload = bytes_of("0123456789");
    struct Case {
        const char* what;
        Bytes file;
    } cases[] = {
        {"shorter than the header", bytes_of("VKSF\x01\x00\x00")},
        {"header only, content claimed", container(4, 0, 0, {})},
        {"content size larger than the payload", container(11, 0, 0, payload)},
        {"scrambled count larger than the payload", container(10, 11, 0, payload)},
        {"huge content size", container(0xFFFFFFFFu, 0, 0, payload)},
        {"compressed payload that is no zlib stream", container(10, 0, 1, payload)},
        {"huge size claimed for a tiny compressed payload", container(0x3FFFFFFFu, 0, 1, payload)},
        {"bad magic", bytes_of("VKSX0000000000000000")},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(decode(c.file, "f", nullptr, &error)) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }
    // The boundary values themselves are fine.
    EXPECT_TRUE(decode(container(10, 10, 0, payload), "f"));
    EXPECT_TRUE(decode(container(0, 0, 0, {}), "f"));
}

class VksfLooseFile : public StorageTest {};

TEST_F(VksfLooseFile, LoadDecodesTransparentlyAndRenameChangesTheKey) {
    const Bytes content = bytes_of("#flag = 1\n");
    write_bytes(m_dir / "val.vkf", encode(content, "val.vkf"));
    ResourceFile f;
    ASSERT_TRUE(f.create(path("val.vkf")));
    ASSERT_TRUE(f.load());
    EXPECT_EQ(Bytes(f.data(), f.data() + f.size()), content);
    EXPECT_EQ(f.data()[f.size()], 0); // text always ends in a zero

    std::filesystem::rename(m_dir / "val.vkf", m_dir / "renamed.vkf");
    ASSERT_TRUE(f.create(path("renamed.vkf")));
    ASSERT_TRUE(f.load());
    EXPECT_NE(Bytes(f.data(), f.data() + f.size()), content);
}

TEST_F(VksfLooseFile, DamagedContainerFailsTheLoad) {
    write_bytes(m_dir / "bad.vkf", container(100, 0, 0, bytes_of("short")));
    ResourceFile f;
    ASSERT_TRUE(f.create(path("bad.vkf")));
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(f.load());
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("bad.vkf"), std::string::npos);
}

TEST_F(VksfLooseFile, WriteFileInContainerReadsBackAndEncodeDecodeRoundTrip) {
    const std::string text = "line one\nline two\n";
    ASSERT_TRUE(write_file(path("Out.TXT"), text.data(), text.size(), WriteMode::container));
    EXPECT_TRUE(std::filesystem::exists(m_dir / "Out.TXT")); // case kept on disk
    EXPECT_EQ(read_bytes(m_dir / "Out.TXT").size(), text.size() + 16);
    FileBytes back;
    ASSERT_TRUE(read_whole_file(path("out.txt"), back)); // found without regard to case
    EXPECT_EQ(std::string(reinterpret_cast<char*>(back.data.get()), back.size), text);

    ResourceFile f;
    ASSERT_TRUE(f.create("memory.bin"));
    ASSERT_TRUE(f.set_content(text.data(), text.size()));
    ASSERT_TRUE(f.encode());
    EXPECT_EQ(std::size_t(f.size()), text.size() + 16);
    ASSERT_TRUE(f.decode());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.data()), std::size_t(f.size())), text);
}

} // namespace
} // namespace kestrune::storage::test
