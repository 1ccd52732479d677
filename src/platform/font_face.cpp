#include "platform/font_face.h"

#include "platform/encoding.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_BITMAP_H
#include FT_OUTLINE_H
#include FT_TRUETYPE_TABLES_H

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <set>

namespace kestrune::platform {

namespace {

// FreeType's library and faces, and fontconfig's configuration, are shared by every
// thread; one recursive mutex serialises them (a glyph fetch may open the fallback face).
std::recursive_mutex& ft_mutex() {
    static std::recursive_mutex m;
    return m;
}

FT_Library g_library = nullptr;
bool g_fc_ready = false;
std::set<std::string> g_warned_names;
std::atomic<std::uint64_t> g_faces_opened{0};

// Largest cell height accepted; larger requests are clamped (a 2048-pixel glyph already
// needs 4 MB of coverage).
constexpr std::int32_t k_max_height = 2048;
// FreeType reports running out of memory as an error like any other; that one is worth
// another attempt (another thread may have released memory meanwhile). Every other error
// is a property of the face and the glyph and would repeat.
constexpr int k_memory_retries = 3;

// CJK faces of Debian packages, for a machine whose fontconfig cannot be used.
constexpr const char* k_fallback_files[] = {
    "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc",
    "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc",
    "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc",
};

bool ensure_library() {
    if (!g_library && FT_Init_FreeType(&g_library) != 0) {
        g_library = nullptr;
        std::fprintf(stderr, "kestrune: font_face.cpp: FreeType could not be initialised\n");
        return false;
    }
    if (!g_fc_ready) g_fc_ready = FcInit() == FcTrue;
    return true;
}

bool has_replacement_char(const std::string& utf8) {
    return utf8.find("\xEF\xBF\xBD") != std::string::npos;
}

bool is_ascii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return (unsigned char)c < 0x80; });
}

bool is_valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80         ? 1
                        : (c >> 5) == 6  ? 2
                        : (c >> 4) == 14 ? 3
                        : (c >> 3) == 30 ? 4
                                         : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

// The family names a stored face name may stand for, most likely first.
std::vector<std::string> name_candidates(std::string_view name) {
    std::vector<std::string> out;
    if (is_ascii(name)) {
        out.emplace_back(name);
        return out;
    }
    if (is_valid_utf8(name)) out.emplace_back(name);
    for (std::string s : {gbk_to_utf8(name), sjis_to_utf8(name)})
        if (!s.empty() && !has_replacement_char(s) &&
            std::find(out.begin(), out.end(), s) == out.end())
            out.push_back(std::move(s));
    return out;
}

bool family_installed(const std::string& family) {
    FcPattern* pattern = FcPatternCreate();
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    FcPatternAddBool(pattern, FC_OUTLINE, FcTrue);
    FcObjectSet* objects = FcObjectSetBuild(FC_FAMILY, static_cast<char*>(nullptr));
    FcFontSet* set = FcFontList(nullptr, pattern, objects);
    bool found = set && set->nfont > 0;
    if (set) FcFontSetDestroy(set);
    FcObjectSetDestroy(objects);
    FcPatternDestroy(pattern);
    return found;
}

struct Located {
    std::string file;
    int index = 0;
};

// Best installed match for a family, weight and slant; cjk adds the Chinese language so
// that fontconfig prefers a face that covers it when the family itself is missing.
bool locate(const std::string& family, const FontRequest& request, bool cjk, Located& out) {
    FcPattern* pattern = FcPatternCreate();
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    if (cjk) FcPatternAddString(pattern, FC_LANG, reinterpret_cast<const FcChar8*>("zh-cn"));
    const int weight = request.weight > 0 ? std::min(request.weight, 1000) : 400;
    FcPatternAddInteger(pattern, FC_WEIGHT, FcWeightFromOpenType(weight));
    FcPatternAddInteger(pattern, FC_SLANT, request.italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
    FcPatternAddBool(pattern, FC_OUTLINE, FcTrue);
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    FcPatternDestroy(pattern);
    if (!match) return false;
    FcChar8* file = nullptr;
    int index = 0;
    bool ok = FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch && file;
    if (ok) {
        FcPatternGetInteger(match, FC_INDEX, 0, &index);
        out.file = reinterpret_cast<const char*>(file);
        out.index = index;
    }
    FcPatternDestroy(match);
    return ok;
}

} // namespace

