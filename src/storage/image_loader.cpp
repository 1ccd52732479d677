#include "storage/image_loader.h"

#include <mutex>
#include <new>

#include "storage/codec.h"
#include "storage/resource_file.h"

namespace kestrune::storage {

namespace {
std::mutex g_provider_mutex;
CaptureProvider g_provider;
} // namespace

bool image_size_ok(std::int64_t width, std::int64_t height) {
    return width > 0 && height > 0 && width <= k_max_image_side && height <= k_max_image_side &&
           std::uint64_t(width) * std::uint64_t(height) <= k_max_image_pixels;
}

void set_capture_provider(CaptureProvider provider) {
    std::lock_guard lock(g_provider_mutex);
    g_provider = std::move(provider);
}

std::shared_ptr<PixelImage> decode_image_data(const std::uint8_t* data, std::size_t size,
                                              std::string_view file, std::string* error) {
    using Decoder =
        bool (*)(const std::uint8_t*, std::size_t, std::string_view, PixelImage&, std::string*);
    struct Format {
        bool (*sniff)(const std::uint8_t*, std::size_t);
        Decoder decode;
    };
    static constexpr Format k_formats[] = {{sniff_jpeg, decode_jpeg},
                                           {sniff_png, decode_png},
                                           {sniff_bmp, decode_bmp},
                                           {sniff_vksi, decode_vksi}};
    try {
        for (const auto& format : k_formats) {
            if (!format.sniff(data, size)) continue;
            auto image = std::make_shared<PixelImage>();
            if (!format.decode(data, size, file, *image, error)) return nullptr;
            return image;
        }
    } catch (const std::bad_alloc&) {
        if (error) *error = std::string(file) + ": out of memory while decoding the image";
        return nullptr;
    }
    if (error) *error = std::string(file) + ": unknown image format";
    return nullptr;
}

std::shared_ptr<PixelImage> load_image(std::string_view name) {
    if (name.empty()) return nullptr;
    if (name == "SCREEN" || name == "VIDEO" || name == "SCENE") {
        CaptureProvider provider;
        {
            std::lock_guard lock(g_provider_mutex);
            provider = g_provider;
        }
        auto image = provider ? provider(name) : nullptr;
        if (!image) report_fault(name, "no picture to capture");
        return image;
    }
    std::string path;
    if (name.size() >= 5 && name.substr(0, 5) == "file:")
        path.assign(name.substr(5));
    else
        path = resource_prefix() + std::string(name);

    ResourceFile file;
    if (!file.create(path) || !file.load()) {
        report_fault(path, "image not found");
        return nullptr;
    }
    if (auto shared = file.cached_image()) return shared;
    std::string error;
    auto image = decode_image_data(file.data(), std::size_t(file.size()), path, &error);
    if (!image) report_message(error);
    return image;
}

} // namespace kestrune::storage
