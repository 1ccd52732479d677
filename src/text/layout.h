// Text layout: turns marked-up text into a text object's character table. Every slot of
// the table holds one character's glyph image, its position inside the object, its colours
// and outline directions, and the instructions the message display obeys while revealing
// the text (pauses, key waits, speed changes, voices, ruby, page clears, script positions,
// inline script blocks).
//
// Two commands lay text out. `CreateText` lays out a text given as an argument: lines
// break at the object's width less the margins, and text that reaches the bottom is cut.
// `LoadText` lays out a block of the script's own prose: line ends of the script are line
// breaks, an empty line ends a page (a key wait and a page clear), text that reaches the
// bottom wraps to the top, and comments, inline script blocks and "<!" / "<?" are
// understood. Both share the tag language:
//
//   <FONT FACE=.. SIZE=.. INCOLOR=.. OUTCOLOR=..>  </FONT>   font for what follows
//   <I> <U> <S> (and closing forms)                         italic, underline, strike-out
//   <K>                                                     key wait, line icon
//   <CENTER> <MIDDLE> <PRE> (and closing forms)             centring, middle, no markup
//   <SPAN=n> </SPAN>                                        fixed pen step
//   <WAIT=ms>                                               pause before the next character
//   <INTERVAL=ms> </INTERVAL>                               reveal speed from here on
//   <RUBY=text>base</RUBY>                                  ruby over the base characters
//   <VALUE NAME=var>                                        the variable's value, laid out
//   <VOICE NAME=.. CLASS=.. SRC=.. MODE=..>                 voice at the next character
//   <BR>                                                    line break
// and the character rules: "." is a hidden 100 ms pause and "," a 500 ms one, "&." and "&,"
// show the mark, "\" makes the next character literal.
//
// Text is GBK bytes: a byte of 0x80 or above starts a two-byte character whose code is
// lead * 256 + trail.
//
// Threading: layout runs on the script thread of the command; the caller holds the text
// lock (lock 6) while it lays out or measures, since fonts and the glyph cache are shared
// with other text users. A finished TextLayout belongs to its text object; the display reads
// and changes it on the render thread under the scene lock.
#pragma once

#include "platform/memory.h"
#include "storage/pixel_image.h"
#include "text/fonts.h"
#include "text/glyphs.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::script {
struct ScriptBlock;
struct InlineScript;
} // namespace kestrune::script
namespace kestrune::scene {
struct SceneObject;
}

namespace kestrune::text {

inline constexpr int k_layout_slots = 2048;
inline constexpr int k_ruby_slots = 2048;
// Texts for CreateText and for measuring are refused at this size or more.
inline constexpr std::size_t k_text_size_limit = 2048;
inline constexpr std::size_t k_voice_name_size = 32;  // NAME and CLASS keep 31 bytes
inline constexpr std::size_t k_voice_class_size = 64; // of which CLASS fills the first 32
inline constexpr std::size_t k_substitution_size = 1024;
inline constexpr std::size_t k_tag_scan_size = 512; // attributes are looked for this far

// ---- text settings -----------------------------------------------------------------------

struct TextSettings {
    std::int32_t margin_line = 0; // gap after every advance; also the right margin
    std::int32_t margin_row = 16; // smallest line pitch; also the bottom margin
    std::string bad_start;        // characters that must not begin a line (<= 255 bytes)
    std::string bad_end;          // characters that must not end a line (<= 255 bytes)
    double ruby_rate = 0.0;       // ruby height over base height (settings percent / 100)
};

// Reads the text settings from the settings file once (later calls do nothing), makes sure
// "#SYSTEM_text_auto" exists and takes the base interval from "$SYSTEM_text_interval"
// (30 ms when it does not exist). Returns 1.
int read_text_settings();
// Replaces the settings and counts them as read (tests, and a restart of the engine).
void set_text_settings(const TextSettings& settings);
TextSettings text_settings();
// Forgets that the settings were read (tests).
void reset_text_settings();

// The base reveal interval in milliseconds per character at speed factor 1.
std::int32_t base_interval();
// `SetBaseTextInterval`: stores a non-negative value here and in "$SYSTEM_text_interval".
// 0 (nothing changed) for a negative value.
int set_base_interval(std::int32_t ms);
// Lets an assignment of the text_interval setting ("$SYSTEM_text_interval") set the base
// interval at once; negative values are ignored. Called once per run of the scripts.
void watch_text_interval();

// Height of ruby over a font of height H: ruby_rate * H, or 10 when ruby_rate is 0. Also
// the top margin: the first line of a page starts at this y.
std::int32_t ruby_height(std::int32_t font_height);

// 1 when the code is one of the characters of 'bad_start' / 'bad_end'.
int is_forbidden_at_line_start(std::uint32_t code);
int is_forbidden_at_line_end(std::uint32_t code);

// ---- the layout record ------------------------------------------------------------------

struct VoiceRecord {
    std::int32_t enabled = 1;    // 0 when MODE was "OFF"
    std::string name;            // NAME, at most 31 bytes
    std::string class_name;      // CLASS, at most 31 bytes: the speaking character
    std::string src;             // SRC: the sound file
    std::shared_ptr<void> sound; // what the voice loader made of SRC (null: none loaded)
};

// Loads the sound of a VOICE tag. The sound subsystem installs it; without one, voice
// records keep only their names and the display loads SRC itself.
using VoiceLoader = std::shared_ptr<void> (*)(const std::string& src);
void set_voice_loader(VoiceLoader loader);

// One character of the table. A slot without an image is a control slot (a line end, a
// key wait at the end of a page, an inline script block) or a slot not laid out.
struct CharSlot {
    GlyphMetrics metrics;
    std::shared_ptr<const PixelImage> image; // the glyph; borrowed from the cache or owned
    bool borrowed = false;
    std::int32_t x = 0, y = 0; // where the image goes in the object (pen + origin / y offset)
    std::int32_t line_y = 0;   // top of the character's line (the icon goes there)

