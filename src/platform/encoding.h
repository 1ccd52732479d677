// Text encodings at the edges of the engine. Script text stays in GBK bytes everywhere
// inside the engine; it is converted only where it meets the outside world: glyph lookup,
// window titles, message boxes and the names of loose files. The settings file's section
// names are Shift-JIS.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune::platform {

// GBK (code page 936) bytes to UTF-8. Bytes that do not convert become U+FFFD.
std::string gbk_to_utf8(std::string_view gbk);
// UTF-8 to GBK; characters GBK cannot hold become '?'.
std::string utf8_to_gbk(std::string_view utf8);
// Shift-JIS (code page 932) bytes to UTF-8 and back.
std::string sjis_to_utf8(std::string_view sjis);
std::string utf8_to_sjis(std::string_view utf8);

// Unicode code point of one GBK character code (single byte, or lead * 256 + trail);
// 0 when the code is not a GBK character. Backed by a 64K table built once.
char32_t gbk_code_to_unicode(std::uint32_t code);

// True when byte b starts a two-byte character in the engine's double-byte code page.
inline bool is_lead_byte(unsigned char b) {
    return b >= 0x80;
}

} // namespace kestrune::platform
