// Image decoding. Every decoder follows one contract: a cheap sniff of the first bytes,
// then a decode that parses the data and refuses bad input with a message naming the
// file, the format and the fault ("cg/bg.png: invalid PNG image: image too large").
// Decoders keep no state between calls and may run on several threads at once.
//
// Images come out as PixelImage: 32-bit pixels in blue, green, red, alpha order with
// straight alpha, rows top to bottom, alpha 255 where the source has none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "storage/pixel_image.h"

namespace kestrune::storage {

// Largest pixel count a decoder accepts (64 Mpx = 256 MiB of pixels).
inline constexpr std::uint64_t k_max_image_pixels = std::uint64_t{1} << 26;

bool sniff_jpeg(const std::uint8_t* data, std::size_t size);
bool sniff_png(const std::uint8_t* data, std::size_t size);
bool sniff_bmp(const std::uint8_t* data, std::size_t size);
bool sniff_vksi(const std::uint8_t* data, std::size_t size);

// Each fills out and returns true, or returns false with *error set and out untouched.
bool decode_jpeg(const std::uint8_t* data, std::size_t size, std::string_view file, PixelImage& out,
                 std::string* error);
bool decode_png(const std::uint8_t* data, std::size_t size, std::string_view file, PixelImage& out,
                std::string* error);
bool decode_bmp(const std::uint8_t* data, std::size_t size, std::string_view file, PixelImage& out,
                std::string* error);
bool decode_vksi(const std::uint8_t* data, std::size_t size, std::string_view file, PixelImage& out,
                 std::string* error);

// Picks the decoder by sniffing (JPEG, PNG, BMP, VKSI). Null with *error set on failure.
std::shared_ptr<PixelImage> decode_image_data(const std::uint8_t* data, std::size_t size,
                                              std::string_view file, std::string* error);

// The image loader. "file:NAME" opens NAME as it is; any other name gets the resource
// path prefix in front. "SCREEN", "VIDEO" and "SCENE" come from the capture provider. A
// name preloaded into the file cache with its image yields that same shared image.
// Failures are reported on stderr (missing file, or the decoder's message); result null.
std::shared_ptr<PixelImage> load_image(std::string_view name);

// The VKSI raw image file (26-byte header, then width x 4 x height pixel bytes):
//   "VKSI", u32 0xF1F122C4, u16 kind, i32 width, i32 display width, i32 height,
//   i32 display height. Written plain, not in the VKSF container.
std::shared_ptr<PixelImage> read_vksi(std::string_view name);
// The image writer (save thumbnails, pictures of scene objects, WriteImage). The old
// file is replaced only once the new one is completely written.
bool write_vksi(const PixelImage& image, std::string_view name);
// The VKSI bytes of an image (for callers that wrap them themselves).
bool encode_vksi(const PixelImage& image, std::string& out);

// Supplies the special images "SCREEN", "VIDEO" and "SCENE" (set by the render side).
using CaptureProvider = std::function<std::shared_ptr<PixelImage>(std::string_view which)>;
void set_capture_provider(CaptureProvider provider);

// Checks a decoded size against the caps, in 64-bit arithmetic.
bool image_size_ok(std::int64_t width, std::int64_t height);

} // namespace kestrune::storage