    std::int32_t key_wait = 0;    // 1: wait for input before this character; 2, 3: display
    std::int32_t icon_kind = 0;   // icon during the wait: 1 page, 2 line
    std::int32_t interval = -1;   // reveal interval from here on; 0 default again; -1 unchanged
    std::int32_t extra_wait = 0;  // milliseconds to pause before this character
    std::int32_t ruby_start = -1; // first ruby-table slot of a ruby beginning here
    std::int32_t ruby_base_length = 0;
    std::int32_t ruby_glyph_count = 0;
    std::int32_t ruby_height = 0; // R of the font the ruby was made for
    std::int32_t line_start = 0;  // LoadText: a new line begins here (backlog line ends)
    std::int32_t page_clear = 0;  // LoadText: clear the layers before this character
    std::uint32_t outline_directions = 0;
    std::uint32_t fill_colour = 0;
    std::uint32_t outline_colour = 0;
    const char* script_position = nullptr; // LoadText: where in the script this slot stands
    const char* inline_script = nullptr;   // LoadText: one past the "{" of a script block
    std::unique_ptr<VoiceRecord> voice;    // voice to start at this character
};

struct RubySlot {
    GlyphMetrics metrics;
    std::shared_ptr<const PixelImage> image;
    bool borrowed = false;
};

// A layer of an outlined text object: pixels laid out as a PixelImage's (BGRA, rows of
// width * 4 bytes), but taken from zero pages, so that a 1024 x 576 page costs nothing
// until glyphs are written into it and only the rows they touch are ever given memory.
// The layer remembers which rows were written, and a clear zeroes only those.
struct TextLayer {
    std::int32_t width = 0;
    std::int32_t height = 0;
    platform::ZeroPages pixels;

    // False (and an empty layer) when the size is out of range or memory is refused.
    bool allocate(std::int32_t w, std::int32_t h);
    std::uint8_t* row(std::int32_t y) { return pixels.data() + row_offset(y); }
    const std::uint8_t* row(std::int32_t y) const { return pixels.data() + row_offset(y); }
    bool empty() const { return width <= 0 || height <= 0; }
    // Notes that rows [y0, y1) were written.
    void touch(std::int32_t y0, std::int32_t y1);
    // Every pixel transparent black again.
    void clear();

private:
    std::size_t row_offset(std::int32_t y) const {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(width) * 4u;
    }
    std::int32_t m_dirty_top = 0, m_dirty_bottom = 0; // rows written since the last clear
};

struct TextLayout {
    std::int32_t show_rest = 0;   // display: reveal the rest of the page at once
    std::int32_t single_text = 0; // 1 CreateText, 0 LoadText
    std::int32_t backlog = 1;     // revealed characters go to the backlog ("NoLog" clears)
    std::int32_t icon = 1;        // the icon follows the text ("NoIcon" clears)
    std::int32_t reveal_all = 0;  // "PushText"
    std::int32_t page_done = 0;   // display
    std::int32_t pre = 0;         // inside <PRE>
    std::int32_t vertical = 0;    // the default face is a vertical face: paired "!?" codes
    std::int32_t revealed_count = 0;
    std::int32_t cursor = 0;     // reveal cursor: index of the next slot to show
    std::int32_t slot_count = 0; // slots laid out (characters and control slots)
    std::int32_t span = 0;       // last SPAN value
    std::int32_t interval_override = 0;
    std::int32_t auto_wait = 0; // auto_wait_per_character when the auto pause was added
    std::int32_t auto_part = 0; // what the auto pause added to the slot's extra wait
    std::int32_t voice_sync_interval = 0;
    std::int32_t pending_clear = -1;
    std::int32_t right_limit = 0;  // CreateText: width - margin_line; LoadText: width
    std::int32_t bottom_limit = 0; // CreateText: height - margin_row; LoadText: height
    std::uint32_t reveal_time = 0; // engine tick of the last reveal step
    std::int32_t ruby_in_progress = -1;
    std::int32_t ruby_progress = 0;
    std::int32_t already_read = 0; // the page was read before (read colours)
    std::int32_t ruby_height = 10; // R of the layout's font at the start: the top margin

