#include "text/glyph_cache.h"

#include "platform/clock.h"
#include "platform/encoding.h"

#include <ctime>
#include <list>
#include <mutex>
#include <random>
#include <unordered_map>

namespace kestrune::text {

namespace {

struct Entry {
    std::uint32_t font_key = 0;
    std::uint32_t code = 0;
    int id = 0;
    std::vector<std::uint8_t> coverage; // alpha values of the rasterised glyph
    std::shared_ptr<PixelImage> image;
    GlyphMeasures measures;
    FontMetrics metrics;
};

using EntryList = std::list<Entry>;

std::uint64_t lookup_key(std::uint32_t font_key, std::uint32_t code) {
    return (std::uint64_t(font_key) << 32) | code;
}

struct Cache {
    std::mutex mutex;
    EntryList entries; // in the order they were added
    std::unordered_map<int, EntryList::iterator> by_id;
    std::unordered_map<std::uint64_t, std::vector<EntryList::iterator>> by_glyph; // oldest first

    const Entry* first(std::uint32_t font_key, std::uint32_t code) const {
        auto it = by_glyph.find(lookup_key(font_key, code));
        return it == by_glyph.end() || it->second.empty() ? nullptr : &*it->second.front();
    }

    // A free identifier in 1..32767, or -1 when all are taken. Identifier 0 is never
    // given out, so that a 0-terminated list of identifiers is never cut short.
    int new_id(std::uint32_t seed_mix) {
        constexpr int k_ids = k_glyph_id_limit - 1;
        if (by_id.size() >= std::size_t(k_ids)) return -1;
        std::minstd_rand random(seed_mix);
        std::uniform_int_distribution<int> pick(1, k_ids);
        int id = pick(random);
        for (int attempt = 0; attempt < 64 && by_id.count(id); ++attempt) id = pick(random);
        // When the cache is nearly full random draws keep missing: walk from the last
        // draw to the next free identifier instead.
        while (by_id.count(id)) id = id % k_ids + 1;
        return id;
    }
};

Cache& cache() {
    static Cache c;
    return c;
}

} // namespace

int glyph_cache_add(TextFont& font, std::uint32_t code) {
    std::int32_t width = 0, height = 0;
    if (!measure_glyph(font, code, width, height)) width = height = 128;
    const std::int32_t margin = font.outline_directions != 0 ? 4 : 0;
    auto image = std::make_shared<PixelImage>();
    if (!image->allocate(std::max(1, width + margin), std::max(1, height + margin))) return -1;

    Entry entry;
    if (!rasterise_glyph(font, &entry.measures, *image, code)) return -1;
    if (!font_metrics(font, entry.metrics)) return -1;
    if (!(code == k_code_space || code == k_code_wide_space)) entry.coverage = font.work;
    entry.font_key = font_key(font);
    entry.code = code;
    entry.image = std::move(image);

    Cache& c = cache();
    std::lock_guard lock(c.mutex);
    const auto seed = platform::random_seed(entry.font_key);
    entry.id = c.new_id(seed);
    if (entry.id < 0) return -1;
    const int id = entry.id;
    auto it = c.entries.insert(c.entries.end(), std::move(entry));
    c.by_id.emplace(id, it);
    c.by_glyph[lookup_key(it->font_key, it->code)].push_back(it);
    return id;
}

int glyph_cache_find(const TextFont& font, std::uint32_t code, std::vector<std::uint8_t>* coverage,
                     GlyphMeasures* measures, FontMetrics* metrics) {
    Cache& c = cache();
    std::lock_guard lock(c.mutex);
    const Entry* e = c.first(font_key(font), code);
    if (!e) return 0;
    if (coverage) *coverage = e->coverage;
    if (measures) *measures = e->measures;
    if (metrics) *metrics = e->metrics;
    return 1;
}

std::optional<GlyphImage> glyph_cache_borrow(std::uint32_t font_key, std::uint32_t code) {
    Cache& c = cache();
    std::lock_guard lock(c.mutex);
    const Entry* e = c.first(font_key, code);
    if (!e) return std::nullopt;
    GlyphImage g;
    g.image = e->image;
    g.borrowed = true;
    g.cache_id = e->id;
    g.measures = e->measures;
    g.font_metrics = e->metrics;
    return g;
}

int glyph_cache_remove(int id) {
    Cache& c = cache();
    std::lock_guard lock(c.mutex);
    auto found = c.by_id.find(id);
    if (found == c.by_id.end()) return 0;
    EntryList::iterator it = found->second;
    auto& same = c.by_glyph[lookup_key(it->font_key, it->code)];
    std::erase(same, it);
    if (same.empty()) c.by_glyph.erase(lookup_key(it->font_key, it->code));
    c.by_id.erase(found);
    c.entries.erase(it);
    return 1;
}

void glyph_cache_clear() {
    Cache& c = cache();
    std::lock_guard lock(c.mutex);
    c.by_glyph.clear();
    c.by_id.clear();
    c.entries.clear();
}

std::size_t glyph_cache_size() {
    Cache& c = cache();
    std::lock_guard lock(c.mutex);
    return c.entries.size();
}

std::vector<int> load_font_glyphs(std::string_view face, std::int32_t size,
                                  std::uint32_t fill_colour, std::uint32_t outline_colour,
                                  std::int32_t weight, std::uint32_t outline_directions,
                                  std::string_view characters, bool (*should_stop)()) {
    std::vector<int> ids;
    TextFont font;
    if (!create_font_from_defaults(font)) return ids;
    font.fill_colour = fill_colour;
    font.outline_colour = outline_colour;
    font.outline_directions = outline_directions;
    if (!create_font(font, face, size, weight, false, false, false)) return ids;

    for (std::size_t i = 0; i < characters.size();) {
        if (should_stop && should_stop()) break;
        std::uint32_t code = static_cast<unsigned char>(characters[i]);
        std::size_t step = 1;
        if (platform::is_lead_byte(static_cast<unsigned char>(code)) && i + 1 < characters.size()) {
            code = code * 256 + static_cast<unsigned char>(characters[i + 1]);
            step = 2;
        }
        i += step;
        const int id = glyph_cache_add(font, code);
        if (id < 0) {
            // Nothing would ever own these entries: take them out again.
            for (int added : ids) glyph_cache_remove(added);
            ids.clear();
            break;
        }
        ids.push_back(id);
    }
    free_font(font);
    return ids;
}

} // namespace kestrune::text
