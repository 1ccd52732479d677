// The engine's raw image file VKSI: a 26-byte header and the pixels as they are in memory.
#include <cstring>

#include "storage/codec.h"
#include "storage/image_loader.h"
#include "storage/resource_file.h"

namespace kestrune::storage {

namespace {
constexpr std::size_t k_vksi_header = 26;
constexpr std::uint32_t k_vksi_tag = 0xF1F122C4u;
constexpr std::int32_t k_cache_owned_bit = 0x1000; // meaningless once stored in a file
} // namespace

bool sniff_vksi(const std::uint8_t* data, std::size_t size) {
    return data && size >= 4 && std::memcmp(data, "VKSI", 4) == 0;
}

bool decode_vksi(const std::uint8_t* data, std::size_t size, std::string_view file, PixelImage& out,
                 std::string* error) {
    auto fail = [&](const char* fault) {
        if (error) *error = std::string(file) + ": invalid VKSI image: " + fault;
        return false;
    };
    if (!sniff_vksi(data, size)) return fail("bad magic");
    if (size < k_vksi_header) return fail("file shorter than its header");
    if (read_u32(data + 4) != k_vksi_tag) return fail("bad second magic");
    const std::int32_t kind = read_u16(data + 8);
    const std::int32_t width = std::int32_t(read_u32(data + 10));
    const std::int32_t display_width = std::int32_t(read_u32(data + 14));
    const std::int32_t height = std::int32_t(read_u32(data + 18));
    const std::int32_t display_height = std::int32_t(read_u32(data + 22));
    if (width <= 0 || height <= 0) return fail("bad dimensions");
    if (!image_size_ok(width, height)) return fail("image too large");
    if (display_width < 0 || display_height < 0 || display_width > k_max_image_side ||
        display_height > k_max_image_side)
        return fail("bad display size");
    const std::uint64_t bytes = std::uint64_t(width) * 4 * std::uint64_t(height);
    if (k_vksi_header + bytes > size) return fail("pixel data runs past the end of the file");
    PixelImage image;
    if (!image.allocate(width, height)) return fail("out of memory");
    std::memcpy(image.pixels.data(), data + k_vksi_header, std::size_t(bytes));
    image.kind = kind & ~k_cache_owned_bit;
    image.display_width = display_width;
    image.display_height = display_height;
    out = std::move(image);
    return true;
}

bool encode_vksi(const PixelImage& image, std::string& out) {
    if (image.empty() || !image_size_ok(image.width, image.height)) return false;
    const std::size_t row_bytes = std::size_t(image.width) * 4;
    out.assign(k_vksi_header + row_bytes * std::size_t(image.height), '\0');
    auto* p = reinterpret_cast<std::uint8_t*>(out.data());
    std::memcpy(p, "VKSI", 4);
    put_u32(p + 4, k_vksi_tag);
    const std::uint32_t kind = std::uint32_t(image.kind & ~k_cache_owned_bit);
    p[8] = std::uint8_t(kind);
    p[9] = std::uint8_t(kind >> 8);
    put_u32(p + 10, std::uint32_t(image.width));
    put_u32(p + 14, std::uint32_t(image.display_width ? image.display_width : image.width));
    put_u32(p + 18, std::uint32_t(image.height));
    put_u32(p + 22, std::uint32_t(image.display_height ? image.display_height : image.height));
    for (std::int32_t y = 0; y < image.height; ++y)
        std::memcpy(p + k_vksi_header + row_bytes * std::size_t(y), image.row(y), row_bytes);
    return true;
}

bool write_vksi(const PixelImage& image, std::string_view name) {
    std::string bytes;
    if (!encode_vksi(image, bytes)) {
        report_fault(name, "cannot write an empty or oversized image");
        return false;
    }
    ResourceFile file;
    if (!file.create(name) || !file.open_for_writing()) return false;
    const bool wrote = file.write(bytes.data(), 1, bytes.size()) == bytes.size();
    const bool closed = file.close() == 0;
    return wrote && closed;
}

std::shared_ptr<PixelImage> read_vksi(std::string_view name) {
    ResourceFile file;
    if (!file.create(name) || !file.load()) return nullptr;
    auto image = std::make_shared<PixelImage>();
    std::string error;
    if (!decode_vksi(file.data(), std::size_t(file.size()), name, *image, &error)) {
        report_message(error);
        return nullptr;
    }
    return image;
}

} // namespace kestrune::storage
