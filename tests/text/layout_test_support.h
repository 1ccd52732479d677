// Shared set-up of the layout tests: the WenQuanYi face at 24 pixels as the default font,
// text settings given by each test, and helpers that lay text out and read the table.
#pragma once

#include "platform/encoding.h"
#include "text/layout.h"
#include "text_test_support.h"

#include <string>
#include <vector>

namespace kestrune::text::testing {

class LayoutTest : public TextTest {
protected:
    void SetUp() override {
        TextTest::SetUp();
        if (IsSkipped()) return;
        set_text_settings(TextSettings{});
    }
    void TearDown() override {
        reset_text_settings();
        TextTest::TearDown();
    }

    static std::string gbk(const char* utf8) { return platform::utf8_to_gbk(utf8); }
    static std::uint32_t code(const char* utf8) {
        const std::string b = gbk(utf8);
        return b.size() == 2 ? std::uint32_t(std::uint8_t(b[0])) * 256 + std::uint8_t(b[1])
                             : std::uint8_t(b[0]);
    }

    static std::shared_ptr<PixelImage> image(int w, int h) {
        auto img = std::make_shared<PixelImage>();
        EXPECT_TRUE(img->allocate(w, h));
        return img;
    }

    std::unique_ptr<TextLayout> create(const std::string& text, int w = 400, int h = 200,
                                       int margin_line = 0, int margin_row = 16) {
        return lay_out_text(image(w, h), text, margin_line, margin_row);
    }

    std::unique_ptr<TextLayout> load(const std::string& text, int w = 400, int h = 200,
                                     int margin_line = 0, int margin_row = 16) {
        m_script = text;
        std::int32_t mw = w, mh = h;
        EXPECT_EQ(measure_script_text(m_script.data(), m_script.data() + m_script.size(), mw, mh,
                                      margin_line, margin_row),
                  1);
        return lay_out_script_text(image(mw, mh), nullptr, m_script.data(),
                                   m_script.data() + m_script.size(), m_continue_x, m_continue_y,
                                   margin_line, margin_row, w, h);
    }

    // The codes of the slots that carry a glyph, in order.
    static std::vector<std::uint32_t> shown(const TextLayout& l) {
        std::vector<std::uint32_t> codes;
        for (int i = 0; i < l.slot_count; ++i)
            if (l.slots[std::size_t(i)].image)
                codes.push_back(std::uint32_t(l.slots[std::size_t(i)].metrics.code));
        return codes;
    }
    static std::vector<std::uint32_t> codes_of(const std::string& gbk_text) {
        std::vector<std::uint32_t> codes;
        for (std::size_t i = 0; i < gbk_text.size();) {
            std::uint32_t c = std::uint8_t(gbk_text[i]);
            if (c >= 0x80 && i + 1 < gbk_text.size()) c = c * 256 + std::uint8_t(gbk_text[++i]);
            ++i;
            codes.push_back(c);
        }
        return codes;
    }
    // The glyph metrics of one character in the default font.
    static GlyphMetrics metrics_of(std::uint32_t c) {
        TextFont f;
        EXPECT_EQ(create_font_from_defaults(f), 1);
        GlyphMetrics m;
        m.code = std::int32_t(c);
        EXPECT_EQ(glyph_metrics(f, m), 1);
        free_font(f);
        return m;
    }

    std::string m_script;
    std::int32_t m_continue_x = 0, m_continue_y = 0;
};

} // namespace kestrune::text::testing
