// The glyph cache that `LoadFont` fills with pre-rendered characters, so that text
// objects built from a preloaded font copy a cached image instead of rasterising.
//
// Entries are filed under (font key, code); when several entries share both, the first
// added is the one found. Each entry has an identifier from 1 to 32767, unique within the
// cache; the LoadFont object that made the entries removes them by identifier when it is
// deleted. The cache has no size limit of its own: only the identifiers bound it.
//
// Threading: every function may be called from any thread (LoadFont on a script thread,
// removal under the scene lock, lookups from layout and the backlog screen); the cache
// guards itself with its own mutex and never holds it while a glyph is rendered.
#pragma once

#include "text/glyphs.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kestrune::text {

inline constexpr int k_glyph_id_limit = 32768; // identifiers are below this

// Renders code with font and appends an entry. Its identifier, or -1 on failure (no
// image, or every identifier taken).
int glyph_cache_add(TextFont& font, std::uint32_t code);

// Looks up the first entry filed under the font's key and code; fills the outputs that are
// given (the entry's alpha coverage, its five measures and its font metrics). 1 when found.
int glyph_cache_find(const TextFont& font, std::uint32_t code, std::vector<std::uint8_t>* coverage,
                     GlyphMeasures* measures, FontMetrics* metrics);

// The first entry's image for (key, code), shared, with its measures; empty when absent.
std::optional<GlyphImage> glyph_cache_borrow(std::uint32_t font_key, std::uint32_t code);

// Unlinks and frees the entry with that identifier. 1 when one was removed; 0 for an
// unknown identifier or -1 (the list head's). An image still borrowed stays valid.
int glyph_cache_remove(int id);

// Empties the cache (start-up).
void glyph_cache_clear();
std::size_t glyph_cache_size();

// `LoadFont`: renders every character of `characters` (GBK bytes) with a font made from
// the defaults and given these settings, one cache entry each, in order; stops early when
// should_stop (the engine's quit flag) says so. Returns the identifiers (never 0), or empty when an
// entry could not be added, in which case the entries already added stay in the cache.
std::vector<int> load_font_glyphs(std::string_view face, std::int32_t size,
                                  std::uint32_t fill_colour, std::uint32_t outline_colour,
                                  std::int32_t weight, std::uint32_t outline_directions,
                                  std::string_view characters, bool (*should_stop)() = nullptr);

} // namespace kestrune::text
