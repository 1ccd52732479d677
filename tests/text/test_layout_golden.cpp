// Rendered lines of laid-out text (plain, outlined, with ruby) against golden images, so
// that a moved glyph, a lost outline or a misplaced ruby shows. The font is the WenQuanYi
// file named in text_test_support.h, not whatever the machine would pick.
#include "layout_test_support.h"

#include <cstdlib>
#include <fstream>

using namespace kestrune;
using namespace kestrune::text;

namespace {

class LayoutGolden : public text::testing::LayoutTest {};

struct Rgb {
    int width = 0, height = 0;
    std::vector<std::uint8_t> data;
};

void blend(Rgb& out, const PixelImage& img, int x0, int y0, std::uint32_t colour) {
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            const int tx = x0 + x, ty = y0 + y;
            if (tx < 0 || ty < 0 || tx >= out.width || ty >= out.height) continue;
            const std::uint32_t a = img.row32(y)[x] >> 24;
            if (!a) continue;
            std::uint8_t* d = &out.data[std::size_t((ty * out.width + tx) * 3)];
            const std::uint8_t src[3] = {std::uint8_t(colour >> 16), std::uint8_t(colour >> 8),
                                         std::uint8_t(colour)};
            for (int k = 0; k < 3; ++k)
                d[k] = std::uint8_t((src[k] * a + d[k] * (255 - a) + 127) / 255);
        }
}

// Draws what the display shows once every character is revealed: outlines under glyphs,
// each in its slot's colours, and the ruby glyphs where the placement puts them.
Rgb render(const TextLayout& l) {
    Rgb out{l.target->width, l.target->height,
            std::vector<std::uint8_t>(std::size_t(l.target->width * l.target->height * 3), 96)};
    for (int pass = 0; pass < 2; ++pass)
        for (int i = 0; i < l.slot_count; ++i) {
            const CharSlot& s = l.slots[std::size_t(i)];
            if (!s.image) continue;
            if (pass == 0) {
                if (auto o = make_outline_image(*s.image, s.outline_directions, s.outline_colour))
                    blend(out, *o, s.x - 2, s.y - 2, s.outline_colour);
                continue;
            }
            blend(out, *s.image, s.x, s.y, s.fill_colour);
            if (s.ruby_start < 0) continue;
            const auto pos = place_ruby(l, i, l.target->width);
            for (std::size_t k = 0; k < pos.size(); ++k)
                blend(out, *l.ruby[std::size_t(s.ruby_start) + k].image, pos[k].x, pos[k].y,
                      s.fill_colour);
        }
    return out;
}

bool read_ppm(const std::string& path, Rgb& img) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int max = 0;
    if (!(in >> magic >> img.width >> img.height >> max) || magic != "P6" || max != 255)
        return false;
    in.get();
    img.data.resize(std::size_t(img.width * img.height * 3));
    return bool(
        in.read(reinterpret_cast<char*>(img.data.data()), std::streamsize(img.data.size())));
}

void write_ppm(const std::string& path, const Rgb& img) {
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << img.width << " " << img.height << "\n255\n";
    out.write(reinterpret_cast<const char*>(img.data.data()), std::streamsize(img.data.size()));
}

// Set KESTRUNE_UPDATE_GOLDEN=1 to write the golden images after a deliberate change.
void expect_golden(const Rgb& got, const std::string& name) {
    const std::string golden = std::string(KESTRUNE_SOURCE_DIR) + "/tests/fixtures/text/" + name;
    write_ppm(std::string(KESTRUNE_BINARY_DIR) + "/" + name, got);
    if (std::getenv("KESTRUNE_UPDATE_GOLDEN")) write_ppm(golden, got);
    Rgb want;
    ASSERT_TRUE(read_ppm(golden, want)) << golden;
    ASSERT_EQ(want.width, got.width);
    ASSERT_EQ(want.height, got.height);
    // FreeType versions differ in the last bits of anti-aliasing: allow small differences,
    // not a moved or missing glyph.
    long total = 0, far = 0;
    for (std::size_t i = 0; i < got.data.size(); ++i) {
        const int d = std::abs(int(got.data[i]) - int(want.data[i]));
        total += d;
        if (d > 48) ++far;
    }
    EXPECT_LT(double(total) / double(got.data.size()), 2.0) << name;
    EXPECT_LT(far, long(got.data.size() / 200)) << name;
}

TEST_F(LayoutGolden, PlainLines) {
    TextSettings s;
    s.bad_start = gbk("。");
    set_text_settings(s);
    auto l = create(gbk("Kestrune 中文の<FONT INCOLOR=#FFD040>テキスト</FONT>、"
                        "<SPAN=30>SPAN</SPAN>と改行。<BR><FONT SIZE=32>大</FONT>きい字。"),
                    300, 160);
    ASSERT_TRUE(l);
    expect_golden(render(*l), "layout_plain.ppm");
}

TEST_F(LayoutGolden, OutlinedLine) {
    set_default_font(text::testing::k_wqy_face, 24, 0xFFFFFF, 0x202060, 400, k_outline_around);
    auto l = create(gbk("縁取り Outline <FONT OUTCOLOR=#802020>赤い縁</FONT>"), 360, 70);
    ASSERT_TRUE(l);
    ASSERT_TRUE(l->outline_layer);
    expect_golden(render(*l), "layout_outline.ppm");
}

TEST_F(LayoutGolden, RubyLine) {
    TextSettings s;
    s.ruby_rate = 0.5;
    set_text_settings(s);
    auto l = create(gbk("<RUBY=かんじ>漢字</RUBY>と<RUBY=ふりがな>仮名</RUBY>と"
                        "<RUBY=ながいるび>字</RUBY>"),
                    260, 70);
    ASSERT_TRUE(l);
    expect_golden(render(*l), "layout_ruby.ppm");
}

} // namespace
