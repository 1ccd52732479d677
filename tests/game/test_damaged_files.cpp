// Damaged and unreadable files in a game folder: each gives one clear message naming the
// file, and the game goes on to its end. The script writes "end.txt" as its last step, so
// a run that stopped early shows.
#include "run_game.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace kestrune::testing;

namespace {

const std::string k_demo = KESTRUNE_SOURCE_DIR "/games/demo";

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

struct DamageCase {
    const char* name;
    const char* file;      // the damaged file, relative to the game
    std::string bytes;     // what it holds
    const char* statement; // what the script does with it
};

} // namespace

TEST(DamagedFiles, EachGivesOneMessageAndTheGameGoesOn) {
    const std::string png = file_bytes(k_demo + "/cg/bg01.png");
    const std::string ogg = file_bytes(k_demo + "/sound/rumble.ogg");
    ASSERT_GT(png.size(), 100u);
    ASSERT_GT(ogg.size(), 100u);
    const std::vector<DamageCase> cases = {
        {"png cut in half", "cg/half.png", png.substr(0, png.size() / 2),
         R"(CreateTexture("a", 10, 0, 0, "cg/half.png");)"},
        {"png of zero bytes", "cg/empty.png", "",
         R"(CreateTexture("a", 10, 0, 0, "cg/empty.png");)"},
        {"png that is text", "cg/text.png", "not a picture at all",
         R"(CreateTexture("a", 10, 0, 0, "cg/text.png");)"},
        {"jpeg header only", "cg/cut.jpg", std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00", 11),
         R"(CreateTexture("a", 10, 0, 0, "cg/cut.jpg");)"},
        {"ogg cut short", "sound/cut.ogg", ogg.substr(0, 200),
         R"(CreateSound("s", "SE", "sound/cut"); Request("s", "Play");)"},
        {"wav header only", "sound/cut.wav", std::string("RIFF\x24\x00\x00\x00WAVEfmt ", 16),
         R"(CreateSound("s", "SE", "sound/cut.wav"); Request("s", "Play");)"},
        {"included script of binary junk", "junk.txt",
         std::string("\x81\x00\xFF\xFE{{{\x80;;\"", 12), R"(call_scene "junk.txt->main";)"},
        {"archive cut short", "cg.vka",
         file_bytes(KESTRUNE_SOURCE_DIR "/tests/fixtures/storage/small.vka").substr(0, 40),
         R"(CreateTexture("a", 10, 0, 0, "cg/missing.png");)"},
    };
    for (const DamageCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string game = scratch_dir("damaged");
        write_bytes(game + "/" + c.file, c.bytes);
        write_text(game + "/start.txt", std::string("scene main\n{\n    ") + c.statement +
                                            "\n    Draw();\n    Wait(100);\n"
                                            "    WriteFile(\"end.txt\", \"end\", FALSE);\n}\n");
        const RunResult r = run_kestrune(
            {"--headless", "--save-dir", game + "/saves", "--max-seconds", "20", game});
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_EQ(read_text(game + "/end.txt"), "end") << r.output;
        // One message that names the file (its base name; the folder may be spelled
        // either way).
        const std::string base = std::filesystem::path(c.file).stem().string();
        EXPECT_GE(count_of(r.output, base), 1u) << r.output;
        EXPECT_LE(count_of(r.output, "\n"), 3u) << r.output;
    }
}