struct FontFace::Impl {
    FT_Face face = nullptr;
    FontRequest request; // name not kept (it may dangle)
    FaceMetrics metrics;
    bool vertical = false;
    bool substituted = false;
    bool embolden = false;
    bool oblique = false;
    std::string family;
    std::string file;
    mutable std::shared_ptr<FontFace> fallback; // for characters this face lacks
    mutable bool fallback_tried = false;

    ~Impl() {
        std::lock_guard lock(ft_mutex());
        if (face) FT_Done_Face(face);
    }
};

namespace {

// Scales the face so that its cell (the Windows ascent plus descent, the measure a
// positive font height names) is request.height pixels; a negative height names the em.
//
// A face standing in for one that is not installed is sized by its typographic ascent and
// descent instead, which for CJK faces span the em: the faces games name (the Japanese and
// Chinese system faces) have a cell equal to the em, so their text keeps its size.
void set_size(FontFace::Impl& im, bool stand_in) {
    FT_Face f = im.face;
    double units_ascent = f->ascender, units_descent = -f->descender;
    auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(f, FT_SFNT_OS2));
    if (os2 && os2->version != 0xFFFF && stand_in && os2->sTypoAscender - os2->sTypoDescender > 0) {
        units_ascent = os2->sTypoAscender;
        units_descent = -os2->sTypoDescender;
    } else if (os2 && os2->version != 0xFFFF && os2->usWinAscent + os2->usWinDescent > 0) {
        units_ascent = os2->usWinAscent;
        units_descent = os2->usWinDescent;
    }
    const double em_units = f->units_per_EM > 0 ? f->units_per_EM : 1000.0;
    if (units_ascent + units_descent <= 0) {
        units_ascent = em_units * 0.8;
        units_descent = em_units * 0.2;
    }
    const double cell_units = units_ascent + units_descent;

    std::int32_t h = im.request.height;
    bool em_height = h < 0;
    if (h == 0) h = 16;
    h = std::min(std::abs(h), k_max_height);
    const double em_px = em_height ? h : h * em_units / cell_units;
    FT_Set_Char_Size(f, 0, std::max<FT_F26Dot6>(64, std::lround(em_px * 64.0)), 72, 72);

    const std::int32_t cell =
        em_height ? std::int32_t(std::lround(em_px * cell_units / em_units)) : h;
    im.metrics.height = cell;
    im.metrics.ascent = std::int32_t(std::lround(cell * units_ascent / cell_units));
    im.metrics.descent = cell - im.metrics.ascent;
    const double scale = em_px / em_units;
    im.metrics.average_width = os2 && os2->version != 0xFFFF
                                   ? std::int32_t(std::lround(os2->xAvgCharWidth * scale))
                                   : h / 2;
    im.metrics.max_width = std::int32_t(std::lround((f->bbox.xMax - f->bbox.xMin) * scale));
}

std::unique_ptr<FontFace::Impl> open_impl(const std::string& path, int index,
                                          const FontRequest& request, bool stand_in) {
    auto im = std::make_unique<FontFace::Impl>();
    if (FT_New_Face(g_library, path.c_str(), index, &im->face) != 0) {
        im->face = nullptr;
        std::fprintf(stderr, "kestrune: font_face.cpp: cannot open font file %s (face %d)\n",
                     path.c_str(), index);
        return nullptr;
    }
    if (!FT_IS_SCALABLE(im->face)) {
        std::fprintf(stderr, "kestrune: font_face.cpp: %s has no outlines\n", path.c_str());
        return nullptr;
    }
    FT_Select_Charmap(im->face, FT_ENCODING_UNICODE);
    im->request = request;
    im->request.name = {};
    if (im->request.weight <= 0) im->request.weight = 400;
    im->file = path;
    im->family = im->face->family_name ? im->face->family_name : "";
    // Like the platform this engine first ran on, a face without a bold or italic style
    // of its own is emboldened or slanted on the fly.
    im->embolden = im->request.weight >= 600 && !(im->face->style_flags & FT_STYLE_FLAG_BOLD);
    im->oblique = im->request.italic && !(im->face->style_flags & FT_STYLE_FLAG_ITALIC);
    im->substituted = stand_in;
    set_size(*im, stand_in);
    ++g_faces_opened;
    return im;
}

