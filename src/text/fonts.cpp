#include "text/fonts.h"

#include "platform/encoding.h"
#include "platform/font_face.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <optional>

namespace kestrune::text {

namespace {

// "ＭＳ Ｐゴシック" in Shift-JIS: the face the settings file names when it names none.
constexpr char k_builtin_face[] = "\x82\x6C\x82\x72\x20\x82\x6F\x83\x53\x83\x56\x83\x62\x83\x4E";
// Faces kept open after their last user has gone, so that a font dropped and created
// again (every text object does this) finds its face still open.
constexpr std::size_t k_kept_faces = 8;

struct FaceKey {
    std::string name;
    std::int32_t height;
    std::int32_t weight;
    bool italic;
    bool operator==(const FaceKey&) const = default;
};

struct SharedFace {
    FaceKey key;
    std::weak_ptr<platform::FontFace> face;
    std::shared_ptr<platform::FontFace> keep; // set for the most recently used ones
};

// The one default font that may skip opening a face: the last font created from the
// defaults, while nothing else has been created since.
struct LastDefault {
    std::string face;
    std::int32_t height;
    std::int32_t weight;
    std::uint32_t directions;
    std::uint32_t fill;
    std::uint32_t outline;
    std::shared_ptr<platform::FontFace> platform_face;
};

std::mutex g_mutex;
DefaultFontSettings g_defaults{k_builtin_face};
std::optional<LastDefault> g_last_default;
std::list<SharedFace> g_faces; // most recently used first

std::string cut_face(std::string_view name, std::size_t max_bytes) {
    std::size_t n = 0;
    while (n < name.size() && name[n] != '\0') {
        std::size_t step = platform::is_lead_byte(static_cast<unsigned char>(name[n])) ? 2 : 1;
        if (n + step > max_bytes || n + step > name.size()) break;
        n += step;
    }
    return std::string(name.substr(0, n));
}

// Caller holds g_mutex.
std::shared_ptr<platform::FontFace> acquire_face_locked(const FontDescription& d) {
    FaceKey key{std::string(d.face_name()), d.height, d.weight, d.italic != 0};
    std::shared_ptr<platform::FontFace> face;
    for (auto it = g_faces.begin(); it != g_faces.end(); ++it) {
        if (it->key == key && (face = it->face.lock())) {
            g_faces.splice(g_faces.begin(), g_faces, it);
            break;
        }
    }
    if (!face) {
        platform::FontRequest request;
        request.name = key.name;
        request.height = d.height;
        request.weight = d.weight;
        request.italic = d.italic != 0;
        face = platform::FontFace::open(request);
        if (!face) return nullptr;
        g_faces.push_front(SharedFace{key, face, face});
    }
    // Keep the most recent faces open; forget faces nobody holds.
    std::size_t rank = 0;
    for (auto it = g_faces.begin(); it != g_faces.end();) {
        if (rank++ < k_kept_faces) {
            it->keep = it->face.lock();
        } else {
            it->keep.reset();
        }
        if (it->face.expired()) {
            it = g_faces.erase(it);
        } else {
            ++it;
        }
    }
    return face;
}

void fill_from_defaults(TextFont& font, const DefaultFontSettings& s) {
    font = TextFont{};
    font.desc.height = s.size;
    font.desc.weight = s.weight;
    font.desc.set_face(s.face);
    font.outline_directions = s.outline_directions;
    font.fill_colour = s.fill_colour;
    font.outline_colour = s.outline_colour;
}

std::string upper_ascii(std::string_view word) {
    std::string out(word);
    for (std::size_t i = 0; i < out.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        if (platform::is_lead_byte(c)) {
            ++i; // a double-byte character is skipped whole
        } else if (c >= 'a' && c <= 'z') {
            out[i] = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

} // namespace

std::string_view FontDescription::face_name() const {
    return std::string_view(face, strnlen(face, k_face_name_size - 1));
}

void FontDescription::set_face(std::string_view name) {
    std::string cut = cut_face(name, k_face_name_size - 1);
    std::memset(face, 0, sizeof face);
    std::memcpy(face, cut.data(), cut.size());
}

DefaultFontSettings default_font_settings() {
    std::lock_guard lock(g_mutex);
    return g_defaults;
}

void set_default_font(std::string_view face, std::int32_t size, std::uint32_t fill_colour,
                      std::uint32_t outline_colour, std::int32_t weight,
                      std::uint32_t outline_directions) {
    std::lock_guard lock(g_mutex);
    g_defaults.face = cut_face(face, k_default_face_max);
    g_defaults.size = size;
    g_defaults.fill_colour = fill_colour;
    g_defaults.outline_colour = outline_colour;
    g_defaults.weight = weight;
    g_defaults.outline_directions = outline_directions;
}

void reset_font_state() {
    std::lock_guard lock(g_mutex);
    g_defaults = DefaultFontSettings{k_builtin_face};
    g_last_default.reset();
    g_faces.clear();
}

int create_font_from_defaults(TextFont& font) {
    std::lock_guard lock(g_mutex);
    TextFont made;
    fill_from_defaults(made, g_defaults);
    const LastDefault wanted{std::string(made.desc.face_name()),
                             made.desc.height,
                             made.desc.weight,
                             made.outline_directions,
                             made.fill_colour,
                             made.outline_colour,
                             nullptr};
    if (g_last_default && g_last_default->face == wanted.face &&
        g_last_default->height == wanted.height && g_last_default->weight == wanted.weight &&
        g_last_default->directions == wanted.directions && g_last_default->fill == wanted.fill &&
        g_last_default->outline == wanted.outline && g_last_default->platform_face) {
        made.face = g_last_default->platform_face; // an equal font is already open
    } else {
        made.face = acquire_face_locked(made.desc);
        if (!made.face) {
            font = TextFont{};
            return 0;
        }
    }
    made.created = 1;
    g_last_default = wanted;
    g_last_default->platform_face = made.face;
    font = std::move(made);
    return 1;
}

int reset_font_to_defaults(TextFont& font) {
    std::lock_guard lock(g_mutex);
    TextFont made;
    fill_from_defaults(made, g_defaults);
    made.face = acquire_face_locked(made.desc);
    g_last_default.reset();
    if (!made.face) return 0;
    made.created = font.created;
    font = std::move(made);
    return 1;
}

int create_font(TextFont& font, std::string_view face, std::int32_t height, std::int32_t weight,
                bool italic, bool underline, bool strike_out) {
    if (face.empty() || face.front() == '\0') return 0;
    FontDescription d;
    d.height = height;
    d.weight = weight;
    d.italic = italic ? 1 : 0;
    d.underline = underline ? 1 : 0;
    d.strike_out = strike_out ? 1 : 0;
    d.set_face(face);
    std::lock_guard lock(g_mutex);
    auto made = acquire_face_locked(d);
    g_last_default.reset();
    if (!made) return 0;
    font.desc = d;
    font.face = std::move(made);
    font.fetched.valid = false;
    return 1;
}

bool attach_face(TextFont& font) {
    if (font.face) return true;
    if (font.desc.face[0] == '\0') {
        TextFont defaults;
        std::lock_guard lock(g_mutex);
        fill_from_defaults(defaults, g_defaults);
        font.desc = defaults.desc;
    }
    std::lock_guard lock(g_mutex);
    font.face = acquire_face_locked(font.desc);
    font.fetched.valid = false;
    return font.face != nullptr;
}

void release_font(TextFont& font) {
    font.face.reset();
}

void free_font(TextFont& font) {
    font.work.clear();
    font.work.shrink_to_fit();
    font.face.reset();
}

std::uint32_t font_key(const TextFont& font) {
    const FontDescription& d = font.desc;
    std::uint32_t sum = 8u * std::uint32_t(d.height) + 7u * std::uint32_t(d.weight) +
                        6u * d.italic + 5u * d.underline + 4u * d.strike_out +
                        3u * font.outline_directions + 2u * font.fill_colour + font.outline_colour +
                        1u;
    std::string_view name = d.face_name();
    for (char c : name) sum += static_cast<unsigned char>(c);
    return (1u + std::uint32_t(name.size())) * sum;
}

bool is_vertical(const TextFont& font) {
    return font.desc.face[0] == '@';
}

bool default_face_is_vertical() {
    std::lock_guard lock(g_mutex);
    return !g_defaults.face.empty() && g_defaults.face.front() == '@';
}

std::int32_t weight_from_word(std::string_view word) {
    static constexpr std::pair<const char*, std::int32_t> k_words[] = {
        {"DONTCARE", 0},    {"THIN", 100},   {"EXTRALIGHT", 200}, {"LIGHT", 300},
        {"NORMAL", 400},    {"MEDIUM", 500}, {"SEMIBOLD", 600},   {"BOLD", 700},
        {"EXTRABOLD", 800}, {"HEAVY", 900}};
    std::string up = upper_ascii(word);
    for (const auto& [name, weight] : k_words)
        if (up.starts_with(name)) return weight;
    const char* text = up.c_str();
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end != text) return static_cast<std::int32_t>(std::clamp(value, 0L, 1000L));
    return 400;
}

std::uint32_t directions_from_word(std::string_view word) {
    static constexpr std::pair<const char*, std::uint32_t> k_words[] = {
        {"LEFT", 0x1},        {"RIGHT", 0x10},     {"DOWN", 0x100},
        {"UP", 0x1000},       {"LEFTDOWN", 0x101}, {"LEFTUP", 0x1001},
        {"RIGHTDOWN", 0x110}, {"RIGHTUP", 0x1010}, {"AROUND", 0x1111}};
    std::string up = upper_ascii(word);
    for (const auto& [name, bits] : k_words)
        if (up == name) return bits;
    return 0;
}

std::vector<OutlineOffset> outline_offsets(std::uint32_t directions) {
    std::vector<OutlineOffset> out;
    std::vector<std::int32_t> xs, ys;
    if (directions & k_outline_left) xs.push_back(-2);
    if (directions & k_outline_right) xs.push_back(2);
    if (directions & k_outline_down) ys.push_back(2);
    if (directions & k_outline_up) ys.push_back(-2);
    for (std::int32_t dx : xs) out.push_back({dx, 0});
    for (std::int32_t dy : ys) out.push_back({0, dy});
    for (std::int32_t dx : xs)
        for (std::int32_t dy : ys) out.push_back({dx, dy});
    return out;
}

std::size_t shared_face_count() {
    std::lock_guard lock(g_mutex);
    return std::size_t(std::count_if(g_faces.begin(), g_faces.end(),
                                     [](const SharedFace& f) { return !f.face.expired(); }));
}

} // namespace kestrune::text
