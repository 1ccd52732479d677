// The framing of the scene block of a save slot (see records.h for the layout): parsed on
// its own, without the scene, so that it can be checked (and fuzzed) apart from the restore.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace kestrune::scene {

inline constexpr std::uint32_t k_max_saved_records = 1u << 20;
inline constexpr std::uint32_t k_max_record_sections = 256;
inline constexpr std::size_t k_max_saved_statement = 4095;
inline constexpr std::size_t k_max_saved_name = 255;

struct SavedRecord {
    std::int32_t owner_key = -1;
    std::uint32_t identity = 0;
    std::string statement, creator, name, alias;
    // Tag and content of each section; the spans point into the parsed block.
    std::vector<std::pair<std::uint32_t, std::span<const std::uint8_t>>> sections;
};

// Reads every record of a VKSD block: sizes, counts and texts are checked against their
// bounds and fields; a record without a creating statement is refused. False (out left
// partly filled) with the reason in error.
bool parse_scene_block(std::span<const std::uint8_t> block, std::vector<SavedRecord>& out,
                       std::string& error);

} // namespace kestrune::scene