FT_Error load_glyph(FT_Face face, FT_UInt index) {
    FT_Error error = 0;
    for (int attempt = 0; attempt <= k_memory_retries; ++attempt) {
        error = FT_Load_Glyph(face, index, FT_LOAD_NO_BITMAP | FT_LOAD_TARGET_LIGHT);
        if (error != FT_Err_Out_Of_Memory) break;
    }
    return error;
}

FT_Pos floor64(FT_Pos v) {
    return v & ~FT_Pos(63);
}
FT_Pos ceil64(FT_Pos v) {
    return (v + 63) & ~FT_Pos(63);
}
std::int16_t round_pixels(FT_Pos v) {
    return static_cast<std::int16_t>(std::clamp<FT_Pos>((v + 32) >> 6, -32768, 32767));
}

// Loads glyph `index` of src and renders it; `cell` places vertical turns.
bool render(const FontFace::Impl& src, FT_UInt index, GlyphTurn turn, const FaceMetrics& cell,
            GlyphOutline& out) {
    FT_Face f = src.face;
    if (load_glyph(f, index) != 0 || f->glyph->format != FT_GLYPH_FORMAT_OUTLINE) return false;
    FT_Outline* outline = &f->glyph->outline;
    FT_Pos advance = f->glyph->advance.x;
    if (src.embolden) {
        FT_Pos strength = FT_MulFix(f->units_per_EM, f->size->metrics.y_scale) / 24;
        FT_Outline_Embolden(outline, strength);
        advance += strength;
    }
    if (src.oblique) {
        FT_Matrix shear{0x10000, 0x0366A, 0, 0x10000}; // about 12 degrees
        FT_Outline_Transform(outline, &shear);
    }
    FT_Vector pen{advance, 0};
    if (turn != GlyphTurn::upright) {
        FT_Matrix quarter{0, -0x10000, 0x10000, 0}; // (x, y) -> (-y, x)
        FT_Outline_Transform(outline, &quarter);
        if (turn == GlyphTurn::quarter) {
            pen = {0, advance};
        } else {
            FT_Outline_Translate(outline, FT_Pos(cell.ascent) * 64, -FT_Pos(cell.descent) * 64);
            pen = {FT_Pos(cell.height) * 64, 0};
        }
    }

    GlyphOutline g;
    g.cell_inc_x = round_pixels(pen.x);
    g.cell_inc_y = round_pixels(pen.y);
    FT_BBox box;
    FT_Outline_Get_CBox(outline, &box);
    const FT_Pos x0 = floor64(box.xMin), y0 = floor64(box.yMin);
    const FT_Pos x1 = ceil64(box.xMax), y1 = ceil64(box.yMax);
    const long width = (x1 - x0) >> 6, rows = (y1 - y0) >> 6;
    if (outline->n_points == 0 || width <= 0 || rows <= 0 || width > 8 * k_max_height ||
        rows > 8 * k_max_height) {
        // Nothing to draw: a one-pixel black box and no coverage, as a blank glyph reports.
        g.black_box_x = g.black_box_y = 1;
        g.pitch = 4;
        out = std::move(g);
        return true;
    }
    g.black_box_x = std::int32_t(width);
    g.black_box_y = std::int32_t(rows);
    g.origin_x = std::int32_t(x0 >> 6);
    g.origin_y = std::int32_t(y1 >> 6);
    g.pitch = (g.black_box_x + 3) & ~3;
    g.coverage.assign(std::size_t(g.pitch) * std::size_t(rows), 0);

    FT_Outline_Translate(outline, -x0, -y0);
    FT_Bitmap bitmap;
    FT_Bitmap_Init(&bitmap);
    bitmap.rows = static_cast<unsigned>(rows);
    bitmap.width = static_cast<unsigned>(width);
    bitmap.pitch = g.pitch; // positive: the first row is the top one
    bitmap.buffer = g.coverage.data();
    bitmap.num_grays = 256;
    bitmap.pixel_mode = FT_PIXEL_MODE_GRAY;
    if (FT_Outline_Get_Bitmap(g_library, outline, &bitmap) != 0) return false;
    for (auto& v : g.coverage) v = coverage_level(v);
    out = std::move(g);
    return true;
}

} // namespace

