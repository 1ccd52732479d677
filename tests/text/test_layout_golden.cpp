// Rendered lines of laid-out text (plain, outlined, with ruby) against golden images, so
// that a moved glyph, a lost outline or a misplaced ruby shows. The font is the WenQuanYi
// file named in text_test_support.h, not whatever the machine would pick.
#include "golden_support.h"
#include "layout_test_support.h"

#include <cstdlib>
#include <fstream>

using namespace kestrune;
using namespace kestrune::text;
using namespace kestrune::text::testing;

namespace {

class LayoutGolden : public text::testing::LayoutTest {};

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
