// Shared set-up of the text tests: every test renders with the WenQuanYi Zen Hei face of
// the Debian package fonts-wqy-zenhei, added by file so that results do not depend on the
// fonts a machine happens to have.
#pragma once

#include "platform/font_face.h"
#include "text/fonts.h"
#include "text/glyph_cache.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

namespace kestrune::text::testing {

inline constexpr const char* k_wqy_file = "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc";
inline constexpr const char* k_wqy_face = "WenQuanYi Zen Hei";

class TextTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(k_wqy_file))
            GTEST_SKIP() << k_wqy_file << " missing: install fonts-wqy-zenhei";
        static bool added = platform::add_font_file(k_wqy_file);
        ASSERT_TRUE(added);
        reset_font_state();
        glyph_cache_clear();
        set_default_font(k_wqy_face, 24, 0xFFFFFF, 0x000000, 400, 0);
    }
    void TearDown() override {
        glyph_cache_clear();
        reset_font_state();
    }
};

// Gives fontconfig's configuration back at the end, so that leak checkers see a clean exit.
class FontConfigEnvironment : public ::testing::Environment {
public:
    void TearDown() override { platform::close_font_config(); }
};
inline ::testing::Environment* const g_font_config_environment =
    ::testing::AddGlobalTestEnvironment(std::make_unique<FontConfigEnvironment>().release());

} // namespace kestrune::text::testing
