// Entry point: parse the command line and hand over to the engine frame.
#include "frame/frame.h"
#include "ui/input_file.h"

#include <cstdio>

#ifndef KESTRUNE_DEFAULT_GAME
#define KESTRUNE_DEFAULT_GAME "games/demo"
#endif
#ifndef KESTRUNE_VERSION
#define KESTRUNE_VERSION "0.1.0"
#endif

int main(int argc, char** argv) {
    using namespace kestrune::frame;
    Options options;
    std::string error;
    if (parse_command_line(argc, argv, options, error) != ParseResult::ok) {
        std::fprintf(stderr, "kestrune: %s\n%s\n", error.c_str(), usage_line().c_str());
        return 2;
    }
    if (options.show_help) {
        std::printf("%s", help_text().c_str());
        return 0;
    }
    if (options.show_version) {
        std::printf("kestrune %s\n", KESTRUNE_VERSION);
        return 0;
    }
    // A bad input file is bad use: refused with its file and line before anything starts.
    if (!options.input_file.empty()) {
        if (!kestrune::ui::load_input_file(options.input_file, error)) {
            std::fprintf(stderr, "kestrune: %s\n", error.c_str());
            return 2;
        }
    }
    if (options.game_dir.empty()) options.game_dir = KESTRUNE_DEFAULT_GAME;
    if (!options.new_game.empty()) return make_new_game(options.new_game);
    if (options.check) return run_check(options);
    return run(options);
}
