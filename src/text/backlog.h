// The backlog: the text the reader has already seen, with the voices that went with it,
// kept as 16-bit units wrapped into rows of 'word_in_row' characters, and the backlog
// screen (a system script whose CreateBacklog window draws the store page by page, with a
// voice icon before every voiced line that replays the voice when clicked).
//
// Units: a character code; 9 a row break of the line-start and line-end rules; 10 a line
// end of the text; 13 a row break of a full row; a voice marker 16, 17, the speaking
// character (a unit per byte), 17, the voice file (a unit per byte), 16.
//
// Threading: one lock guards the store; every function here takes it itself. Additions come
// from the render thread (the message display) and script threads (SetBacklog); drawing and
// scrolling run under the scene lock, which is always taken before the store's lock.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::text {

struct VoiceRecord;

inline constexpr std::size_t k_backlog_units = 2097152;
inline constexpr std::int32_t k_backlog_max_width = 32;

// Adds a character (10 ends a line; 0 adds nothing) and, before it, the voice marker of
// `voice` when given. False when nothing was stored: a system script or a load is running,
// or the buffer is full.
bool backlog_add(std::int32_t code, const VoiceRecord* voice);
// SetBacklog: the voice marker (unless `voice_file` is "NULL"), every character of `text`
// and a line end, as one unit of work.
bool backlog_set(std::string_view text, std::string_view voice_file, std::string_view character);
// Empties the store (ClearBacklog, and before every restore).
void backlog_clear();
// Rows stored so far (BacklogRow).
std::int32_t backlog_row_count();
// The row width 'word_in_row' (1 to 32).
void set_backlog_width(std::int32_t width);

// The saved form: "VKSB", the tag, the size (20 + 2 x units), column, row count, units.
std::vector<std::uint8_t> backlog_save();
// Checks and takes a saved form; anything wrong leaves the store empty (false).
bool backlog_restore(std::span<const std::uint8_t> blob);

// Test support: the stored units (up to the write position), and the column.
std::vector<std::uint16_t> backlog_units();
std::int32_t backlog_column();

// Registers SetBacklog, ClearBacklog, CreateBacklog, the built-ins, the display's backlog
// hook and the opening of the backlog screen. Called once with the text subsystem.
void register_backlog_with_frame();

} // namespace kestrune::text
