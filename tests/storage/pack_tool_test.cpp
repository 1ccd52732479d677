// kestrune-pack: folders packed by the tool read back through the engine byte for byte.
#include <sys/wait.h>

#include <cstdlib>

#include "platform/encoding.h"
#include "storage/archive_writer.h"
#include "storage_test_util.h"

namespace kestrune::storage::test {
namespace {

std::string tool() {
    if (const char* env = std::getenv("KESTRUNE_PACK_BIN")) return env;
    return std::string(KESTRUNE_BINARY_DIR) + "/kestrune-pack";
}

struct ToolRun {
    int code;
    std::string out, err;
};

class PackTool : public StorageTest {
protected:
    ToolRun run(const std::string& args) {
        const auto out = m_dir / "stdout.txt", err = m_dir / "stderr.txt";
        const std::string cmd = "'" + tool() + "' " + args + " >'" + out.string() + "' 2>'" +
                                err.string() + "' </dev/null";
        const int status = std::system(cmd.c_str());
        ToolRun r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, {}, {}};
        const Bytes o = read_bytes(out), e = read_bytes(err);
        r.out.assign(o.begin(), o.end());
        r.err.assign(e.begin(), e.end());
        return r;
    }
    std::string q(const std::filesystem::path& p) { return "'" + p.string() + "'"; }
};

TEST_F(PackTool, RoundTripThroughTheEngine) {
    ASSERT_TRUE(std::filesystem::exists(tool())) << tool();
    const std::string music = platform::gbk_to_utf8("\xD2\xF4\xC0\xD6");          // 音乐
    const std::string theme = platform::gbk_to_utf8("\xD6\xF7\xCC\xE2") + ".OGG"; // 主题
    Bytes big(50000);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = std::uint8_t((i * i) >> 3);
    const std::vector<std::pair<std::string, Bytes>> files = {
        {"Cg/Ev01.PNG", big},
        {"script/Main.txt", bytes_of("CreateTexture(bg, 100, 0, 0, cg/bg01)\n")},
        {music + "/" + theme, bytes_of("ogg data")},
        {"empty.bin", {}},
    };
    for (const auto& [rel, bytes] : files) write_bytes(m_dir / "src" / rel, bytes);

    for (const char* flags : {"", "--compress "}) {
        SCOPED_TRACE(flags);
        std::filesystem::remove_all(m_dir / "game");
        std::filesystem::create_directories(m_dir / "game");
        ToolRun r =
            run(std::string(flags) + q(m_dir / "game" / "data.vka") + " " + q(m_dir / "src"));
        ASSERT_EQ(r.code, 0) << r.err;
        reset_archives();
        ASSERT_TRUE(scan_archives((m_dir / "game").string()));
        for (const auto& [rel, bytes] : files) {
            // Scripts name resources in GBK, in any case, with either separator.
            std::string name = "Data\\" + platform::utf8_to_gbk(rel);
            ResourceFile f;
            ASSERT_TRUE(f.create(name)) << rel;
            ASSERT_EQ(f.backing(), Backing::archive) << rel;
            ASSERT_TRUE(f.open()) << rel;
            ASSERT_EQ(f.size(), std::int64_t(bytes.size())) << rel;
            Bytes streamed(bytes.size() + 1);
            EXPECT_EQ(f.read(streamed.data(), 1, streamed.size()), bytes.size()) << rel;
            streamed.resize(bytes.size());
            EXPECT_EQ(streamed, bytes) << rel;
            if (bytes.empty()) continue; // an empty resource does not load
            ASSERT_TRUE(f.load()) << rel;
            EXPECT_EQ(Bytes(f.data(), f.data() + f.size()), bytes) << rel;
        }

        r = run("--list " + q(m_dir / "game" / "data.vka"));
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_NE(r.out.find("cg/ev01.png"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(music), std::string::npos) << r.out;

        r = run("--extract " + q(m_dir / "game" / "data.vka") + " " + q(m_dir / "out"));
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(read_bytes(m_dir / "out" / "cg" / "ev01.png"), big);
        EXPECT_TRUE(std::filesystem::exists(m_dir / "out" / "script" / "main.txt"));
    }
}

TEST_F(PackTool, BadUseAndHostileEntryNames) {
    ASSERT_TRUE(std::filesystem::exists(tool())) << tool();
    for (const char* args : {"", "--bogus a b", "only-one-arg", "--list", "--extract a"}) {
        ToolRun r = run(args);
        EXPECT_EQ(r.code, 2) << args;
        EXPECT_NE(r.err.find("usage:"), std::string::npos) << args;
    }
    EXPECT_EQ(run("--list " + q(m_dir / "missing.vka")).code, 1);

    ArchiveWriter w;
    ASSERT_TRUE(w.add_bytes("..\\escaped.txt", bytes_of("x")));
    ASSERT_TRUE(w.add_bytes("fine.txt", bytes_of("y")));
    std::string error;
    ASSERT_TRUE(w.write((m_dir / "evil.vka").string(), &error)) << error;
    ToolRun r = run("--extract " + q(m_dir / "evil.vka") + " " + q(m_dir / "x"));
    EXPECT_EQ(r.code, 1);
    EXPECT_FALSE(std::filesystem::exists(m_dir / "escaped.txt"));
    EXPECT_TRUE(std::filesystem::exists(m_dir / "x" / "fine.txt"));
}

} // namespace
} // namespace kestrune::storage::test