    std::string text;                   // CreateText: the owned copy of the text
    const char* script_start = nullptr; // LoadText: the block inside the script text
    const char* script_end = nullptr;
    script::ScriptBlock* reader = nullptr; // LoadText: whose position the slots carry
    std::uint32_t reader_number = 0;       // its unique number: the block may go first

    TextFont font;                      // the font as layout left it
    DefaultFontSettings made_with;      // the default font when the layout was made
    std::shared_ptr<PixelImage> target; // the object's image: what the scene draws
    // With an outline (the font had outline directions when layout began) the glyphs and
    // their outline shapes go into two layers of their own, and `target` is the outline
    // layer drawn at each offset of `outline_directions` with the glyph layer over it.
    // Without one, the glyphs go straight into `target`.
    std::unique_ptr<TextLayer> glyph_layer;
    std::unique_ptr<TextLayer> outline_layer;
    std::uint32_t outline_directions = 0;

    // Display state beyond the counters above.
    std::shared_ptr<script::InlineScript> inline_run; // the script block the text waits for
    bool voice_started = false;                 // this object started the voice that plays now
    std::unique_ptr<VoiceRecord> started_voice; // the voice it started last (a save keeps it)
    std::int32_t started_voice_slot = -1;       // the slot that voice came from
    std::string current_voice;                  // class of the current voice (at most 63 bytes)
    std::vector<std::int32_t> ruby_x, ruby_y;   // positions of the ruby being revealed
    std::vector<CharSlot> slots;                // k_layout_slots
    std::vector<RubySlot> ruby;                 // k_ruby_slots, filled from the start
    std::int32_t ruby_used = 0;
};

// `CreateText`: lays `text` out on `target` (whose size is the object's) with the given
// margins. Null when the font, the outline layer or a glyph could not be made. Text that
// reaches the bottom, or more than 2048 slots, is cut.
std::unique_ptr<TextLayout> lay_out_text(std::shared_ptr<PixelImage> target, std::string_view text,
                                         std::int32_t margin_line, std::int32_t margin_row);

// `LoadText`: lays out the script text [start, end) within width x height (the target may
// be larger: its size comes from measure_script_text). continue_x / continue_y receive the
// pen position when the block ends with "<?", else 0.
std::unique_ptr<TextLayout> lay_out_script_text(std::shared_ptr<PixelImage> target,
                                                script::ScriptBlock* reader, const char* start,
                                                const char* end, std::int32_t& continue_x,
                                                std::int32_t& continue_y, std::int32_t margin_line,
                                                std::int32_t margin_row, std::int32_t width,
                                                std::int32_t height);

// The size CreateText needs for `text` with the settings' margins ("AUTO"): a limit of 0
// means none. The result always holds every line the layout keeps. 0 for an empty text,
// one of 2048 bytes or more, or no font.
int measure_text(std::string_view text, std::int32_t& width, std::int32_t& height,
                 std::int32_t width_limit, std::int32_t height_limit);

// The size LoadText needs: width and height come in as the layout's width and height and
// go out as the image size (never smaller). 0 when no font could be made.
int measure_script_text(const char* start, const char* end, std::int32_t& width,
                        std::int32_t& height, std::int32_t margin_line, std::int32_t margin_row);

// ---- ruby placement (reveal time) ---------------------------------------------------------

struct RubyPosition {
    std::int32_t x = 0, y = 0;
};
// Positions, in the object, of the glyphs of the ruby that begins at slot `base`: centred
// one over each base character when there are as many ruby glyphs as base characters,
// otherwise spread evenly over the base characters and kept inside the object's width.
// Empty when no ruby begins there.
std::vector<RubyPosition> place_ruby(const TextLayout& layout, std::int32_t base,
                                     std::int32_t object_width);

// ---- text objects ------------------------------------------------------------------------

// Registers CreateText, LoadText and SetBaseTextInterval with the command table.
void register_layout_commands();
// Start-up wiring: reads the text settings at every script start (after the settings file
// and the variable store) and registers the commands. Call once from the subsystem list.
void register_layout_with_frame();
// The TextLayout of a text object made by CreateText or LoadText; null for other objects.
// Scene lock held.
TextLayout* text_layout_of(scene::SceneObject& object);

} // namespace kestrune::text