FontFace::FontFace(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
FontFace::~FontFace() = default;

bool font_face_installed(std::string_view name) {
    std::lock_guard lock(ft_mutex());
    if (!ensure_library() || !g_fc_ready) return true; // nothing to tell it by
    if (!name.empty() && name.front() == '@') name.remove_prefix(1);
    for (const std::string& family : name_candidates(name))
        if (family_installed(family)) return true;
    return false;
}

std::shared_ptr<FontFace> FontFace::open(const FontRequest& request) {
    std::lock_guard lock(ft_mutex());
    if (!ensure_library()) return nullptr;
    std::string_view name = request.name;
    bool vertical = !name.empty() && name.front() == '@';
    if (vertical) name.remove_prefix(1);

    Located where;
    bool found = false;
    std::string shown_name; // every reading of the name, for the message
    for (const std::string& family : name_candidates(name)) {
        shown_name += (shown_name.empty() ? "\"" : "\" or \"") + family;
        if (g_fc_ready && family_installed(family) && locate(family, request, false, where)) {
            found = true;
            break;
        }
    }
    shown_name += shown_name.empty() ? "\"\"" : "\"";
    bool substituted = false;
    if (!found) {
        substituted = true;
        found = g_fc_ready && locate(k_fallback_face, request, true, where);
        // Without a working fontconfig, try the CJK faces Debian installs in known places.
        for (const char* file : k_fallback_files) {
            if (found) break;
            if (std::FILE* f = std::fopen(file, "rb")) {
                std::fclose(f);
                where = Located{file, 0};
                found = true;
            }
        }
        if (!found) {
            std::fprintf(stderr, "kestrune: font_face.cpp: no font found for face %s\n",
                         shown_name.c_str());
            return nullptr;
        }
    }
    auto im = open_impl(where.file, where.index, request, substituted);
    if (!im) return nullptr;
    im->vertical = vertical;
    if (substituted && !name.empty() && g_warned_names.insert(std::string(name)).second)
        std::fprintf(stderr, "kestrune: font face %s is not installed; using \"%s\" instead\n",
                     shown_name.c_str(), im->family.c_str());
    return std::make_shared<FontFace>(std::move(im));
}

std::shared_ptr<FontFace> FontFace::open_file(const std::string& path, int index,
                                              const FontRequest& request) {
    std::lock_guard lock(ft_mutex());
    if (!ensure_library()) return nullptr;
    auto im = open_impl(path, index, request, false);
    if (!im) return nullptr;
    im->vertical = !request.name.empty() && request.name.front() == '@';
    return std::make_shared<FontFace>(std::move(im));
}

const FaceMetrics& FontFace::metrics() const {
    return m_impl->metrics;
}
bool FontFace::vertical() const {
    return m_impl->vertical;
}
bool FontFace::substituted() const {
    return m_impl->substituted;
}
const std::string& FontFace::family() const {
    return m_impl->family;
}
const std::string& FontFace::file() const {
    return m_impl->file;
}

bool FontFace::glyph(char32_t cp, GlyphTurn turn, GlyphOutline& out) const {
    std::lock_guard lock(ft_mutex());
    const Impl& im = *m_impl;
    FT_UInt index = FT_Get_Char_Index(im.face, cp);
    if (index == 0 && cp > 0x20) {
        // A face that lacks the character borrows it from the CJK fallback face, as the
        // platform's font linking would; failing that, the missing-glyph box is drawn.
        if (!im.fallback_tried) {
            im.fallback_tried = true;
            FontRequest fallback = im.request;
            fallback.name = k_fallback_face;
            auto face = FontFace::open(fallback);
            if (face && face->m_impl->file != im.file) im.fallback = std::move(face);
        }
        if (im.fallback) {
            FT_UInt other = FT_Get_Char_Index(im.fallback->m_impl->face, cp);
            if (other != 0) return render(*im.fallback->m_impl, other, turn, im.metrics, out);
        }
    }
    return render(im, index, turn, im.metrics, out);
}

bool add_font_file(const std::string& path) {
    std::lock_guard lock(ft_mutex());
    if (!ensure_library() || !g_fc_ready) return false;
    if (FcConfigAppFontAddFile(nullptr, reinterpret_cast<const FcChar8*>(path.c_str())) != FcTrue) {
        std::fprintf(stderr, "kestrune: font_face.cpp: cannot add font file %s\n", path.c_str());
        return false;
    }
    return true;
}

void close_font_config() {
    std::lock_guard lock(ft_mutex());
    if (g_fc_ready) FcFini();
    g_fc_ready = false;
}

std::uint64_t font_faces_opened() {
    return g_faces_opened.load();
}

} // namespace kestrune::platform
