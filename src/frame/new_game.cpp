// --new DIR: a small game to start from. Its pictures are drawn by the engine (coloured
// planes), so the folder holds only text an author can read and edit: the settings file
// and one script with a background, a character, a message window and a few pages of text.
#include "frame/frame.h"

#include "storage/storage.h"

#include <cstdio>
#include <filesystem>
#include <string>

namespace kestrune::frame {

namespace {

// Section names of the settings file are Shift-JIS, as the engine's games store them:
// [product], [save], [script], [font], [window].
const std::string k_settings = "; Settings of the game. Section names are in Shift-JIS.\r\n"
                               "[\x83\x76\x83\x8d\x83\x5f\x83\x4e\x83\x67]\r\n"
                               "bland=MyStudio\r\nname=MyGame\r\nversion=1.0\r\n\r\n"
                               "[\x83\x5a\x81\x5b\x83\x75]\r\n"
                               "enable=TRUE\r\n\r\n"
                               "[\x83\x58\x83\x4e\x83\x8a\x83\x76\x83\x67]\r\n"
                               "start=script/main.txt\r\n\r\n"
                               "[\x83\x74\x83\x48\x83\x93\x83\x67]\r\n"
                               "face=WenQuanYi Zen Hei\r\nsize=28\r\nweight=400\r\n\r\n"
                               "[\x83\x45\x83\x42\x83\x93\x83\x68\x83\x45]\r\n"
                               "title=My Game\r\n";

const char* const k_script =
    R"(// The start script of a new game. Run it with `kestrune .` in the game folder and
// check it with `kestrune --check .` after every change.
scene main
{
    // The background and a character, drawn as coloured planes: replace them with
    // CreateTexture("bg", 0, 0, 0, "cg/my_background.png") and your own images.
    CreateColor("bg", 0, 0, 0, 1024, 576, "#304060");
    CreateColor("hill", 10, 0, 400, 1024, 176, "#203020");
    CreateColor("hero", 100, 460, 180, 100, 260, "#E0A070");
    CreateColor("hero/face", 110, 20, -60, 60, 60, "#F0C8A0");
    Fade("hero", 0, 0, NULL, FALSE);
    Draw();
    Fade("hero", 600, 1000, NULL, TRUE);

    // The message window: a half-transparent plane near the bottom.
    CreateColor("msg", 500, 32, 400, 960, 160, "#00000080");
    Request("msg", "Hideable");
    CreateColor("txt", 510, 60, 420, 4, 4, "#000000");
    Fade("txt", 0, 0, NULL, FALSE);
    Draw();

    say("hello");
    say("bye");
    Exit();

<PRE txt>
[hello]
Welcome to your new game&.<K>
Edit script/main.txt to tell your own story&.

[bye]
Click to end&.

</PRE>
}

// One page of the text section above, read until the reader clicks it away.
function say($entry)
{
    $say_page = "txt/" + $entry;
    LoadText("main", "txt", $entry, 900, 140, NULL, 40);
    Request($say_page, "Hideable");
    Request($say_page, "Enter");
    Draw();
    WaitText($say_page);
    Delete($say_page);
}
)";

bool write(const std::string& name, const std::string& text) {
    return storage::write_file(name, text.data(), text.size(), storage::WriteMode::plain);
}

} // namespace

int make_new_game(const std::string& dir) {
    std::error_code ec;
    if (std::filesystem::exists(dir, ec) && !std::filesystem::is_empty(dir, ec)) {
        std::fprintf(stderr, "kestrune: --new: \"%s\" exists and is not empty\n", dir.c_str());
        return 1;
    }
    std::filesystem::create_directories(dir + "/system", ec);
    std::filesystem::create_directories(dir + "/script", ec);
    if (ec || !write(dir + "/system/System.ini", k_settings) ||
        !write(dir + "/script/main.txt", k_script)) {
        std::fprintf(stderr, "kestrune: --new: cannot write the game into \"%s\"\n", dir.c_str());
        return 1;
    }
    std::fprintf(stderr,
                 "kestrune: made a new game in %s\n  run it:   kestrune %s\n  check it: "
                 "kestrune --check %s\n",
                 dir.c_str(), dir.c_str(), dir.c_str());
    return 0;
}

} // namespace kestrune::frame
