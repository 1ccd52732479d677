// Windows bitmaps: BITMAPINFOHEADER and its later versions, 1, 4, 8, 16, 24 and 32 bits per
// pixel, uncompressed or with bit-field masks. Rows are stored bottom-up unless the height
// is negative; each is padded to a multiple of 4 bytes. Every header field and every row
// is checked against the file's length before it is read.
#include <cstring>

#include "storage/codec.h"
#include "storage/image_loader.h"

namespace kestrune::storage {

namespace {

struct Channel {
    std::uint32_t mask = 0;
    int shift = 0;
    std::uint32_t max = 0; // mask >> shift
};

Channel make_channel(std::uint32_t mask) {
    Channel c;
    c.mask = mask;
    if (!mask) return c;
    while (!((mask >> c.shift) & 1u)) ++c.shift;
    c.max = mask >> c.shift;
    return c;
}

std::uint8_t extract(const Channel& c, std::uint32_t v) {
    if (!c.mask) return 0;
    const std::uint32_t x = (v & c.mask) >> c.shift;
    return std::uint8_t((std::uint64_t(x) * 255 + c.max / 2) / c.max);
}

} // namespace

bool sniff_bmp(const std::uint8_t* data, std::size_t size) {
    return data && size >= 2 && data[0] == 'B' && data[1] == 'M';
}

bool decode_bmp(const std::uint8_t* data, std::size_t size, std::string_view file, PixelImage& out,
                std::string* error) {
    auto fail = [&](const char* fault) {
        if (error) *error = std::string(file) + ": invalid BMP image: " + fault;
        return false;
    };
    if (!sniff_bmp(data, size)) return fail("bad magic");
    if (size < 14 + 40) return fail("file shorter than its headers");
    const std::uint64_t pixel_offset = read_u32(data + 10);
    const std::uint64_t header_size = read_u32(data + 14);
    if (header_size < 40) return fail("unsupported header version");
    if (14 + header_size > size) return fail("header runs past the end of the file");
    const std::int32_t width = std::int32_t(read_u32(data + 18));
    const std::int32_t raw_height = std::int32_t(read_u32(data + 22));
    const int bpp = read_u16(data + 28);
    const std::uint32_t compression = read_u32(data + 30);
    std::uint32_t colours_used = read_u32(data + 46);

    if (raw_height == INT32_MIN) return fail("bad height");
    const bool top_down = raw_height < 0;
    const std::int64_t height = top_down ? -std::int64_t(raw_height) : raw_height;
    if (width <= 0 || height <= 0) return fail("bad dimensions");
    if (!image_size_ok(width, height)) return fail("image too large");
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
        return fail("unsupported bit depth");
    if (compression != 0 && !(compression == 3 && (bpp == 16 || bpp == 32)))
        return fail("unsupported compression");

    // Bit-field masks follow a 40-byte header, or are part of a longer one.
    Channel red, green, blue, alpha;
    if (compression == 3) {
        if (14 + 40 + 12 > size) return fail("bit-field masks run past the end of the file");
        red = make_channel(read_u32(data + 54));
        green = make_channel(read_u32(data + 58));
        blue = make_channel(read_u32(data + 62));
        if (header_size >= 56 && 14 + 56 <= size) alpha = make_channel(read_u32(data + 66));
    } else if (bpp == 16) {
        red = make_channel(0x7C00);
        green = make_channel(0x03E0);
        blue = make_channel(0x001F);
    } else if (bpp == 32) {
        red = make_channel(0x00FF0000);
        green = make_channel(0x0000FF00);
        blue = make_channel(0x000000FF);
    }

    const std::uint8_t* palette = nullptr;
    std::uint32_t palette_count = 0;
    if (bpp <= 8) {
        const std::uint32_t max_colours = 1u << bpp;
        palette_count =
            colours_used == 0 || colours_used > max_colours ? max_colours : colours_used;
        const std::uint64_t table = 14 + header_size;
        if (table + std::uint64_t(palette_count) * 4 > size)
            return fail("colour table runs past the end of the file");
        palette = data + table;
    }

    const std::uint64_t stride = (std::uint64_t(width) * std::uint64_t(bpp) + 31) / 32 * 4;
    const std::uint64_t last_row = (std::uint64_t(width) * std::uint64_t(bpp) + 7) / 8;
    if (pixel_offset >= size || pixel_offset + stride * std::uint64_t(height - 1) + last_row > size)
        return fail("pixel data runs past the end of the file");

    PixelImage image;
    if (!image.allocate(width, std::int32_t(height))) return fail("out of memory");
    image.kind = k_kind_bmp;
    const bool use_alpha = alpha.mask != 0;
    for (std::int64_t y = 0; y < height; ++y) {
        const std::int64_t stored = top_down ? y : height - 1 - y;
        const std::uint8_t* src = data + pixel_offset + stride * std::uint64_t(stored);
        std::uint8_t* dst = image.row(std::int32_t(y));
        for (std::int32_t x = 0; x < width; ++x, dst += 4) {
            if (bpp <= 8) {
                const std::uint64_t bit = std::uint64_t(x) * std::uint64_t(bpp);
                const std::uint32_t index =
                    (src[bit / 8] >> (8 - bpp - int(bit % 8))) & ((1u << bpp) - 1);
                if (index < palette_count) std::memcpy(dst, palette + index * 4, 3);
                dst[3] = 255;
            } else if (bpp == 24) {
                std::memcpy(dst, src + std::size_t(x) * 3, 3);
                dst[3] = 255;
            } else {
                const std::uint32_t v = bpp == 16 ? read_u16(src + std::size_t(x) * 2)
                                                  : read_u32(src + std::size_t(x) * 4);
                dst[0] = extract(blue, v);
                dst[1] = extract(green, v);
                dst[2] = extract(red, v);
                dst[3] = use_alpha ? extract(alpha, v) : 255;
            }
        }
    }
    out = std::move(image);
    return true;
}

} // namespace kestrune::storage
