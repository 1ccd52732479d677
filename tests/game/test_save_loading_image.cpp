// The loading image in whole-program runs: a game that names a picture in
// #SYSTEM_loading_image sees it fade in over the old scene when it loads, then fade out over
// the restored one, a frame every 16 ms; placed where #SYSTEM_loading_image_x and _y say,
// else centred. Every presented frame is recorded on the stepped clock and read back.
#include "run_game.h"

#include "scene/frame_buffer.h"
#include "storage/pixel_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

using namespace kestrune::testing;
namespace fs = std::filesystem;

namespace {

struct Frame {
    int ms = 0;
    int cover = 0;     // the red channel at the cover's middle (the backdrop is black)
    bool gone = false; // the object made after the save shows
    int outside = 0;   // the red channel where a centred cover would be
};

std::vector<Frame> recorded(const std::string& dir, int cover_x, int cover_y) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().extension() == ".png") names.push_back(e.path().string());
    std::sort(names.begin(), names.end());
    std::vector<Frame> frames;
    for (const std::string& name : names) {
        kestrune::PixelImage image;
        if (!kestrune::scene::read_png_bgra(name.c_str(), image)) continue;
        Frame f;
        // NNNNNN_TTTTTTTT.png: the engine time after the underscore.
        f.ms = std::atoi(fs::path(name).stem().string().substr(7).c_str());
        f.cover = image.row(cover_y)[cover_x * 4 + 2];
        f.gone = image.row(10)[10 * 4 + 2] > 200 && image.row(10)[10 * 4 + 1] < 40;
        f.outside = image.row(288)[512 * 4 + 2];
        frames.push_back(f);
    }
    return frames;
}

} // namespace

TEST(SaveLoadingImage, FadesInOverTheOldSceneAndOutOverTheRestoredOne) {
    const struct {
        const char* name;
        const char* place; // script lines that place the cover
        int x, y;          // a pixel in the cover's middle
    } cases[] = {
        {"centred", "", 512, 288},
        {"placed", "#SYSTEM_loading_image_x = 40; #SYSTEM_loading_image_y = 300;", 140, 350}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string game = scratch_dir(std::string("save_loading_image_") + c.name);
        write_text(game + "/cover.bmp", bitmap24(200, 100, [](int, int) {
                       return std::array<std::uint8_t, 3>{255, 255, 255};
                   }));
        write_text(game + "/start.txt", std::string(R"(
scene main
{
    CreateColor("back", 0, 0, 0, 1024, 576, "#000000");
    Draw();
    Wait(100);
    Save(1);
    if (#loads == 0)
    {
        #loads = 1;
        #SYSTEM_loading_image = "cover.bmp";
        )") + c.place + R"(
        CreateColor("gone", 1, 0, 0, 64, 64, "#FF0000");
        Draw();
        Wait(100);
        Load(1);
    }
    Wait(500);
}
)");
        const std::string frames_dir = game + "/frames";
        fs::create_directories(frames_dir);
        const RunResult r = run_kestrune({"--headless", "--save-dir", game + "/saves", "--record",
                                          frames_dir, "--max-seconds", "10", game},
                                         60);
        ASSERT_EQ(r.exit_code, 0) << r.output;
        const std::vector<Frame> frames = recorded(frames_dir, c.x, c.y);
        // The frames that show the cover, in order.
        std::vector<Frame> covered;
        for (const Frame& f : frames)
            if (f.cover > 0) covered.push_back(f);
        ASSERT_EQ(covered.size(), 15u + 16u) << r.output;
        for (std::size_t i = 0; i < covered.size(); ++i) {
            SCOPED_TRACE("covered frame " + std::to_string(i));
            // Fading in (16 ... 240, the 0 frame shows nothing of it) over the scene that
            // still has the object made after the save; fading out (255 ... 15) over the
            // restored scene, which has not.
            const int alpha = i < 15 ? int(i + 1) * 16 : 255 - int(i - 15) * 16;
            EXPECT_LE(std::abs(covered[i].cover - alpha), 2);
            EXPECT_EQ(covered[i].gone, i < 15);
            if (i > 0 && i != 15) {
                EXPECT_EQ(covered[i].ms - covered[i - 1].ms, 16);
            }
            if (c.x != 512) {
                EXPECT_EQ(covered[i].outside, 0);
            }
        }
        // Before the cover the object shows; after it the scene is the one saved.
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames.back().cover, 0);
        EXPECT_FALSE(frames.back().gone);
        // The game goes on 300 ms after the cover went.
        EXPECT_GE(frames.back().ms - covered.back().ms, 300);
    }
}
