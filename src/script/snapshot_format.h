// The script block of a save slot (layout in snapshot.h), read on its own: every count,
// size, text, offset, depth and link is checked against its bounds and its field here,
// before anything is built from it (and so that it can be fuzzed apart from the engine).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kestrune::script::saved {

inline constexpr std::uint32_t k_max_contexts = 4096;
inline constexpr std::uint32_t k_max_blocks = 1u << 20;
inline constexpr std::uint32_t k_max_text_size = 1u << 30;
inline constexpr std::uint32_t k_files = 512;
inline constexpr std::size_t k_file_name = 259;
inline constexpr std::size_t k_block_name = 255;
inline constexpr std::size_t k_param_value = 127;
inline constexpr int k_params = 16;
inline constexpr int k_depth = 8;

// A position in the block's file: none, or an offset from the file's first byte (at most
// the file's size).
struct Position {
    bool present = false;
    std::uint32_t offset = 0;
};

struct File {
    std::uint32_t slot = 0;
    std::uint32_t load_time = 1;
    bool included = false;
    std::string name;
    std::span<const std::uint8_t> text;
};

struct Block {
    std::uint32_t slot = 0, ordinal = 0, identity = 0;
    std::string name;
    std::int32_t run_state = 0, owns_objects = 0, button_held = 0, input_code = 0, exec_kind = 1;
    bool had_thread = false;
    std::int32_t finished = 0;
    bool active = false;
    std::array<std::string, k_params> params;
    std::string prefix;
    Position cursor, statement_start;
    std::array<Position, k_depth> loop_starts, loop_ends, select_starts, select_ends;
    std::uint8_t loop_depth = 0, select_depth = 0;
    std::array<std::uint8_t, k_depth> case_taken{};
    std::int32_t saved_pointer[2] = {-1, -1};
    std::uint32_t callee = 0, caller = 0;
};

struct Context {
    std::int32_t owner_key = -1;
    bool running = false;
    std::uint32_t host = 0, current = 0, next = 0, ret = 0; // context / block identities
    std::vector<File> files;
    std::vector<Block> blocks;
};

// False with the reason in error for any fault; the spans point into `block`.
bool parse_script_block(std::span<const std::uint8_t> block, std::vector<Context>& out,
                        std::string& error);

} // namespace kestrune::script::saved
