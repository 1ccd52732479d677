// The input is the text of a CreateText: characters and layout tags (<R>, <WAIT>, <FONT>,
// <VALUE>, <BR>, ...). It is measured and then laid out into an image of that size.
#include "platform/font_face.h"
#include "storage/pixel_image.h"
#include "text/fonts.h"
#include "text/glyph_cache.h"
#include "text/layout.h"

#include <cstdint>
#include <memory>
#include <string_view>

using namespace kestrune;

namespace {

bool set_up() {
    static const bool ok = [] {
        if (!platform::add_font_file("/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc")) return false;
        text::set_default_font("WenQuanYi Zen Hei", 24, 0xFFFFFF, 0x000000, 400, 0);
        text::set_text_settings(text::TextSettings{});
        return true;
    }();
    return ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!set_up()) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::int32_t w = 0, h = 0;
    if (text::measure_text(text, w, h, 640, 0) != 1) return 0;
    if (w <= 0 || h <= 0 || w > 4096 || h > 4096) return 0;
    auto image = std::make_shared<PixelImage>();
    if (!image->allocate(w, h)) return 0;
    auto layout = text::lay_out_text(image, text, 0, 16);
    if (layout && layout->slot_count > 2048) __builtin_trap();
    return 0;
}
